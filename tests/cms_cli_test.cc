// cms_cli_test.cc - the cms command: exit status, output and reasons, the
// time-out, export and import of hostile values.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "testing/sandbox.h"

namespace cms::testing {
namespace {

constexpr char kCoreFile[] = "/mnt/jffs2/conf/user/coretest.conf";

struct Step {
  std::vector<std::string> args;
  int exit_code;
  std::string out;  // standard output, exactly
  std::string err;  // a part of standard error; "" for none at all
};

void RunSteps(const Sandbox& sandbox, const std::vector<Step>& steps) {
  for (const Step& step : steps) {
    SCOPED_TRACE(::testing::PrintToString(step.args));
    const ProgramResult r = sandbox.RunCms(step.args);
    EXPECT_EQ(r.exit_code, step.exit_code);
    EXPECT_EQ(r.out, step.out);
    EXPECT_TRUE(step.err.empty() ? r.err.empty()
                                 : r.err.find(step.err) != std::string::npos)
        << r.err;
  }
}

TEST(CmsCli, ExitStatusAndReasons) {
  Sandbox sandbox(
      Files{{kCoreFile, "ct_a=1\nct_b=2\nct_e=\n"},
            {"/mnt/jffs2/conf/isp/user/coretest.conf", "ct_a=isp\n"}});
  ASSERT_TRUE(sandbox.Start()) << sandbox.Stderr();
  const std::string long_value(500, 'L'),
      lines = long_value + "\n" + long_value + "\n",
      other_port = std::to_string(sandbox.port() + 1);
  RunSteps(
      sandbox,
      {{{"get", "ct_a"}, 0, "1\n", ""},
       {{"get", "--isp", "ct_a"}, 0, "isp\n", ""},
       {{"get", "no_such"}, 1, "", "no_such: not found"},
       {{"get", "--isp", "ct_b"}, 1, "", "no such side"},
       // The stored value again: done, and -v says it changed nothing.
       {{"-v", "set", "ct_a", "1"}, 0, "", "ct_a: unchanged"},
       {{"set", "ct_a", "5"}, 0, "", ""},
       {{"set", "tempvar", "1"}, 1, "", "tempvar: not found"},
       {{"set", "--create", "tempvar", "1"}, 0, "", "in memory only"},
       {{"del", "hostname"}, 1, "", "refused by the device"},
       {{"set", std::string(64, 'n'), "v"}, 1, "", "invalid name"},
       {{"set", "ct_a", std::string(800, 'v')}, 1, "", "invalid value"},
       {{"add", "ct_new", "coretest.conf", "n"}, 0, "", ""},
       {{"set", "ct_b", long_value}, 0, "", ""},
       {{"set", "ct_new", long_value}, 0, "", ""},
       // Two long values need two answers; empty and missing get lines.
       {{"mget", "ct_b", "ct_new", "ct_e", "ct_a"}, 0, lines + "\n5\n", ""},
       {{"mget", "ct_a", "no_such", "ct_e"}, 1, "5\n\n\n", "no_such"},
       {{"mset", "ct_a", "x", "ct_b", "y"}, 0, "", ""},
       {{"mset", "ct_a", "x", "zz_new", "y"}, 1, "", "zz_new: refused"},
       {{"del", "--both", "ct_a"}, 0, "", ""},
       {{"commit"}, 0, "", ""},
       {{"frobnicate"}, 64, "", "cms help"},
       {{"-p", other_port, "get", "a"}, 2, "", "cannot be reached"}});
  // The commit writes before it answers.
  EXPECT_EQ(sandbox.Read(kCoreFile),
            "ct_b=y\nct_e=\nct_new=" + long_value + "\n");
  // A stopped daemon's connections complete in the backlog, unanswered.
  ASSERT_TRUE(sandbox.Signal(SIGSTOP));
  RunSteps(sandbox, {{{"-t", "0.3", "get", "ct_b"}, 2, "", "timed out"}});
  sandbox.Signal(SIGCONT);
}

TEST(CmsCli, ExportAndImportRoundTripHostileValues) {
  // Values a careless quoting would break or run; h_x-dash has no shell name.
  const std::map<std::string, std::string> hostile = {
      {"h_empty", ""},
      {"h_quote", "it's \"quoted\""},
      {"h_run", "$(touch ran) `touch ran2` ${HOME}"},
      {"h_slash", "back\\slash\\n \\' end\\"},
      {"h_uni", "\xc3\xa9t\xc3\xa9 \xe2\x98\x83 \xf0\x9d\x84\x9e"},
      {"h_x-dash", "a'b"}};
  std::string shown, vars, evaluated;
  for (const auto& [name, value] : hostile) {
    shown += name + "=" + value + "\n";
    if (name.find('-') != std::string::npos) continue;
    vars += " \"$" + name + "\"";
    evaluated += value + "|";
  }
  // Several listing pages, and a value too long to share a page.
  std::string paged;
  for (int i = 100; i < 200; ++i)
    paged += "pg_" + std::to_string(i) + "=value " + std::to_string(i) + "\n";
  Sandbox sandbox(
      Files{{kCoreFile, shown}, {"/mnt/jffs2/conf/user/paged.conf", paged}});
  ASSERT_TRUE(sandbox.Start()) << sandbox.Stderr();
  const std::string long_value(790, 'x');
  sandbox.RunCms({"set", "--create", "pg_long", long_value});
  EXPECT_EQ(sandbox.RunCms({"show", "pg_"}).out,
            paged + "pg_long=" + long_value + "\n");
  EXPECT_EQ(sandbox.RunCms({"show", "h_"}).out, shown);
  const ProgramResult shell = sandbox.RunCms({"export", "h_"});
  const ProgramResult json = sandbox.RunCms({"export", "-f", "json", "h_"});
  ASSERT_EQ(shell.exit_code + json.exit_code, 0) << shell.err << json.err;
  sandbox.Write("/shell.txt", shell.out);
  sandbox.Write("/json.txt", json.out);
  EXPECT_EQ(nlohmann::json::parse(json.out), nlohmann::json(hostile));

  // eval gives each shell-named parameter its value and runs nothing.
  const std::string script = "cd " + sandbox.dir() +
                             " && eval \"$(cat shell.txt)\" && printf '%s|'" +
                             vars + " >got.txt";
  EXPECT_EQ(std::system(script.c_str()), 0);
  EXPECT_EQ(sandbox.Read("/got.txt"), evaluated);
  EXPECT_FALSE(sandbox.Exists("/ran") || sandbox.Exists("/ran2"));

  // Each format brings every value back.
  std::vector<std::string> spoil = {"mset"};
  for (const auto& [name, value] : hostile)
    spoil.insert(spoil.end(), {name, "x"});
  for (const char* file : {"/shell.txt", "/json.txt"}) {
    SCOPED_TRACE(file);
    ASSERT_EQ(sandbox.RunCms(spoil).exit_code, 0);
    EXPECT_EQ(sandbox.RunCms({"import", sandbox.Host(file)}).exit_code, 0);
    EXPECT_EQ(sandbox.RunCms({"show", "h_"}).out, shown);
  }
  sandbox.Write("/bad.txt", "h_quote=$(touch ran)\n");
  EXPECT_EQ(sandbox.RunCms({"import", sandbox.Host("/bad.txt")}).exit_code, 1);
}

}  // namespace
}  // namespace cms::testing
