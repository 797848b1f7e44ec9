// shell_test.cc - command texts: device text kept, root at the edge, values
// never reaching the shell as code (run for real with hostile values in
// events/service_callbacks_test.cc).
#include "platform/shell.h"

#include <gtest/gtest.h>

#include "platform/root.h"
#include "testing/process_state.h"

namespace cms::platform {
namespace {

// The device text is the format with the value in place. A sed address is
// no path, even at a word start; the login program is an argument for
// telnetd; values are never rooted; a length limit cuts the device text.
TEST(Shell, RootGoesBeforeAbsolutePathsOfTheFormatOnly) {
  const testing::ScopedRoot device_root("/");
  Command c = FormatCommand("(/bin/sleep 1; /bin/ipv6_start.sh %s) &", {"x"});
  EXPECT_EQ(c.host, c.device);
  const testing::ScopedRoot sandbox_root("/sandbox/");
  c = FormatCommand(
      "rm -rf /tmp/env.log; fw_printenv 2> /dev/null | sed -e \"/^[^=]*$/d\" "
      "> /tmp/env.log");
  EXPECT_EQ(c.host,
            "rm -rf /sandbox/tmp/env.log; fw_printenv 2> /dev/null | sed -e "
            "\"/^[^=]*$/d\" > /sandbox/tmp/env.log");
  c = FormatCommand("telnetd -l /bin/login -f %s > /dev/null 2>&1 &",
                    {"/etc/banner"});
  EXPECT_EQ(c.host, "telnetd -l /bin/login -f /etc/banner > /dev/null 2>&1 &");
  EXPECT_EQ(c.device, c.host);
  c = FormatCommand("/sbin/ip route del default dev %s", {"tun0"}, 20);
  EXPECT_EQ(c.device, "/sbin/ip route del d");
  EXPECT_EQ(c.host, "/sandbox/sbin/ip route del d");
}

TEST(Shell, UnsafeValuesAreQuotedForTheirContext) {
  const struct {
    const char *format, *value, *device;
  } rows[] = {
      {"a %s b", "x-1.2:3/4@5%6+7,8=9_", "a x-1.2:3/4@5%6+7,8=9_ b"},
      {"a %s", "x; rm -rf /", "a 'x; rm -rf /'"},
      {"a %s", "it's", "a 'it'\\''s'"},
      {"grep -v \"%s\"", "$(id)`x`\"\\", "grep -v \"\\$(id)\\`x\\`\\\"\\\\\""},
      {"awk '%s'", "a'b", "awk 'a'\\''b'"},
      {"a %s %s", "only", "a only "},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(FormatCommand(row.format, {row.value}).device, row.device);
  }
}

}  // namespace
}  // namespace cms::platform
