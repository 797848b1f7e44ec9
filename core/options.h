// options.h - the daemon's command line and environment.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "client/cms_client.h"

namespace cms::core {

struct Options {
  std::string root = "/";
  uint16_t port = CMS_DEFAULT_PORT;
  bool log_stderr = false;
};

// A port in decimal, 1 to 65535, nothing else.
std::optional<uint16_t> ParsePort(const std::string& text);

// "--root DIR", "--port N", "--log-stderr"; CMS_ROOT and CMS_PORT (given as
// env_root / env_port, null when unset) fill what the options leave out.
// Null on a bad option, a bad port or a root that is not a directory, with
// one line for standard error in *error.
std::optional<Options> ParseOptions(int argc, const char* const* argv,
                                    const char* env_root, const char* env_port,
                                    std::string* error);

}  // namespace cms::core
