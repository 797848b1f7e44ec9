// fuzz_regression_test.cc - store defects that fuzzing found: each test
// holds the smallest case, so that they cannot come back.
#include <gtest/gtest.h>

#include "store/file_tables.h"
#include "store/operations.h"
#include "store/param_list.h"
#include "store/store_fixture.h"
#include "store/write_back.h"
#include "tests/stub_programs.h"

namespace cms::store {
namespace {

class StoreFuzzRegression : public StoreFixture {
 protected:
  void SetUp() override {
    StoreFixture::SetUp();
    stubs_.Install();
    stubs_.AddStub("/stub_bin/sync", "");
  }

  // Loads the tree again from the files, as a restart would.
  void Reload() {
    ResetParamList();
    initialConfigLocationArray();
    LoadTree();
  }

  testing::StubPrograms stubs_{root_};
};

// A file whose last line had no line feed got the appended parameter on
// that same line: after a restart the old parameter held the rest of the
// line as its value and the new one was gone.
TEST_F(StoreFuzzRegression, AppendedParameterStartsOnItsOwnLine) {
  WriteUser("lan.conf", "# lan\na=1");
  LoadTree();
  ASSERT_EQ(AddParam("b", "lan.conf", "2", kModeAddUser), 1);
  writeParamToFile();
  EXPECT_EQ(ReadUser("lan.conf"), "# lan\na=1\nb=2\n");
  Reload();
  EXPECT_EQ(UserValue("a"), "1");
  EXPECT_EQ(UserValue("b"), "2");

  // The same after a comment that ends the file.
  WriteUser("lan.conf", "a=1\n# end");
  Reload();
  ASSERT_EQ(AddParam("c", "lan.conf", "3", kModeAddUser), 1);
  writeParamToFile();
  EXPECT_EQ(ReadUser("lan.conf"), "a=1\n# end\nc=3\n");
}

// A name beginning with "#" was acknowledged, then written as a line that
// the loader reads as a comment: the value was lost at the next start.
TEST_F(StoreFuzzRegression, NamesBeginningWithHashAreRefused) {
  // The loader passes over leading tabs, so such a record can come from a
  // file.
  WriteUser("lan.conf", "\t#=1\nkept=1\n");
  LoadTree();
  ASSERT_NE(seekElement("#"), nullptr);
  EXPECT_EQ(SetParamValue("#", "2", kModeSetUser), 0);
  EXPECT_EQ(SetParamValue("#new", "1", kModeSetUser), 0);
  EXPECT_EQ(AddParam("#new", "lan.conf", "1", kModeAddUser), 0);
  EXPECT_EQ(ReplaceParamValue("#new", "1", kModeReplaceUser), 0);
  EXPECT_EQ(seekElement("#new"), nullptr);
  // Inside a name it stays an ordinary character.
  EXPECT_NE(SetParamValue("kept#", "2", kModeSetUser), 0);
}

}  // namespace
}  // namespace cms::store
