// options.cc - parses the daemon's command line over its environment.
#include "core/options.h"

#include <sys/stat.h>

#include <cstdlib>
#include <cstring>

namespace cms::core {

// The default port in the usage text is the wire format's.
#define CMS_TEXT_OF(x) #x
#define CMS_TEXT(x) CMS_TEXT_OF(x)

const char kUsageText[] =
    "usage: cmsd [--root DIR] [--port N] [--log-stderr] [--history N]\n"
    "       cmsd --check [--root DIR]\n"
    "The configuration manager daemon; it runs in the foreground.\n"
    "  --root DIR     sandbox root put in front of every device path "
    "(CMS_ROOT; /)\n"
    "  --port N       TCP port on 127.0.0.1 (CMS_PORT; " CMS_TEXT(
        CMS_DEFAULT_PORT) ")\n"
    "  --log-stderr   also write every syslog line to standard error\n"
    "  --history N    changes kept for 'cms log' and 'cms watch' (4096; 0 "
    "keeps none)\n"
    "  --check        check the configuration tree and exit: 0 when clean, 1 "
    "with\n"
    "                 one line per finding\n"
    "  --help, --version\n";
const char kVersionText[] = "cmsd " CMS_VERSION "\n";

namespace {

// Largest history a daemon keeps: about 350 MB of records.
constexpr unsigned long kMaxHistory = 1UL << 20;

std::optional<size_t> ParseCount(const char* text) {
  if (text[0] < '0' || text[0] > '9') return std::nullopt;
  char* end = nullptr;
  const unsigned long value = strtoul(text, &end, 10);
  if (*end != '\0' || value > kMaxHistory) return std::nullopt;
  return static_cast<size_t>(value);
}

}  // namespace

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
    } else if (strcmp(arg, "--help") == 0) {
      options.action = Options::Action::kHelp;
      return options;
    } else if (strcmp(arg, "--version") == 0) {
      options.action = Options::Action::kVersion;
      return options;
    } else if (strcmp(arg, "--check") == 0) {
      options.action = Options::Action::kCheck;
    } else if (strcmp(arg, "--history") == 0) {
      const std::optional<size_t> count =
          i + 1 < argc ? ParseCount(argv[i + 1]) : std::nullopt;
      if (!count) {
        *error = std::string("cmsd: --history needs a count of 0 to ") +
                 std::to_string(kMaxHistory);
        return std::nullopt;
      }
      options.history_size = *count;
      ++i;
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
      *error =
          std::string("cmsd: unknown option '") + arg + "' (see cmsd --help)";
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
