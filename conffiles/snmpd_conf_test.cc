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
  void Generate(const std::string& source) {
    root_.Write(kSource, source);
    std::string src = kSource;
    do_usr_copy_snmpd(src.data(), kV1);
    do_usr_copy_snmpd_v3(kSource, kV3);
  }
  void ExpectV3Has(std::initializer_list<const char*> pieces) {
    const std::string v3 = root_.Read(kV3);
    for (const char* piece : pieces)
      EXPECT_NE(v3.find(piece), std::string::npos) << piece << " in\n" << v3;
  }

  testing::TempRoot root_;
  testing::ScopedRoot scoped_root_{root_.dir()};
};

TEST_F(SnmpdConf, FilesHoldCommunitiesSystemTextEngineUsersAndAccess) {
  Generate(
      "# SNMP agent\nsnmp_ro_community=public\nsnmp_rw_community=private\n"
      "snmp_contact=admin@example.com\nsnmp_location=Main office, floor 2\n"
      "snmpv3_engine_id_type=1\nsnmpv3_user_num=3\n"
      "snmpv3_user1=admin,SHA,authpass123,AES,privpass123,rwgroup,x,enable\n"
      "snmpv3_user2=guest, MD5, N/A, DES, N/A, rogroup, x, enable\n"
      "snmpv3_user3=old,SHA,authpass123,AES,privpass123,rwgroup,x,disable\n"
      "snmpv3_group1=rwgroup,authPrivacy,readView,writeView\n"
      "snmpv3_group2=rogroup,noAuthNoPrivacy,readView,readView\n"
      "snmp_ro_community2=other\r\n"  // a suffix still matches
      "snmp_contact=\n"               // no value: nothing
      "snmp_sysName\tsecond\tignored\n");
  EXPECT_EQ(root_.Read(kV1),
            "# SNMP agent\nrocommunity public\nrocommunity6 public\n"
            "rwcommunity private\nrwcommunity6 private\n"
            "syscontact admin@example.com\nsyslocation Main office, floor 2\n"
            "rocommunity other\nrocommunity6 other\nsysname second\n");
  ExpectV3Has({"# SNMP agent\nsyscontact admin@example.com\n"
               "syslocation Main office, floor 2\n\nengineIDType 3\n"
               "engineIDNic eth1\n\ncreateUser\tadmin\tSHA\t\"authpass123\"\t"
               "AES\t\"privpass123\"\ngroup\trwgroup\tusm\tadmin\n\n"
               "createUser\tguest\ngroup\trogroup\tusm\tguest\n\n\n#view",
               "access\trwgroup\t\"\"\tusm\tpriv\texact\treadView\twriteView"
               "\tnone\naccess\trogroup\t\"\"\tusm\tnoauth\texact\treadView"
               "\treadView\tnone\nsysname second\n"});
  EXPECT_EQ(root_.Read(kV3).find("old"), std::string::npos);  // disabled
}

TEST_F(SnmpdConf, EngineLevelsShortGroupsAndCuts) {
  // An engine ID needs type 2 earlier in the file.
  const std::string pass(600, 'p');
  Generate(
      "snmpv3_engine_id_string=0x8000aa\nsnmpv3_engine_id_type=2\n"
      "snmpv3_engine_id_string=0x8000bb\nsnmpv3_engine_id_type=0\n"
      "snmpv3_group2=g2,authNoPrivacy\n"  // too short: no access line
      "snmpv3_group3=g3,authNoPrivacy,rv," +
      std::string(300, 'w') + "\nsnmpv3_user1=u,SHA," + pass +
      ",AES,N/A,g,x,enable\n");
  const std::string user = "createUser\tu\tSHA\t\"" + pass + "\"";
  EXPECT_EQ(
      root_.Read(kV3),
      "engineID 0x8000bb\n\nengineIDType 3\nengineIDNic eth0\n\n" +
          std::string(kViewBlock) +
          ("access\tg3\t\"\"\tusm\tauth\texact\trv\t" + std::string(300, 'w'))
              .substr(0, 255) +
          "\n" + user.substr(0, 511) + "\n");
  // Read in 1023-character pieces, the tail of this comment would be a
  // community line of its own.
  Generate("#" + std::string(1022, 'c') + "snmp_ro_community=evil\n" + "#" +
           std::string(1022, 'c') + "\n" + "snmp_contact=ops\n");
  EXPECT_EQ(root_.Read(kV1) + root_.Read(kV3),
            "syscontact ops\nsyscontact ops\n");
}

TEST_F(SnmpdConf, SecureModeAdmitsOnlySha1WithAes) {
  root_.Write(kSysini, "#sys_secure_mode 0\nsys_secure_mode 1\n");
  Generate(
      "snmpv3_user1=admin,SHA1,authpass123,AES,privpass123,g,x,enable\n"
      "snmpv3_user2=weak,SHA,authpass123,AES,privpass123,g,x,enable\n"
      "snmpv3_user3=nopriv,SHA1,authpass123,AES,N/A,g,x,enable\n"
      "snmpv3_group1=g,authPrivacy,readView,writeView\n"
      "snmpv3_group2=h,authNoPrivacy,readView,writeView\n");
  EXPECT_EQ(root_.Read(kV3),
            "createUser\tadmin\tSHA1\t\"authpass123\"\tAES\t\"privpass123\"\n"
            "\n\n" + std::string(kViewBlock) +
                "access\tg\t\"\"\tusm\tauth\texact\treadView\twriteView\tnone\n"
                "\n");
  // "=" is no separator of the secure-mode scan, and a comment is no line.
  root_.Write(kSysini, "sys_secure_mode=1\n#sys_secure_mode 1\n");
  Generate("snmpv3_user1=weak,SHA,a12345678,AES,p12345678,g,x,enable\n");
  ExpectV3Has({"createUser\tweak\tSHA\t\"a12345678\""});
}

}  // namespace
}  // namespace cms::conffiles
