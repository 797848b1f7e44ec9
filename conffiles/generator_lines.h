// generator_lines.h - reads whole lines of a generator's source file, so that a
// generator never mistakes the tail of an over-long line for a line of its own.
#pragma once

#include <unistd.h>

#include <cstddef>
#include <cstdio>
#include <string>

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

// Runs body(in, out) with `src` open for reading and `dst` truncated for
// writing, closes both and flushes them to flash. Nothing is written when
// either file does not open.
template <typename Body>
void GenerateFile(const char* src, const char* dst, Body body) {
  platform::DeviceFile in(src, "r");
  if (!in) return;
  platform::DeviceFile out(dst, "w");
  if (!out) return;
  body(in.get(), out.get());
  in.Close();
  out.Close();
  sync();
}

}  // namespace cms::conffiles
