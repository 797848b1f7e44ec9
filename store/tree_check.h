// tree_check.h - finds what the loader would skip, double or misread in
// the configuration tree, without loading it.
#pragma once

#include <functional>
#include <string>

namespace cms::store {

// Walks the files the loader reads (under the current root) and reports
// each finding as one line "FILE:LINE: what" (FILE a device path; no LINE
// for a file that cannot be read). Returns the number of findings.
//  - a file that cannot be read;
//  - a line the loader skips: indented, or with a name longer than a
//    record holds;
//  - a parameter line without "=";
//  - a name met again on the same side (the occurrence read last wins);
//  - a line holding control bytes, or longer than one piece of 799 bytes;
//  - a name that cannot be stored or asked for (a carriage return inside).
int CheckConfigTree(const std::function<void(const std::string&)>& report);

}  // namespace cms::store
