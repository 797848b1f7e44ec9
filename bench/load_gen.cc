// load_gen.cc - request load through the real client library: N client
// threads call CMSGetValue or CMSSetValue in a loop (one connection per
// request, as every client of the device does) and the run reports
// requests per second, p50 and p99 latency and the server's CPU time per
// request.
//
// Usage:
//   load_gen --port P [--op get|set] [--clients 1,4,16,64] [--seconds S]
//            [--server-pid PID] [--reference]
//   load_gen --free-port        prints a free loopback port and exits
//
// --reference counts answers that are not valid CMS answers as served (for
// the epoll reference server, which answers zero frames).
// One line per concurrency level:
//   op=get clients=4 requests=61234 rps=30611 p50_us=118 p99_us=301 cpu_us=21.4
//   failures=0
#include <arpa/inet.h>
#include <netinet/in.h>
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

struct Options {
  int port = 0;
  bool set = false;
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

struct Shared {
  std::atomic<bool> measuring{false};
  std::atomic<bool> stop{false};
};

struct ClientResult {
  std::vector<uint32_t> latencies_us;
  long failures = 0;
};

void RunClient(int index, const Options& options, Shared& shared,
               ClientResult& result) {
  // Each client sets a parameter of its own to a new value every time, so
  // that every set is a change.
  const std::string name = "bench_value_" + std::to_string(index);
  unsigned long counter = 0;
  result.latencies_us.reserve(1 << 16);
  while (!shared.stop.load(std::memory_order_relaxed)) {
    const auto start = Clock::now();
    bool ok;
    if (options.set) {
      const std::string value = std::to_string(++counter);
      ok = CMSSetValue(name.c_str(), value.c_str(), 2) == 1;
    } else {
      ok = CMSGetValue("hostname", 1) != nullptr;
    }
    const auto took = Clock::now() - start;
    if (!shared.measuring.load(std::memory_order_relaxed) || shared.stop.load())
      continue;
    result.latencies_us.push_back(static_cast<uint32_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(took).count()));
    if (!ok && !options.reference) ++result.failures;
  }
}

void RunLevel(const Options& options, int clients) {
  Shared shared;
  std::vector<ClientResult> results(static_cast<size_t>(clients));
  std::vector<std::thread> threads;
  for (int i = 0; i < clients; ++i) {
    threads.emplace_back(RunClient, i, std::cref(options), std::ref(shared),
                         std::ref(results[static_cast<size_t>(i)]));
  }
  std::this_thread::sleep_for(kWarmUp);
  const double cpu_before = CpuSeconds(options.server_pid);
  const auto begin = Clock::now();
  shared.measuring = true;
  std::this_thread::sleep_for(std::chrono::duration<double>(options.seconds));
  shared.stop = true;
  const double elapsed =
      std::chrono::duration<double>(Clock::now() - begin).count();
  const double cpu_after = CpuSeconds(options.server_pid);
  for (std::thread& t : threads) t.join();

  std::vector<uint32_t> all;
  long failures = 0;
  for (const ClientResult& r : results) {
    all.insert(all.end(), r.latencies_us.begin(), r.latencies_us.end());
    failures += r.failures;
  }
  const size_t n = all.size();
  auto percentile = [&](double p) -> uint32_t {
    if (n == 0) return 0;
    const size_t k =
        std::min(n - 1, static_cast<size_t>(p * static_cast<double>(n)));
    std::nth_element(all.begin(), all.begin() + static_cast<long>(k),
                     all.end());
    return all[k];
  };
  const uint32_t p50 = percentile(0.50);
  const uint32_t p99 = percentile(0.99);
  const double cpu_us =
      n == 0 ? 0 : (cpu_after - cpu_before) * 1e6 / static_cast<double>(n);
  printf(
      "op=%s clients=%d requests=%zu rps=%.0f p50_us=%u p99_us=%u cpu_us=%.1f "
      "failures=%ld\n",
      options.set ? "set" : "get", clients, n, static_cast<double>(n) / elapsed,
      p50, p99, cpu_us, failures);
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
      "          [--server-pid PID] [--reference]\n"
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
    } else if (arg == "--clients" && has_value) {
      if (!ParseClients(argv[++i], options.clients)) Usage(argv[0]);
    } else if (arg == "--seconds" && has_value) {
      options.seconds = atof(argv[++i]);
    } else if (arg == "--server-pid" && has_value) {
      options.server_pid = atol(argv[++i]);
    } else if (arg == "--reference") {
      options.reference = true;
    } else {
      Usage(argv[0]);
    }
  }
  if (options.port <= 0 || options.port > 65535 || options.seconds <= 0)
    Usage(argv[0]);
  // The client library takes the daemon's port from the environment.
  setenv("CMS_PORT", std::to_string(options.port).c_str(), 1);
  for (int clients : options.clients) RunLevel(options, clients);
  return 0;
}
