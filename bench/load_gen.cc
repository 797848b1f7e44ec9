// load_gen.cc - request load: N client threads get or set in a loop, one
// connection per request as every client of the device makes them, and the
// run reports requests per second, latency percentiles, and the server's CPU
// time and context switches per request.
//
// Usage:
//   load_gen --port P [--op get|set] [--clients 1,4,16,64] [--seconds S]
//            [--requests N] [--close reset|orderly] [--storm]
//            [--slow-senders N] [--server-pid PID] [--reference]
//   load_gen --free-port        prints a free loopback port and exits
//
// --close reset (default): the real client library (CMSGetValue_EX,
//   CMSSetValue), which resets the connection once the answer is in;
//   orderly: the same frame and system calls, but the client closes in
//   order (and so keeps its port in TIME_WAIT).
// --storm: every client starts at the same instant and the first requests
//   are measured too (no warm-up): a boot that starts all clients at once.
// --requests N: each client makes N requests, then stops (instead of
//   --seconds); throughput counts until the last one is done.
// --slow-senders N: N more connections each send one byte every 2 s
//   (reconnecting when closed) during the run.
// --reference: the server answers zero frames (the epoll reference); an
//   answer counts as served when all 1024 bytes came back.
// One line per concurrency level:
//   op=get close=reset clients=4 requests=61234 rps=30611 p50_us=118
//   p99_us=301 p999_us=420 max_us=900 cpu_us=21.4 cs=0.21 failures=0
#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "client/cms_client.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kWarmUp = std::chrono::milliseconds(300);
constexpr auto kSlowInterval = std::chrono::seconds(2);

struct Options {
  int port = 0;
  bool set = false;
  bool orderly = false;
  bool storm = false;
  long requests = 0;  // per client; 0: run for `seconds`
  int slow_senders = 0;
  std::vector<int> clients = {1, 4, 16, 64};
  double seconds = 2.0;
  long server_pid = 0;
  bool reference = false;
};

// utime + stime of a process, in seconds; 0 when it cannot be read.
double CpuSeconds(long pid) {
  if (pid <= 0) return 0;
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string stat((std::istreambuf_iterator<char>(in)),
                   std::istreambuf_iterator<char>());
  const size_t paren = stat.rfind(')');
  if (paren == std::string::npos) return 0;
  std::istringstream fields(stat.substr(paren + 2));
  std::string field;
  // Fields after the command name start at field 3 (state); utime and stime
  // are fields 14 and 15.
  unsigned long long utime = 0, stime = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i == 14) utime = std::stoull(field);
    if (i == 15) stime = std::stoull(field);
  }
  return static_cast<double>(utime + stime) /
         static_cast<double>(sysconf(_SC_CLK_TCK));
}

// Context switches (voluntary and not) of every thread of a process alive
// now. Threads that ended take theirs along; the servers measured here keep
// their threads.
long ContextSwitches(long pid) {
  if (pid <= 0) return 0;
  const std::string dir = "/proc/" + std::to_string(pid) + "/task";
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return 0;
  long total = 0;
  while (const dirent* e = readdir(d)) {
    if (e->d_name[0] == '.') continue;
    std::ifstream in(dir + "/" + e->d_name + "/status");
    for (std::string line; std::getline(in, line);) {
      if (line.find("ctxt_switches:") != std::string::npos)
        total += atol(line.c_str() + line.find(':') + 1);
    }
  }
  closedir(d);
  return total;
}

int FreePort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  int port = 0;
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0) {
    port = ntohs(addr.sin_port);
  }
  close(fd);
  return port;
}

sockaddr_in ServerAddress(int port) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(port));
  return addr;
}

// The library's exchange, closed in order: connect, one frame out, the
// whole answer in, close. The number of answer bytes received.
int OrderlyExchange(const sockaddr_in& server, const CMSPacket& request,
                    CMSPacket* response) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return 0;
  size_t got = 0;
  if (connect(fd, reinterpret_cast<const sockaddr*>(&server), sizeof server) ==
          0 &&
      send(fd, &request, sizeof request, MSG_NOSIGNAL) ==
          static_cast<ssize_t>(sizeof request)) {
    auto* p = reinterpret_cast<unsigned char*>(response);
    while (got < sizeof *response) {
      const ssize_t n = read(fd, p + got, sizeof *response - got);
      if (n <= 0) break;
      got += static_cast<size_t>(n);
    }
  }
  close(fd);
  return static_cast<int>(got);
}

struct Shared {
  std::atomic<bool> go{false};
  std::atomic<bool> measuring{false};
  std::atomic<bool> stop{false};
};

struct ClientResult {
  std::vector<uint32_t> latencies_us;
  long failures = 0;
  Clock::time_point done;
};

// One request; true when it was answered as it should be.
bool Request(const Options& options, const sockaddr_in& server,
             const std::string& name, unsigned long* counter) {
  if (!options.orderly) {
    if (options.set) {
      const std::string value = std::to_string(++*counter);
      return CMSSetValue(name.c_str(), value.c_str(), 2) == 1;
    }
    char value[CMS_VALUE_SIZE];
    const int got = CMSGetValue_EX("hostname", value, sizeof value, 1);
    return got == CMS_FRAME_SIZE && (options.reference || value[0] != '\0');
  }
  CMSPacket request{};
  request.pid = getpid();
  request.cmd = options.set ? 2 : 1;
  if (options.set) {
    snprintf(request.name, sizeof request.name, "%s", name.c_str());
    snprintf(request.value, sizeof request.value, "%lu", ++*counter);
  } else {
    snprintf(request.name, sizeof request.name, "hostname");
  }
  CMSPacket response{};
  const int got = OrderlyExchange(server, request, &response);
  return got == CMS_FRAME_SIZE &&
         (options.reference || response.status == CMS_STATUS_OK);
}

void RunClient(int index, const Options& options, Shared& shared,
               ClientResult& result) {
  // Each client sets a parameter of its own to a new value every time, so
  // that every set is a change.
  const std::string name = "bench_value_" + std::to_string(index);
  const sockaddr_in server = ServerAddress(options.port);
  unsigned long counter = 0;
  result.latencies_us.reserve(options.requests > 0 ? options.requests
                                                   : 1 << 16);
  while (!shared.go.load(std::memory_order_acquire)) std::this_thread::yield();
  for (long made = 0; !shared.stop.load(std::memory_order_relaxed) &&
                      (options.requests == 0 || made < options.requests);
       ++made) {
    const auto start = Clock::now();
    const bool ok = Request(options, server, name, &counter);
    const auto took = Clock::now() - start;
    if (!shared.measuring.load(std::memory_order_relaxed) || shared.stop.load())
      continue;
    result.latencies_us.push_back(static_cast<uint32_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(took).count()));
    if (!ok) ++result.failures;
  }
  result.done = Clock::now();
}

// Connections that each send one byte every 2 s, opened anew when the
// server closes them, until `stop`.
void RunSlowSenders(int count, int port, const Shared& shared) {
  const sockaddr_in server = ServerAddress(port);
  std::vector<int> fds(static_cast<size_t>(count), -1);
  while (!shared.stop.load()) {
    const auto round = Clock::now();
    for (int& fd : fds) {
      char byte = 'x';
      if (fd >= 0 && send(fd, &byte, 1, MSG_NOSIGNAL | MSG_DONTWAIT) == 1)
        continue;
      if (fd >= 0) close(fd);
      fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
      connect(fd, reinterpret_cast<const sockaddr*>(&server), sizeof server);
    }
    while (!shared.stop.load() && Clock::now() - round < kSlowInterval)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  for (int fd : fds) close(fd);
}

void RunLevel(const Options& options, int clients) {
  Shared shared;
  std::thread slow;
  if (options.slow_senders > 0) {
    slow = std::thread(RunSlowSenders, options.slow_senders, options.port,
                       std::cref(shared));
    // Every slow connection open before the measured client starts.
    std::this_thread::sleep_for(std::chrono::seconds(1));
  }
  std::vector<ClientResult> results(static_cast<size_t>(clients));
  std::vector<std::thread> threads;
  for (int i = 0; i < clients; ++i) {
    threads.emplace_back(RunClient, i, std::cref(options), std::ref(shared),
                         std::ref(results[static_cast<size_t>(i)]));
  }
  if (options.storm) shared.measuring = true;
  const double cpu_start = CpuSeconds(options.server_pid);
  const long switches_start = ContextSwitches(options.server_pid);
  shared.go.store(true, std::memory_order_release);
  if (!options.storm) std::this_thread::sleep_for(kWarmUp);
  const double cpu_before =
      options.storm ? cpu_start : CpuSeconds(options.server_pid);
  const long switches_before =
      options.storm ? switches_start : ContextSwitches(options.server_pid);
  const auto begin = Clock::now();
  shared.measuring = true;
  if (options.requests == 0) {
    std::this_thread::sleep_for(std::chrono::duration<double>(options.seconds));
    shared.stop = true;
  }
  for (std::thread& t : threads) t.join();
  auto end = Clock::now();
  if (options.requests > 0) {
    end = begin;
    for (const ClientResult& r : results) end = std::max(end, r.done);
  }
  const double elapsed = std::chrono::duration<double>(end - begin).count();
  const double cpu_after = CpuSeconds(options.server_pid);
  const long switches_after = ContextSwitches(options.server_pid);
  shared.stop = true;
  if (slow.joinable()) slow.join();

  std::vector<uint32_t> all;
  long failures = 0;
  for (const ClientResult& r : results) {
    all.insert(all.end(), r.latencies_us.begin(), r.latencies_us.end());
    failures += r.failures;
  }
  std::sort(all.begin(), all.end());
  const size_t n = all.size();
  auto percentile = [&](double p) -> uint32_t {
    return n == 0 ? 0
                  : all[std::min(n - 1, static_cast<size_t>(
                                            p * static_cast<double>(n)))];
  };
  const double per = n == 0 ? 0 : 1.0 / static_cast<double>(n);
  printf(
      "op=%s close=%s clients=%d requests=%zu rps=%.0f p50_us=%u p99_us=%u "
      "p999_us=%u max_us=%u cpu_us=%.1f cs=%.2f failures=%ld\n",
      options.set ? "set" : "get", options.orderly ? "orderly" : "reset",
      clients, n, static_cast<double>(n) / elapsed, percentile(0.50),
      percentile(0.99), percentile(0.999), n == 0 ? 0 : all.back(),
      (cpu_after - cpu_before) * 1e6 * per,
      static_cast<double>(switches_after - switches_before) * per, failures);
  fflush(stdout);
}

bool ParseClients(const char* text, std::vector<int>& out) {
  out.clear();
  std::istringstream in(text);
  for (std::string item; std::getline(in, item, ',');) {
    const int n = atoi(item.c_str());
    if (n <= 0) return false;
    out.push_back(n);
  }
  return !out.empty();
}

[[noreturn]] void Usage(const char* program) {
  fprintf(
      stderr,
      "usage: %s --port P [--op get|set] [--clients 1,4,16,64] [--seconds S]\n"
      "          [--requests N] [--close reset|orderly] [--storm]\n"
      "          [--slow-senders N] [--server-pid PID] [--reference]\n"
      "       %s --free-port\n",
      program, program);
  exit(2);
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool has_value = i + 1 < argc;
    if (arg == "--free-port") {
      printf("%d\n", FreePort());
      return 0;
    } else if (arg == "--port" && has_value) {
      options.port = atoi(argv[++i]);
    } else if (arg == "--op" && has_value) {
      const std::string op = argv[++i];
      if (op != "get" && op != "set") Usage(argv[0]);
      options.set = op == "set";
    } else if (arg == "--close" && has_value) {
      const std::string how = argv[++i];
      if (how != "reset" && how != "orderly") Usage(argv[0]);
      options.orderly = how == "orderly";
    } else if (arg == "--clients" && has_value) {
      if (!ParseClients(argv[++i], options.clients)) Usage(argv[0]);
    } else if (arg == "--seconds" && has_value) {
      options.seconds = atof(argv[++i]);
    } else if (arg == "--requests" && has_value) {
      options.requests = atol(argv[++i]);
    } else if (arg == "--slow-senders" && has_value) {
      options.slow_senders = atoi(argv[++i]);
    } else if (arg == "--storm") {
      options.storm = true;
    } else if (arg == "--server-pid" && has_value) {
      options.server_pid = atol(argv[++i]);
    } else if (arg == "--reference") {
      options.reference = true;
    } else {
      Usage(argv[0]);
    }
  }
  if (options.port <= 0 || options.port > 65535 || options.seconds <= 0 ||
      options.requests < 0 || options.slow_senders < 0)
    Usage(argv[0]);
  // Hundreds of clients and slow senders need more than 1,024 descriptors.
  rlimit lim;
  getrlimit(RLIMIT_NOFILE, &lim);
  lim.rlim_cur = lim.rlim_max;
  setrlimit(RLIMIT_NOFILE, &lim);
  // The client library takes the daemon's port from the environment.
  setenv("CMS_PORT", std::to_string(options.port).c_str(), 1);
  for (int clients : options.clients) RunLevel(options, clients);
  return 0;
}
