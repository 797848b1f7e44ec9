// conf_line.h - what one piece of a configuration file is: the grammar the
// loader and the write-back share, so that the line the loader takes for a
// name is the line the write-back rewrites.
#pragma once

#include <cstddef>
#include <cstring>

#include "store/param_record.h"

namespace cms::store {

enum class LineKind {
  kComment,    // first character "#": kept as it is
  kNothing,    // no name (blank, separators only): skipped, then dropped
  kForeign,    // not read as a parameter (see below): kept as it is
  kParameter,  // a name the loader reads
};

struct ConfLine {
  LineKind kind;
  size_t name_start = 0;   // after leading separators
  size_t name_length = 0;  // up to the next separator
};

// A name ends at any of these; leading ones are passed over.
inline constexpr char kConfNameSeparators[] = " \t=\n";

// Reads one piece of at most 799 characters (a longer line arrives as
// several pieces, each read as a line of its own). A line indented with a
// blank or starting with a carriage return is not a parameter line, and
// neither is one whose name is longer than a record holds: the design's
// loader cuts such a name and its write-back then deletes the line, so
// here both leave the line alone instead.
inline ConfLine ParseConfLine(const char* piece) {
  if (piece[0] == '#') return {LineKind::kComment};
  const size_t start = strspn(piece, kConfNameSeparators);
  const size_t length = strcspn(piece + start, kConfNameSeparators);
  if (piece[0] == ' ' || piece[0] == '\r') {
    return {piece[strspn(piece, " \t\r\n")] == '\0' ? LineKind::kNothing
                                                      : LineKind::kForeign};
  }
  if (length == 0) return {LineKind::kNothing};
  if (length > static_cast<size_t>(kMaxNameLength)) {
    return {LineKind::kForeign};
  }
  return {LineKind::kParameter, start, length};
}

}  // namespace cms::store
