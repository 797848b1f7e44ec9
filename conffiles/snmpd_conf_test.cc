// snmpd_conf_test.cc - the generated SNMP files, and the real agent reading
// them.
#include "conffiles/snmpd_conf.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "testing/real_peer.h"
#include "platform/root.h"
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

// A router's SNMP file as the write-back leaves it.
constexpr const char* kRouterFile =
    "# SNMP agent\nsnmp_ro_community=public\nsnmp_rw_community=private\n"
    "snmp_contact=admin@example.com\nsnmp_sysName=lte-router\n"
    "snmp_location=Main office, floor 2\nsnmpv3_engine_id_type=1\n"
    "snmpv3_engine_id_string=0x80001f8880aabbccdd\nsnmpv3_user_num=4\n"
    "snmpv3_user1=admin,SHA,authpass123,AES,privpass123,rwgroup,x,enable\n"
    "snmpv3_user2=guest, MD5, N/A, DES, N/A, rogroup, x, enable\n"
    "snmpv3_user3=old,SHA,authpass123,AES,privpass123,rwgroup,x,disable\n"
    "snmpv3_user4=short,SHA,authpass123,AES,privpass123,rwgroup,x\n"
    "snmpv3_group_num=2\nsnmpv3_group1=rwgroup,authPrivacy,readView,writeView\n"
    "snmpv3_group2=rogroup,noAuthNoPrivacy,readView,readView\n"
    "######end of file######\n";

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

  testing::TempRoot root_;
  testing::ScopedRoot scoped_root_{root_.dir()};
};

TEST_F(SnmpdConf, FilesHoldCommunitiesSystemTextEngineUsersAndAccess) {
  Generate(std::string(kRouterFile) +
           "snmp_ro_community2=other\r\n"  // a suffix still matches
           "snmp_contact=\n"               // no value: nothing
           "snmp_sysName\tsecond\tignored\n");
  EXPECT_EQ(root_.Read(kV1),
            "# SNMP agent\nrocommunity public\nrocommunity6 public\n"
            "rwcommunity private\nrwcommunity6 private\n"
            "syscontact admin@example.com\nsysname lte-router\n"
            "syslocation Main office, floor 2\n######end of file######\n"
            "rocommunity other\nrocommunity6 other\nsysname second\n");
  EXPECT_EQ(root_.Read(kV3),
            std::string("# SNMP agent\nsyscontact admin@example.com\n"
                        "sysname lte-router\nsyslocation Main office, floor 2\n"
                        "\nengineIDType 3\nengineIDNic eth1\n\n"
                        "createUser\tadmin\tSHA\t\"authpass123\"\tAES\t"
                        "\"privpass123\"\ngroup\trwgroup\tusm\tadmin\n\n"
                        "createUser\tguest\ngroup\trogroup\tusm\tguest\n\n") +
                kViewBlock +
                "access\trwgroup\t\"\"\tusm\tpriv\texact\treadView\twriteView"
                "\tnone\naccess\trogroup\t\"\"\tusm\tnoauth\texact\treadView"
                "\treadView\tnone\n######end of file######\nsysname second\n");
}

TEST_F(SnmpdConf, EngineLevelsShortGroupsAndCuts) {
  // An engine ID needs type 2 earlier in the file.
  const std::string pass(600, 'p');
  Generate(
      "snmpv3_engine_id_string=0x8000aa\nsnmpv3_engine_id_type=2\n"
      "snmpv3_engine_id_string=0x8000bb\nsnmpv3_engine_id_type=7\n"
      "snmpv3_engine_id_string=0x8000cc\nsnmpv3_engine_id_type=0\n"
      "snmpv3_group1=g1,weird,rv,wv\n"
      "snmpv3_group2=g2,authNoPrivacy\n"  // too short: no access line
      "snmpv3_group3=g3,authNoPrivacy,rv," +
      std::string(300, 'w') + "\nsnmpv3_user1=u,SHA," + pass +
      ",AES,N/A,g,x,enable\n");
  const std::string user = "createUser\tu\tSHA\t\"" + pass + "\"";
  EXPECT_EQ(
      root_.Read(kV3),
      "engineID 0x8000bb\n\nengineID 0x8000cc\n\nengineIDType 3\n"
      "engineIDNic eth0\n\n" +
          std::string(kViewBlock) + "access\tg1\t\"\"\tusm\trv\twv\tnone\n" +
          ("access\tg3\t\"\"\tusm\tauth\texact\trv\t" + std::string(300, 'w'))
              .substr(0, 255) +
          "\n" + user.substr(0, 511) + "\n");
  // Read in 1023-character pieces, the tail of this comment would be a
  // community line of its own.
  Generate("#" + std::string(1022, 'c') + "snmp_ro_community=evil\n" + "#" +
           std::string(1022, 'c') + "\n" +  // 1024 with its line feed
           "snmp_contact=ops\n");
  EXPECT_EQ(root_.Read(kV1), "syscontact ops\n");
  EXPECT_EQ(root_.Read(kV3), "syscontact ops\n");
  // A missing source leaves both files alone; so does a missing sysini.conf
  // the v3 file.
  std::string missing = "/mnt/jffs2/conf/user/none.conf";
  do_usr_copy_snmpd(missing.data(), kV1);
  do_usr_copy_snmpd_v3(missing.data(), kV3);
  EXPECT_EQ(root_.Read(kV1) + root_.Read(kV3),
            "syscontact ops\nsyscontact ops\n");
  std::filesystem::remove(root_.Host(kSysini));
  Generate("snmp_contact=noc\n");
  EXPECT_EQ(root_.Read(kV1) + root_.Read(kV3),
            "syscontact noc\nsyscontact ops\n");
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
            "\n\n" +
                std::string(kViewBlock) +
                "access\tg\t\"\"\tusm\tauth\texact\treadView\twriteView\tnone\n"
                "\n");
  // "=" is no separator of the secure-mode scan, and a comment is no line.
  root_.Write(kSysini, "sys_secure_mode=1\n#sys_secure_mode 1\n");
  Generate("snmpv3_user1=weak,SHA,a12345678,AES,p12345678,g,x,enable\n");
  EXPECT_EQ(root_.Read(kV3),
            "createUser\tweak\tSHA\t\"a12345678\"\tAES\t\"p12345678\"\n"
            "group\tg\tusm\tweak\n\n");
}

// The real agent in the foreground with only the two generated files, on a
// port the kernel picks: the router file, the shipped example tree (its SNMP
// file and its secure-mode setting) and secure mode.
TEST_F(SnmpdConf, RealSnmpdAcceptsGeneratedFiles) {
  const std::string snmpd = testing::FindProgram("snmpd");
  ASSERT_NE(snmpd, "") << "needs snmpd (Debian package snmpd)";
  const auto example = [](const char* name) {
    return testing::TempRoot::ReadHost(
        std::filesystem::path(__FILE__).parent_path().parent_path() /
        "examples/user" / name);
  };
  const std::string rows[][2] = {
      {"sys_cms_debug_mode=0\n", kRouterFile},
      {example("sysini.conf"), example("snmpd.conf")},
      {"sys_secure_mode 1\n",
       "snmp_ro_community=public\nsnmp_contact=noc@example.net\n"
       "snmp_sysName=cpe\nsnmp_location=Rack 4\nsnmpv3_engine_id_type=2\n"
       "snmpv3_engine_id_string=0x80001f8880a1b2c3d4\n"
       "snmpv3_user1=admin,SHA1,authpass123,AES,privpass123,adm,x,enable\n"
       "snmpv3_user2=weak,MD5,authpass123,DES,privpass123,adm,x,enable\n"
       "snmpv3_group1=adm,authPrivacy,readView,writeView\n"
       "snmpv3_group2=ro,noAuthNoPrivacy,readView,readView\n"},
  };
  root_.MakeDir("/snmp");
  const std::string state = root_.Host("/snmp");
  for (const auto& [sysini, source] : rows) {
    root_.Write(kSysini, sysini);
    Generate(source);
    ASSERT_NE(root_.Read(kV3).find("createUser"), std::string::npos) << sysini;
    // -C: no configuration but ours. Persistent files stay in the sandbox;
    // no MIB files are loaded, so their warnings cannot hide ours.
    const std::string out = testing::RunPeer(
        {snmpd, "-f", "-Lo", "-C", "-c",
         root_.Host(kV1) + "," + root_.Host(kV3), "udp:127.0.0.1:0"},
        {"SNMP_PERSISTENT_DIR=" + state, "SNMPCONFPATH=" + state,
         "HOME=" + state, "MIBS=", "MIBDIRS=" + state},
        state + "/log", "NET-SNMP version");
    EXPECT_NE(out.find("shutting down"), std::string::npos) << out;
    for (const char* sign : {"rror", "arning", kV1, kV3, "(timed out)"}) {
      EXPECT_EQ(out.find(sign), std::string::npos) << sysini << out << "\nv3:\n"
                                                   << root_.Read(kV3);
    }
  }
}

}  // namespace
}  // namespace cms::conffiles
