// fw_env_test.cc - boot-loader import through a stub fw_printenv (its line
// rules are modelled by fuzz/fw_env_fuzz.cc), the software version and the
// LAN hardware address found at start.
#include "store/fw_env.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>

#include "testing/device_fixture.h"

namespace cms::store {
namespace {

using testing::Lines;

class FwEnv : public cms::testing::DeviceTest {
 protected:
  void SetUp() override {
    DeviceTest::SetUp();
    stubs_.AddStub(
        "/stub_bin/fw_printenv",
        "printf 'baudrate=115200\\nbad-name=1\\ndot.name=2\\n"
        "empty=\\ncust_hostname=box\\ncrlf=1\\r\\nbaudrate=9600\\n'");
    unsetenv("version_uboot");
  }
};

TEST_F(FwEnv, CustomerDefaultsApplyOnlyUnderResetDefault) {
  for (const char* level : {"1", "3", ""}) {  // "": not set (left so)
    SCOPED_TRACE(level);
    Load("sysini.conf", "hostname=router\n");
    *level ? setenv("reset_default", level, 1) : unsetenv("reset_default");
    addParamFromFwPrintenv();
    // The last of two wins; names that are not names are left out.
    EXPECT_EQ(Values({"bad-name", "dot.name", "empty", "crlf",
                      "bootrom_version"}),
              "(none) (none) (none) 1 (none)");
    EXPECT_EQ(State("baudrate"), "9600@XCFGtemp.conf* (null)@-");
    // Level 1 replaces the parameter, in its file at once, instead.
    EXPECT_EQ(Values({"hostname", "cust_hostname"}),
              level[0] == '1' ? "box (none)" : "router box");
    EXPECT_EQ(ReadUser("sysini.conf"),
              level[0] == '1' ? "hostname=box\n" : "hostname=router\n");
  }
}

TEST_F(FwEnv, VersionFileAndInterfaceAddress) {
  Load("sysini.conf", "sys_lan_if=br0\n");
  root_.Write("/etc/VERSION", std::string(300, 'v'));
  stubs_.AddStub("/stub_bin/ifconfig",
                 "echo 'br0       Link encap:Ethernet  HWaddr "
                 "00:11:22:33:44:55  '\necho '          inet addr:10.0.0.1'");
  addSpecialParam();
  EXPECT_EQ(Values({"software_version", "lanaddr"}),
            std::string(255, 'v') + " 00:11:22:33:44:55");

  root_.Write("/etc/VERSION", "1.2.3\nbuilt today\n");
  stubs_.AddStub("/stub_bin/ifconfig", "");
  addSpecialParam();
  EXPECT_EQ(UserValue("lanaddr"), kEmptyValueMarker);
  EXPECT_EQ(Value("software_version"), "1.2.3");
  for (const std::string v : {"br0;iperf", "$(iperf)", "`iperf`", "a b'\""}) {
    Load("sysini.conf", "sys_lan_if=" + v + "\n");
    stubs_.ClearCalls();
    addSpecialParam();
    EXPECT_EQ(Calls(), (Lines{"fw_printenv", "ifconfig\t" + v}));
  }
}

}  // namespace
}  // namespace cms::store
