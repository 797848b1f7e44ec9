// operations_test.cc - parameter operations by mode and side.
#include "store/operations.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "events/notify_callbacks.h"
#include "events/registration.h"
#include "store/store_fixture.h"
#include "tests/msg_listener.h"

namespace cms::store {
namespace {

using Lines = std::vector<std::string>;
Lines g_calls;  // "name=value@phase" per callback call

int Recorder(void* subject, const char* value, int phase) {
  g_calls.push_back(std::string(static_cast<ParamRecord*>(subject)->name) +
                    "=" + (value == nullptr ? "(null)" : value) + "@" +
                    std::to_string(phase));
  return 5;
}

class OperationsTest : public StoreFixture {
 protected:
  void SetUp() override {
    StoreFixture::SetUp();
    g_calls.clear();
    WriteUser("lan.conf", kUserLan);
    WriteIsp("lan.conf", "both=i\nisp_only=2\n");
    Reload();
  }
  void Reload() {
    ResetParamList();
    initialConfigLocationArray();
    LoadTree();
    seekElement("both")->callback = Recorder;
  }
  static std::string Get(const char* name, int mode) {
    const char* v = GetParamValue(name, mode);
    return v == nullptr ? "(null)" : v;
  }
  static constexpr char kUserLan[] = "both=u\nuser_only=1\nhostname=router\n";
};

TEST_F(OperationsTest, GetReadsOneSideOnly) {
  EXPECT_EQ(Get("both", kModeGetUser) + Get("both", kModeGetIsp), "ui");
  EXPECT_EQ(Get("isp_only", kModeGetUser), "(null)");
  EXPECT_EQ(Get("user_only", kModeGetIsp), "(null)");
  EXPECT_EQ(Get("both", kModeSetUser), "(null)");
  EXPECT_EQ(Get("absent", kModeGetUser), "(null)");
  const std::string v900(900, 'x');
  ASSERT_EQ(SetParamValue("user_only", v900.c_str(), kModeSetUser), 1);
  EXPECT_EQ(Get("user_only", kModeGetUser), v900.substr(0, 799));
  ASSERT_EQ(SetParamValue("user_only", "", kModeSetUser), 1);
  EXPECT_EQ(UserValue("user_only"), kEmptyValueMarker);
  EXPECT_EQ(Get("user_only", kModeGetUser), "(null)");
}

TEST_F(OperationsTest, SetMarksTheChangedSideAndItsFile) {
  EXPECT_EQ(SetParamValue("both", "u", kModeSetUser), 0);  // already stored
  EXPECT_EQ(State("both") + Dirty(), "u@lan.conf i@lan.conf");
  EXPECT_EQ(SetParamValue("both", "u2", kModeSetUser), 5);
  EXPECT_EQ(State("both") + " | " + Dirty(),
            "u2@lan.conf* i@lan.conf | user/lan.conf");
  EXPECT_EQ(SetParamValue("both", "i", kModeSetBoth), 5);  // no comparison
  EXPECT_EQ(State("both") + " | " + Dirty(),
            "i@lan.conf* i@lan.conf* | user/lan.conf isp/user/lan.conf");
  EXPECT_EQ(SetParamValue("both", "x", 7), 0);  // unknown mode, after phase 0
  // The callback sees the marker for an empty value.
  EXPECT_EQ(SetParamValue("both", "", kModeSetIsp), 5);
  EXPECT_EQ(g_calls, (Lines{"both=u@0", "both=u2@0", "both=i@0", "both=x@0",
                            std::string("both=") + kEmptyValueMarker + "@0"}));
  // A side the parameter does not have.
  EXPECT_EQ(SetParamValue("user_only", "9", kModeSetBoth) +
                SetParamValue("user_only", "9", kModeSetIsp),
            0);
  EXPECT_EQ(State("user_only"), "1@lan.conf (null)@-");

  // A phase-0 veto changes nothing, for a set or a replace.
  seekElement("hostname")->callback = [](void*, const char*, int) { return 0; };
  EXPECT_EQ(SetParamValue("hostname", "new", kModeSetUser) +
                ReplaceParamValue("hostname", "new", kModeReplaceUser),
            0);
  EXPECT_EQ(State("hostname"), "router@lan.conf (null)@-");
  EXPECT_EQ(ReadUser("lan.conf"), kUserLan);

  // A new name lives in the in-memory file, whatever the side asked for.
  EXPECT_EQ(SetParamValue("fresh", "v", kModeSetIsp), 1);
  EXPECT_EQ(State("fresh"), "v@XCFGtemp.conf* (null)@-");
  // A registered name gets its callback as soon as it exists.
  EXPECT_EQ(ReplaceParamValue("sys_upnp", "", kModeReplaceIsp), 1);
  EXPECT_EQ(UserValue("sys_upnp"), kEmptyValueMarker);
  EXPECT_EQ(seekElement("sys_upnp")->callback, events::UPnPCallback);
}

TEST_F(OperationsTest, NamesAndValuesThatCannotBeALineAreRefused) {
  // The loader passes over leading tabs, so a name beginning with "#" can
  // come from a file; written back it would read as a comment.
  WriteUser("x.conf", "\t#=1\n");
  Reload();
  const int count = CheckListLength();
  for (const char* value : {"a\nb", "a\rb", "\n"}) {
    EXPECT_EQ(SetParamValue("both", value, kModeSetUser) +
                  ReplaceParamValue("both", value, kModeReplaceUser) +
                  AddParam("both", "lan.conf", value, kModeAddUser) +
                  SetParamValue("brand_new", value, kModeSetUser),
              0);
  }
  const std::string too_long(kMaxNameLength + 1, 'n');
  for (const char* name : {"", "a b", "a\tb", "a=b", "a\nb", "a\rb", "#",
                           "#new", too_long.c_str()}) {
    EXPECT_EQ(SetParamValue(name, "1", kModeSetUser) +
                  ReplaceParamValue(name, "1", kModeReplaceUser) +
                  AddParam(name, "lan.conf", "1", kModeAddUser),
              0)
        << name;
  }
  EXPECT_TRUE(g_calls.empty());
  EXPECT_EQ(CheckListLength(), count);
  EXPECT_EQ(State("both") + Dirty(), "u@lan.conf i@lan.conf");
  // The longest name is taken, and "#" inside a name is ordinary.
  const std::string longest(kMaxNameLength, 'n');
  EXPECT_EQ(SetParamValue(longest.c_str(), "1", kModeSetUser), 1);
  EXPECT_EQ(SetParamValue("a#", "1", kModeSetUser), 1);
}

// The callbacks themselves are tested in events/notify_callbacks_test.cc.
TEST_F(OperationsTest, HostNumberCheckFollowsTheUserSide) {
  testing::MsgListener mc(root_);
  WriteUser("dhcp.conf", "pw_num=1\nui_pw_num=1\n");
  WriteIsp("dhcp.conf", "pw_num=1\n");
  Reload();
  EXPECT_EQ(SetParamValue("pw_num", "0", kModeSetIsp), 1);
  EXPECT_TRUE(mc.Drain().empty());
  // Any name holding "pw_num" leads to the check of pw_num itself.
  EXPECT_EQ(SetParamValue("pw_num", "0", kModeSetUser), 1);
  EXPECT_EQ(SetParamValue("ui_pw_num", "3", kModeSetUser), 1);
  EXPECT_EQ(mc.Drain(), Lines(2, "mc_trigger_delay 10 1000"));
}

TEST_F(OperationsTest, DeleteBySide) {
  for (int mode : {kModeDeleteUser, kModeDeleteIsp, kModeDeleteBoth}) {
    // hostname is never deleted.
    EXPECT_EQ(DeleteParam("absent", mode) + DeleteParam("hostname", mode), 0);
  }
  // Both sides needed for 11, the ISP side for 10; 12 deletes nothing.
  EXPECT_EQ(DeleteParam("user_only", kModeDeleteBoth) +
                DeleteParam("user_only", kModeDeleteIsp) +
                DeleteParam("user_only", 12),
            0);
  EXPECT_EQ(Dirty(), "");
  EXPECT_EQ(DeleteParam("both", kModeDeleteUser), 1);
  EXPECT_EQ(State("both") + " | " + Dirty(),
            "(null)@-* i@lan.conf | user/lan.conf");
  EXPECT_EQ(DeleteParam("both", kModeDeleteUser), 0);
  EXPECT_EQ(DeleteParam("both", kModeDeleteIsp), 1);  // last side: removed
  EXPECT_EQ(State("both") + " | " + Dirty(),
            "- | user/lan.conf isp/user/lan.conf");
  EXPECT_EQ(DeleteParam("user_only", kModeDeleteUser), 1);
  EXPECT_EQ(State("user_only") + " | " + State("hostname"),
            "- | router@lan.conf (null)@-");
}

TEST_F(OperationsTest, AddNeedsAKnownFileOfItsSide) {
  WriteUser("wan.conf", "");
  Reload();
  // "an.conf" is inside a known path, but names no file of the table.
  EXPECT_EQ(AddParam("n", "missing.conf", "1", kModeAddUser) +
                AddParam("n", "an.conf", "1", kModeAddUser) +
                AddParam("n", "lan.conf", "1", kModeAddRefused) +
                AddParam("n", "lan.conf", "1", 16),
            0);
  EXPECT_EQ(State("n") + Dirty(), "-");
  EXPECT_EQ(UserIndex("an.conf"), -1);
  // An add stores the empty text as given.
  EXPECT_EQ(AddParam("isp_only", "wan.conf", "", kModeAddUser), 1);
  EXPECT_EQ(State("isp_only"), "@wan.conf* 2@lan.conf");
  EXPECT_EQ(AddParam("aaa_new", "lan.conf", "7", kModeAddIsp), 1);
  EXPECT_EQ(State("aaa_new"), "(null)@- 7@lan.conf*");
  EXPECT_EQ(Dirty(), "user/wan.conf isp/user/lan.conf");
  // Still in name order.
  EXPECT_EQ(list_get_at(&ParamList, 0), seekElement("aaa_new"));
}

TEST_F(OperationsTest, AddRegistersTheNextNumberedHostEntry) {
  WriteUser("dnsmasq.conf",
            "dnsmasq_dhcp-host1=a\ndnsmasq_dhcp-host2=b\n"
            "dnsmasq_dhcp-host4=d\n");
  Reload();
  events::initParamEventReg();
  // The numbering has a gap: host4 is not registered yet.
  EXPECT_EQ(seekElement("dnsmasq_dhcp-host2")->callback,
            events::DhcpOptionCallback);
  EXPECT_EQ(seekElement("dnsmasq_dhcp-host4")->callback, nullptr);
  ASSERT_EQ(AddParam("dnsmasq_dhcp-host3", "dnsmasq.conf", "c", kModeAddUser),
            1);
  for (const char* name : {"dnsmasq_dhcp-host3", "dnsmasq_dhcp-host4"})
    EXPECT_EQ(seekElement(name)->callback, events::DhcpOptionCallback) << name;
}

TEST_F(OperationsTest, ReplaceWritesTheFileAtOnce) {
  EXPECT_EQ(ReplaceParamValue("both", "u", kModeReplaceUser), 0);
  EXPECT_EQ(ReplaceParamValue("both", "u2", kModeReplaceUser), 5);
  EXPECT_EQ(ReadUser("lan.conf"), "both=u2\nuser_only=1\nhostname=router\n");
  EXPECT_EQ(ReplaceParamValue("both", "i2", kModeReplaceIsp), 5);
  EXPECT_EQ(ReadIsp("lan.conf"), "both=i2\nisp_only=2\n");
  EXPECT_EQ(ReplaceParamValue("both", "u2", kModeReplaceBoth), 5);
  EXPECT_EQ(ReadIsp("lan.conf"), "both=u2\nisp_only=2\n");
  EXPECT_EQ(ReadUser("lan.conf"), "both=u2\nuser_only=1\nhostname=router\n");
  // Nothing is left for the write-back, and only phase 0 was called.
  EXPECT_EQ(State("both") + Dirty(), "u2@lan.conf u2@lan.conf");
  EXPECT_EQ(g_calls,
            (Lines{"both=u@0", "both=u2@0", "both=i2@0", "both=u2@0"}));
  EXPECT_EQ(ReplaceParamValue("user_only", "2", kModeReplaceIsp) +
                ReplaceParamValue("user_only", "2", kModeReplaceBoth) +
                ReplaceParamValue("user_only", "2", kModeSetUser),
            0);
  EXPECT_EQ(State("user_only"), "1@lan.conf (null)@-");
}

}  // namespace
}  // namespace cms::store
