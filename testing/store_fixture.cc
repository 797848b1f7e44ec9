#include "testing/store_fixture.h"

#include <cstring>
#include <set>

namespace cms::store {
namespace {

int TableIndex(std::string_view path, int table) {
  const ConfigLocation* t = FileTable(table);
  for (int i = 0; t != nullptr && i < kFileTableSize; ++i) {
    if (path == t[i].path) return i;
  }
  return -1;
}

}  // namespace

void StoreFixture::SetUp() {
  cms::testing::ResetProcessState();
  root_.MakeDir("/tmp");
  root_.MakeDir(kIspDir);
  root_.Write(kTempUserFile, "");  // start-up creates it before loading
}

std::string StoreFixture::UserValue(const char* name) {
  const ParamRecord* r = seekElement(name);
  return r == nullptr || r->userValue == nullptr ? "(null)" : r->userValue;
}

std::string StoreFixture::State(const char* name) {
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

std::string StoreFixture::Dirty() {
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

int StoreFixture::UserIndex(std::string_view name) {
  return TableIndex(kUserDir + std::string(name), kUserTable);
}

int StoreFixture::IspIndex(std::string_view name) {
  return TableIndex(kIspDir + std::string(name), kIspTable);
}

}  // namespace cms::store
