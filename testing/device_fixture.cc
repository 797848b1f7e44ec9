#include "testing/device_fixture.h"

#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

namespace cms::testing {

bool CanOpenRawSocket() {
  const int fd = socket(AF_INET, SOCK_RAW, 255);
  return fd >= 0 && close(fd) == 0;
}

void DeviceTest::SetUp() {
  StoreFixture::SetUp();
  saved_path_ = getenv("PATH") != nullptr ? getenv("PATH") : "";
  stubs_.Install();
  ASSERT_TRUE(mc_.ok());
  for (const char* dir : {"/dev", "/etc", "/mnt/jffs2/conf/app"})
    root_.MakeDir(dir);
}

void DeviceTest::TearDown() {
  setenv("PATH", saved_path_.c_str(), 1);
  StoreFixture::TearDown();
}

void DeviceTest::Load(const std::string& base, const std::string& content) {
  // A reload within the test: the rest of the process state stays.
  store::ResetParamList();
  store::initialConfigLocationArray();
  WriteUser(base, content);
  LoadTree();
  events::InstallStoreHooks();
  events::initParamEventReg();
  events::initFileEventReg();
}

std::string DeviceTest::Value(const char* name) {
  const char* v = store::GetParamValue(name, store::kModeGetUser);
  return v != nullptr ? v : "(none)";
}

std::string DeviceTest::Values(std::initializer_list<const char*> names) {
  std::string out;
  for (const char* name : names) out += (out.empty() ? "" : " ") + Value(name);
  return out;
}

void DeviceTest::Set(const char* name, const std::string& value) {
  EXPECT_NE(store::SetParamValue(name, value.c_str(), store::kModeSetUser), 0)
      << name;
}

int DeviceTest::Call(store::ChangeCallback callback, const char* name,
                     int phase) {
  store::ParamRecord* r = store::seekElement(name);
  EXPECT_NE(r, nullptr) << name;
  return r == nullptr ? -1 : callback(r, r->userValue, phase);
}

}  // namespace cms::testing
