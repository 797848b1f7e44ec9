// options_test.cc - command line over environment, and what is refused.
#include "core/options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "testing/temp_root.h"

namespace cms::core {
namespace {

// "root port[ log]" of a parse, or its error line.
std::string Parsed(std::vector<const char*> args, const char* env_root,
                   const char* env_port) {
  args.insert(args.begin(), "cmsd");
  std::string error;
  const std::optional<Options> o = ParseOptions(
      static_cast<int>(args.size()), args.data(), env_root, env_port, &error);
  if (!o) return error;
  return o->root + " " + std::to_string(o->port) +
         (o->log_stderr ? " log" : "");
}

TEST(Options, CommandLineWinsOverEnvironment) {
  testing::TempRoot a, b;
  const std::string ad = a.dir(), bd = b.dir();
  EXPECT_EQ(Parsed({}, nullptr, nullptr), "/ 25001");
  EXPECT_EQ(Parsed({}, ad.c_str(), "4000"), ad + " 4000");
  // A good option also covers a bad variable.
  EXPECT_EQ(Parsed({"--port", "65535", "--log-stderr", "--root", bd.c_str()},
                   ad.c_str(), "junk"),
            bd + " 65535 log");
  EXPECT_EQ(Parsed({"--port", "1"}, nullptr, nullptr), "/ 1");
}

TEST(Options, ActionsAndHistorySize) {
  std::string error;
  auto parse = [&](std::vector<const char*> args) {
    args.insert(args.begin(), "cmsd");
    return ParseOptions(static_cast<int>(args.size()), args.data(), nullptr,
                        nullptr, &error);
  };
  EXPECT_EQ(parse({})->history_size, 4096u);
  EXPECT_EQ(parse({"--history", "0"})->history_size, 0u);
  EXPECT_EQ(parse({"--port", "1", "--help", "--bad"})->action,
            Options::Action::kHelp);
  EXPECT_EQ(parse({"--version"})->action, Options::Action::kVersion);
  EXPECT_EQ(parse({"--check", "--root", "/"})->action, Options::Action::kCheck);
  for (const char* bad : {"-1", "x", "99999999999"}) {
    EXPECT_FALSE(parse({"--history", bad})) << bad;
  }
  EXPECT_FALSE(parse({"--history"}));
}

TEST(Options, BadInputIsOneClearLine) {
  using Args = std::vector<const char*>;
  for (const Args& args :
       {Args{"--port", "0"}, Args{"--port", "65536"}, Args{"--port", "12a"},
        Args{"--port", "-1"}, Args{"--port", " 80"}, Args{"--port"},
        Args{"--root"}, Args{"--root", "/no/such/dir"}, Args{"--verbose"},
        Args{"extra"}, Args{}}) {
    // Args{} stands for a bad CMS_PORT.
    const std::string error =
        Parsed(args, nullptr, args.empty() ? "99999" : nullptr);
    EXPECT_TRUE(error.starts_with("cmsd: ") && error.find('\n') == error.npos &&
                (!args.empty() || error.find("CMS_PORT") != error.npos))
        << error;
  }
}

}  // namespace
}  // namespace cms::core
