// frame.h - the request/response frame for tests, laid out as CMSPacket of
// the client library, and its plain and enciphered exchanges.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "client/cms_client.h"

namespace cms::testing {

using std::chrono::milliseconds;
using std::chrono::seconds;

inline constexpr size_t kFrameSize = CMS_FRAME_SIZE;
using Frame = std::array<char, kFrameSize>;
inline constexpr int32_t kTestPid = 4242;  // in every request made here

// Texts are copied with the limits of their areas, so they stay terminated.
Frame MakeFrame(int32_t cmd, std::string_view name = {},
                std::string_view value = {}, std::string_view location = {});
// A list for commands 35 and 36: each text and its zero byte, then a zero.
Frame MakeListFrame(int32_t cmd, const std::vector<std::string>& list);
Frame ToFrame(std::string_view bytes);
int32_t FramePid(const Frame& f);
// The texts of the response's value area, up to the empty text.
std::vector<std::string> FrameList(const Frame& f);
std::string FrameValue(const Frame& f);
bool IsOk(const std::optional<Frame>& r);  // answered with status 0

// Blocking sends are whole; this one never raises SIGPIPE.
bool SendAll(int fd, const void* data, size_t size);
// Exactly `size` bytes; nothing when the peer closed first or time ran out.
std::optional<std::string> ReadExactly(int fd, size_t size,
                                       milliseconds timeout);
// One frame out on `fd`, one back; nothing without an answer in time.
std::optional<Frame> RoundTrip(int fd, const Frame& request,
                               milliseconds timeout = seconds(5));

// The enciphered exchange of peers other than 127.0.0.1: 24-byte nonce,
// ciphertext, tag. A request's first 984 bytes go out as 1024; an answer
// comes as 1052 and deciphers to the first 1012 bytes of its frame.
inline constexpr size_t kSealedAnswerSize = 1052;
int64_t WallMs();
// Stamps the sealing time unless the frame has one.
std::array<unsigned char, kFrameSize> Seal(Frame frame, std::string_view key);
// The plaintext of a sealed answer; nothing when it does not open.
std::optional<std::string> Open(std::string_view sealed, std::string_view key);
// Nothing when no answer came, "" when it did not decipher.
std::optional<std::string> SealedRoundTrip(int fd, const Frame& frame,
                                           std::string_view key);

}  // namespace cms::testing
