// operations_test.cc - parameter operations by mode and side.
#include "store/operations.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "store/change_hooks.h"
#include "testing/store_fixture.h"

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

Lines g_hooks;  // "cleared:forwards" or "added:NAME"

// Set, Add, Delete or Replace with a mode, its result, the State after it.
struct Step {
  char op;
  const char* name;
  const char* value;
  int mode;
  int result;
  const char* after;
  const char* file = "lan.conf";
};

class OperationsTest : public StoreFixture {
 protected:
  void SetUp() override {
    StoreFixture::SetUp();
    g_calls.clear();
    WriteUser("lan.conf", kUserLan);
    WriteIsp("lan.conf", "both=i\nisp_only=2\n");
    WriteUser("wan.conf", "");
    // The loader passes over leading tabs, so a name beginning with "#" can
    // come from a file; written back it would read as a comment.
    WriteUser("x.conf", "\t#=1\n");
    WriteUser("dhcp.conf", "pw_num=1\nui_pw_num=1\n");
    WriteIsp("dhcp.conf", "pw_num=1\n");
    LoadTree();
    g_hooks.clear();
    ChangeHooks hooks;
    hooks.port_forwards_cleared = [] { g_hooks.push_back("cleared:forwards"); };
    hooks.param_added = [](const char* name) {
      g_hooks.push_back(std::string("added:") + name);
    };
    SetChangeHooks(hooks);  // the fixture's reset clears them
    seekElement("both")->callback = Recorder;
  }
  static int Do(char op, const char* name, const char* value, int mode,
                const char* file = "lan.conf") {
    return op == 'S'   ? SetParamValue(name, value, mode)
           : op == 'A' ? AddParam(name, file, value, mode)
           : op == 'D' ? DeleteParam(name, mode)
                       : ReplaceParamValue(name, value, mode);
  }
  static void Run(const std::vector<Step>& steps) {
    for (const Step& s : steps) {
      SCOPED_TRACE(s.op + std::string(" ") + s.name + " " + s.value + " " +
                   std::to_string(s.mode));
      EXPECT_EQ(Do(s.op, s.name, s.value, s.mode, s.file), s.result);
      EXPECT_EQ(State(s.name), s.after);
    }
  }
  static std::string Get(const char* name, int mode) {
    const char* v = GetParamValue(name, mode);
    return v == nullptr ? "(null)" : v;
  }
  static constexpr char kUserLan[] = "both=u\nuser_only=1\nhostname=router\n";
};

TEST_F(OperationsTest, GetReadsOneSideOnly) {
  EXPECT_EQ(Get("both", kModeGetUser) + Get("both", kModeGetIsp), "ui");
  EXPECT_EQ(Get("isp_only", 1) + Get("user_only", 3) + Get("both", 2),
            "(null)(null)(null)");
  // "user_only=" and a line feed leave 788 characters of a 799 line.
  EXPECT_EQ(SetParamValue("user_only", std::string(789, 'x').c_str(), 2), 0);
  ASSERT_EQ(SetParamValue("user_only", std::string(788, 'x').c_str(), 2), 1);
  EXPECT_EQ(Get("user_only", kModeGetUser), std::string(788, 'x'));
  ASSERT_EQ(SetParamValue("user_only", "", kModeSetUser), 1);
  EXPECT_EQ(UserValue("user_only"), kEmptyValueMarker);
  EXPECT_EQ(Get("user_only", kModeGetUser), "(null)");
}

TEST_F(OperationsTest, SetMarksTheChangedSideAndItsFile) {
  seekElement("hostname")->callback = [](void*, const char*, int) {
    return 0;  // a veto
  };
  Run({{'S', "both", "u", 2, 0, "u@lan.conf i@lan.conf"},  // unchanged
       {'S', "both", "u2", 2, 5, "u2@lan.conf* i@lan.conf"}});
  EXPECT_EQ(Dirty(), "user/lan.conf");
  Run({{'S', "both", "i", 5, 5, "i@lan.conf* i@lan.conf*"},   // no comparison
       {'S', "both", "x", 7, 0, "i@lan.conf* i@lan.conf*"},   // after phase 0
       {'S', "user_only", "9", 5, 0, "1@lan.conf (null)@-"},  // no ISP side
       {'S', "user_only", "9", 4, 0, "1@lan.conf (null)@-"},
       {'S', "hostname", "new", 2, 0, "router@lan.conf (null)@-"},
       {'R', "hostname", "new", 17, 0, "router@lan.conf (null)@-"},
       // A new name lives in the in-memory file, whatever the side.
       {'S', "fresh", "v", 4, 1, "v@XCFGtemp.conf* (null)@-"}});
  EXPECT_EQ(Dirty(), "isp/user/lan.conf user/XCFGtemp.conf user/lan.conf");
  EXPECT_EQ(ReadUser("lan.conf"), kUserLan);
  EXPECT_EQ(SetParamValue("both", "", kModeSetIsp), 5);  // the marker
  EXPECT_EQ(g_calls, (Lines{"both=u@0", "both=u2@0", "both=i@0", "both=x@0",
                            std::string("both=") + kEmptyValueMarker + "@0"}));
  EXPECT_EQ(ReplaceParamValue("sys_upnp", "", kModeReplaceIsp), 1);
  EXPECT_EQ(UserValue("sys_upnp"), kEmptyValueMarker);
  EXPECT_EQ(g_hooks.back(), "added:sys_upnp");
}

TEST_F(OperationsTest, NamesAndValuesThatCannotBeALineAreRefused) {
  const int count = CheckListLength();
  const std::string too_long(kMaxNameLength + 1, 'n');
  for (const auto& [op, mode] : {std::pair{'S', 2}, {'A', 12}, {'R', 17}}) {
    for (const char* value : {"a\nb", "a\rb", "\n"})
      for (const char* name : {"both", "new"})
        EXPECT_EQ(Do(op, name, value, mode), 0) << op << name;
    for (const char* name : {"", "a b", "a\tb", "a=b", "a\nb", "a\rb", "#",
                             "#new", too_long.c_str()})
      EXPECT_EQ(Do(op, name, "1", mode), 0) << op << name;
  }
  EXPECT_TRUE(g_calls.empty());
  EXPECT_EQ(CheckListLength(), count);
  EXPECT_EQ(State("both") + Dirty(), "u@lan.conf i@lan.conf");
  // The longest name is taken, and "#" inside a name is ordinary.
  const std::string longest(kMaxNameLength, 'n');
  EXPECT_EQ(SetParamValue(longest.c_str(), "1", kModeSetUser), 1);
  EXPECT_EQ(SetParamValue("a#", "1", kModeSetUser), 1);
}

// Any name holding "pw_num" leads to the check of the user-side pw_num.
TEST_F(OperationsTest, HostNumberCheckFollowsTheUserSide) {
  EXPECT_EQ(SetParamValue("pw_num", "0", kModeSetIsp), 1);
  EXPECT_EQ(SetParamValue("pw_num", "0", kModeSetUser), 1);
  EXPECT_EQ(SetParamValue("ui_pw_num", "3", kModeSetUser), 1);
  EXPECT_EQ(g_hooks, Lines(2, "cleared:forwards"));
}

TEST_F(OperationsTest, DeleteBySide) {
  for (int mode : {9, 10, 11}) {  // hostname is never deleted
    EXPECT_EQ(DeleteParam("absent", mode), 0) << mode;
    EXPECT_EQ(DeleteParam("hostname", mode), 0) << mode;
  }
  Run({{'D', "user_only", "", 11, 0, "1@lan.conf (null)@-"},
       {'D', "user_only", "", 10, 0, "1@lan.conf (null)@-"},
       {'D', "user_only", "", 12, 0, "1@lan.conf (null)@-"}});
  EXPECT_EQ(Dirty(), "");
  Run({{'D', "both", "", 9, 1, "(null)@-* i@lan.conf"},
       {'D', "both", "", 9, 0, "(null)@-* i@lan.conf"},
       {'D', "both", "", 10, 1, "-"},  // the last side: removed
       {'D', "user_only", "", 9, 1, "-"}});
  EXPECT_EQ(Dirty(), "isp/user/lan.conf user/lan.conf");
  EXPECT_EQ(UserValue("hostname"), "router");
}

TEST_F(OperationsTest, AddNeedsAKnownFileOfItsSide) {
  Run({{'A', "n", "1", 12, 0, "-", "missing.conf"},
       {'A', "n", "1", 12, 0, "-", "an.conf"},  // only part of a known path
       {'A', "n", "1", 14, 0, "-"},
       {'A', "n", "1", 16, 0, "-"},
       {'A', "isp_only", "", 12, 1, "@wan.conf* 2@lan.conf", "wan.conf"},
       {'A', "aaa_new", "7", 13, 1, "(null)@- 7@lan.conf*"}});
  EXPECT_EQ(Dirty(), "isp/user/lan.conf user/wan.conf");
  EXPECT_EQ(UserIndex("an.conf"), -1);
  ASSERT_GT(CheckListLength(), 1);  // a walk takes the new name in order
  EXPECT_EQ(list_get_at(&ParamList, 1), seekElement("aaa_new"));  // after "#"
  EXPECT_EQ(g_hooks, Lines{"added:aaa_new"});  // only a new name
}

// Nothing is left for the write-back, and only phase 0 is called.
TEST_F(OperationsTest, ReplaceWritesTheFileAtOnce) {
  Run({{'R', "both", "u", 17, 0, "u@lan.conf i@lan.conf"},
       {'R', "both", "u2", 17, 5, "u2@lan.conf i@lan.conf"},
       {'R', "both", "i2", 18, 5, "u2@lan.conf i2@lan.conf"},
       {'R', "both", "3", 19, 5, "3@lan.conf 3@lan.conf"},
       {'R', "user_only", "2", 18, 0, "1@lan.conf (null)@-"},
       {'R', "user_only", "2", 19, 0, "1@lan.conf (null)@-"}});
  EXPECT_EQ(ReadUser("lan.conf"), "both=3\nuser_only=1\nhostname=router\n");
  EXPECT_EQ(ReadIsp("lan.conf"), "both=3\nisp_only=2\n");
  EXPECT_EQ(Dirty(), "");
  EXPECT_EQ(g_calls, (Lines{"both=u@0", "both=u2@0", "both=i2@0", "both=3@0"}));
}

}  // namespace
}  // namespace cms::store
