// store_fixture.h - a gtest fixture that gives each test an empty parameter
// store over a temporary root, with helpers to write and load config files.
//
//   class DnsmasqTest : public cms::store::StoreFixture {};
//   TEST_F(DnsmasqTest, X) {
//     WriteUser("lan.conf", "sys_lan_ip=192.168.1.1\n");
//     LoadTree();
//     ...
//   }
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <set>
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
  static constexpr char kUserDir[] = "/mnt/jffs2/conf/user/";
  static constexpr char kIspDir[] = "/mnt/jffs2/conf/isp/user/";

  void SetUp() override {
    platform::SetRoot(root_.dir());
    cms_debug_mode = 0;
    ResetParamList();
    initParamList();
    initialConfigLocationArray();
    root_.MakeDir("/tmp");
    root_.MakeDir(kIspDir);
    root_.Write(kTempUserFile, "");  // start-up creates it before loading
  }
  void TearDown() override {
    ResetParamList();
    initialConfigLocationArray();
    cms_debug_mode = 0;
    platform::SetRoot("/");
  }

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
  static std::string UserValue(const char* name) {
    const ParamRecord* r = seekElement(name);
    return r == nullptr || r->userValue == nullptr ? "(null)" : r->userValue;
  }

  // A record in one line: "value@file" for the user, then the ISP side, a
  // "*" after a changed side; "-" when there is no such record.
  static std::string State(const char* name) {
    const ParamRecord* r = seekElement(name);
    auto side = [](const char* value, int at, int table, int changed) {
      const char* path = FileTable(table)[at < 0 ? 0 : at].path;
      return (value == nullptr ? "(null)" : value) + std::string("@") +
             (at < 0 ? "-" : strrchr(path, '/') + 1) + (changed ? "*" : "");
    };
    if (r == nullptr) return "-";
    return side(r->userValue, r->userLocation, kUserTable, r->userChanged) +
           " " + side(r->ispValue, r->ispLocation, kIspTable, r->ispChanged);
  }
  // The files marked dirty, by device path below /mnt/jffs2/conf/, sorted.
  static std::string Dirty() {
    std::set<std::string> paths;
    for (int table : {kUserTable, kIspTable}) {
      for (int i = 0; i < kFileTableSize; ++i) {
        const ConfigLocation& e = FileTable(table)[i];
        if (e.dirty) paths.insert(e.path + 16);
      }
    }
    std::string out;
    for (const std::string& p : paths) out += (out.empty() ? "" : " ") + p;
    return out;
  }

  // Index of a device path in table 1 (UFL) or 2 (IFL), -1 when absent.
  static int TableIndex(std::string_view path, int table) {
    const ConfigLocation* t = FileTable(table);
    for (int i = 0; t != nullptr && i < kFileTableSize; ++i) {
      if (path == t[i].path) return i;
    }
    return -1;
  }
  static int UserIndex(std::string_view name) {
    return TableIndex(kUserDir + std::string(name), kUserTable);
  }
  static int IspIndex(std::string_view name) {
    return TableIndex(kIspDir + std::string(name), kIspTable);
  }

  cms::testing::TempRoot root_;
};

}  // namespace cms::store
