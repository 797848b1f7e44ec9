// write_back_fuzz.cc - loads an arbitrary configuration file (user side, and
// as the ISP-side file of the same name when the input asks), changes,
// deletes and adds parameters, writes them back and loads the result again:
// what was acknowledged must be what is read back, for any file content.
// (That comment lines stay is checked for ordinary files in WriteBackTest.)
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "store/loader.h"
#include "store/operations.h"
#include "store/param_list.h"
#include "store/write_back.h"
#include "testing/fuzz_support.h"
#include "testing/process_state.h"

namespace {

using namespace cms::store;

constexpr const char* kUserFile = "/mnt/jffs2/conf/user/fuzz.conf";
constexpr const char* kIspFile = "/mnt/jffs2/conf/isp/user/fuzz.conf";

// Per side: unchecked, or the value it must have (nullopt: gone).
using Value = std::optional<std::string>;
struct Expected {
  std::optional<Value> user, isp;
};

using cms::fuzzing::Require;

void LoadFresh() {
  cms::testing::ResetProcessState();
  initParamFile();
  cms::fuzzing::CheckStore();
}

Value Side(const char* name, bool user) {
  const ParamRecord* r = seekElement(name);
  const char* v = r == nullptr ? nullptr : user ? r->userValue : r->ispValue;
  if (v == nullptr || (user ? r->userLocation : r->ispLocation) < 0)
    return std::nullopt;
  return std::string(v);
}

}  // namespace

// Input: one byte of choices (bit 0: an ISP-side file too; bits 1-2: the
// side that sets change), then the file's content.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const cms::testing::TempRoot& root = cms::fuzzing::FuzzRoot();
  uint8_t choices;
  std::string_view content;
  if (!cms::fuzzing::SplitInput(data, size, &choices, &content)) return 0;
  const bool with_isp = (choices & 1) != 0;
  static constexpr int kSetModes[] = {kModeSetUser, kModeSetBoth, kModeSetIsp,
                                      kModeSetUser};
  const int set_mode = kSetModes[(choices >> 1) & 3];

  root.Write(kUserFile, content);
  with_isp ? root.Write(kIspFile, content) : root.Remove(kIspFile);
  LoadFresh();

  std::vector<std::string> names;
  for (int i = 0; i < CheckListLength(); ++i) {
    names.emplace_back(
        static_cast<const ParamRecord*>(list_get_at(&ParamList, i))->name);
  }

  std::map<std::string, Expected> expected;
  for (size_t i = 0; i < names.size(); ++i) {
    const std::string& name = names[i];
    // Every acknowledged value must come back, whatever the file held:
    // doubled names, indented lines, over-long names and lines, NUL bytes.
    Expected& e = expected[name];
    if (i % 3 == 2) {
      if (DeleteParam(name.c_str(), kModeDeleteUser) != 0)
        e.user.emplace();  // gone
      continue;
    }
    const std::string value = "n" + std::to_string(i);
    if (SetParamValue(name.c_str(), value.c_str(), set_mode) == 0) continue;
    if (set_mode != kModeSetIsp) e.user = value;
    if (set_mode != kModeSetUser) e.isp = value;
  }
  if (AddParam("fz_add", "fuzz.conf", "a", kModeAddUser) != 0)
    expected["fz_add"].user = "a";
  cms::fuzzing::CheckStore();
  writeParamToFile();
  cms::fuzzing::CheckStore();

  LoadFresh();
  for (const auto& [name, e] : expected) {
    Require(!e.user || Side(name.c_str(), true) == *e.user);
    Require(!e.isp || Side(name.c_str(), false) == *e.isp);
  }
  return 0;
}
