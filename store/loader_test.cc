// loader_test.cc - line rules, file selection and the result of a load.
#include "store/loader.h"

#include <gtest/gtest.h>

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
  EXPECT_EQ(State("ippt_enable"), "1@lan.conf (null)@-");
  // Every record as "name=user value", in list order.
  std::string dump;
  for (int i = 0; i < CheckListLength(); ++i) {
    const auto* r = static_cast<ParamRecord*>(list_get_at(&ParamList, i));
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
  EXPECT_EQ(State("dup"), UserIndex("wan.conf") > UserIndex("lan.conf")
                              ? "wan@wan.conf (null)@-"
                              : "lan@lan.conf (null)@-");
  EXPECT_EQ(State("idup"), IspIndex("wan.conf") > IspIndex("lan.conf")
                               ? "(null)@- wan@wan.conf"
                               : "(null)@- lan@lan.conf");
  EXPECT_EQ(UserValue("deep"), "1");
  EXPECT_EQ(CheckListLength(), 5);  // nothing from the files left out

  // Every selected file has its entry, empty or not; nothing else has one.
  for (const char* name : {"empty.conf", "XCFGtemp.conf", "sub/deep.conf"})
    EXPECT_GE(UserIndex(name), 0) << name;
  EXPECT_STREQ(UFL[5].path, kFreeEntry);  // entries are taken in order
}

}  // namespace
}  // namespace cms::store
