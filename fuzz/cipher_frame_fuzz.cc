// cipher_frame_fuzz.cc - serves arbitrary frames from 127.0.0.2 through the
// request worker itself, over a socket pair, against the example tree. A
// frame that does not open must get no answer; one that opens must get
// exactly one sealed, well-formed answer.
#include <arpa/inet.h>
#include <sodium.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

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
  if (write(sv[1], wire.data(), wire.size()) != ssize_t(wire.size())) abort();
  shutdown(sv[1], SHUT_WR);
  auto* conn = static_cast<cms::core::ClientConn*>(
      calloc(1, sizeof(cms::core::ClientConn)));
  conn->fd = sv[0];
  conn->peer.sin_family = AF_INET;
  conn->peer.sin_addr.s_addr = inet_addr("127.0.0.2");
  cms::core::sock_response(conn);  // closes sv[0], frees conn
  std::string answer;
  char buf[4096];
  for (ssize_t n; (n = read(sv[1], buf, sizeof buf)) > 0;)
    answer.append(buf, n);
  close(sv[1]);
  return answer;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  cms::fuzzing::InitFuzzRoot();
  if (sodium_init() < 0) abort();
  for (size_t i = 0; i < g_key.size(); ++i)
    g_key[i] = static_cast<char>(i * 7 + 1);
  g_store.Load();
  return 0;
}

// Input: one byte of choices, then the frame. Bits 0-1: 0 raw on the wire;
// 1 a request's plaintext, sealed; 2 sealed, then the byte at the offset the
// next input byte gives flipped; 3 sealed, but the key file holds a key of
// another length. Bit 2: the frame is sent twice on the connection.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using cms::fuzzing::Require;
  uint8_t choices;
  std::string_view rest;
  if (!cms::fuzzing::SplitInput(data, size, &choices, &rest)) return 0;
  const int how = choices & 3, frames = (choices & 4) != 0 ? 2 : 1;
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
    if (how == 0) {
      wire.append(rest.substr(0, kFrameSize))
          .resize((i + 1) * kFrameSize, '\0');
      continue;
    }
    const auto sealed = cms::testing::Seal(plain, g_key);
    wire.append(reinterpret_cast<const char*>(sealed.data()), kFrameSize);
    if (how == 2) wire[i * kFrameSize + flip_at % kFrameSize] ^= 1;
  }
  const std::string answer = Serve(wire);

  // Nothing opens without the right key and an intact tag.
  Require(how == 1 ? answer.size() == kSealedAnswerSize * frames
                   : answer.empty());
  for (int i = 0; how == 1 && i < frames; ++i) {
    const auto opened =
        cms::testing::Open(std::string_view(answer).substr(
                               i * kSealedAnswerSize, kSealedAnswerSize),
                           g_key);
    Require(opened.has_value());
    CMSPacket response{};
    memcpy(&response, opened->data(), opened->size());
    cms::fuzzing::CheckResponse(request, response);
  }
  cms::fuzzing::CheckStore();
  return 0;
}
