// dispatcher_test.cc - every command code against a small loaded store.
#include "core/dispatcher.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "conffiles/field_file.h"
#include "core/cmd_queue.h"
#include "core/write_counter.h"
#include "platform/log.h"
#include "store/operations.h"
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

  // A request on the heap of exactly one frame, so that a read beyond it
  // is caught by the address sanitizer. `value` may be a list with zeros.
  static std::unique_ptr<CMSPacket> Request(int cmd, const char* name = "",
                                            std::string value = "",
                                            const char* location = "") {
    auto request = std::make_unique<CMSPacket>();
    memset(request.get(), 0, sizeof(CMSPacket));
    request->pid = kPid;
    request->cmd = cmd;
    strncpy(request->name, name, sizeof request->name - 1);
    memcpy(request->value, value.data(),
           std::min(value.size(), sizeof request->value));
    strncpy(request->location, location, sizeof request->location - 1);
    return request;
  }

  static CMSPacket Handle(const CMSPacket& request) {
    CMSPacket response;
    memset(&response, 0, sizeof response);
    store::ParamListGuard lock;
    handleCMSreq(&request, &response);
    if (std::find(std::begin(kCommands), std::end(kCommands), request.cmd) !=
        std::end(kCommands)) {
      EXPECT_EQ(response.pid, kPid) << request.cmd;  // echoed by every command
    }
    return response;
  }

  static CMSPacket Send(int cmd, const char* name = "", std::string value = "",
                        const char* location = "") {
    return Handle(*Request(cmd, name, std::move(value), location));
  }

  static bool AllZero(const CMSPacket& p) {
    static const CMSPacket zero{};
    return memcmp(&p, &zero, sizeof p) == 0;
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
  // In order on one store; a get after a change shows where it went.
  const std::vector<Row> rows = {
      {kCmdGetUser, "t_both", "", kOk, "u", 0},
      {kCmdGetIsp, "t_both", "", kOk, "i", 0},
      {kCmdGetUser, "missing", "", kFail, "", 0},
      {kCmdGetUser, "t_empty", "", kFail, "", 0},
      {kCmdGetUser, "t_isp", "", kFail, "", 0},
      // Replace writes the file at once and counts nothing.
      {kCmdReplaceUser, "t_a", "7", kOk, "", 0},
      {kCmdReplaceIsp, "t_isp", "k", kOk, "", 0},
      {kCmdReplaceBoth, "t_both", "b", kOk, "", 0},
      {kCmdGetIsp, "t_both", "", kOk, "b", 0},
      // Only a real change counts; the stored value again is a failure.
      {kCmdSetUser, "t_a", "9", kOk, "", 1},
      {kCmdSetUser, "t_a", "9", kFail, "", 1},
      {kCmdGetUser, "t_a", "", kOk, "9", 1},
      {kCmdSetIsp, "t_isp", "j", kOk, "", 2},
      {kCmdGetIsp, "t_isp", "", kOk, "j", 2},
      {kCmdSetBoth, "t_both", "z", kOk, "", 3},
      {kCmdGetUser, "t_both", "", kOk, "z", 3},
      {kCmdGetIsp, "t_both", "", kOk, "z", 3},
      {kCmdSetUser, "t_new", "n", kOk, "", 4},  // in memory until written
      {kCmdGetUser, "t_new", "", kOk, "n", 4},
      {kCmdDeleteUser, "t_a", "", kOk, "", 5},
      {kCmdGetUser, "t_a", "", kFail, "", 5},
      {kCmdDeleteIsp, "t_isp", "", kOk, "", 6},
      {kCmdDeleteBoth, "t_a", "", kFail, "", 6},
      {kCmdPush, "q", "first", kOk, "", 6},
      {kCmdPush, "q", "second", kOk, "", 6},
      {kCmdPop, "q", "", kOk, "first", 6},
      {kCmdPop, "q", "", kOk, "second", 6},
      {kCmdPop, "q", "", kFail, "", 6},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::to_string(row.cmd) + " " + row.name);
    const CMSPacket r = Send(row.cmd, row.name, row.value);
    EXPECT_EQ(r.status, row.status);
    EXPECT_STREQ(r.value, row.answer);
    EXPECT_EQ(Counters().changes, row.changes);
  }
  EXPECT_EQ(root_.Read(kUserFile),
            "# test\nt_a=7\nt_b=2\nt_empty=\nt_both=b\n");
  EXPECT_EQ(root_.Read(kIspFile), "t_isp=k\nt_both=b\n");

  // Add by side; 14 is refused.
  EXPECT_EQ(Send(kCmdAddUser, "t_added", "v", "test.conf").status, kOk);
  EXPECT_EQ(Send(kCmdAddIsp, "t_added2", "w", "test.conf").status, kOk);
  EXPECT_EQ(Send(kCmdAddRefused, "t_other", "v", "test.conf").status, kFail);
  EXPECT_EQ(Counters().changes, 8u);
  EXPECT_STREQ(Send(kCmdGetUser, "t_added").value, "v");
  EXPECT_STREQ(Send(kCmdGetIsp, "t_added2").value, "w");
  EXPECT_EQ(Send(kCmdGetUser, "t_other").status, kFail);
}

TEST_F(DispatcherTest, WriteNowAndUnknownCodesAnswerAllZero) {
  Send(kCmdSetUser, "t_b", "3");
  EXPECT_TRUE(AllZero(Send(kCmdWriteNow)));
  EXPECT_EQ(root_.Read(kUserFile),
            "# test\nt_a=1\nt_b=3\nt_empty=\nt_both=u\n");
  // An explicit write leaves the tick's counters alone.
  EXPECT_EQ(Counters().changes, 1u);
  for (int code : {0, 6, 15, 20, 32, 38, -1, 0x7fffffff}) {
    EXPECT_TRUE(AllZero(Send(code, "t_a", "5", "test.conf"))) << code;
  }
  EXPECT_STREQ(Send(kCmdGetUser, "t_a").value, "1");
  EXPECT_EQ(Counters().changes, 1u);
}

TEST_F(DispatcherTest, MultiValueCommands) {
  CMSPacket r = Send(kCmdGetMulti, "", std::string("missing\0t_b", 11));
  EXPECT_EQ(r.status, kOk);
  EXPECT_EQ(memcmp(r.value,
                   "(null)\0"
                   "2\0\0",
                   10),
            0);
  EXPECT_EQ(Send(kCmdGetMulti).status, 0);
  EXPECT_EQ(Send(kCmdSetMulti).status, 0);

  r = Send(kCmdSetMulti, "",
           std::string("t_a\0"
                       "5\0t_b\0"
                       "6",
                       11));
  EXPECT_EQ(r.status, kOk);
  EXPECT_EQ(Counters().changes, 2u);
  // The second pair repeats the stored value and fails; the first stays,
  // the third is not tried.
  r = Send(kCmdSetMulti, "",
           std::string("t_a\0"
                       "8\0t_b\0"
                       "6\0t_both\0x",
                       20));
  EXPECT_EQ(r.status, kFail);
  EXPECT_EQ(Counters().changes, 3u);
  EXPECT_STREQ(Send(kCmdGetUser, "t_both").value, "u");

  // Two 500-character values cannot both fit: the second is left out, and
  // a later short one still goes in.
  const std::string long_value(500, 'L');
  Send(kCmdSetUser, "t_a", long_value);
  Send(kCmdSetUser, "t_b", long_value);
  r = Send(kCmdGetMulti, "", std::string("t_a\0t_b\0t_both", 14));
  EXPECT_EQ(r.status, kOk);
  EXPECT_EQ(ValueList(r), (std::vector<std::string>{long_value, "u"}));
}

TEST_F(DispatcherTest, DumpWritesUserValuesInNameOrder) {
  EXPECT_EQ(Send(kCmdDump, "", "/no/such/dir/dump.txt").status, kFail);
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
}

TEST_F(DispatcherTest, UnterminatedFieldsAreReadUpToTheirAreaEnd) {
  for (int code : kCommands) {
    auto request = Request(code);
    memset(request->name, 'n', sizeof request->name);
    memset(request->value, '/', sizeof request->value);
    memset(request->location, 'l', sizeof request->location);
    memset(request->reserved_tail, 'r', sizeof request->reserved_tail);
    Handle(*request);
  }
  // A name list that fills the whole area is one name.
  CMSPacket r = Send(kCmdGetMulti, "", std::string(800, 'a'));
  EXPECT_EQ(r.status, kOk);
  EXPECT_EQ(ValueList(r), std::vector<std::string>{"(null)"});
  // A pair list whose last value runs to the end of the area.
  r = Send(kCmdSetMulti, "", std::string("t_a\0", 4) + std::string(796, 'v'));
  EXPECT_EQ(r.status, kOk);
  EXPECT_STREQ(Send(kCmdGetUser, "t_a").value, std::string(796, 'v').c_str());
}

TEST_F(DispatcherTest, DebugLinesOnlyInDebugMode) {
  platform::SetLogToStderr(true);
  ::testing::internal::CaptureStderr();
  Send(kCmdGetUser, "t_a");
  cms_debug_mode.store(1);
  Send(kCmdGetUser, "t_b");
  Send(kCmdSetUser, "t_b", "4");
  Send(kCmdDump, "", "/tmp/d");
  cms_debug_mode.store(0);
  const std::string err = ::testing::internal::GetCapturedStderr();
  platform::SetLogToStderr(false);
  EXPECT_EQ(err.find("[t_a]"), std::string::npos);
  EXPECT_NE(err.find("/CMSMain): get value [t_b]\n"), std::string::npos);
  EXPECT_NE(err.find("/CMSMain): set value [t_b]=[4]\n"), std::string::npos);
  EXPECT_NE(err.find("/CMSMain): Dump value [/tmp/d]\n"), std::string::npos);
}

}  // namespace
}  // namespace cms::core
