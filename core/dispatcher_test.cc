// dispatcher_test.cc - every command code against a small loaded store.
#include "core/dispatcher.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "conffiles/field_file.h"
#include "core/cmd_queue.h"
#include "core/write_counter.h"
#include "platform/log.h"
#include "store/file_tables.h"
#include "store/loader.h"
#include "store/operations.h"
#include "store/param_list.h"
#include "store/store_fixture.h"

namespace cms::core {
namespace {

constexpr int32_t kPid = 777;
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
  // is caught by the address sanitizer.
  static std::unique_ptr<CMSPacket> Request(int cmd, const char* name = "",
                                            const char* value = "",
                                            const char* location = "") {
    auto request = std::make_unique<CMSPacket>();
    memset(request.get(), 0, sizeof(CMSPacket));
    request->pid = kPid;
    request->cmd = cmd;
    strncpy(request->name, name, sizeof request->name - 1);
    strncpy(request->value, value, sizeof request->value - 1);
    strncpy(request->location, location, sizeof request->location - 1);
    return request;
  }

  static CMSPacket Handle(const CMSPacket& request) {
    CMSPacket response;
    memset(&response, 0, sizeof response);
    store::ParamListGuard lock;
    handleCMSreq(&request, &response);
    return response;
  }

  static CMSPacket Send(int cmd, const char* name = "", const char* value = "",
                        const char* location = "") {
    return Handle(*Request(cmd, name, value, location));
  }

  // A list request for commands 35 and 36.
  static CMSPacket SendList(int cmd, const std::vector<std::string>& texts) {
    auto request = Request(cmd);
    size_t pos = 0;
    for (const std::string& t : texts) {
      memcpy(request->value + pos, t.data(), t.size());
      pos += t.size() + 1;
    }
    return Handle(*request);
  }

  // What a user-side get answers, "<none>" for nothing.
  static std::string Get(const char* name) {
    const char* v = store::GetParamValue(name, store::kModeGetUser);
    return v == nullptr ? "<none>" : v;
  }

  static bool AllZero(const CMSPacket& p) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(&p);
    for (size_t i = 0; i < sizeof p; ++i) {
      if (bytes[i] != 0) return false;
    }
    return true;
  }

  static std::vector<std::string> ValueList(const CMSPacket& p) {
    std::vector<std::string> out;
    size_t pos = 0;
    while (pos < sizeof p.value && p.value[pos] != '\0') {
      out.emplace_back(p.value + pos);
      pos += out.back().size() + 1;
    }
    return out;
  }
};

TEST_F(DispatcherTest, GetBySideEchoesAndFailsWithoutValue) {
  CMSPacket r = Send(kCmdGetUser, "t_both");
  EXPECT_EQ(r.pid, kPid);
  EXPECT_EQ(r.status, CMS_STATUS_OK);
  EXPECT_STREQ(r.value, "u");
  r = Send(kCmdGetIsp, "t_both");
  EXPECT_STREQ(r.value, "i");
  for (const char* name : {"missing", "t_empty", "t_isp"}) {
    r = Send(kCmdGetUser, name);
    EXPECT_EQ(r.pid, kPid) << name;
    EXPECT_EQ(r.status, CMS_STATUS_FAIL) << name;
    EXPECT_STREQ(r.value, "") << name;
  }
}

TEST_F(DispatcherTest, SetCountsOnlyRealChanges) {
  EXPECT_EQ(Send(kCmdSetUser, "t_a", "9").status, CMS_STATUS_OK);
  EXPECT_EQ(Counters().changes, 1u);
  // The value already stored: a failure, nothing counted.
  CMSPacket r = Send(kCmdSetUser, "t_a", "9");
  EXPECT_EQ(r.status, CMS_STATUS_FAIL);
  EXPECT_EQ(r.pid, kPid);
  EXPECT_EQ(Counters().changes, 1u);
  EXPECT_EQ(Send(kCmdSetIsp, "t_isp", "j").status, CMS_STATUS_OK);
  EXPECT_EQ(Send(kCmdSetBoth, "t_both", "z").status, CMS_STATUS_OK);
  // A new name lives in memory until written back.
  EXPECT_EQ(Send(kCmdSetUser, "t_new", "n").status, CMS_STATUS_OK);
  EXPECT_EQ(Counters().changes, 4u);
  EXPECT_EQ(Get("t_a"), "9");
  EXPECT_STREQ(store::GetParamValue("t_isp", store::kModeGetIsp), "j");
  EXPECT_EQ(Get("t_both"), "z");
  EXPECT_EQ(Get("t_new"), "n");
}

TEST_F(DispatcherTest, DeleteAndAddCountAndFourteenIsRefused) {
  EXPECT_EQ(Send(kCmdDeleteUser, "t_a").status, CMS_STATUS_OK);
  EXPECT_EQ(Send(kCmdDeleteIsp, "t_isp").status, CMS_STATUS_OK);
  EXPECT_EQ(Send(kCmdDeleteBoth, "t_a").status, CMS_STATUS_FAIL);
  EXPECT_EQ(Counters().changes, 2u);
  EXPECT_EQ(Get("t_a"), "<none>");

  EXPECT_EQ(Send(kCmdAddUser, "t_added", "v", "test.conf").status,
            CMS_STATUS_OK);
  EXPECT_EQ(Send(kCmdAddIsp, "t_added2", "w", "test.conf").status,
            CMS_STATUS_OK);
  EXPECT_EQ(Counters().changes, 4u);
  EXPECT_EQ(Get("t_added"), "v");
  EXPECT_STREQ(store::GetParamValue("t_added2", store::kModeGetIsp), "w");

  CMSPacket r = Send(kCmdAddRefused, "t_other", "v", "test.conf");
  EXPECT_EQ(r.status, CMS_STATUS_FAIL);
  EXPECT_EQ(r.pid, kPid);
  EXPECT_EQ(Counters().changes, 4u);
}

TEST_F(DispatcherTest, WriteNowAndUnknownCodesAnswerAllZero) {
  Send(kCmdSetUser, "t_b", "3");
  const uint32_t counted = Counters().changes;
  CMSPacket r = Send(kCmdWriteNow);
  EXPECT_TRUE(AllZero(r));
  EXPECT_EQ(root_.Read(kUserFile),
            "# test\nt_a=1\nt_b=3\nt_empty=\nt_both=u\n");
  // An explicit write leaves the tick's counters alone.
  EXPECT_EQ(Counters().changes, counted);

  for (int code : {0, 6, 15, 20, 32, 38, -1, 0x7fffffff}) {
    r = Send(code, "t_a", "5", "test.conf");
    EXPECT_TRUE(AllZero(r)) << code;
  }
  EXPECT_EQ(Get("t_a"), "1");
  EXPECT_EQ(Counters().changes, counted);
}

TEST_F(DispatcherTest, ReplaceWritesAtOnceWithoutCounting) {
  CMSPacket r = Send(kCmdReplaceUser, "t_a", "7");
  EXPECT_EQ(r.status, CMS_STATUS_OK);
  EXPECT_EQ(r.pid, kPid);
  EXPECT_EQ(Counters().changes, 0u);
  EXPECT_NE(root_.Read(kUserFile).find("t_a=7\n"), std::string::npos);
  EXPECT_EQ(Send(kCmdReplaceIsp, "t_isp", "k").status, CMS_STATUS_OK);
  EXPECT_EQ(Send(kCmdReplaceBoth, "t_both", "b").status, CMS_STATUS_OK);
  EXPECT_EQ(Counters().changes, 0u);
}

TEST_F(DispatcherTest, PushAndPopQueueValues) {
  CMSPacket r = Send(kCmdPush, "q", "first");
  EXPECT_EQ(r.status, CMS_STATUS_OK);
  EXPECT_EQ(r.pid, kPid);
  Send(kCmdPush, "q", "second");
  EXPECT_EQ(Counters().changes, 0u);
  EXPECT_STREQ(Send(kCmdPop, "q").value, "first");
  EXPECT_STREQ(Send(kCmdPop, "q").value, "second");
  r = Send(kCmdPop, "q");
  EXPECT_EQ(r.status, CMS_STATUS_FAIL);
  EXPECT_EQ(r.pid, kPid);
}

TEST_F(DispatcherTest, GetMultiListsValuesAsFarAsTheyFit) {
  CMSPacket r = SendList(kCmdGetMulti, {"missing", "t_b"});
  EXPECT_EQ(r.status, CMS_STATUS_OK);
  EXPECT_EQ(r.pid, kPid);
  EXPECT_EQ(memcmp(r.value,
                   "(null)\0"
                   "2\0\0",
                   10),
            0);

  r = SendList(kCmdGetMulti, {});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.pid, kPid);

  // Two 500-character values cannot both fit: the second is left out, and
  // a later short one still goes in.
  const std::string long_value(500, 'L');
  Send(kCmdSetUser, "t_a", long_value.c_str());
  Send(kCmdSetUser, "t_b", long_value.c_str());
  r = SendList(kCmdGetMulti, {"t_a", "t_b", "t_both"});
  EXPECT_EQ(r.status, CMS_STATUS_OK);
  EXPECT_EQ(ValueList(r), (std::vector<std::string>{long_value, "u"}));
}

TEST_F(DispatcherTest, SetMultiStopsAtTheFirstFailure) {
  CMSPacket r = SendList(kCmdSetMulti, {"t_a", "5", "t_b", "6"});
  EXPECT_EQ(r.status, CMS_STATUS_OK);
  EXPECT_EQ(Counters().changes, 2u);
  EXPECT_EQ(Get("t_a"), "5");
  EXPECT_EQ(Get("t_b"), "6");

  // The second pair repeats the stored value and fails; the first stays.
  r = SendList(kCmdSetMulti, {"t_a", "8", "t_b", "6", "t_both", "x"});
  EXPECT_EQ(r.status, CMS_STATUS_FAIL);
  EXPECT_EQ(r.pid, kPid);
  EXPECT_EQ(Counters().changes, 3u);
  EXPECT_EQ(Get("t_a"), "8");
  EXPECT_EQ(Get("t_both"), "u");

  r = SendList(kCmdSetMulti, {});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.pid, kPid);
}

TEST_F(DispatcherTest, DumpWritesUserValuesInNameOrder) {
  CMSPacket r = Send(kCmdDump, "", "/tmp/dump.txt");
  EXPECT_EQ(r.status, CMS_STATUS_OK);
  EXPECT_EQ(r.pid, kPid);
  EXPECT_EQ(root_.Read("/tmp/dump.txt"),
            "t_a='1'\nt_b='2'\nt_both='u'\nt_empty=''\nt_isp=''\n");

  r = Send(kCmdDump, "", "/no/such/dir/dump.txt");
  EXPECT_EQ(r.status, CMS_STATUS_FAIL);
  EXPECT_EQ(r.pid, kPid);
}

TEST_F(DispatcherTest, DumpGrowsItsBufferForLongLines) {
  // Longer than any request can set: put it in the record directly.
  const std::string huge(5000, 'h');
  store::ParamRecord* record = store::seekElement("t_b");
  ASSERT_NE(record, nullptr);
  conffiles::efree(record->userValue);
  record->userValue = static_cast<char*>(conffiles::emalloc(huge.size() + 1));
  memcpy(record->userValue, huge.c_str(), huge.size() + 1);

  EXPECT_EQ(Send(kCmdDump, "", "/tmp/dump.txt").status, CMS_STATUS_OK);
  const std::string expected =
      "t_a='1'\nt_b='" + huge + "'\nt_both='u'\nt_empty=''\nt_isp=''\n";
  // Compared as a flag: a failure would print five thousand characters.
  EXPECT_TRUE(root_.Read("/tmp/dump.txt") == expected);
}

TEST_F(DispatcherTest, UnterminatedFieldsAreReadUpToTheirAreaEnd) {
  for (int code :
       {1, 2, 3, 4, 5, 9, 10, 11, 12, 13, 14, 17, 18, 19, 33, 34, 35, 36, 37}) {
    auto request = Request(code);
    memset(request->name, 'n', sizeof request->name);
    memset(request->value, '/', sizeof request->value);
    memset(request->location, 'l', sizeof request->location);
    memset(request->reserved_tail, 'r', sizeof request->reserved_tail);
    const CMSPacket r = Handle(*request);
    EXPECT_EQ(r.pid, kPid) << code;
  }
  // A name list that fills the whole area is one name.
  auto request = Request(kCmdGetMulti);
  memset(request->value, 'a', sizeof request->value);
  CMSPacket r = Handle(*request);
  EXPECT_EQ(r.status, CMS_STATUS_OK);
  EXPECT_EQ(ValueList(r), std::vector<std::string>{"(null)"});

  // A pair list whose last value runs to the end of the area.
  request = Request(kCmdSetMulti);
  memset(request->value, 'v', sizeof request->value);
  memcpy(request->value, "t_a", 4);
  r = Handle(*request);
  EXPECT_EQ(r.status, CMS_STATUS_OK);
  EXPECT_EQ(Get("t_a"), std::string(796, 'v'));
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
