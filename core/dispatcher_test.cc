// dispatcher_test.cc - every command code against a small loaded store.
#include "core/dispatcher.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "conffiles/field_file.h"
#include "core/cmd_queue.h"
#include "core/write_counter.h"
#include "platform/log.h"
#include "store/param_list.h"
#include "store/store_fixture.h"

namespace cms::core {
namespace {

constexpr int32_t kPid = 777;
constexpr int32_t kOk = CMS_STATUS_OK;
constexpr int32_t kFail = CMS_STATUS_FAIL;
// Every code but 16 that answers with a frame of its own.
constexpr int kCommands[] = {1,  2,  3,  4,  5,  9,  10, 11, 12, 13,
                             14, 17, 18, 19, 33, 34, 35, 36, 37};
constexpr char kUserFile[] = "/mnt/jffs2/conf/user/test.conf";
constexpr char kIspFile[] = "/mnt/jffs2/conf/isp/user/test.conf";

class DispatcherTest : public store::StoreFixture {
 protected:
  void SetUp() override {
    StoreFixture::SetUp();
    WriteConf(kUserFile, "# test\nt_a=1\nt_b=2\nt_empty=\nt_both=u\n");
    WriteConf(kIspFile, "t_isp=i\nt_both=i\n");
    initCmdList();
    initPrivateData();
    LoadTree();
  }
  void TearDown() override {
    ResetCmdList();
    StoreFixture::TearDown();
  }

  // Handles a request on the heap of exactly one frame, so that a read
  // beyond it is caught by the address sanitizer; `value` may be a list
  // with zeros. A `fill` byte fills every area, leaving no text terminated.
  // Commands echo the pid; anything else answers all zero.
  static CMSPacket Send(int cmd, const char* name, std::string value = "",
                        char fill = 0) {
    auto request = std::make_unique<CMSPacket>();
    memset(request.get(), fill, sizeof(CMSPacket));
    request->pid = kPid;
    request->cmd = cmd;
    if (fill == 0) {
      strncpy(request->name, name, sizeof request->name - 1);
      memcpy(request->value, value.data(),
             std::min(value.size(), sizeof request->value));
      strcpy(request->location, "test.conf");
    }
    CMSPacket response{};
    store::ParamListGuard lock;
    handleCMSreq(request.get(), &response);
    const bool command =
        std::count(std::begin(kCommands), std::end(kCommands), cmd) != 0;
    const CMSPacket zero{};
    EXPECT_EQ(command ? response.pid : memcmp(&response, &zero, sizeof zero),
              command ? kPid : 0)
        << cmd;
    return response;
  }

  static std::vector<std::string> ValueList(const CMSPacket& p) {
    std::vector<std::string> out;
    for (size_t pos = 0; pos < sizeof p.value && p.value[pos] != '\0';) {
      out.emplace_back(p.value + pos);
      pos += out.back().size() + 1;
    }
    return out;
  }
};

TEST_F(DispatcherTest, SingleValueCommandsBySide) {
  struct Row {
    int cmd;
    const char* name;
    const char* value;
    int32_t status;
    const char* answer;
    uint32_t changes;  // the write counter after the row
  };
  // In order on one store; the files show at the end where changes went.
  for (const Row& row : std::vector<Row>{
           {kCmdGetUser, "t_both", "", kOk, "u", 0},
           {kCmdGetIsp, "t_both", "", kOk, "i", 0},
           {kCmdGetUser, "missing", "", kFail, "", 0},
           {kCmdGetUser, "t_empty", "", kFail, "", 0},
           {kCmdGetUser, "t_isp", "", kFail, "", 0},
           // Replace writes the file at once and counts nothing.
           {kCmdReplaceUser, "t_a", "7", kOk, "", 0},
           {kCmdReplaceIsp, "t_isp", "k", kOk, "", 0},
           {kCmdReplaceBoth, "t_both", "b", kOk, "", 0},
           // Only a real change counts; the stored value again fails.
           {kCmdSetUser, "t_a", "9", kOk, "", 1},
           {kCmdSetUser, "t_a", "9", kFail, "", 1},
           {kCmdSetIsp, "t_isp", "j", kOk, "", 2},
           {kCmdSetBoth, "t_both", "z", kOk, "", 3},
           {kCmdGetUser, "t_both", "", kOk, "z", 3},
           {kCmdSetUser, "t_new", "n", kOk, "", 4},  // in memory only
           {kCmdGetUser, "t_new", "", kOk, "n", 4},
           {kCmdDeleteUser, "t_a", "", kOk, "", 5},
           {kCmdDeleteIsp, "t_isp", "", kOk, "", 6},
           {kCmdDeleteBoth, "t_a", "", kFail, "", 6},
           {kCmdAddUser, "t_added", "v", kOk, "", 7},
           {kCmdAddIsp, "t_added2", "w", kOk, "", 8},
           {kCmdAddRefused, "t_other", "v", kFail, "", 8},
           {kCmdPush, "q", "first", kOk, "", 8},
           {kCmdPop, "q", "", kOk, "first", 8},
       }) {
    SCOPED_TRACE(std::to_string(row.cmd) + " " + row.name);
    const CMSPacket r = Send(row.cmd, row.name, row.value);
    EXPECT_EQ(r.status, row.status);
    EXPECT_STREQ(r.value, row.answer);
    EXPECT_EQ(Counters().changes, row.changes);
  }
  EXPECT_EQ(root_.Read(kIspFile), "t_isp=k\nt_both=b\n");
  for (int code : {0, 6, 15, 20, 32, 38, -1, 0x7fffffff})
    Send(code, "t_b", "5");
  // An explicit write leaves the tick's counters alone.
  Send(kCmdWriteNow, "");
  EXPECT_EQ(Counters().changes, 8u);
  EXPECT_EQ(root_.Read(kUserFile),
            "# test\nt_b=2\nt_empty=\nt_both=z\nt_added=v\n");
  EXPECT_EQ(root_.Read(kIspFile), "t_both=z\nt_added2=w\n");
}

TEST_F(DispatcherTest, ListsAndUnterminatedTexts) {
  using Texts = std::vector<std::string>;
  // A list for 35 and 36: each text with its zero byte.
  auto list = [](const Texts& texts) {
    std::string out;
    for (const std::string& t : texts) out += t + '\0';
    return out;
  };
  EXPECT_EQ(Send(kCmdGetMulti, "").status, 0);  // an empty list
  EXPECT_EQ(Send(kCmdSetMulti, "").status, 0);
  CMSPacket r = Send(kCmdGetMulti, "", list({"missing", "t_b"}));
  EXPECT_EQ(r.status, kOk);
  EXPECT_EQ(ValueList(r), (Texts{"(null)", "2"}));
  EXPECT_EQ(Send(kCmdSetMulti, "", list({"t_a", "x", "t_b", "y"})).status, kOk);
  EXPECT_EQ(Counters().changes, 2u);
  // The second pair repeats the stored value and fails; the first stays,
  // the third is not tried.
  r = Send(kCmdSetMulti, "", list({"t_a", "z", "t_b", "y", "t_both", "w"}));
  EXPECT_EQ(r.status, kFail);
  EXPECT_EQ(Counters().changes, 3u);
  // Two 500-character values cannot both fit: the second is left out, and
  // a later short one still goes in.
  const std::string long_value(500, 'L');
  Send(kCmdSetUser, "t_b", long_value);
  Send(kCmdSetUser, "t_a", long_value);
  r = Send(kCmdGetMulti, "", list({"t_a", "t_b", "t_both"}));
  EXPECT_EQ(ValueList(r), (Texts{long_value, "u"}));
  // Texts are read up to their area end: a name list that fills the whole
  // area is one name; a pair list whose last value runs to the end of the
  // area sets it; nothing is read past any area.
  for (int code : kCommands) Send(code, "", "", '/');
  EXPECT_EQ(ValueList(Send(kCmdGetMulti, "", std::string(800, 'a'))),
            Texts{"(null)"});
  Send(kCmdSetMulti, "", list({"t_a"}) + std::string(796, 'v'));
  EXPECT_STREQ(Send(kCmdGetUser, "t_a").value, std::string(796, 'v').c_str());
}

TEST_F(DispatcherTest, DumpLinesAndDebugLines) {
  // Longer than any request can set, so that the line buffer has to grow:
  // put it in the record directly.
  const std::string huge(5000, 'h');
  store::ParamRecord* record = store::seekElement("t_b");
  ASSERT_NE(record, nullptr);
  conffiles::efree(record->userValue);
  record->userValue = static_cast<char*>(conffiles::emalloc(huge.size() + 1));
  memcpy(record->userValue, huge.c_str(), huge.size() + 1);
  EXPECT_EQ(Send(kCmdDump, "", "/tmp/dump.txt").status, kOk);
  // Compared as a flag: a failure would print five thousand characters.
  EXPECT_TRUE(root_.Read("/tmp/dump.txt") ==
              "t_a='1'\nt_b='" + huge +
                  "'\nt_both='u'\nt_empty=''\nt_isp=''\n");

  platform::SetLogToStderr(true);
  ::testing::internal::CaptureStderr();
  Send(kCmdGetUser, "t_a");  // no line while debugging is off
  cms_debug_mode.store(1);
  Send(kCmdGetUser, "t_a");
  Send(kCmdSetUser, "t_b", "4");
  Send(kCmdDump, "", "/tmp/d");
  cms_debug_mode.store(0);
  const std::string err = ::testing::internal::GetCapturedStderr();
  platform::SetLogToStderr(false);
  // Each line is "[CMS_DBG](<line>/CMSMain): " and the text.
  EXPECT_EQ(std::regex_replace(err, std::regex("\\[CMS_DBG\\]\\(\\d+/"), "("),
            "(CMSMain): get value [t_a]\n(CMSMain): set value [t_b]=[4]\n"
            "(CMSMain): Dump value [/tmp/d]\n");
}

}  // namespace
}  // namespace cms::core
