// store_fixture.h - a gtest fixture that gives each test an empty parameter
// store over a temporary root, with helpers to write and load config files.
//
//   class DnsmasqTest : public cms::store::StoreFixture {};
//   TEST_F(DnsmasqTest, X) {
//     WriteConf(kUser + "lan.conf", "sys_lan_ip=192.168.1.1\n");
//     LoadTree();
//     ...
//   }
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <string_view>

#include "platform/log.h"
#include "platform/root.h"
#include "store/file_tables.h"
#include "store/loader.h"
#include "store/param_list.h"
#include "tests/temp_root.h"

namespace cms::store {

class StoreFixture : public ::testing::Test {
 protected:
  static constexpr std::string_view kUserDir = "/mnt/jffs2/conf/user/";
  static constexpr std::string_view kIspDir = "/mnt/jffs2/conf/isp/user/";

  void SetUp() override {
    platform::SetRoot(root_.dir());
    cms_debug_mode = 0;
    ResetParamList();
    initParamList();
    initialConfigLocationArray();
    root_.MakeDir("/tmp");
    root_.MakeDir(kIspDir);
    // Start-up creates the in-memory-only file before loading.
    root_.Write(kTempUserFile, "");
  }

  void TearDown() override {
    ResetParamList();
    initialConfigLocationArray();
    cms_debug_mode = 0;
    platform::SetRoot("/");
  }

  // Writes a file by device path ("/mnt/jffs2/conf/user/lan.conf").
  void WriteConf(std::string_view device_path, std::string_view content) {
    root_.Write(device_path, content);
  }
  // A user-side or ISP-side file by base name.
  void WriteUser(std::string_view name, std::string_view content) {
    root_.Write(std::string(kUserDir) + std::string(name), content);
  }
  void WriteIsp(std::string_view name, std::string_view content) {
    root_.Write(std::string(kIspDir) + std::string(name), content);
  }
  std::string ReadConf(std::string_view device_path) const {
    return root_.Read(device_path);
  }
  std::string ReadUser(std::string_view name) const {
    return root_.Read(std::string(kUserDir) + std::string(name));
  }
  std::string ReadIsp(std::string_view name) const {
    return root_.Read(std::string(kIspDir) + std::string(name));
  }

  // Loads the whole tree as start-up does.
  void LoadTree() { initParamFile(); }

  // The stored value text of a side, "(null)" when there is none.
  static std::string UserValue(const char* name) {
    const ParamRecord* r = seekElement(name);
    return r == nullptr || r->userValue == nullptr ? "(null)" : r->userValue;
  }
  static std::string IspValue(const char* name) {
    const ParamRecord* r = seekElement(name);
    return r == nullptr || r->ispValue == nullptr ? "(null)" : r->ispValue;
  }

  // Index of a device path in table 1 (UFL) or 2 (IFL), -1 when absent.
  static int TableIndex(std::string_view device_path, int table) {
    const ConfigLocation* t = FileTable(table);
    for (int i = 0; t != nullptr && i < kFileTableSize; ++i) {
      if (device_path == t[i].path) return i;
    }
    return -1;
  }
  static int UserIndex(std::string_view name) {
    return TableIndex(std::string(kUserDir) + std::string(name), kUserTable);
  }
  static int IspIndex(std::string_view name) {
    return TableIndex(std::string(kIspDir) + std::string(name), kIspTable);
  }

  cms::testing::TempRoot root_;
};

}  // namespace cms::store
