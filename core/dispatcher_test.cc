// dispatcher_test.cc - reads bounded by the frame (under the address
// sanitizer), the change count per command, the list commands' corner cases.
#include "core/dispatcher.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "files/field_file.h"
#include "core/cmd_queue.h"
#include "core/write_counter.h"
#include "testing/store_fixture.h"

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

// A list for 35 and 36: each text with its zero byte.
std::string List(const std::vector<std::string>& texts) {
  std::string out;
  for (const std::string& t : texts) out += t + '\0';
  return out;
}
// The first `n` bytes of the answer's value area.
std::string Head(const CMSPacket& p, size_t n) { return {p.value, n}; }

class DispatcherTest : public store::StoreFixture {
 protected:
  void SetUp() override {
    StoreFixture::SetUp();
    WriteConf(kUserFile, "# test\nt_a=1\nt_b=2\nt_both=u\n");
    WriteConf(kIspFile, "t_isp=i\nt_both=i\n");
    LoadTree();
  }

  // Handles a request on the heap of exactly one frame, so that the address
  // sanitizer sees a read beyond it. A `fill` byte fills every area, leaving
  // no text terminated. Commands echo the pid; anything else answers zero.
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
    {
      store::ParamListGuard lock;
      handleCMSreq(request.get(), &response);
    }
    RunDeferredWork();
    const bool command = std::ranges::count(kCommands, cmd) != 0;
    const CMSPacket zero{};
    EXPECT_EQ(command ? response.pid : memcmp(&response, &zero, sizeof zero),
              command ? kPid : 0)
        << cmd;
    return response;
  }
};

// Only a real change counts towards the write-back: not a failed set, a
// replace (written at once), a queued value or an explicit write.
TEST_F(DispatcherTest, ChangesCountedPerCommand) {
  for (int code : {0, 6, 15, 20, 32, 38, -1, 0x7fffffff})
    Send(code, "t_isp", "5");
  EXPECT_EQ(Send(CMS_CMD_SET_USER, "t_a", "9").status, kOk);
  EXPECT_EQ(Send(CMS_CMD_SET_USER, "t_a", "9").status, kFail);
  Send(CMS_CMD_ADD_ISP, "t_added", "w");
  Send(CMS_CMD_DELETE_ISP, "t_isp");
  for (int cmd :
       {CMS_CMD_REPLACE_BOTH, CMS_CMD_PUSH, CMS_CMD_POP, CMS_CMD_WRITE_NOW})
    Send(cmd, "t_both", "b");
  EXPECT_EQ(Counters().changes, 3u);
  EXPECT_EQ(root_.Read(kIspFile), "t_both=b\nt_added=w\n");
}

TEST_F(DispatcherTest, ListsUnterminatedTextsAndLongDumpLines) {
  EXPECT_EQ(Send(CMS_CMD_SET_MULTI, "").status, 0);  // empty: no status
  EXPECT_EQ(Head(Send(CMS_CMD_GET_MULTI, "", List({"missing", "t_b"})), 10),
            List({"(null)", "2", ""}));
  EXPECT_EQ(Send(CMS_CMD_SET_MULTI, "", List({"t_a", "x", "t_b", "y"})).status,
            kOk);
  EXPECT_EQ(Counters().changes, 2u);
  // The second pair repeats the stored value and fails; the first stays,
  // the third is not tried.
  EXPECT_EQ(
      Send(CMS_CMD_SET_MULTI, "", List({"t_a", "z", "t_b", "y", "t_both", "w"}))
          .status,
      kFail);
  EXPECT_EQ(Counters().changes, 3u);
  // Two 500-character values cannot both fit: the second is left out, and
  // a later short one still goes in.
  const std::string long_value(500, 'L');
  Send(CMS_CMD_SET_USER, "t_b", long_value);
  Send(CMS_CMD_SET_USER, "t_a", long_value);
  EXPECT_EQ(
      Head(Send(CMS_CMD_GET_MULTI, "", List({"t_a", "t_b", "t_both"})), 504),
      List({long_value, "u", ""}));
  // Texts are read up to their area end, never past it: a pair list whose
  // last value runs to the end is refused (no file line holds it whole).
  for (int code : kCommands) Send(code, "", "", '/');
  EXPECT_EQ(Head(Send(CMS_CMD_GET_MULTI, "", std::string(800, 'a')), 8),
            List({"(null)", ""}));
  EXPECT_EQ(
      Send(CMS_CMD_SET_MULTI, "", List({"t_a"}) + std::string(796, 'v')).status,
      kFail);
  EXPECT_STREQ(Send(CMS_CMD_GET_USER, "t_a").value, long_value.c_str());
  // A dump line longer than its buffer and than any request can set.
  const std::string huge(5000, 'h');
  store::ParamRecord* record = store::seekElement("t_b");
  files::efree(record->userValue);
  record->userValue = static_cast<char*>(files::emalloc(huge.size() + 1));
  memcpy(record->userValue, huge.c_str(), huge.size() + 1);
  EXPECT_EQ(Send(CMS_CMD_DUMP, "", "/tmp/dump.txt").status, kOk);
  // Compared as a flag: a failure would print five thousand characters.
  EXPECT_TRUE(root_.Read("/tmp/dump.txt") == "t_a='" + long_value +
                                                 "'\nt_b='" + huge +
                                                 "'\nt_both='u'\nt_isp=''\n");
}

}  // namespace
}  // namespace cms::core
