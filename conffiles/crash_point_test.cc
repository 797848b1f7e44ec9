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
#include <tuple>
#include <vector>

#include "conffiles/dnsmasq_conf.h"
#include "files/safe_file.h"
#include "store/operations.h"
#include "store/write_back.h"
#include "testing/store_fixture.h"
#include "testing/stub_programs.h"

namespace cms::conffiles {
namespace {

// The step to act at: the n-th call (from 0) of any durable step. A stop
// ends the process there, as a power cut would; a failure returns `error`.
struct {
  int at = -1, calls = 0, error = 0;
  bool stop = false;
} g_act;

bool Hit() {
  if (g_act.calls++ != g_act.at) return false;
  if (g_act.stop) _exit(0);
  errno = g_act.error;
  return true;
}
ssize_t Write(int fd, const void* data, size_t size) {
  return Hit() ? -1 : write(fd, data, size);
}
int Fsync(int fd) { return Hit() ? -1 : fsync(fd); }
int Rename(const char* from, const char* to) {
  return Hit() ? -1 : rename(from, to);
}
void Act(int at, bool stop, int error) {
  g_act = {at, 0, error, stop};
  files::Calls() = {Write, Fsync, Rename, Fsync};
}

class CrashPointTest : public store::StoreFixture {
 protected:
  void SetUp() override {
    StoreFixture::SetUp();
    stubs_.Install();
    stubs_.AddStub("/stub_bin/sync", "");
  }

  // Every target holds its old or (with `all_new`, only) its new content,
  // whole, and no temporary file is left anywhere under the root.
  void ExpectWhole(bool all_new, const std::string& where) {
    for (const auto& [path, old_content, new_content] : targets_) {
      const std::string now = root_.Read(path);
      EXPECT_TRUE(now == new_content || (!all_new && now == old_content))
          << where << " " << path << ": " << now;
    }
    for (const auto& e :
         std::filesystem::recursive_directory_iterator(root_.dir())) {
      EXPECT_NE(e.path().filename().string().rfind(files::kTempPrefix, 0), 0u)
          << where << " " << e.path();
    }
  }
  void Restore() {
    for (const auto& [path, old_content, _] : targets_)
      WriteConf(path, old_content);
  }

  // Runs `write` stopped at every step in turn, then failed at every step
  // with each error; `retry` must then finish the job.
  void RunAllPoints(const std::function<void()>& write,
                    const std::function<void()>& retry) {
    Act(-1, false, 0);
    write();
    const int steps = g_act.calls;
    ASSERT_GE(steps, 4 * static_cast<int>(targets_.size()));
    ExpectWhole(true, "no fault");
    for (int at = 0; at < steps; ++at) {
      const std::string where = "cut at step " + std::to_string(at);
      Restore();
      const pid_t child = fork();
      if (child == 0) {
        Act(at, true, 0);
        write();
        _exit(1);  // never reached: the step stops the process
      }
      int status = 0;
      ASSERT_EQ(waitpid(child, &status, 0), child);
      ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << where;
      files::RemoveLeftoverTemporaries();  // as the next start does
      ExpectWhole(false, where);
    }
    for (int error : {ENOSPC, EIO, EROFS}) {
      for (int at = 0; at < steps; ++at) {
        const std::string where =
            strerror(error) + std::string(" at step ") + std::to_string(at);
        Restore();
        Act(at, false, error);
        write();
        ExpectWhole(false, where);
        files::ResetCalls();
        retry();
        ExpectWhole(true, where);
      }
    }
  }

  // Device path, old and new content.
  std::vector<std::tuple<std::string, std::string, std::string>> targets_;
  testing::StubPrograms stubs_{root_};
};

TEST_F(CrashPointTest, ConfigFilesOfBothSides) {
  WriteUser("lan.conf", "# user\nip=1\n");
  WriteIsp("lan.conf", "ip=i\n");
  LoadTree();
  targets_ = {
      {"/mnt/jffs2/conf/user/lan.conf", "# user\nip=1\n", "# user\nip=2\n"},
      {"/mnt/jffs2/conf/isp/user/lan.conf", "ip=i\n", "ip=2\n"}};
  // Each round marks both sides again. A failed file stays dirty with its
  // record marked, so the next write-back (the tick's retry) writes it.
  RunAllPoints(
      [] {
        ASSERT_EQ(store::SetParamValue("ip", "x", store::kModeSetBoth), 1);
        ASSERT_EQ(store::SetParamValue("ip", "2", store::kModeSetBoth), 1);
        store::writeParamToFile();
      },
      [] {
        EXPECT_NE(Dirty(), "");
        store::writeParamToFile();
        EXPECT_EQ(Dirty(), "");
      });
}

TEST_F(CrashPointTest, GeneratedFile) {
  constexpr char kSource[] = "/mnt/jffs2/conf/user/dnsmasq.conf";
  constexpr char kTarget[] = "/tmp/dnsmasq.conf";
  WriteConf(kSource, "dnsmasq_port=53\n");
  std::string trailer;
  for (const char* line : kDnsmasqTrailer) trailer += line;
  targets_ = {{kTarget, "port=old\n", "port=53\n" + trailer}};
  RunAllPoints(
      [&] { GenerateDnsmasqConf(kSource, kTarget, nullptr); },
      [&] { EXPECT_EQ(GenerateDnsmasqConf(kSource, kTarget, nullptr), 0); });
}

}  // namespace
}  // namespace cms::conffiles
