// options.cc - parses the daemon's command line over its environment.
#include "core/options.h"

#include <sys/stat.h>

#include <cstring>

namespace cms::core {

std::optional<uint16_t> ParsePort(const std::string& text) {
  if (text.empty() || text.size() > 5) return std::nullopt;
  unsigned value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  if (value == 0 || value > 65535) return std::nullopt;
  return static_cast<uint16_t>(value);
}

std::optional<Options> ParseOptions(int argc, const char* const* argv,
                                    const char* env_root, const char* env_port,
                                    std::string* error) {
  const char* root =
      env_root != nullptr && env_root[0] != '\0' ? env_root : nullptr;
  const char* port =
      env_port != nullptr && env_port[0] != '\0' ? env_port : nullptr;
  const char* port_source = "CMS_PORT";
  Options options;
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (strcmp(arg, "--log-stderr") == 0) {
      options.log_stderr = true;
    } else if (strcmp(arg, "--root") == 0 || strcmp(arg, "--port") == 0) {
      if (i + 1 >= argc || argv[i + 1][0] == '\0') {
        *error = std::string("cmsd: ") + arg + " needs a value";
        return std::nullopt;
      }
      if (arg[2] == 'r') {
        root = argv[++i];
      } else {
        port = argv[++i];
        port_source = "--port";
      }
    } else {
      *error = std::string("cmsd: unknown option '") + arg +
               "' (usage: cmsd [--root DIR] [--port N] [--log-stderr])";
      return std::nullopt;
    }
  }
  if (port != nullptr) {
    const std::optional<uint16_t> parsed = ParsePort(port);
    if (!parsed) {
      *error = std::string("cmsd: bad port '") + port + "' from " +
               port_source + " (1 to 65535)";
      return std::nullopt;
    }
    options.port = *parsed;
  }
  if (root != nullptr) {
    struct stat st;
    if (stat(root, &st) != 0 || !S_ISDIR(st.st_mode)) {
      *error = std::string("cmsd: root '") + root + "' is not a directory";
      return std::nullopt;
    }
    options.root = root;
  }
  return options;
}

}  // namespace cms::core
