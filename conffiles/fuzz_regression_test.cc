// fuzz_regression_test.cc - generator defects that fuzzing found: each test
// holds the smallest case, so that they cannot come back.
#include <gtest/gtest.h>

#include "conffiles/dnsmasq_conf.h"
#include "platform/root.h"
#include "store/param_list.h"
#include "tests/temp_root.h"

namespace cms::conffiles {
namespace {

// "dnsmasq_#..." lost its prefix and reached dnsmasq as a line that is no
// option.
TEST(ConffilesFuzzRegression, DnsmasqRestBeginningWithHashIsDropped) {
  testing::TempRoot root;
  platform::SetRoot(root.dir());
  store::ResetParamList();
  store::initParamList();
  root.Write("/mnt/jffs2/conf/user/dnsmasq.conf",
             "dnsmasq_#end of s1\ndnsmasq_interface=br0\n");
  root.MakeDir("/tmp");
  do_usr_copy_dnsmasq("/mnt/jffs2/conf/user/dnsmasq.conf", "/tmp/dnsmasq.conf");
  EXPECT_EQ(root.Read("/tmp/dnsmasq.conf"), "interface=br0\n");
  platform::SetRoot("/");
}

}  // namespace
}  // namespace cms::conffiles
