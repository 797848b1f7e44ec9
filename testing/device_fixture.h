// device_fixture.h - the store fixture plus recording stub programs first on
// PATH, a message-center listener, and loading with every callback.
#pragma once

#include <string>
#include <vector>

#include "events/registration.h"
#include "store/operations.h"
#include "testing/msg_listener.h"
#include "testing/store_fixture.h"
#include "testing/stub_programs.h"

namespace cms::testing {

using Lines = std::vector<std::string>;

// Values that try to start another program (the iperf or cwmpc stub, which
// would show in the call log) or to split into several words.
inline const std::vector<std::string> kHostileValues = {
    "x;iperf",  "$(iperf)", "`cwmpc`", "a'b\"c",    "two  words",
    "x|iperf&", "a>pwned",  "*",       "\\$(iperf)"};

// The interface requests go over a raw socket, which needs CAP_NET_RAW.
bool CanOpenRawSocket();

class DeviceTest : public store::StoreFixture {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Loads a fresh tree with the user-side file `base` and every callback.
  void Load(const std::string& base, const std::string& content);
  // The user-side value, or "(none)".
  static std::string Value(const char* name);
  // The values of `names`, joined by blanks.
  static std::string Values(std::initializer_list<const char*> names);
  static void Set(const char* name, const std::string& value);
  // Runs `callback` for the loaded parameter `name` with its stored value.
  static int Call(store::ChangeCallback callback, const char* name,
                  int phase = 1);
  // Complete stub calls, waiting for at least `count` (StubPrograms::Calls).
  Lines Calls(size_t count = 0) const { return stubs_.Calls(count); }

  StubPrograms stubs_{root_};
  MsgListener mc_{root_};

 private:
  std::string saved_path_;
};

}  // namespace cms::testing
