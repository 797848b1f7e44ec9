// options.h - the daemon's command line and environment.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "client/cms_client.h"

namespace cms::core {

struct Options {
  // What the command line asks for: serve, or print and leave.
  enum class Action { kServe, kHelp, kVersion, kCheck };
  Action action = Action::kServe;
  std::string root = "/";
  uint16_t port = CMS_DEFAULT_PORT;
  bool log_stderr = false;
  size_t history_size = 4096;  // records of the change history; 0: none
};

// The text of --help and of --version.
extern const char kUsageText[];
extern const char kVersionText[];

// A port in decimal, 1 to 65535, nothing else.
std::optional<uint16_t> ParsePort(const std::string& text);

// "--root DIR", "--port N", "--log-stderr", "--history N", "--check",
// "--help", "--version"; CMS_ROOT and CMS_PORT (given as
// env_root / env_port, null when unset) fill what the options leave out.
// Null on a bad option, a bad port or a root that is not a directory, with
// one line for standard error in *error.
std::optional<Options> ParseOptions(int argc, const char* const* argv,
                                    const char* env_root, const char* env_port,
                                    std::string* error);

}  // namespace cms::core
