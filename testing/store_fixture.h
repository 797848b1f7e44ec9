// store_fixture.h - a gtest fixture that gives each test an empty parameter
// store over a temporary root, with helpers to write and load config files.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "platform/log.h"
#include "platform/root.h"
#include "store/file_tables.h"
#include "store/loader.h"
#include "store/param_list.h"
#include "testing/process_state.h"
#include "testing/temp_root.h"

namespace cms::store {

class StoreFixture : public ::testing::Test {
 protected:

  void SetUp() override;
  void TearDown() override { cms::testing::ResetProcessState(); }

  // Files by device path, or by base name on the user or ISP side.
  void WriteConf(std::string_view path, std::string_view content) {
    root_.Write(path, content);
  }
  void WriteUser(std::string_view name, std::string_view content) {
    root_.Write(kUserDir + std::string(name), content);
  }
  void WriteIsp(std::string_view name, std::string_view content) {
    root_.Write(kIspDir + std::string(name), content);
  }
  std::string ReadUser(std::string_view name) const {
    return root_.Read(kUserDir + std::string(name));
  }
  std::string ReadIsp(std::string_view name) const {
    return root_.Read(kIspDir + std::string(name));
  }

  void LoadTree() { initParamFile(); }  // as start-up does

  // The stored user-side text, "(null)" when there is none.
  static std::string UserValue(const char* name);
  // A record in one line: "value@file" for the user, then the ISP side, a
  // "*" after a changed side; "-" when there is no such record.
  static std::string State(const char* name);
  // The files marked dirty, by device path below /mnt/jffs2/conf/, sorted.
  static std::string Dirty();
  // Index of a base name in the user (UFL) or ISP (IFL) table, -1 when absent.
  static int UserIndex(std::string_view name);
  static int IspIndex(std::string_view name);

  cms::testing::TempRoot root_;
  cms::testing::ScopedRoot scoped_root_{root_.dir()};
};

}  // namespace cms::store
