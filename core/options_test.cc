// options_test.cc - command line over environment, and what is refused.
#include "core/options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/temp_root.h"

namespace cms::core {
namespace {

std::optional<Options> Parse(std::vector<const char*> args,
                             const char* env_root, const char* env_port,
                             std::string* error) {
  args.insert(args.begin(), "cmsd");
  return ParseOptions(static_cast<int>(args.size()), args.data(), env_root,
                      env_port, error);
}

TEST(Options, CommandLineWinsOverEnvironment) {
  testing::TempRoot a;
  testing::TempRoot b;
  std::string error;
  std::optional<Options> o = Parse({}, nullptr, nullptr, &error);
  ASSERT_TRUE(o);
  EXPECT_EQ(o->root, "/");
  EXPECT_EQ(o->port, 25001);
  EXPECT_FALSE(o->log_stderr);
  o = Parse({}, a.dir().c_str(), "4000", &error);
  ASSERT_TRUE(o);
  EXPECT_EQ(o->root, a.dir());
  EXPECT_EQ(o->port, 4000);
  // A good option also covers a bad variable.
  o = Parse({"--port", "65535", "--log-stderr", "--root", b.dir().c_str()},
            a.dir().c_str(), "junk", &error);
  ASSERT_TRUE(o);
  EXPECT_EQ(o->root, b.dir());
  EXPECT_EQ(o->port, 65535);
  EXPECT_TRUE(o->log_stderr);
  EXPECT_EQ(ParsePort("1"), 1);
}

TEST(Options, BadInputIsOneClearLine) {
  using Args = std::vector<const char*>;
  for (const Args& args :
       {Args{"--port", "0"}, Args{"--port", "65536"}, Args{"--port", "12a"},
        Args{"--port", "-1"}, Args{"--port", " 80"}, Args{"--port"},
        Args{"--root"}, Args{"--root", "/no/such/dir"}, Args{"--verbose"},
        Args{"extra"}, Args{}}) {
    std::string error;
    // Args{} stands for a bad CMS_PORT.
    EXPECT_FALSE(
        Parse(args, nullptr, args.empty() ? "99999" : nullptr, &error));
    EXPECT_TRUE(error.starts_with("cmsd: ") &&
                (!args.empty() || error.find("CMS_PORT") != std::string::npos))
        << error;
    EXPECT_EQ(error.find('\n'), std::string::npos) << error;
  }
}

}  // namespace
}  // namespace cms::core
