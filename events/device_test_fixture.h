// device_test_fixture.h - the store fixture plus recording stub programs
// first on PATH, a message-center listener, and loading with every callback
// registered.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "events/registration.h"
#include "store/operations.h"
#include "store/store_fixture.h"
#include "tests/msg_listener.h"
#include "tests/stub_programs.h"

namespace cms::testing {

using Lines = std::vector<std::string>;

// Values that try to start another program (the iperf or cwmpc stub, which
// would show in the call log) or to split into several words.
inline const std::vector<std::string> kHostileValues = {
    "x;iperf",  "$(iperf)", "`cwmpc`", "a'b\"c",    "two  words",
    "x|iperf&", "a>pwned",  "*",       "\\$(iperf)"};

// The interface requests go over a raw socket, which needs CAP_NET_RAW.
inline bool CanOpenRawSocket() {
  const int fd = socket(AF_INET, SOCK_RAW, 255);
  if (fd >= 0) close(fd);
  return fd >= 0;
}

class DeviceTest : public store::StoreFixture {
 protected:
  void SetUp() override {
    StoreFixture::SetUp();
    saved_path_ = getenv("PATH") != nullptr ? getenv("PATH") : "";
    stubs_.Install();
    ASSERT_TRUE(mc_.ok());
    for (const char* dir : {"/dev", "/etc", "/mnt/jffs2/conf/app"})
      root_.MakeDir(dir);
  }
  void TearDown() override {
    setenv("PATH", saved_path_.c_str(), 1);
    StoreFixture::TearDown();
  }

  // Loads a fresh tree with the user-side file `base` and every callback.
  void Load(const std::string& base, const std::string& content) {
    store::ResetParamList();
    store::initialConfigLocationArray();
    WriteUser(base, content);
    LoadTree();
    events::initParamEventReg();
    events::initFileEventReg();
  }
  // The user-side value, or "(none)".
  static std::string Value(const char* name) {
    const char* v = store::GetParamValue(name, store::kModeGetUser);
    return v != nullptr ? v : "(none)";
  }
  // The values of `names`, joined by blanks.
  static std::string Values(std::initializer_list<const char*> names) {
    std::string out;
    for (const char* name : names)
      out += (out.empty() ? "" : " ") + Value(name);
    return out;
  }
  static void Set(const char* name, const std::string& value) {
    EXPECT_NE(store::SetParamValue(name, value.c_str(), store::kModeSetUser), 0)
        << name;
  }
  // Runs `callback` for the loaded parameter `name` with its stored value.
  static int Call(store::ChangeCallback callback, const char* name,
                  int phase = 1) {
    store::ParamRecord* r = store::seekElement(name);
    EXPECT_NE(r, nullptr) << name;
    return r == nullptr ? -1 : callback(r, r->userValue, phase);
  }

  // Complete stub calls, waiting for at least `count`: commands ending in
  // "&" run on after the callback returned, and a stub writes in pieces.
  Lines Calls(size_t count = 0) {
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (;;) {
      const std::string log = root_.Read("/stub_calls.log");
      std::istringstream in(log.substr(0, log.rfind('\n') + 1));
      Lines calls;
      for (std::string line; std::getline(in, line);) calls.push_back(line);
      if (calls.size() >= count || std::chrono::steady_clock::now() > deadline)
        return calls;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  }

  StubPrograms stubs_{root_};
  MsgListener mc_{root_};

 private:
  std::string saved_path_;
};

}  // namespace cms::testing
