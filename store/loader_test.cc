// loader_test.cc - line rules, file selection and the result of a load.
#include "store/loader.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <map>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "store/store_fixture.h"

namespace cms::store {
namespace {

class LoaderTest : public StoreFixture {};

TEST_F(LoaderTest, LineRules) {
  const std::string name70(70, 'n');
  WriteUser("lan.conf",
            "# commented=1\n"
            "ippt_enable=1\n"
            " indented=1\n"
            "\ttabbed=2\n"
            "=lead=3\n"
            "\rcr=1\n"
            "\n"
            "empty=\n"
            "bare\n"
            "spaced value here\n"
            "tabsep\tv\n"
            "a=b=c\n"
            "eq = x\n"
            "crlf=v\r\n"
            "trail=v  \n" +
                name70 +
                "=cut\n"
                "######end of file######\n"
                "after=1\n"
                "last=nolf");
  LoadTree();
  const ParamRecord* r = seekElement("ippt_enable");
  ASSERT_NE(r, nullptr);
  EXPECT_STREQ(r->userValue, "1");
  EXPECT_EQ(r->userLocation, UserIndex("lan.conf"));
  EXPECT_EQ(r->ispLocation, -1);
  EXPECT_EQ(r->ispValue, nullptr);
  EXPECT_EQ(r->userChanged, 0);
  EXPECT_EQ(r->callback, nullptr);

  EXPECT_EQ(seekElement("indented"), nullptr);
  EXPECT_EQ(seekElement("commented"), nullptr);
  EXPECT_EQ(seekElement("cr"), nullptr);
  EXPECT_EQ(UserValue("tabbed"), "2");
  EXPECT_EQ(UserValue("lead"), "3");
  EXPECT_EQ(UserValue("empty"), kEmptyValueMarker);
  EXPECT_EQ(UserValue("bare"), kEmptyValueMarker);
  EXPECT_EQ(UserValue("spaced"), "value here");
  EXPECT_EQ(UserValue("tabsep"), "v");
  EXPECT_EQ(UserValue("a"), "b=c");
  EXPECT_EQ(UserValue("eq"), "= x");
  EXPECT_EQ(UserValue("crlf"), "v");
  EXPECT_EQ(UserValue("trail"), "v  ");
  EXPECT_EQ(UserValue(name70.substr(0, 63).c_str()), "cut");
  EXPECT_EQ(UserValue("after"), "1");
  EXPECT_EQ(UserValue("last"), "nolf");
  EXPECT_EQ(CheckListLength(), 14);
  for (const ConfigLocation& e : UFL) EXPECT_EQ(e.dirty, 0);
}

TEST_F(LoaderTest, LongLinesArePieces) {
  // An 850-character line is read as a 799-character piece and the rest,
  // which stands as a line of its own.
  WriteUser("long.conf", "big=" + std::string(795, 'v') + "tail=1\n");
  LoadTree();
  EXPECT_EQ(UserValue("big"), std::string(795, 'v'));
  EXPECT_EQ(UserValue("tail"), "1");
}

TEST_F(LoaderTest, SidesAndFileSelection) {
  WriteUser("lan.conf", "shared=user\nuser_only=1\n");
  WriteIsp("lan.conf", "shared=isp\nisp_only=2\n");
  WriteUser("sub/deep.conf", "deep=1\n");
  WriteUser("empty.conf", "");
  WriteUser(".hidden.conf", "hidden=1\n");
  WriteUser("readme.txt", "readme=1\n");
  WriteConf("/mnt/jffs2/conf/app/gen.conf", "app=1\n");
  WriteConf("/mnt/jffs2/conf/misc.conf", "misc=1\n");
  root_.MakeDir("/mnt/jffs2/conf/user/dir.conf");
  LoadTree();

  const ParamRecord* shared = seekElement("shared");
  ASSERT_NE(shared, nullptr);
  EXPECT_STREQ(shared->userValue, "user");
  EXPECT_STREQ(shared->ispValue, "isp");
  EXPECT_EQ(shared->userLocation, UserIndex("lan.conf"));
  EXPECT_EQ(shared->ispLocation, IspIndex("lan.conf"));
  const ParamRecord* isp_only = seekElement("isp_only");
  ASSERT_NE(isp_only, nullptr);
  EXPECT_EQ(isp_only->userLocation, -1);
  EXPECT_EQ(isp_only->userValue, nullptr);
  EXPECT_EQ(UserValue("deep"), "1");
  for (const char* absent : {"hidden", "readme", "app", "misc"}) {
    EXPECT_EQ(seekElement(absent), nullptr) << absent;
  }
  EXPECT_EQ(CheckListLength(), 4);

  // Every selected, classified file has its entry; nothing else has one.
  EXPECT_GE(UserIndex("empty.conf"), 0);
  EXPECT_GE(UserIndex("XCFGtemp.conf"), 0);
  EXPECT_GE(UserIndex("sub/deep.conf"), 0);
  int user_entries = 0;
  for (const ConfigLocation& e : UFL)
    user_entries += strcmp(e.path, kFreeEntry) != 0;
  EXPECT_EQ(user_entries, 4);
  EXPECT_EQ(TableIndex("/mnt/jffs2/conf/misc.conf", kUserTable), -1);
}

// Random trees checked against a model: on each side the occurrence read
// last wins, and files are read in the order of their table entries.
TEST_F(LoaderTest, LastOccurrenceWinsPerSide) {
  std::mt19937 rng(7);
  // path -> lines, for 5 user-side and 3 ISP-side files sharing names.
  std::map<std::string, std::vector<std::pair<std::string, std::string>>> files;
  for (int f = 0; f < 8; ++f) {
    const std::string path = std::string(f < 5 ? kUserDir : kIspDir) + "f" +
                             std::to_string(f) + ".conf";
    std::string content;
    for (int i = 0; i < 200; ++i) {
      const std::string name = "p" + std::to_string(rng() % 300);
      const std::string value = std::to_string(f) + "." + std::to_string(i);
      content += name + "=" + value + "\n";
      files[path].emplace_back(name, value);
    }
    WriteConf(path, content);
  }
  LoadTree();

  // name -> {value, table index} per side, replaying the files in walk order.
  std::map<std::string, std::pair<std::string, int>> expected[3];
  for (int table : {kUserTable, kIspTable}) {
    std::map<int, std::string> walk_order;
    for (const auto& [path, lines] : files) {
      const int index = TableIndex(path, table);
      if (index >= 0) walk_order[index] = path;
    }
    for (const auto& [index, path] : walk_order) {
      for (const auto& [name, value] : files[path]) {
        expected[table][name] = {value, index};
      }
    }
  }
  int names = 0;
  for (int i = 0; i < 300; ++i) {
    const std::string name = "p" + std::to_string(i);
    const ParamRecord* r = seekElement(name.c_str());
    const auto user = expected[kUserTable].find(name);
    const auto isp = expected[kIspTable].find(name);
    const bool known =
        user != expected[kUserTable].end() || isp != expected[kIspTable].end();
    ASSERT_EQ(r != nullptr, known) << name;
    if (!known) continue;
    ++names;
    EXPECT_STREQ(r->userValue, user == expected[kUserTable].end()
                                   ? nullptr
                                   : user->second.first.c_str());
    EXPECT_EQ(r->userLocation,
              user == expected[kUserTable].end() ? -1 : user->second.second);
    EXPECT_STREQ(r->ispValue, isp == expected[kIspTable].end()
                                  ? nullptr
                                  : isp->second.first.c_str());
    EXPECT_EQ(r->ispLocation,
              isp == expected[kIspTable].end() ? -1 : isp->second.second);
  }
  EXPECT_EQ(CheckListLength(), names);
  for (int i = 1; i < CheckListLength(); ++i) {
    ASSERT_LT(
        strcmp(static_cast<ParamRecord*>(list_get_at(&ParamList, i - 1))->name,
               static_cast<ParamRecord*>(list_get_at(&ParamList, i))->name),
        0);
  }
}

TEST_F(LoaderTest, UnopenableFileStopsTheWalk) {
  // A file that cannot be opened, even by root: a socket.
  for (int i = 0; i < 10; ++i) {
    WriteUser("f" + std::to_string(i) + ".conf",
              "p" + std::to_string(i) + "=1\n");
  }
  const std::string sock_path = root_.Host("/mnt/jffs2/conf/user/sock.conf");
  const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  ASSERT_LT(sock_path.size(), sizeof addr.sun_path);
  strcpy(addr.sun_path, sock_path.c_str());
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  close(fd);

  EXPECT_EQ(initParamFile(), 1);
  const int sock = UserIndex("sock.conf");
  ASSERT_GE(sock, 0);
  // Nothing after the socket was visited: no later entry, and only the
  // files with an entry contributed.
  for (int i = sock + 1; i < kFileTableSize; ++i) {
    EXPECT_STREQ(UFL[i].path, kFreeEntry);
  }
  for (int i = 0; i < 10; ++i) {
    const std::string name = "p" + std::to_string(i);
    const bool visited = UserIndex("f" + std::to_string(i) + ".conf") >= 0;
    EXPECT_EQ(seekElement(name.c_str()) != nullptr, visited) << name;
  }
  EXPECT_EQ(walkConfFile("/mnt/jffs2/conf/user/missing.conf", nullptr, 0), 1);
}

TEST_F(LoaderTest, SingleFileOutsideALoadIsSearchableAtOnce) {
  WriteUser("a.conf", "zeta=1\nalpha=2\nmid=3\n");
  WriteUser("b.conf", "alpha=4\n");
  EXPECT_EQ(walkConfFile("/mnt/jffs2/conf/user/a.conf", nullptr, 0), 0);
  EXPECT_EQ(walkConfFile("/mnt/jffs2/conf/user/b.conf", nullptr, 0), 0);
  EXPECT_EQ(UserValue("alpha"), "4");
  EXPECT_EQ(seekElement("alpha")->userLocation, UserIndex("b.conf"));
  EXPECT_EQ(UserValue("mid"), "3");
  EXPECT_EQ(UserValue("zeta"), "1");
  EXPECT_EQ(walkConfFile("/mnt/jffs2/conf/user/b.conf", nullptr, 1), 0);
}

}  // namespace
}  // namespace cms::store
