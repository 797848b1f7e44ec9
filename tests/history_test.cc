// history_test.cc - the change history seen through cms log and cms watch:
// who changed what, in order.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "testing/sandbox.h"

namespace cms::testing {
namespace {

using Json = nlohmann::json;

constexpr char kHistFile[] = "/mnt/jffs2/conf/user/hist.conf";
constexpr char kSecret[] = "S3cr3tV@lue";

TEST(History, WatchAndLogShowEveryChangeInOrder) {
  Sandbox sandbox(Files{{kHistFile, "hist_a=0\nhist_b=0\n"}});
  ASSERT_TRUE(sandbox.Start()) << sandbox.Stderr();
  const pid_t watcher =
      sandbox.StartCms({"watch", "--json", "--since", "1", "hist_*"}, "w");
  std::vector<Json> expected;
  for (int i = 1; i <= 30; ++i) {  // a, b, a, b, ...
    const std::string name = i % 2 ? "hist_a" : "hist_b";
    const std::string value = "v" + std::to_string(i);
    ASSERT_EQ(CMSSetValue(name.c_str(), value.c_str(), 2), 1);
    expected.push_back(
        Json::array({name, i > 2 ? "v" + std::to_string(i - 2) : "0", value}));
  }
  ASSERT_EQ(CMSDelParam("hist_b", 9), 1);
  expected.push_back(Json::array({"hist_b", "v30", nullptr}));
  // A secret's value is kept out of the history.
  ASSERT_EQ(CMSSetValue("hist_password", kSecret, 2), 1);
  expected.push_back(Json::array({"hist_password", nullptr, nullptr}));
  std::vector<Json> seen;
  ASSERT_TRUE(Sandbox::WaitUntil(
      [&] {
        seen.clear();
        std::istringstream in(sandbox.Read("/w.stdout"));
        for (std::string line; std::getline(in, line);)
          seen.push_back(Json::parse(line));
        return seen.size() >= expected.size();
      },
      seconds(10)));
  ASSERT_EQ(seen.size(), expected.size());
  std::string comm = Sandbox::ReadHost("/proc/self/comm");
  comm.pop_back();  // its line feed
  for (size_t i = 0; i < seen.size(); ++i) {
    const Json& r = seen[i];
    EXPECT_EQ(Json::array({r["name"], r["old"], r["new"]}), expected[i]);
    EXPECT_EQ(r["seq"], seen[0]["seq"].get<uint64_t>() + i);
    EXPECT_EQ(r["pid"], getpid());
    EXPECT_EQ(r["process"], comm);
  }
  EXPECT_EQ(seen.back()["secret"], true);
  kill(watcher, SIGTERM);
  waitpid(watcher, nullptr, 0);

  const ProgramResult log = sandbox.RunCms({"log", "hist_*"});
  EXPECT_NE(log.out.find("set hist_a user \"v27\" -> \"v29\"  pid " +
                         std::to_string(getpid()) + " ("),
            std::string::npos)
      << log.out;
  for (const std::string& out : {sandbox.Read("/w.stdout"), log.out})
    EXPECT_EQ(out.find(kSecret), std::string::npos) << out;
}

}  // namespace
}  // namespace cms::testing
