#include "conffiles/snmpd_conf.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

#include "conffiles/real_peer_testing.h"
#include "platform/root.h"
#include "tests/temp_root.h"

namespace cms::conffiles {
namespace {

constexpr const char* kSource = "/mnt/jffs2/conf/user/snmpd.conf";
constexpr const char* kSysini = "/mnt/jffs2/conf/user/sysini.conf";
constexpr const char* kV1 = "/mnt/jffs2/conf/app/snmpd.conf";
constexpr const char* kV3 = "/mnt/jffs2/conf/app/snmpd_v3.conf";

constexpr const char* kViewBlock =
    "\n#view\tVNAME\t\tTYPE\t\tOID\t\t[MASK]\n"
    "view\treadView\tincluded\t.iso\n"
    "view\twriteView\tincluded\t.iso\n\n";

// A router's SNMP file as the write-back leaves it.
constexpr const char* kRouterFile =
    "# SNMP agent\n"
    "snmp_ro_community=public\n"
    "snmp_rw_community=private\n"
    "snmp_contact=admin@example.com\n"
    "snmp_sysName=lte-router\n"
    "snmp_location=Main office, floor 2\n"
    "snmpv3_engine_id_type=1\n"
    "snmpv3_engine_id_string=0x80001f8880aabbccdd\n"
    "snmpv3_user_num=4\n"
    "snmpv3_user1=admin,SHA,authpass123,AES,privpass123,rwgroup,x,enable\n"
    "snmpv3_user2=guest, MD5, N/A, DES, N/A, rogroup, x, enable\n"
    "snmpv3_user3=old,SHA,authpass123,AES,privpass123,rwgroup,x,disable\n"
    "snmpv3_user4=short,SHA,authpass123,AES,privpass123,rwgroup,x\n"
    "snmpv3_group_num=2\n"
    "snmpv3_group1=rwgroup,authPrivacy,readView,writeView\n"
    "snmpv3_group2=rogroup,noAuthNoPrivacy,readView,readView\n"
    "######end of file######\n";

class SnmpdConf : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::SetRoot(root_.dir());
    root_.MakeDir("/mnt/jffs2/conf/app");
    root_.Write(kSysini, "sys_cms_debug_mode=0\n");
  }
  void TearDown() override { platform::SetRoot("/"); }

  void Generate(const std::string& source) {
    root_.Write(kSource, source);
    std::string src = kSource;
    do_usr_copy_snmpd(src.data(), kV1);
    do_usr_copy_snmpd_v3(kSource, kV3);
  }

  // Starts the real agent in the foreground on a free loopback port with only
  // the two generated files, and fails on any complaint about them.
  void ExpectSnmpdAccepts(const std::string& label) {
    const auto snmpd = testing::FindProgram("snmpd");
    ASSERT_TRUE(snmpd) << "snmpd is not installed (Debian package snmpd)";
    const int port = testing::FreeLoopbackUdpPort();
    ASSERT_GT(port, 0);
    root_.MakeDir("/snmp-state");
    const std::string state = root_.Host("/snmp-state");
    // -C: no configuration but ours. Persistent files stay in the sandbox;
    // no MIB files are loaded, so their warnings cannot hide ours.
    const testing::PeerRun run = testing::RunPeer(
        {*snmpd, "-f", "-Lo", "-C", "-c",
         root_.Host(kV1) + "," + root_.Host(kV3),
         "udp:127.0.0.1:" + std::to_string(port)},
        {"SNMP_PERSISTENT_DIR=" + state, "SNMPCONFPATH=" + state,
         "HOME=" + state, "MIBS=", "MIBDIRS=" + state},
        "NET-SNMP version", std::chrono::seconds(20));
    EXPECT_FALSE(run.timed_out) << label << ": no agent:\n" << run.output;
    std::istringstream lines(run.output);
    for (std::string line; std::getline(lines, line);) {
      for (const char* sign : {"rror", "arning", kV1, kV3}) {
        EXPECT_EQ(line.find(sign), std::string::npos)
            << label << ": " << line << "\nv3:\n"
            << root_.Read(kV3);
      }
    }
  }

  testing::TempRoot root_;
};

TEST_F(SnmpdConf, V1FileHoldsCommunitiesAndSystemText) {
  Generate(std::string(kRouterFile) +
           "snmp_ro_community2=other\r\n"  // a suffix still matches
           "snmp_contact=\n"               // no value: nothing
           "snmp_sysName\tsecond\tignored\n");
  EXPECT_EQ(root_.Read(kV1),
            "# SNMP agent\n"
            "rocommunity public\n"
            "rocommunity6 public\n"
            "rwcommunity private\n"
            "rwcommunity6 private\n"
            "syscontact admin@example.com\n"
            "sysname lte-router\n"
            "syslocation Main office, floor 2\n"
            "######end of file######\n"
            "rocommunity other\n"
            "rocommunity6 other\n"
            "sysname second\n");
}

TEST_F(SnmpdConf, V3FileHoldsEngineUsersViewsAndAccess) {
  Generate(kRouterFile);
  EXPECT_EQ(root_.Read(kV3),
            std::string("# SNMP agent\n"
                        "syscontact admin@example.com\n"
                        "sysname lte-router\n"
                        "syslocation Main office, floor 2\n\n"
                        "engineIDType 3\n"
                        "engineIDNic eth1\n\n"
                        "createUser\tadmin\tSHA\t\"authpass123\"\tAES\t"
                        "\"privpass123\"\n"
                        "group\trwgroup\tusm\tadmin\n\n"
                        "createUser\tguest\n"
                        "group\trogroup\tusm\tguest\n\n") +
                kViewBlock +
                "access\trwgroup\t\"\"\tusm\tpriv\texact\treadView\twriteView"
                "\tnone\n"
                "access\trogroup\t\"\"\tusm\tnoauth\texact\treadView\treadView"
                "\tnone\n"
                "######end of file######\n");
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

TEST_F(SnmpdConf, MissingInputsLeaveTargetsAlone) {
  root_.Write(kV1, "old v1\n");
  root_.Write(kV3, "old v3\n");
  std::string missing = "/mnt/jffs2/conf/user/none.conf";
  do_usr_copy_snmpd(missing.data(), kV1);
  do_usr_copy_snmpd_v3(missing.data(), kV3);
  EXPECT_EQ(root_.Read(kV1), "old v1\n");
  EXPECT_EQ(root_.Read(kV3), "old v3\n");
  // Without sysini.conf the v3 file is not written even with a source.
  std::filesystem::remove(root_.Host(kSysini));
  Generate(kRouterFile);
  EXPECT_NE(root_.Read(kV1), "old v1\n");
  EXPECT_EQ(root_.Read(kV3), "old v3\n");
}

TEST_F(SnmpdConf, RealSnmpdAcceptsGeneratedFiles) {
  Generate(kRouterFile);
  ExpectSnmpdAccepts("router file");

  // The shipped example tree: its SNMP file and its secure-mode setting.
  const std::filesystem::path examples =
      std::filesystem::path(__FILE__).parent_path().parent_path() / "examples";
  std::filesystem::copy_file(examples / "user" / "sysini.conf",
                             root_.Host(kSysini),
                             std::filesystem::copy_options::overwrite_existing);
  std::ifstream example(examples / "user" / "snmpd.conf", std::ios::binary);
  ASSERT_TRUE(example.is_open()) << examples;
  Generate(std::string(std::istreambuf_iterator<char>(example), {}));
  EXPECT_NE(root_.Read(kV3).find("createUser"), std::string::npos);
  ExpectSnmpdAccepts("example tree");

  root_.Write(kSysini, "sys_secure_mode 1\n");
  Generate(
      "######end of file######\n"
      "snmp_ro_community=public\n"
      "snmp_contact=noc@example.net\n"
      "snmp_sysName=cpe\n"
      "snmp_location=Rack 4\n"
      "snmpv3_engine_id_type=2\n"
      "snmpv3_engine_id_string=0x80001f8880a1b2c3d4\n"
      "snmpv3_user1=admin,SHA1,authpass123,AES,privpass123,adm,x,enable\n"
      "snmpv3_user2=weak,MD5,authpass123,DES,privpass123,adm,x,enable\n"
      "snmpv3_group1=adm,authPrivacy,readView,writeView\n"
      "snmpv3_group2=ro,noAuthNoPrivacy,readView,readView\n");
  ExpectSnmpdAccepts("secure mode");
}

}  // namespace
}  // namespace cms::conffiles
