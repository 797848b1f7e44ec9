// cms_main.cc - cms: reads and changes cmsd's parameters from a shell.
//
// Exit status: 0 success; 1 the daemon answered with a failure or there is
// no value; 2 the daemon cannot be reached or the command line is wrong.
#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "client/cli/history_commands.h"
#include "client/cms_client.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr size_t kMaxNameLength = CMS_NAME_SIZE - 1;
constexpr size_t kMaxValueLength = CMS_VALUE_SIZE - 1;

constexpr char kUsage[] =
    "usage: cms COMMAND [ARGS]\n"
    "  get [--isp] NAME                 print a value\n"
    "  set [--isp|--both] NAME VALUE    change a value (written back shortly)\n"
    "  add [--isp] NAME FILE VALUE      add a parameter to the file FILE\n"
    "  del [--isp|--both] NAME          delete a parameter\n"
    "  replace [--isp|--both] NAME VALUE  change a value and its file at once\n"
    "  commit                           write changed values to their files "
    "now\n"
    "  push NAME VALUE                  queue a value under NAME\n"
    "  pop NAME                         take the oldest value queued under "
    "NAME\n"
    "  mget NAME...                     print several user-side values, one "
    "per line\n"
    "  mset NAME VALUE [NAME VALUE...]  change several user-side values\n"
    "  dump FILE                        write every user-side value to FILE "
    "(a path on the device)\n"
    "  monitor                          print message-center events until "
    "interrupted\n"
    "  log [-n N] [--since SEQ] [--json] [PATTERN]\n"
    "                                   changes the daemon made, oldest "
    "first\n"
    "  watch [--since SEQ] [--state FILE] [--json] [PATTERN]\n"
    "                                   follow changes as they are made\n"
    "  stats [--json]                   the daemon's run-time statistics\n"
    "  --help                           this text\n"
    "Without --isp a command works on the user side; --both means both "
    "sides.\n"
    "The daemon is reached on 127.0.0.1, port CMS_PORT (default 25001);\n"
    "monitor uses CMS_ROOT (default /).\n";

enum class Side { kUser, kIsp, kBoth };

int Usage(const std::string& why) {
  fprintf(stderr, "cms: %s (see cms --help)\n", why.c_str());
  return kExitUsage;
}

// Command code per side; 0 where the command has no such side.
struct Codes {
  int user;
  int isp;
  int both;
};

struct Request {
  Side side = Side::kUser;
  std::vector<std::string> args;
};

// Splits "--isp"/"--both" from the positional arguments; "--" ends options.
bool ParseArgs(int argc, char** argv, int first, Request* request,
               std::string* error) {
  bool options_done = false;
  for (int i = first; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (!options_done && arg == "--") {
      options_done = true;
    } else if (!options_done && (arg == "--isp" || arg == "--both")) {
      request->side = arg == "--isp" ? Side::kIsp : Side::kBoth;
    } else if (!options_done && arg.size() > 1 && arg.substr(0, 2) == "--") {
      *error = "unknown option '" + std::string(arg) + "'";
      return false;
    } else {
      request->args.emplace_back(arg);
    }
  }
  return true;
}

// Valid CMS_PORT (or none): the library would fail every connection.
bool CheckPortVariable() {
  const char* text = getenv("CMS_PORT");
  if (text == nullptr || text[0] == '\0') return true;
  char* end = nullptr;
  errno = 0;
  const long port = strtol(text, &end, 10);
  if (errno == 0 && *end == '\0' && port >= 1 && port <= 65535) return true;
  fprintf(stderr, "cms: CMS_PORT '%s' is not a port (1 to 65535)\n", text);
  return false;
}

std::string PortText() {
  const char* text = getenv("CMS_PORT");
  return text != nullptr && text[0] != '\0' ? text : "25001";
}

enum class Outcome { kAnswered, kUnreachable, kNoAnswer };

// One exchange through the client library's connection and send; the whole
// response is kept so that its status can be judged.
Outcome Exchange(const CMSPacket& request, CMSPacket* response) {
  int fd = -1;
  if (initClientSock(&fd) == 0) {
    if (fd != -1) close(fd);
    fprintf(stderr, "cms: cannot reach cmsd on 127.0.0.1:%s\n",
            PortText().c_str());
    return Outcome::kUnreachable;
  }
  sendPkt(fd, &request);
  memset(response, 0, sizeof *response);
  auto* p = reinterpret_cast<unsigned char*>(response);
  size_t got = 0;
  while (got < sizeof *response) {
    const ssize_t n = read(fd, p + got, sizeof *response - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  close(fd);
  if (got < sizeof *response) {
    fprintf(stderr, "cms: cmsd closed the connection without an answer\n");
    return Outcome::kNoAnswer;
  }
  return Outcome::kAnswered;
}

CMSPacket NewRequest(int cmd) {
  CMSPacket request;
  memset(&request, 0, sizeof request);
  request.pid = getpid();
  request.cmd = cmd;
  return request;
}

// A text that does not fit its field is refused rather than cut: a cut name
// would name another parameter.
bool Fill(char* field, size_t max_len, const std::string& text,
          const char* what) {
  if (text.size() > max_len) {
    fprintf(stderr, "cms: %s is longer than %zu characters\n", what, max_len);
    return false;
  }
  memcpy(field, text.data(), text.size());
  return true;
}

// Texts one after the other, each with its zero byte, as one list.
bool FillList(CMSPacket* request, const std::vector<std::string>& texts) {
  size_t pos = 0;
  for (const std::string& text : texts) {
    if (pos + text.size() + 1 > CMS_VALUE_SIZE) {
      fprintf(stderr, "cms: the list does not fit in one request (%d bytes)\n",
              CMS_VALUE_SIZE);
      return false;
    }
    memcpy(request->value + pos, text.data(), text.size());
    pos += text.size() + 1;
  }
  return true;
}

// Sends `request`; on status 6 runs `on_success` (may print) and returns 0.
template <typename OnSuccess>
int Run(const CMSPacket& request, const std::string& what,
        OnSuccess on_success) {
  CMSPacket response;
  switch (Exchange(request, &response)) {
    case Outcome::kUnreachable:
    case Outcome::kNoAnswer:
      return kExitUsage;
    case Outcome::kAnswered:
      break;
  }
  if (response.pid != request.pid || (response.status != CMS_STATUS_OK &&
                                      response.status != CMS_STATUS_FAIL)) {
    fprintf(stderr, "cms: %s: cmsd gave no valid answer\n", what.c_str());
    return kExitUsage;
  }
  if (response.status != CMS_STATUS_OK) {
    fprintf(stderr, "cms: %s: failed\n", what.c_str());
    return kExitFailed;
  }
  on_success(response);
  return kExitOk;
}

void PrintValue(const CMSPacket& response) {
  printf("%.*s\n", static_cast<int>(strnlen(response.value, CMS_VALUE_SIZE)),
         response.value);
}

void PrintNothing(const CMSPacket&) {}

int SideCode(const Request& request, const Codes& codes, const char* command,
             int* code) {
  switch (request.side) {
    case Side::kUser:
      *code = codes.user;
      break;
    case Side::kIsp:
      *code = codes.isp;
      break;
    case Side::kBoth:
      *code = codes.both;
      break;
  }
  if (*code == 0) {
    return Usage(std::string(command) + " has no " +
                 (request.side == Side::kIsp ? "--isp" : "--both") + " side");
  }
  return kExitOk;
}

int WantArgs(const Request& request, size_t count, const char* form) {
  if (request.args.size() != count) return Usage(std::string("usage: ") + form);
  return kExitOk;
}

int NoSides(const Request& request, const char* command) {
  if (request.side != Side::kUser) {
    return Usage(std::string(command) + " takes no --isp or --both");
  }
  return kExitOk;
}

int Get(const Request& r) {
  int code = 0;
  if (int rc = SideCode(r, {1, 3, 0}, "get", &code); rc != 0) return rc;
  if (int rc = WantArgs(r, 1, "cms get [--isp] NAME"); rc != 0) return rc;
  CMSPacket request = NewRequest(code);
  if (!Fill(request.name, kMaxNameLength, r.args[0], "NAME")) return kExitUsage;
  return Run(request, "get " + r.args[0], PrintValue);
}

int Set(const Request& r) {
  int code = 0;
  if (int rc = SideCode(r, {2, 4, 5}, "set", &code); rc != 0) return rc;
  if (int rc = WantArgs(r, 2, "cms set [--isp|--both] NAME VALUE"); rc != 0) {
    return rc;
  }
  CMSPacket request = NewRequest(code);
  if (!Fill(request.name, kMaxNameLength, r.args[0], "NAME") ||
      !Fill(request.value, kMaxValueLength, r.args[1], "VALUE")) {
    return kExitUsage;
  }
  return Run(request, "set " + r.args[0], PrintNothing);
}

int Add(const Request& r) {
  int code = 0;
  if (int rc = SideCode(r, {12, 13, 0}, "add", &code); rc != 0) return rc;
  if (int rc = WantArgs(r, 3, "cms add [--isp] NAME FILE VALUE"); rc != 0) {
    return rc;
  }
  CMSPacket request = NewRequest(code);
  if (!Fill(request.name, kMaxNameLength, r.args[0], "NAME") ||
      !Fill(request.location, kMaxNameLength, r.args[1], "FILE") ||
      !Fill(request.value, kMaxValueLength, r.args[2], "VALUE")) {
    return kExitUsage;
  }
  return Run(request, "add " + r.args[0], PrintNothing);
}

int Del(const Request& r) {
  int code = 0;
  if (int rc = SideCode(r, {9, 10, 11}, "del", &code); rc != 0) return rc;
  if (int rc = WantArgs(r, 1, "cms del [--isp|--both] NAME"); rc != 0) {
    return rc;
  }
  CMSPacket request = NewRequest(code);
  if (!Fill(request.name, kMaxNameLength, r.args[0], "NAME")) return kExitUsage;
  return Run(request, "del " + r.args[0], PrintNothing);
}

int Replace(const Request& r) {
  int code = 0;
  if (int rc = SideCode(r, {17, 18, 19}, "replace", &code); rc != 0) return rc;
  if (int rc = WantArgs(r, 2, "cms replace [--isp|--both] NAME VALUE");
      rc != 0) {
    return rc;
  }
  CMSPacket request = NewRequest(code);
  if (!Fill(request.name, kMaxNameLength, r.args[0], "NAME") ||
      !Fill(request.value, kMaxValueLength, r.args[1], "VALUE")) {
    return kExitUsage;
  }
  return Run(request, "replace " + r.args[0], PrintNothing);
}

int Commit(const Request& r) {
  if (int rc = NoSides(r, "commit"); rc != 0) return rc;
  if (int rc = WantArgs(r, 0, "cms commit"); rc != 0) return rc;
  // The daemon answers a write request with an empty frame, no status.
  if (CMSWriteParam(16) == 0) {
    fprintf(stderr, "cms: cannot reach cmsd on 127.0.0.1:%s\n",
            PortText().c_str());
    return kExitUsage;
  }
  return kExitOk;
}

int Push(const Request& r) {
  if (int rc = NoSides(r, "push"); rc != 0) return rc;
  if (int rc = WantArgs(r, 2, "cms push NAME VALUE"); rc != 0) return rc;
  CMSPacket request = NewRequest(33);
  if (!Fill(request.name, kMaxNameLength, r.args[0], "NAME") ||
      !Fill(request.value, kMaxValueLength, r.args[1], "VALUE")) {
    return kExitUsage;
  }
  return Run(request, "push " + r.args[0], PrintNothing);
}

int Pop(const Request& r) {
  if (int rc = NoSides(r, "pop"); rc != 0) return rc;
  if (int rc = WantArgs(r, 1, "cms pop NAME"); rc != 0) return rc;
  CMSPacket request = NewRequest(34);
  if (!Fill(request.name, kMaxNameLength, r.args[0], "NAME")) return kExitUsage;
  return Run(request, "pop " + r.args[0], PrintValue);
}

int MGet(const Request& r) {
  if (int rc = NoSides(r, "mget"); rc != 0) return rc;
  if (r.args.empty()) return Usage("usage: cms mget NAME...");
  for (const std::string& name : r.args) {
    if (name.empty()) return Usage("mget: a NAME is empty");
  }
  CMSPacket request = NewRequest(36);
  if (!FillList(&request, r.args)) return kExitUsage;
  // One line per entry that fitted the answer; "(null)" for no value.
  return Run(request, "mget", [](const CMSPacket& response) {
    size_t pos = 0;
    while (pos < CMS_VALUE_SIZE && response.value[pos] != '\0') {
      const size_t len = strnlen(response.value + pos, CMS_VALUE_SIZE - pos);
      printf("%.*s\n", static_cast<int>(len), response.value + pos);
      pos += len + 1;
    }
  });
}

int MSet(const Request& r) {
  if (int rc = NoSides(r, "mset"); rc != 0) return rc;
  if (r.args.empty() || r.args.size() % 2 != 0) {
    return Usage("usage: cms mset NAME VALUE [NAME VALUE...]");
  }
  for (size_t i = 0; i < r.args.size(); i += 2) {
    if (r.args[i].empty()) return Usage("mset: a NAME is empty");
  }
  CMSPacket request = NewRequest(35);
  if (!FillList(&request, r.args)) return kExitUsage;
  return Run(request, "mset", PrintNothing);
}

int Dump(const Request& r) {
  if (int rc = NoSides(r, "dump"); rc != 0) return rc;
  if (int rc = WantArgs(r, 1, "cms dump FILE"); rc != 0) return rc;
  CMSPacket request = NewRequest(37);
  if (!Fill(request.value, kMaxValueLength, r.args[0], "FILE")) {
    return kExitUsage;
  }
  return Run(request, "dump " + r.args[0], PrintNothing);
}

volatile sig_atomic_t g_interrupted = 0;

void OnInterrupt(int) { g_interrupted = 1; }

// Binds the message-center socket. A socket file that nobody answers on is
// left from an earlier listener and is replaced; a live one is not taken.
bool BindListener(int fd, const sockaddr_un& addr, std::string* error) {
  const auto* sa = reinterpret_cast<const sockaddr*>(&addr);
  if (bind(fd, sa, sizeof addr) == 0) return true;
  if (errno != EADDRINUSE) {
    *error = strerror(errno);
    return false;
  }
  const int probe = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  const bool live = probe >= 0 && connect(probe, sa, sizeof addr) == 0;
  if (probe >= 0) close(probe);
  if (live) {
    *error = "another listener is bound there";
    return false;
  }
  unlink(addr.sun_path);
  if (bind(fd, sa, sizeof addr) == 0) return true;
  *error = strerror(errno);
  return false;
}

int Monitor(const Request& r) {
  if (int rc = NoSides(r, "monitor"); rc != 0) return rc;
  if (int rc = WantArgs(r, 0, "cms monitor"); rc != 0) return rc;
  const char* root_env = getenv("CMS_ROOT");
  std::string root =
      root_env != nullptr && root_env[0] != '\0' ? root_env : "/";
  while (!root.empty() && root.back() == '/') root.pop_back();
  const std::string path = root + "/var/run/msgcenter.sock";
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path.size() >= sizeof addr.sun_path) {
    fprintf(stderr, "cms: socket path %s is too long\n", path.c_str());
    return kExitUsage;
  }
  memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  std::string error = fd < 0 ? strerror(errno) : "";
  if (fd < 0 || !BindListener(fd, addr, &error)) {
    fprintf(stderr, "cms: cannot listen on %s: %s\n", path.c_str(),
            error.c_str());
    if (fd >= 0) close(fd);
    return kExitUsage;
  }
  // The signals stay blocked except inside ppoll, so an interrupt that
  // arrives between two datagrams is never missed.
  struct sigaction on_interrupt {};
  on_interrupt.sa_handler = OnInterrupt;
  sigaction(SIGINT, &on_interrupt, nullptr);
  sigaction(SIGTERM, &on_interrupt, nullptr);
  sigset_t blocked;
  sigset_t waiting;
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGINT);
  sigaddset(&blocked, SIGTERM);
  sigprocmask(SIG_BLOCK, &blocked, &waiting);
  sigdelset(&waiting, SIGINT);
  sigdelset(&waiting, SIGTERM);
  setvbuf(stdout, nullptr, _IOLBF, 0);
  int rc = kExitOk;
  char buf[4096];
  while (g_interrupted == 0) {
    pollfd p{fd, POLLIN, 0};
    if (ppoll(&p, 1, nullptr, &waiting) < 0) {
      if (errno == EINTR) continue;
      fprintf(stderr, "cms: poll: %s\n", strerror(errno));
      rc = kExitUsage;
      break;
    }
    const ssize_t n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
    if (n >= 0) printf("%.*s\n", static_cast<int>(n), buf);
  }
  close(fd);
  unlink(path.c_str());
  return rc;
}

// A count or record number in decimal.
bool Number(const char* text, uint64_t* out) {
  if (text == nullptr || text[0] < '0' || text[0] > '9') return false;
  char* end = nullptr;
  errno = 0;
  *out = strtoull(text, &end, 10);
  return errno == 0 && *end == '\0';
}

// log, watch and stats: their own options, then at most one PATTERN.
int HistoryCommand(std::string_view command, int argc, char** argv) {
  cms::cli::LogOptions log;
  cms::cli::WatchOptions watch;
  bool json = false;
  std::vector<std::string> args;
  for (int i = 2; i < argc; ++i) {
    const std::string_view arg = argv[i];
    const char* next = i + 1 < argc ? argv[i + 1] : nullptr;
    uint64_t n = 0;
    if (arg == "--json") {
      json = true;
    } else if (arg == "-n" && command == "log") {
      if (!Number(next, &n)) return Usage("-n needs a count");
      log.count = static_cast<long>(n);
      ++i;
    } else if (arg == "--since" && command != "stats") {
      if (!Number(next, &n)) return Usage("--since needs a record number");
      log.since = watch.since = n;
      watch.has_since = true;
      ++i;
    } else if (arg == "--state" && command == "watch") {
      if (next == nullptr) return Usage("--state needs a file");
      watch.state_file = next;
      ++i;
    } else if (arg.starts_with("-")) {
      return Usage(std::string(command) + ": unknown option '" +
                   std::string(arg) + "'");
    } else {
      args.emplace_back(arg);
    }
  }
  if (args.size() > (command == "stats" ? 0u : 1u)) {
    return Usage(std::string(command) + ": too many arguments");
  }
  if (!CheckPortVariable()) return kExitUsage;
  log.json = watch.json = json;
  if (!args.empty()) log.pattern = watch.pattern = args[0];
  if (command == "log") return cms::cli::ShowLog(log);
  if (command == "watch") return cms::cli::Watch(watch);
  return cms::cli::ShowStats(json);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return Usage("no command given");
  const std::string_view command = argv[1];
  if (command == "--help" || command == "-h" || command == "help") {
    fputs(kUsage, stdout);
    return kExitOk;
  }
  if (command == "log" || command == "watch" || command == "stats") {
    return HistoryCommand(command, argc, argv);
  }
  Request request;
  std::string error;
  if (!ParseArgs(argc, argv, 2, &request, &error)) return Usage(error);
  if (!CheckPortVariable()) return kExitUsage;
  struct Entry {
    const char* name;
    int (*run)(const Request&);
  };
  static constexpr Entry kCommands[] = {
      {"get", Get},   {"set", Set},         {"add", Add},
      {"del", Del},   {"replace", Replace}, {"commit", Commit},
      {"push", Push}, {"pop", Pop},         {"mget", MGet},
      {"mset", MSet}, {"dump", Dump},       {"monitor", Monitor},
  };
  for (const Entry& entry : kCommands) {
    if (command == entry.name) return entry.run(request);
  }
  return Usage("unknown command '" + std::string(command) + "'");
}
