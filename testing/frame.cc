#include "testing/frame.h"

#include <sodium.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstring>

namespace cms::testing {

namespace {

constexpr size_t kNameOffset = offsetof(CMSPacket, name);
constexpr size_t kValueOffset = offsetof(CMSPacket, value);
constexpr size_t kLocationOffset = offsetof(CMSPacket, location);
constexpr size_t kNonce = crypto_aead_xchacha20poly1305_ietf_NPUBBYTES;
constexpr size_t kTag = crypto_aead_xchacha20poly1305_ietf_ABYTES;

int32_t FrameInt(const Frame& f, size_t at) {
  int32_t v;
  memcpy(&v, f.data() + at, sizeof v);
  return v;
}

const unsigned char* Bytes(std::string_view s) {
  return reinterpret_cast<const unsigned char*>(s.data());
}

}  // namespace

Frame MakeFrame(int32_t cmd, std::string_view name, std::string_view value,
                std::string_view location) {
  Frame f{};
  const int32_t head[] = {kTestPid, cmd};
  memcpy(f.data(), head, sizeof head);
  name.copy(f.data() + kNameOffset, CMS_NAME_SIZE - 1);
  value.copy(f.data() + kValueOffset, CMS_VALUE_SIZE - 1);
  location.copy(f.data() + kLocationOffset, CMS_LOCATION_SIZE - 1);
  return f;
}

Frame MakeListFrame(int32_t cmd, const std::vector<std::string>& list) {
  Frame frame = MakeFrame(cmd);
  for (size_t at = kValueOffset; const std::string& text : list) {
    if (at + text.size() + 2 > kValueOffset + CMS_VALUE_SIZE) break;
    at += text.copy(frame.data() + at, text.size()) + 1;
  }
  return frame;
}

Frame ToFrame(std::string_view bytes) {
  Frame frame{};
  bytes.copy(frame.data(), kFrameSize);
  return frame;
}

int32_t FramePid(const Frame& f) {
  return FrameInt(f, offsetof(CMSPacket, pid));
}
bool IsOk(const std::optional<Frame>& r) {
  return r && FrameInt(*r, offsetof(CMSPacket, status)) == CMS_STATUS_OK;
}

std::vector<std::string> FrameList(const Frame& f) {
  std::vector<std::string> texts;
  for (size_t at = kValueOffset; at < kLocationOffset && f[at];) {
    texts.emplace_back(f.data() + at,
                       strnlen(f.data() + at, kLocationOffset - at));
    at += texts.back().size() + 1;
  }
  return texts;
}

std::string FrameValue(const Frame& f) {
  return {f.data() + kValueOffset,
          strnlen(f.data() + kValueOffset, CMS_VALUE_SIZE)};
}

bool SendAll(int fd, const void* data, size_t size) {
  return send(fd, data, size, MSG_NOSIGNAL) == static_cast<ssize_t>(size);
}

std::optional<std::string> ReadExactly(int fd, size_t size,
                                       milliseconds timeout) {
  const long ms = std::max<long>(timeout.count(), 1);  // zero means none
  const timeval tv{ms / 1000, ms % 1000 * 1000};
  std::string got(size, '\0');
  if (setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) != 0 ||
      recv(fd, got.data(), size, MSG_WAITALL) != static_cast<ssize_t>(size)) {
    return std::nullopt;
  }
  return got;
}

std::optional<Frame> RoundTrip(int fd, const Frame& request,
                               milliseconds timeout) {
  if (!SendAll(fd, request.data(), kFrameSize)) return std::nullopt;
  const std::optional<std::string> got = ReadExactly(fd, kFrameSize, timeout);
  return got ? std::optional(ToFrame(*got)) : std::nullopt;
}

int64_t WallMs() {
  return std::chrono::duration_cast<milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

std::array<unsigned char, kFrameSize> Seal(Frame frame, std::string_view key) {
  int64_t at;
  memcpy(&at, frame.data() + CMS_SEALED_TIME_OFFSET, sizeof at);
  if (at == 0) {
    at = WallMs();
    memcpy(frame.data() + CMS_SEALED_TIME_OFFSET, &at, sizeof at);
  }
  std::array<unsigned char, kFrameSize> out;
  randombytes_buf(out.data(), kNonce);
  crypto_aead_xchacha20poly1305_ietf_encrypt(
      out.data() + kNonce, nullptr, Bytes({frame.data(), frame.size()}),
      kFrameSize - kNonce - kTag, nullptr, 0, nullptr, out.data(), Bytes(key));
  return out;
}

std::optional<std::string> Open(std::string_view sealed, std::string_view key) {
  if (sealed.size() < kNonce + kTag) return std::nullopt;
  std::string plain(sealed.size() - kNonce - kTag, '\0');
  if (crypto_aead_xchacha20poly1305_ietf_decrypt(
          reinterpret_cast<unsigned char*>(plain.data()), nullptr, nullptr,
          Bytes(sealed) + kNonce, sealed.size() - kNonce, nullptr, 0,
          Bytes(sealed), Bytes(key)) != 0) {
    return std::nullopt;
  }
  return plain;
}

std::optional<std::string> SealedRoundTrip(int fd, const Frame& frame,
                                           std::string_view key) {
  const std::array<unsigned char, kFrameSize> out = Seal(frame, key);
  std::optional<std::string> in;
  if (SendAll(fd, out.data(), out.size()))
    in = ReadExactly(fd, kSealedAnswerSize, seconds(10));
  if (!in) return std::nullopt;
  return Open(*in, key).value_or("");
}

}  // namespace cms::testing
