// loader_test.cc - line rules, file selection and the result of a load.
#include "store/loader.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "testing/store_fixture.h"

namespace cms::store {
namespace {

class LoaderTest : public StoreFixture {};

TEST_F(LoaderTest, LineRules) {
  const std::string name70(70, 'n');
  // A line over 799 characters is read as a 799-character piece and the
  // rest, which stands as a line of its own.
  WriteUser("lan.conf",
            "# commented=1\nippt_enable=1\n indented=1\n"
            "\ttabbed=2\n=lead=3\n\rcr=1\n\nempty=\nbare\n"
            "spaced value here\ntabsep\tv\na=b=c\neq = x\n"
            "crlf=v\r\ntrail=v  \ndup=1\ndup=2\n" +
                name70 + "=cut\nbig=" + std::string(795, 'v') +
                "tail=1\n######end of file######\nafter=1\n"
                "last=nolf");
  LoadTree();
  const ParamRecord* r = seekElement("ippt_enable");
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->userLocation, UserIndex("lan.conf"));
  EXPECT_EQ(r->ispLocation, -1);
  // Every record as "name=user value", in list order.
  std::string dump;
  for (int i = 0; i < CheckListLength(); ++i) {
    r = static_cast<ParamRecord*>(list_get_at(&ParamList, i));
    dump += r->name + ("=" + UserValue(r->name)) + "\n";
    EXPECT_EQ(r->userChanged, 0) << r->name;
  }
  const std::string marker = kEmptyValueMarker;
  EXPECT_EQ(dump, "a=b=c\nafter=1\nbare=" + marker +
                      "\nbig=" + std::string(795, 'v') +
                      "\ncrlf=v\ndup=2\nempty=" + marker +
                      "\neq== x\nippt_enable=1\nlast=nolf\nlead=3\n"
                      "spaced=value here\ntabbed=2\ntabsep=v\n"
                      "tail=1\ntrail=v  \n");
  for (const ConfigLocation& e : UFL) EXPECT_EQ(e.dirty, 0);
}

// Both sides; on each the file read last wins, files being read in the
// order of their table entries.
TEST_F(LoaderTest, SidesAndFileSelection) {
  WriteUser("lan.conf", "shared=user\ndup=lan\n");
  WriteUser("wan.conf", "dup=wan\n");
  WriteIsp("lan.conf", "shared=isp\nisp_only=2\nidup=lan\n");
  WriteIsp("wan.conf", "idup=wan\n");
  WriteUser("sub/deep.conf", "deep=1\n");
  WriteUser("empty.conf", "");
  WriteUser(".hidden.conf", "hidden=1\n");
  WriteUser("readme.txt", "readme=1\n");
  WriteConf("/mnt/jffs2/conf/app/gen.conf", "app=1\n");
  WriteConf("/mnt/jffs2/conf/misc.conf", "misc=1\n");
  root_.MakeDir("/mnt/jffs2/conf/user/dir.conf");
  LoadTree();

  EXPECT_EQ(State("shared") + " " + State("isp_only"),
            "user@lan.conf isp@lan.conf (null)@- 2@lan.conf");
  const bool wan_last = UserIndex("wan.conf") > UserIndex("lan.conf");
  EXPECT_EQ(State("dup"),
            wan_last ? "wan@wan.conf (null)@-" : "lan@lan.conf (null)@-");
  const bool isp_wan_last = IspIndex("wan.conf") > IspIndex("lan.conf");
  EXPECT_EQ(State("idup"),
            isp_wan_last ? "(null)@- wan@wan.conf" : "(null)@- lan@lan.conf");
  EXPECT_EQ(UserValue("deep"), "1");
  EXPECT_EQ(CheckListLength(), 5);  // nothing from the files left out

  // Every selected file has its entry, empty or not; nothing else has one.
  int user_entries = 0;
  for (const ConfigLocation& e : UFL)
    user_entries += kFreeEntry != std::string(e.path);
  EXPECT_EQ(user_entries, 5);
  for (const char* name : {"empty.conf", "XCFGtemp.conf", "sub/deep.conf"})
    EXPECT_GE(UserIndex(name), 0) << name;
}

// A file that cannot be opened, even by root (a socket), ends the walk:
// only the files with an entry, all before it, were read.
TEST_F(LoaderTest, UnopenableFileStopsTheWalk) {
  for (int i = 0; i < 10; ++i)
    WriteUser("f" + std::to_string(i) + ".conf",
              "p" + std::to_string(i) + "=1\n");
  sockaddr_un addr{AF_UNIX, {}};
  const std::string sock_path = root_.Host("/mnt/jffs2/conf/user/sock.conf");
  ASSERT_LT(sock_path.size(), sizeof addr.sun_path);
  strcpy(addr.sun_path, sock_path.c_str());
  const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  close(fd);
  EXPECT_EQ(initParamFile(), 1);
  const int sock = UserIndex("sock.conf");
  ASSERT_GE(sock, 0);
  EXPECT_STREQ(UFL[sock + 1].path, kFreeEntry);
  for (int i = 0; i < 10; ++i) {
    const std::string n = std::to_string(i);
    EXPECT_EQ(UserValue(("p" + n).c_str()) == "1",
              UserIndex("f" + n + ".conf") >= 0)
        << n;
  }
  EXPECT_EQ(walkConfFile("/mnt/jffs2/conf/user/missing.conf", nullptr, 0), 1);
}

}  // namespace
}  // namespace cms::store
