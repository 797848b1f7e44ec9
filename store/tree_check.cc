// tree_check.cc - the configuration tree checked with the loader's grammar.
#include "store/tree_check.h"

#include <ftw.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>

#include "files/line_reader.h"
#include "platform/root.h"
#include "store/conf_line.h"
#include "store/file_tables.h"
#include "store/param_record.h"

namespace cms::store {
namespace {

constexpr int kMaxOpenDirs = 64;

struct Walk {
  const std::function<void(const std::string&)>* report;
  int findings = 0;
  // Where each name was first seen, per side: "FILE:LINE".
  std::map<std::string, std::string> seen[2];

  void Report(const std::string& where, const std::string& what) {
    (*report)(where + ": " + what);
    ++findings;
  }
};
Walk* g_walk = nullptr;  // nftw has no user argument

// The loader's choice of files: regular files under the two side
// directories whose base name holds "conf" and does not start with ".".
int SideOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  const std::string base = path.substr(slash + 1);
  if (base.empty() || base[0] == '.' ||
      base.find("conf") == std::string::npos) {
    return -1;
  }
  if (path.find("/app/") != std::string::npos) return -1;
  if (path.starts_with(kIspDir)) return 1;
  if (path.starts_with(kUserDir)) return 0;
  return -1;
}

void CheckPiece(Walk& walk, const std::string& where, const char* piece,
                long length, bool cut, int side) {
  if (cut) {
    walk.Report(where, "line longer than 799 bytes is read as several lines");
  }
  for (long i = 0; i < length; ++i) {
    const unsigned char c = static_cast<unsigned char>(piece[i]);
    if ((c < 0x20 && c != '\t' && c != '\n' && c != '\r') || c == 0x7f) {
      char what[48];
      snprintf(what, sizeof what, "control byte 0x%02x", c);
      walk.Report(where, what);
      return;
    }
  }
  const ConfLine line = ParseConfLine(piece);
  switch (line.kind) {
    case LineKind::kComment:
    case LineKind::kNothing:
      return;
    case LineKind::kForeign:
      walk.Report(where, piece[0] == ' ' || piece[0] == '\r'
                             ? "indented line is not loaded"
                             : "name longer than 63 characters is not loaded");
      return;
    case LineKind::kParameter:
      break;
  }
  const std::string name(piece + line.name_start, line.name_length);
  const char separator = piece[line.name_start + line.name_length];
  // The debug flag's line is the one meant to be tab-separated: start-up
  // reads it with "cut -f2".
  if (separator != '=' && name != "sys_cms_debug_mode") {
    walk.Report(where, "no \"=\" after the name " + name);
  }
  if (name.find('\r') != std::string::npos) {
    walk.Report(where, "name holds a carriage return and cannot be asked for");
  }
  const auto [at, fresh] = walk.seen[side].emplace(name, where);
  if (!fresh) {
    walk.Report(where, name + " again (first at " + at->second +
                           "); the last one read wins");
  }
}

int CheckFile(const char* host_path, const struct stat*, int type,
              struct FTW*) {
  if (type != FTW_F && type != FTW_SLN && type != FTW_NS) return 0;
  std::string path(host_path);
  const std::string& root = platform::Root();
  if (root != "/" && path.starts_with(root)) path.erase(0, root.size());
  const int side = SideOf(path);
  if (side < 0) return 0;
  Walk& walk = *g_walk;
  // A link to nothing is a file the loader would try and fail to read.
  FILE* f = type == FTW_F ? fopen(host_path, "r") : nullptr;
  if (type != FTW_F) errno = ENOENT;
  if (f == nullptr) {
    walk.Report(path, std::string("cannot be read: ") + strerror(errno));
    return 0;
  }
  files::LineReader reader(f);
  char piece[kValueSize];
  long length;
  int line_number = 0;
  while ((length = reader.Next(piece, sizeof piece)) >= 0) {
    if (reader.starts_line()) ++line_number;
    // The first piece of a line that goes on past it.
    const bool cut = reader.starts_line() && !reader.ends_line() &&
                     static_cast<size_t>(length) == sizeof piece - 1;
    CheckPiece(walk, path + ":" + std::to_string(line_number), piece, length,
               cut, side);
  }
  fclose(f);
  return 0;
}

}  // namespace

int CheckConfigTree(const std::function<void(const std::string&)>& report) {
  Walk walk;
  walk.report = &report;
  g_walk = &walk;
  const std::string top = platform::HostPath(kConfRoot);
  if (nftw(top.c_str(), CheckFile, kMaxOpenDirs, 0) != 0) {
    walk.Report(kConfRoot, std::string("cannot be walked: ") + strerror(errno));
  }
  g_walk = nullptr;
  return walk.findings;
}

}  // namespace cms::store
