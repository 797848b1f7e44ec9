// concurrency_test.cc - many clients set and get, plain and enciphered,
// while the tick writes back, clients force write-backs and signals arrive.
// Built with CMS_TSAN=ON the daemon runs under ThreadSanitizer, which ends
// it with status 66 at the first report.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "tests/sandbox.h"

namespace cms::testing {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;
using Clock = std::chrono::steady_clock;

constexpr char kFile[] = "/mnt/jffs2/conf/user/concurrency.conf";
constexpr int kClients = 12;
constexpr int kNamesPerClient = 4;
constexpr auto kRunTime = seconds(3);
// The daemon's sanitizer options: stop at the first report with a status of
// its own. Ignored by a daemon built without ThreadSanitizer.
constexpr char kTsanOptions[] =
    "TSAN_OPTIONS=halt_on_error=1:exitcode=66:second_deadlock_stack=1";
constexpr int kTsanExit = 66;

std::string Name(int client, int k) {
  return "cc_" + std::to_string(client) + "_" + std::to_string(k);
}

SandboxOptions Tree() {
  SandboxOptions options;
  std::string content = "# concurrency test\n";
  for (int c = 0; c < kClients; ++c) {
    for (int k = 0; k < kNamesPerClient; ++k) content += Name(c, k) + "=0\n";
  }
  options.files[kFile] = content;
  return options;
}

// One enciphered exchange from 127.0.0.2; the deciphered 1012-byte answer,
// or nothing.
std::optional<std::string> SealedExchange(const Sandbox& sandbox,
                                          const Frame& request) {
  const int fd = sandbox.Connect("127.0.0.2");
  if (fd < 0) return std::nullopt;
  // The plaintext is the start of the frame: 984 bytes.
  const std::string wire =
      Seal(std::string_view(request.data(), 984), sandbox.cipher_key());
  std::optional<std::string> answer;
  if (SendAll(fd, wire.data(), wire.size())) {
    if (auto sealed = ReadExactly(fd, 1052, seconds(10))) {
      answer = Unseal(*sealed, sandbox.cipher_key());
    }
  }
  close(fd);
  return answer;
}

struct ClientResult {
  int requests = 0;
  std::vector<std::string> failures;
  std::map<std::string, std::string> last_set;  // acknowledged values
};

// One client: its own names are set to new values (so every set must
// succeed); anyone's are read; now and then a write-back is forced, a list
// is set or read, a value is queued and taken, or the exchange is
// enciphered, or hostname is set. Short random pauses let the tick see settled
// bursts.
void RunClient(const Sandbox& sandbox, int id, Clock::time_point end,
               ClientResult* result) {
  std::mt19937 rng(static_cast<unsigned>(id) * 7919u + 1u);
  int serial = 0;
  auto fail = [&](const std::string& what) {
    if (result->failures.size() < 10) result->failures.push_back(what);
  };
  while (Clock::now() < end) {
    ++result->requests;
    const int choice = static_cast<int>(rng() % 100);
    const std::string own = Name(id, static_cast<int>(rng() % kNamesPerClient));
    const std::string any = Name(static_cast<int>(rng() % kClients),
                                 static_cast<int>(rng() % kNamesPerClient));
    if (choice < 35) {
      const std::string value = "v" + std::to_string(++serial);
      auto r = sandbox.Exchange(MakeFrame(2, own, value), seconds(10));
      if (!r || FrameStatus(*r) != kStatusOk) {
        fail("set " + own);
      } else {
        result->last_set[own] = value;
      }
    } else if (choice < 60) {
      auto r = sandbox.Exchange(MakeFrame(1, any), seconds(10));
      if (!r || FrameStatus(*r) != kStatusOk) fail("get " + any);
    } else if (choice < 70) {
      const std::string a = Name(id, 0);
      const std::string b = Name(id, 1);
      const std::string va = "m" + std::to_string(++serial);
      const std::string vb = "m" + std::to_string(++serial);
      auto r = sandbox.Exchange(MakeListFrame(35, {a, va, b, vb}), seconds(10));
      if (!r || FrameStatus(*r) != kStatusOk) {
        fail("mset");
      } else {
        result->last_set[a] = va;
        result->last_set[b] = vb;
      }
    } else if (choice < 80) {
      auto r = sandbox.Exchange(MakeListFrame(36, {any, own, "hostname"}),
                                seconds(10));
      if (!r || FrameStatus(*r) != kStatusOk || FrameList(*r).size() != 3) {
        fail("mget");
      }
    } else if (choice < 85) {
      auto r = sandbox.Exchange(MakeFrame(16), seconds(10));
      if (!r || !IsAllZero(*r)) fail("write now");
    } else if (choice < 90) {
      const std::string queue = "q" + std::to_string(id);
      auto push = sandbox.Exchange(MakeFrame(33, queue, "job"), seconds(10));
      auto pop = sandbox.Exchange(MakeFrame(34, queue), seconds(10));
      if (!push || !pop || FrameValue(*pop) != "job") fail("push/pop");
    } else if (choice < 95) {
      auto answer = SealedExchange(sandbox, MakeFrame(1, any));
      if (!answer || answer->size() != 1012) fail("sealed get " + any);
    } else {
      // A parameter with callbacks that run commands at write-back. Others
      // set it too, so the value may already be stored (status 7).
      const std::string value = "host" + std::to_string(rng() % 8);
      auto r = sandbox.Exchange(MakeFrame(2, "hostname", value), seconds(10));
      if (!r ||
          (FrameStatus(*r) != kStatusOk && FrameStatus(*r) != kStatusFailed)) {
        fail("set hostname");
      }
    }
    std::this_thread::sleep_for(milliseconds(rng() % 4));
  }
}

TEST(Concurrency, ClientsTickWriteBacksAndSignalsTogether) {
  Sandbox sandbox(Tree());
  ASSERT_TRUE(sandbox.Start({kTsanOptions})) << sandbox.Stderr();
  // Signals are the loop's only once it runs; the marker follows a second
  // later.
  ASSERT_TRUE(Sandbox::WaitUntil(
      [&] { return sandbox.FileExists("/tmp/cms_started"); }, seconds(20)))
      << sandbox.Stderr();

  const Clock::time_point end = Clock::now() + kRunTime;
  int signals = 0;
  std::thread signaller([&] {
    int& n = signals;
    while (Clock::now() < end) {
      const int sig = n % 7 == 6 ? SIGUSR2 : (n % 2 == 0 ? SIGUSR1 : SIGALRM);
      sandbox.Signal(sig);
      ++n;
      std::this_thread::sleep_for(milliseconds(7));
    }
  });
  std::vector<ClientResult> results(kClients);
  std::vector<std::thread> clients;
  for (int id = 0; id < kClients; ++id) {
    clients.emplace_back(RunClient, std::cref(sandbox), id, end, &results[id]);
  }
  for (std::thread& t : clients) t.join();
  signaller.join();

  // A report ends the daemon at once; its output says why.
  ASSERT_TRUE(sandbox.Running()) << sandbox.Stderr();
  int requests = 0;
  for (const ClientResult& r : results) {
    requests += r.requests;
    EXPECT_TRUE(r.failures.empty()) << ::testing::PrintToString(r.failures);
  }
  EXPECT_GT(requests, kClients * 10);
  printf("concurrency: clients=%d requests=%d signals=%d\n", kClients, requests,
         signals);

  ASSERT_TRUE(sandbox.Signal(SIGTERM));
  const std::optional<int> code = sandbox.WaitExit(seconds(30));
  ASSERT_TRUE(code);
  EXPECT_NE(*code, kTsanExit) << sandbox.Stderr();
  EXPECT_EQ(*code, 0) << sandbox.Stderr();
  EXPECT_EQ(sandbox.Stderr().find("ThreadSanitizer"), std::string::npos)
      << sandbox.Stderr();

  // What each client was told is stored is what its file holds.
  const std::string file = sandbox.ReadFile(kFile);
  for (const ClientResult& r : results) {
    for (const auto& [name, value] : r.last_set) {
      EXPECT_NE(file.find("\n" + name + "=" + value + "\n"), std::string::npos)
          << name << "=" << value;
    }
  }
}

}  // namespace
}  // namespace cms::testing
