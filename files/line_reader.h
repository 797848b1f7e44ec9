// line_reader.h - reads a text file in the fixed-size pieces in which the
// configuration files are processed: at most size - 1 bytes, ending after a
// line feed, the way fgets fills a buffer of that size.
#pragma once

#include <cstddef>
#include <cstdio>

namespace cms::files {

class LineReader {
 public:
  // Borrows `file`; the caller closes it.
  explicit LineReader(FILE* file) : file_(file) {}

  // Reads the next piece into buf (size >= 2), NUL-terminated, and returns
  // its length in bytes; -1 at the end of the file. A piece may hold NUL
  // bytes: text functions see it up to the first one, copies use the length.
  long Next(char* buf, size_t size) {
    starts_line_ = ends_line_;
    size_t n = 0;
    int c = EOF;
    while (n + 1 < size && (c = getc_unlocked(file_)) != EOF) {
      buf[n++] = static_cast<char>(c);
      if (c == '\n') break;
    }
    buf[n] = '\0';
    if (n == 0) return -1;
    ends_line_ = buf[n - 1] == '\n';
    return static_cast<long>(n);
  }

  // True when the piece just read begins a line; false for the second and
  // later pieces of a line longer than the buffer.
  bool starts_line() const { return starts_line_; }
  // True when the piece just read ends with its line feed.
  bool ends_line() const { return ends_line_; }

 private:
  FILE* file_;
  bool starts_line_ = true;
  bool ends_line_ = true;
};

}  // namespace cms::files
