// crash_point_test.cc - the crash-safe writer stopped or failed at each of
// its durable steps, under the write-back of both sides and a generator.
#include <errno.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "conffiles/dnsmasq_conf.h"
#include "files/safe_file.h"
#include "store/operations.h"
#include "testing/store_fixture.h"
#include "store/write_back.h"
#include "testing/stub_programs.h"

namespace cms::conffiles {
namespace {

// The step to act at: the n-th call (from 0) of any durable step. A stop
// ends the process there, as a power cut would; a failure returns `error`.
int g_at = -1;
int g_calls = 0;
int g_error = 0;
bool g_stop = false;

bool Hit() {
  if (g_calls++ != g_at) return false;
  if (g_stop) _exit(0);
  errno = g_error;
  return true;
}
ssize_t Write(int fd, const void* data, size_t size) {
  return Hit() ? -1 : write(fd, data, size);
}
int Fsync(int fd) { return Hit() ? -1 : fsync(fd); }
int Rename(const char* from, const char* to) {
  return Hit() ? -1 : rename(from, to);
}

constexpr char kUserLan[] = "/mnt/jffs2/conf/user/lan.conf";
constexpr char kIspLan[] = "/mnt/jffs2/conf/isp/user/lan.conf";
constexpr char kDnsSource[] = "/mnt/jffs2/conf/user/dnsmasq.conf";
constexpr char kDnsTarget[] = "/tmp/dnsmasq.conf";

class CrashPointTest : public store::StoreFixture {
 protected:
  struct Target {
    const char* path;
    std::string old_content;
    std::string new_content;
  };

  void SetUp() override {
    StoreFixture::SetUp();
    stubs_.Install();
    stubs_.AddStub("/stub_bin/sync", "");
  }

  // Both sides of one parameter, written back by one run.
  void PrepareConfig() {
    WriteUser("lan.conf", "# user\nip=1\n");
    WriteIsp("lan.conf", "ip=i\n");
    LoadTree();
    ASSERT_EQ(store::SetParamValue("ip", "2", store::kModeSetBoth), 1);
    targets_ = {{kUserLan, "# user\nip=1\n", "# user\nip=2\n"},
                {kIspLan, "ip=i\n", "ip=2\n"}};
  }
  void PrepareGenerated() {
    WriteConf(kDnsSource, "dnsmasq_port=53\n");
    WriteConf(kDnsTarget, "port=old\n");
    std::string trailer;
    for (const char* line : kDnsmasqTrailer) trailer += line;
    targets_ = {{kDnsTarget, "port=old\n", "port=53\n" + trailer}};
  }

  // Every target holds its old or its new content, whole; `all_new` asks
  // for the new one everywhere.
  void ExpectWhole(bool all_new, const std::string& where) {
    for (const Target& t : targets_) {
      const std::string now = root_.Read(t.path);
      if (all_new) {
        EXPECT_EQ(now, t.new_content) << where << " " << t.path;
      } else {
        EXPECT_TRUE(now == t.old_content || now == t.new_content)
            << where << " " << t.path << ": " << now;
      }
    }
  }
  // No temporary file anywhere under the root.
  void ExpectNoTemporaries(const std::string& where) {
    for (const auto& e :
         std::filesystem::recursive_directory_iterator(root_.dir())) {
      EXPECT_NE(e.path().filename().string().rfind(files::kTempPrefix, 0), 0u)
          << where << " " << e.path();
    }
  }
  void Restore() {
    for (const Target& t : targets_) WriteConf(t.path, t.old_content);
  }
  static void Act(int at, bool stop, int error) {
    g_at = at;
    g_calls = 0;
    g_stop = stop;
    g_error = error;
    files::Calls() = {Write, Fsync, Rename, Fsync};
  }

  // Runs `write` stopped at every step in turn, then failed at every step
  // with each error; `retry` must then finish the job.
  void RunAllPoints(const std::function<void()>& write,
                    const std::function<void()>& retry) {
    Act(-1, false, 0);
    write();
    const int steps = g_calls;
    ASSERT_GE(steps, 4 * static_cast<int>(targets_.size()));
    ExpectWhole(true, "no fault");
    for (int at = 0; at < steps; ++at) {
      const std::string where = "cut at step " + std::to_string(at);
      Restore();
      const pid_t child = fork();
      ASSERT_GE(child, 0);
      if (child == 0) {
        Act(at, true, 0);
        write();
        _exit(1);  // never reached: the step stops the process
      }
      int status = 0;
      ASSERT_EQ(waitpid(child, &status, 0), child);
      ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << where;
      ExpectWhole(false, where);
      files::RemoveLeftoverTemporaries();  // as the next start does
      ExpectNoTemporaries(where);
    }
    for (int error : {ENOSPC, EIO, EROFS}) {
      for (int at = 0; at < steps; ++at) {
        const std::string where =
            strerror(error) + std::string(" at step ") + std::to_string(at);
        Restore();
        Act(at, false, error);
        write();
        ExpectWhole(false, where);
        ExpectNoTemporaries(where);
        files::ResetCalls();
        retry();
        ExpectWhole(true, where);
      }
    }
  }

  std::vector<Target> targets_;
  testing::StubPrograms stubs_{root_};
};

TEST_F(CrashPointTest, ConfigFilesOfBothSides) {
  PrepareConfig();
  // The fault-free run clears every mark; each later round marks again.
  auto write = [] {
    ASSERT_EQ(store::SetParamValue("ip", "x", store::kModeSetBoth), 1);
    ASSERT_EQ(store::SetParamValue("ip", "2", store::kModeSetBoth), 1);
    store::writeParamToFile();
  };
  // A failed file stays dirty with its record marked, so the next write-back
  // (which the retry of the tick runs) writes it; nothing else is needed.
  auto retry = [this] {
    EXPECT_NE(Dirty(), "");
    store::writeParamToFile();
    EXPECT_EQ(Dirty(), "");
  };
  RunAllPoints(write, retry);
}

TEST_F(CrashPointTest, GeneratedFile) {
  PrepareGenerated();
  RunAllPoints([] { GenerateDnsmasqConf(kDnsSource, kDnsTarget, nullptr); },
               [] {
                 EXPECT_EQ(GenerateDnsmasqConf(kDnsSource, kDnsTarget, nullptr),
                           0);
               });
}

}  // namespace
}  // namespace cms::conffiles
