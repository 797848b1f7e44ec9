// stub_programs.h - stand-ins for device tools that record each call.
//
// Every stub appends one line to <root>/stub_calls.log: the program name as
// called, then each argument, separated by single tabs. A stub named on PATH
// lives in <root>/stub_bin, which Install() puts first on PATH; stubs under
// the root ("/bin/clat.sh") are found by the daemon through the root rule.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "testing/temp_root.h"

namespace cms::testing {

class StubPrograms {
 public:
  explicit StubPrograms(const TempRoot& root) : root_(root) {}

  // Writes every stub and puts <root>/stub_bin first on PATH (for this
  // process and the programs it starts).
  void Install() const;
  // (Re)writes the stub at device path `path`; `body` is shell code run
  // after the call was recorded (for example "echo HWaddr 00:11:22:33:44:55").
  void AddStub(std::string_view path, std::string_view body) const;
  // Every complete recorded call, one "name\targ\targ" line each, in order,
  // waiting (up to 10 s) for at least `count`: commands ending in "&" run on
  // after the caller returned, and a stub writes in pieces.
  std::vector<std::string> Calls(size_t count = 0) const;
  void ClearCalls() const { root_.Write("/stub_calls.log", ""); }

 private:
  const TempRoot& root_;
};

}  // namespace cms::testing
