// generator_lines.h - reads whole lines of a generator's source file, so that a
// generator never mistakes the tail of an over-long line for a line of its own.
#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <string>
#include <string_view>

#include "files/safe_file.h"
#include "platform/root.h"

namespace cms::conffiles {

// The generators read with a 1024-byte buffer: at most 1023 characters of a
// line, its line end included.
inline constexpr size_t kGeneratorReadLimit = 1023;

enum class LineStatus {
  kLine,  // `line` holds the line without its line end
  kSkip,  // the line was longer than the limit or held a NUL byte; consumed
  kEnd,   // end of file (or read error), nothing read
};

// Reads one line of `in`. The line end is a line feed, or a carriage return
// and a line feed; neither is part of `line`, and a last line without a line
// feed counts as a line. `limit` bounds the raw bytes of the line, line end
// included. A line that exceeds it is consumed to its end and reported as
// kSkip: its pieces would otherwise reach the output as lines of their own,
// and a piece can look like a valid directive. A NUL byte inside a line is
// skipped for the same reason: everything after it would be lost on output.
LineStatus ReadWholeLine(FILE* in, size_t limit, std::string* line);

// Writes `text` and a line feed. Every generated line goes through here, so
// no line of the output can lack its end and run into the next one.
void WriteWholeLine(FILE* out, const std::string& text);

// Reports on standard output, as the rest of this layer prints, that `dst`
// could not be written.
void ReportGeneratorFailure(const char* dst, int err);

// A stdio stream that collects what is written to it in memory.
class MemoryOut {
 public:
  MemoryOut() : f_(open_memstream(&data_, &size_)) {}
  ~MemoryOut();
  MemoryOut(const MemoryOut&) = delete;
  MemoryOut& operator=(const MemoryOut&) = delete;
  FILE* get() const { return f_; }
  // Closes the stream and moves its text into *text; false when memory ran
  // out on the way.
  bool Take(std::string* text);

 private:
  char* data_ = nullptr;
  size_t size_ = 0;
  FILE* f_;
};

// Runs body(in, out) with `src` open for reading and `out` collecting the
// generated text in memory, then replaces `dst` whole with it through the
// crash-safe writer (a link at `dst` is replaced, never followed). Returns 0,
// or an errno: `dst` is untouched when `src` cannot be read or the new file
// cannot be written.
template <typename Body>
int GenerateFile(const char* src, const char* dst, Body body,
                 std::string_view trailer = {}) {
  platform::DeviceFile in(src, "r");
  if (!in) return errno;
  MemoryOut out;
  if (out.get() == nullptr) return errno;
  body(in.get(), out.get());
  const bool read_ok = ferror(in.get()) == 0;
  in.Close();
  std::string content;
  if (!out.Take(&content)) return ENOMEM;
  if (!read_ok) return EIO;
  content.append(trailer);
  const int err =
      files::WriteFileAtomic(dst, content, 0644, files::FollowLink::kNo);
  if (err != 0) ReportGeneratorFailure(dst, err);
  return err;
}

}  // namespace cms::conffiles
