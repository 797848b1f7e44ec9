// options_test.cc - command line over environment, and what is refused.
#include "core/options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "testing/temp_root.h"

namespace cms::core {
namespace {

using Args = std::vector<const char*>;

// "action root port history[ log]" of a parse, or its error line.
std::string Parsed(Args args, const char* env_root = nullptr,
                   const char* env_port = nullptr) {
  args.insert(args.begin(), "cmsd");
  std::string error;
  const std::optional<Options> o = ParseOptions(
      static_cast<int>(args.size()), args.data(), env_root, env_port, &error);
  if (!o) return error;
  return std::to_string(static_cast<int>(o->action)) + " " + o->root + " " +
         std::to_string(o->port) + " " + std::to_string(o->history_size) +
         (o->log_stderr ? " log" : "");
}

TEST(Options, CommandLineWinsOverEnvironment) {
  testing::TempRoot a, b;
  const std::string ad = a.dir(), bd = b.dir();
  EXPECT_EQ(Parsed({}), "0 / 25001 4096");
  EXPECT_EQ(Parsed({}, ad.c_str(), "4000"), "0 " + ad + " 4000 4096");
  // A good option also covers a bad variable.
  EXPECT_EQ(Parsed({"--port", "65535", "--log-stderr", "--root", bd.c_str(),
                    "--history", "0"},
                   ad.c_str(), "junk"),
            "0 " + bd + " 65535 0 log");
  // Help wins over anything else, even a bad option.
  EXPECT_EQ(Parsed({"--port", "1", "--help", "--bad"}), "1 / 25001 4096");
  EXPECT_EQ(Parsed({"--version"}), "2 / 25001 4096");
  EXPECT_EQ(Parsed({}, nullptr, "99999"),
            "cmsd: bad port '99999' from CMS_PORT (1 to 65535)");
  for (const Args& args :
       {Args{"--port", "0"}, Args{"--port", "65536"}, Args{"--port", " 80"},
        Args{"--port"}, Args{"--root", "/no/such/dir"}, Args{"--verbose"},
        Args{"extra"}, Args{"--history", "-1"},
        Args{"--history", "99999999999"}, Args{"--history"}}) {
    const std::string error = Parsed(args);
    EXPECT_TRUE(error.starts_with("cmsd: ") && error.find('\n') == error.npos)
        << error;
  }
}

}  // namespace
}  // namespace cms::core
