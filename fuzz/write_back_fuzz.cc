// write_back_fuzz.cc - loads an arbitrary configuration file (user side, and
// as the ISP-side file of the same name when the input asks), changes,
// deletes and adds parameters, writes them back and loads the result again:
// what was acknowledged must be what is read back, for any file content.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "store/file_tables.h"
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
constexpr size_t kLongLine = 700;

// Per side: unchecked, or the value it must have (nullopt: gone).
using Value = std::optional<std::string>;
struct Expected {
  std::optional<Value> user, isp;
};

std::vector<std::string_view> Lines(std::string_view text) {
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    const size_t end = text.find('\n');
    const size_t take = end == std::string_view::npos ? text.size() : end + 1;
    lines.push_back(text.substr(0, take));
    text.remove_prefix(take);
  }
  return lines;
}

// Whether the reading is simple enough for the comment check: no NUL bytes
// and no line long enough to be read in pieces.
bool Plain(std::string_view text, const std::vector<std::string_view>& lines) {
  if (text.find('\0') != std::string_view::npos) return false;
  for (std::string_view line : lines) {
    if (line.size() > kLongLine) return false;
  }
  return true;
}

std::string_view WithoutLineFeed(std::string_view line) {
  if (!line.empty() && line.back() == '\n') line.remove_suffix(1);
  return line;
}

// Comment lines stay, in their order. A last one without its line feed gets
// one when parameters are appended after it.
bool CommentsKept(const std::vector<std::string_view>& before,
                  std::string_view after_text) {
  const std::vector<std::string_view> after = Lines(after_text);
  size_t at = 0;
  for (std::string_view line : before) {
    if (line.empty() || line[0] != '#' || line == "######end of file######\n") {
      continue;
    }
    while (at < after.size() &&
           WithoutLineFeed(after[at]) != WithoutLineFeed(line)) {
      ++at;
    }
    if (at == after.size()) return false;
    ++at;
  }
  return true;
}

void LoadFresh() {
  cms::testing::ResetProcessState();
  initParamFile();
  cms::fuzzing::CheckStore();
}

Value Side(const char* name, bool user) {
  const ParamRecord* r = seekElement(name);
  if (r == nullptr) return std::nullopt;
  const char* v = user ? r->userValue : r->ispValue;
  if ((user ? r->userLocation : r->ispLocation) < 0 || v == nullptr) {
    return std::nullopt;
  }
  return std::string(v);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  cms::fuzzing::InitFuzzRoot();
  cms::fuzzing::FuzzRoot().Write(kTempUserFile, "");
  return 0;
}

// Input: one byte of choices (bit 0: an ISP-side file too; bits 1-2: the
// side that sets change), then the file's content.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const cms::testing::TempRoot& root = cms::fuzzing::FuzzRoot();
  if (size == 0) return 0;
  const uint8_t choices = data[0];
  const std::string_view content(reinterpret_cast<const char*>(data) + 1,
                                 size - 1);
  const bool with_isp = (choices & 1) != 0;
  static constexpr int kSetModes[] = {kModeSetUser, kModeSetBoth, kModeSetIsp,
                                      kModeSetUser};
  const int set_mode = kSetModes[(choices >> 1) & 3];

  root.Write(kUserFile, content);
  if (with_isp) {
    root.Write(kIspFile, content);
  } else {
    root.Remove(kIspFile);
  }
  LoadFresh();

  const std::vector<std::string_view> lines = Lines(content);
  const bool plain = Plain(content, lines);
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
      if (DeleteParam(name.c_str(), kModeDeleteUser) != 0) e.user.emplace();  // gone
      continue;
    }
    const std::string value = "n" + std::to_string(i);
    if (SetParamValue(name.c_str(), value.c_str(), set_mode) == 0) continue;
    if (set_mode != kModeSetIsp) e.user = value;
    if (set_mode != kModeSetUser) e.isp = value;
  }
  for (int k = 0; k < 2; ++k) {
    const std::string name = "fz_add_" + std::to_string(k);
    const std::string value = "a" + std::to_string(k);
    if (AddParam(name.c_str(), "fuzz.conf", value.c_str(), kModeAddUser) != 0)
      expected[name].user = value;
  }
  cms::fuzzing::CheckStore();
  writeParamToFile();
  cms::fuzzing::CheckStore();

  if (plain && !CommentsKept(lines, root.Read(kUserFile))) __builtin_trap();
  if (with_isp && plain && !CommentsKept(lines, root.Read(kIspFile))) {
    __builtin_trap();
  }

  LoadFresh();
  for (const auto& [name, e] : expected) {
    if (e.user && Side(name.c_str(), true) != *e.user) __builtin_trap();
    if (e.isp && Side(name.c_str(), false) != *e.isp) __builtin_trap();
  }
  return 0;
}
