// fw_env_test.cc - boot-loader import through a stub fw_printenv, and the
// software version and LAN hardware address found at start. The plain
// import is also run end to end at start-up (tests/startup_test.cc).
#include "store/fw_env.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "events/device_test_fixture.h"
#include "store/file_tables.h"
#include "store/param_list.h"

namespace cms::store {
namespace {

using Lines = std::vector<std::string>;

class FwEnv : public cms::testing::DeviceTest {
 protected:
  void SetUp() override {
    DeviceTest::SetUp();
    stubs_.AddStub(
        "/stub_bin/fw_printenv",
        "printf 'baudrate=115200\\nbad-name=1\\ndot.name=2\\n"
        "empty=\\ncust_hostname=box\\ncrlf=1\\r\\nbaudrate=9600\\n'");
  }
  void TearDown() override {
    unsetenv("reset_default");
    unsetenv("version_uboot");
    DeviceTest::TearDown();
  }
};

TEST_F(FwEnv, CustomerDefaultsApplyOnlyUnderResetDefault) {
  Load("sysini.conf", "hostname=router\n");
  unsetenv("reset_default");
  unsetenv("version_uboot");
  addParamFromFwPrintenv();
  EXPECT_EQ(Value("baudrate"), "9600");  // the last of two wins
  EXPECT_EQ(UFL[seekElement("baudrate")->userLocation].path,
            std::string(kTempUserFile));
  EXPECT_EQ(seekElement("bad-name"), nullptr);
  EXPECT_EQ(seekElement("dot.name"), nullptr);
  ASSERT_NE(seekElement("empty"), nullptr);
  EXPECT_EQ(Value("empty"), "(none)");
  EXPECT_EQ(Value("crlf"), "1");
  EXPECT_EQ(Value("cust_hostname"), "box");
  EXPECT_EQ(Value("hostname"), "router");
  // Without version_uboot both boot-loader texts are empty.
  ASSERT_NE(seekElement("bootrom_version"), nullptr);
  EXPECT_EQ(Value("bootrom_version"), "(none)");
  EXPECT_EQ(Value("bootrom_creation_date"), "(none)");
  EXPECT_EQ(Calls(), Lines{"fw_printenv"});

  // Level 1 replaces the parameter, in its file at once, instead.
  ResetParamList();
  Load("sysini.conf", "hostname=router\n");
  setenv("reset_default", "1", 1);
  addParamFromFwPrintenv();
  EXPECT_EQ(Value("hostname"), "box");
  EXPECT_EQ(seekElement("cust_hostname"), nullptr);
  EXPECT_EQ(ReadUser("sysini.conf"), "hostname=box\n");

  store::SetParamValue("hostname", "router", kModeSetUser);
  setenv("reset_default", "3", 1);
  addParamFromFwPrintenv();
  EXPECT_EQ(Value("hostname"), "router");
  EXPECT_EQ(Value("cust_hostname"), "box");
}

TEST_F(FwEnv, VersionFileAndInterfaceAddress) {
  Load("sysini.conf", "software_version=old\nlanaddr=aa:bb\n");
  addSpecialParam();  // neither /etc/VERSION nor sys_lan_if: left as loaded
  EXPECT_EQ(Value("software_version"), "old");
  EXPECT_EQ(Value("lanaddr"), "aa:bb");
  EXPECT_EQ(Calls(), Lines{"fw_printenv"});

  Load("sysini.conf", "sys_lan_if=br0\n");
  root_.Write("/etc/VERSION", std::string(300, 'v'));
  stubs_.AddStub("/stub_bin/ifconfig",
                 "echo 'br0       Link encap:Ethernet  HWaddr "
                 "00:11:22:33:44:55  '\necho '          inet addr:10.0.0.1'");
  stubs_.ClearCalls();
  addSpecialParam();
  EXPECT_EQ(Value("software_version"), std::string(255, 'v'));
  EXPECT_EQ(Value("lanaddr"), "00:11:22:33:44:55");
  EXPECT_EQ(Calls(), (Lines{"fw_printenv", "ifconfig\tbr0"}));

  root_.Write("/etc/VERSION", "1.2.3\nbuilt today\n");
  stubs_.AddStub("/stub_bin/ifconfig", "");
  addSpecialParam();
  EXPECT_EQ(Value("software_version"), "1.2.3");
  ASSERT_NE(seekElement("lanaddr"), nullptr);
  EXPECT_EQ(Value("lanaddr"), "(none)");  // nothing printed: empty value

  for (const std::string v : {"br0;iperf", "$(iperf)", "`iperf`", "a b'\""}) {
    ResetParamList();
    Load("sysini.conf", "sys_lan_if=" + v + "\n");
    stubs_.ClearCalls();
    addSpecialParam();
    EXPECT_EQ(Calls(), (Lines{"fw_printenv", "ifconfig\t" + v}));
  }
}

}  // namespace
}  // namespace cms::store
