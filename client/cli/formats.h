// formats.h - the export formats of cms (shell assignments and JSON) and
// the reading of either back.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace cms::cli {

using Pairs = std::vector<std::pair<std::string, std::string>>;

// name='value' lines that a POSIX shell can eval. A name that is not a
// shell variable name is written behind "#= ", so that eval skips it and
// import still reads it.
std::string ToShell(const Pairs& pairs);
// One JSON object, members in the given order. Bytes that are not UTF-8 come
// out as U+FFFD; *replaced counts the values that had any.
std::string ToJson(const Pairs& pairs, int* replaced);

// Reads either format (JSON when the first non-blank character is '{');
// the members of a JSON object come in name order.
// False with a message (and the line) in *error.
bool ParseExport(const std::string& text, Pairs* pairs, std::string* error);

}  // namespace cms::cli
