// device_test_fixture.h - unit-test fixture for the callbacks that act on the
// device: the store fixture's temporary root and empty store, plus recording
// stub programs first on PATH, a message-center listener, and loading with
// every callback registered.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "events/registration.h"
#include "store/operations.h"
#include "store/store_fixture.h"
#include "tests/msg_listener.h"
#include "tests/stub_programs.h"

namespace cms::testing {

class DeviceTest : public store::StoreFixture {
 protected:
  void SetUp() override {
    StoreFixture::SetUp();
    const char* path = getenv("PATH");
    saved_path_ = path != nullptr ? path : "";
    stubs_.Install();
    ASSERT_TRUE(mc_.ok());
    for (const char* dir : {"/dev", "/etc", "/mnt/jffs2/conf/app"}) {
      root_.MakeDir(dir);
    }
  }

  void TearDown() override {
    setenv("PATH", saved_path_.c_str(), 1);
    StoreFixture::TearDown();
  }

  // Writes the user-side file `base` (under /mnt/jffs2/conf/user/), then
  // loads the tree and registers every callback.
  void Load(const std::string& base, const std::string& content) {
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

  // Runs `callback` for the loaded parameter `name` with its stored value.
  static int Call(store::ChangeCallback callback, const char* name,
                  int phase = 1) {
    store::ParamRecord* r = store::seekElement(name);
    EXPECT_NE(r, nullptr) << name;
    if (r == nullptr) return -1;
    return callback(r, r->userValue, phase);
  }

  // Stub calls, waiting for at least `count` of them: commands ending in
  // "&" run on in the background after the callback returned.
  std::vector<std::string> Calls(size_t count = 0) {
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::seconds(10);
    std::vector<std::string> calls = CompleteCalls();
    while (calls.size() < count &&
           std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
      calls = CompleteCalls();
    }
    return calls;
  }

  // The whole call log once it equals `expected` (one line per call, each
  // ended by a line feed), or as it stands after the wait. For values that
  // hold line feeds, which split a call over several lines.
  std::string LogOnceEqual(const std::string& expected) {
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::seconds(10);
    std::string log = root_.Read("/stub_calls.log");
    while (log != expected && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
      log = root_.Read("/stub_calls.log");
    }
    return log;
  }

  // The same, in sorted order, for commands whose order the shell decides.
  std::vector<std::string> SortedCalls(size_t count) {
    std::vector<std::string> calls = Calls(count);
    std::sort(calls.begin(), calls.end());
    return calls;
  }

  StubPrograms stubs_{root_};
  MsgListener mc_{root_};

 private:
  // A stub writes its line in several pieces: only lines already ended
  // count, so a call is never seen half-written.
  std::vector<std::string> CompleteCalls() const {
    std::string log = root_.Read("/stub_calls.log");
    log.erase(log.rfind('\n') == std::string::npos ? 0 : log.rfind('\n') + 1);
    std::vector<std::string> calls;
    size_t start = 0;
    for (size_t end; (end = log.find('\n', start)) != std::string::npos;
         start = end + 1) {
      calls.push_back(log.substr(start, end - start));
    }
    return calls;
  }

  std::string saved_path_;
};

}  // namespace cms::testing
