// stub_programs.h - stand-ins for device tools that record each call, as a
// line of <root>/stub_calls.log: the name as called and each argument,
// separated by tabs. Stubs named on PATH live in <root>/stub_bin; those under
// the root ("/bin/clat.sh") the daemon finds through the root rule.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "testing/temp_root.h"

namespace cms::testing {

class StubPrograms {
 public:
  explicit StubPrograms(const TempRoot& root) : root_(root) {}

  // Writes every stub and puts <root>/stub_bin first on PATH.
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
