// cipher_frame_fuzz.cc - serves arbitrary frames from a peer other than
// 127.0.0.1 through the request worker itself, over a socket pair: the
// frames are deciphered with the key file, dispatched against the example
// tree and the answers enciphered. A frame that does not open must get no
// answer; one that opens must get exactly one sealed, well-formed answer.
#include <arpa/inet.h>
#include <sodium.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "core/server.h"
#include "testing/frame.h"
#include "testing/fuzz_support.h"

namespace {

using cms::testing::kFrameSize;
using cms::testing::kSealedAnswerSize;

constexpr size_t kPlainRequest = 984;  // what a sealed frame carries
constexpr const char* kKeyFile = "/etc/cms/cipher.key";

cms::fuzzing::ExampleStore g_store;
std::string g_key(crypto_aead_xchacha20poly1305_ietf_KEYBYTES, '\0');

// Runs the worker on one connection that carries `wire` and then closes;
// returns everything the worker sent back.
std::string Serve(const std::string& wire) {
  int sv[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) abort();
  if (write(sv[1], wire.data(), wire.size()) !=
      static_cast<ssize_t>(wire.size())) {
    abort();
  }
  shutdown(sv[1], SHUT_WR);
  auto* conn = static_cast<cms::core::ClientConn*>(
      calloc(1, sizeof(cms::core::ClientConn)));
  conn->fd = sv[0];
  conn->peer.sin_family = AF_INET;
  conn->peer.sin_addr.s_addr = inet_addr("127.0.0.2");
  cms::core::sock_response(conn);  // closes sv[0], frees conn
  std::string answer;
  char buf[4096];
  ssize_t n;
  while ((n = read(sv[1], buf, sizeof buf)) > 0) answer.append(buf, n);
  close(sv[1]);
  return answer;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  cms::fuzzing::InitFuzzRoot();
  if (sodium_init() < 0) abort();
  for (size_t i = 0; i < g_key.size(); ++i) g_key[i] = static_cast<char>(i * 7 + 1);
  g_store.Load();
  return 0;
}

// Input: one byte of choices, then the frame. Bits 0-1: 0 the rest goes on
// the wire as it is; 1 it is the plaintext of a request, sealed with the
// key; 2 sealed, then the byte at the offset given by the next input byte
// flipped; 3 sealed, but the key file holds a key of another length. Bit 2:
// the frame is sent twice on the connection.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const int how = data[0] & 3;
  const int frames = (data[0] & 4) != 0 ? 2 : 1;
  std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);
  size_t flip_at = 0;
  if (how == 2 && !rest.empty()) {
    flip_at = static_cast<uint8_t>(rest[0]) * 4;
    rest.remove_prefix(1);
  }
  g_store.Restore();
  cms::fuzzing::FuzzRoot().Write(
      kKeyFile, std::string_view(g_key).substr(0, g_key.size() - (how == 3)));

  CMSPacket request{};
  if (how != 0) {
    memcpy(&request, rest.data(), std::min(rest.size(), kPlainRequest));
    cms::fuzzing::KeepDumpInRoot(&request);
    // Stamped at sealing, as a client does; each frame sealed anew (a frame
    // sent twice as it is would be a replay).
    memset(reinterpret_cast<char*>(&request) + CMS_SEALED_TIME_OFFSET, 0, 8);
  }
  const cms::testing::Frame plain = cms::testing::ToFrame(
      {reinterpret_cast<const char*>(&request), sizeof request});
  std::string wire;
  for (int i = 0; i < frames; ++i) {
    std::string one;
    if (how == 0) {
      one.assign(rest.substr(0, kFrameSize));
      one.resize(kFrameSize, '\0');
    } else {
      const auto sealed = cms::testing::Seal(plain, g_key);
      one.assign(reinterpret_cast<const char*>(sealed.data()), sealed.size());
      if (how == 2) one[flip_at % kFrameSize] ^= 1;
    }
    wire += one;
  }
  const std::string answer = Serve(wire);

  if (how != 1) {
    // Nothing opens without the right key and an intact tag. (A random
    // frame that opens would need a forged tag.)
    if (!answer.empty()) __builtin_trap();
    return 0;
  }
  if (answer.size() != kSealedAnswerSize * frames) __builtin_trap();
  for (int i = 0; i < frames; ++i) {
    const std::optional<std::string> opened = cms::testing::Open(
        std::string_view(answer).substr(i * kSealedAnswerSize, kSealedAnswerSize),
        g_key);
    if (!opened) __builtin_trap();
    CMSPacket response{};
    memcpy(&response, opened->data(), opened->size());
    cms::fuzzing::CheckResponse(request, response);
  }
  cms::fuzzing::CheckStore();
  return 0;
}
