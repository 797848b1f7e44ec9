// snmpd_conf_test.cc - the generated SNMP agent files.
#include "conffiles/snmpd_conf.h"

#include <gtest/gtest.h>

#include <string>

#include "testing/process_state.h"
#include "testing/temp_root.h"

namespace cms::conffiles {
namespace {

constexpr const char* kSource = "/mnt/jffs2/conf/user/snmpd.conf";
constexpr const char* kSysini = "/mnt/jffs2/conf/user/sysini.conf";
constexpr const char* kV1 = "/mnt/jffs2/conf/app/snmpd.conf";
constexpr const char* kV3 = "/mnt/jffs2/conf/app/snmpd_v3.conf";

constexpr const char* kViewBlock =
    "\n#view\tVNAME\t\tTYPE\t\tOID\t\t[MASK]\nview\treadView\tincluded\t.iso\n"
    "view\twriteView\tincluded\t.iso\n\n";

class SnmpdConf : public ::testing::Test {
 protected:
  void SetUp() override {
    root_.MakeDir("/mnt/jffs2/conf/app");
    root_.Write(kSysini, "sys_cms_debug_mode=0\n");
  }
  // The v1 and the v3 file generated from `source`.
  std::string Generate(const std::string& source) {
    root_.Write(kSource, source);
    std::string src = kSource;
    do_usr_copy_snmpd(src.data(), kV1);
    do_usr_copy_snmpd_v3(kSource, kV3);
    return root_.Read(kV1) + "--\n" + root_.Read(kV3);
  }

  testing::TempRoot root_;
  testing::ScopedRoot scoped_root_{root_.dir()};
};

TEST_F(SnmpdConf, FilesHoldCommunitiesSystemTextUsersAndAccess) {
  const std::string both = Generate(
      "# SNMP\nsnmp_ro_community=public\nsnmp_rw_community=private\n"
      "snmpv3_engine_id_type=1\n"
      "snmpv3_user1=admin,SHA,authpass123,AES,privpass123,rw,x,enable\n"
      "snmpv3_user2=guest, MD5, N/A, DES, N/A, ro, x, enable\n"
      "snmpv3_user3=old,SHA,authpass123,AES,privpass123,rw,x,disable\n"
      "snmpv3_group1=rw,authPrivacy,readView,writeView\n"
      "snmpv3_group2=ro,noAuthNoPrivacy,readView,readView\n"
      "snmp_ro_community2=other\r\n"  // a suffix still matches
      "snmp_contact=\n"               // no value: nothing
      "snmp_sysName\tsecond\tignored\n");
  EXPECT_EQ(both,
            "# SNMP\nrocommunity public\nrocommunity6 public\n"
            "rwcommunity private\nrwcommunity6 private\nrocommunity other\n"
            "rocommunity6 other\nsysname second\n--\n# SNMP\n"
            "engineIDType 3\nengineIDNic eth1\n\ncreateUser\tadmin\tSHA\t"
            "\"authpass123\"\tAES\t\"privpass123\"\ngroup\trw\tusm\tadmin\n\n"
            "createUser\tguest\ngroup\tro\tusm\tguest\n\n" +
                std::string(kViewBlock) +
                "access\trw\t\"\"\tusm\tpriv\texact\treadView\twriteView\t"
                "none\naccess\tro\t\"\"\tusm\tnoauth\texact\treadView\t"
                "readView\tnone\nsysname second\n");
}

TEST_F(SnmpdConf, LongLinesAreCutOrDropped) {
  const std::string pass(600, 'p'), view(300, 'w');
  const std::string user = "createUser\tu\tSHA\t\"" + pass + "\"";
  EXPECT_EQ(Generate("snmpv3_group3=g3,authNoPrivacy,rv," + view +
                     "\nsnmpv3_user1=u,SHA," + pass + ",AES,N/A,g,x,enable\n"),
            "--\n" + std::string(kViewBlock) +
                ("access\tg3\t\"\"\tusm\tauth\texact\trv\t" + view)
                    .substr(0, 255) +
                "\n" + user.substr(0, 511) + "\n");
  // Read in 1023-character pieces, the tail of this comment would be a
  // community line of its own.
  const std::string comment = "#" + std::string(1022, 'c');
  EXPECT_EQ(Generate(comment + "snmp_ro_community=evil\n" + comment +
                     "\nsnmp_contact=ops\n"),
            "syscontact ops\n--\nsyscontact ops\n");
}

TEST_F(SnmpdConf, SecureModeAdmitsOnlySha1WithAes) {
  const std::string users =
      "snmpv3_user1=admin,SHA1,authpass123,AES,privpass123,g,x,enable\n"
      "snmpv3_user2=weak,SHA,authpass123,AES,privpass123,g,x,enable\n"
      "snmpv3_user3=nopriv,SHA1,authpass123,AES,N/A,g,x,enable\n"
      "snmpv3_group1=g,authPrivacy,readView,writeView\n"
      "snmpv3_group2=h,authNoPrivacy,readView,writeView\n";
  root_.Write(kSysini, "#sys_secure_mode 0\nsys_secure_mode 1\n");
  EXPECT_EQ(Generate(users),
            "--\ncreateUser\tadmin\tSHA1\t\"authpass123\"\tAES\t"
            "\"privpass123\"\n\n\n" + std::string(kViewBlock) +
                "access\tg\t\"\"\tusm\tauth\texact\treadView\twriteView\tnone\n"
                "\n");
  // "=" is no separator of the secure-mode scan, and a comment is no line.
  root_.Write(kSysini, "sys_secure_mode=1\n#sys_secure_mode 1\n");
  EXPECT_NE(Generate(users).find("createUser\tweak\tSHA\t"), std::string::npos);
}

}  // namespace
}  // namespace cms::conffiles
