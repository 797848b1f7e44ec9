// fw_env_fuzz.cc - feeds arbitrary boot-loader environment listings to the
// import of start-up and compares the store and the files with what each
// imported line must have done.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "files/field_file.h"
#include "store/file_tables.h"
#include "store/fw_env.h"
#include "store/loader.h"
#include "store/param_list.h"
#include "testing/fuzz_support.h"
#include "testing/process_state.h"

namespace {

using namespace cms::store;

constexpr const char* kSysini = "/mnt/jffs2/conf/user/sysini.conf";
constexpr const char* kIspSysini = "/mnt/jffs2/conf/isp/user/sysini.conf";
constexpr char kUserContent[] =
    "hostname=router\nsys_lan_if=br0\nbaudrate=9600\nbootdelay=3\n";
constexpr char kIspContent[] = "isp_only=1\nhostname=isp\n";
// A rewritten line must fit a 250-byte line buffer: key, separator, value,
// line feed and NUL.
constexpr size_t kFieldLine = 250;

struct Model {
  // Expected user-side value of every name the listing may touch; nullopt
  // for a name without a user side (left alone).
  std::map<std::string, std::optional<std::string>, std::less<>> user;
  // Expected value in sysini.conf of each of its names.
  std::map<std::string, std::string, std::less<>> file;
};

bool Importable(std::string_view name) {
  return !name.empty() && name.size() <= kMaxNameLength && name[0] != '#' &&
         name.find_first_of(" \t") == std::string_view::npos;
}

// What one imported line must do.
void Apply(Model* m, std::string_view name, std::string_view value,
           bool strip_cust) {
  if (strip_cust && name.substr(0, 5) == "cust_") name.remove_prefix(5);
  if (!Importable(name)) return;
  const std::string v = value.empty() ? kEmptyValueMarker : std::string(value);
  const auto it = m->user.find(name);
  if (it != m->user.end() && !it->second) return;  // no user side
  // A value its file line cannot hold whole is refused, and so is a replace
  // whose field line would not fit: nothing changes then.
  if (name.size() + v.size() + 2 > kMaxValueLength) return;
  const auto f = m->file.find(name);
  if (f != m->file.end()) {
    if (name.size() + v.size() + 3 > kFieldLine) return;
    f->second = v;
  }
  m->user[std::string(name)] = v;
}

// Lines end at a line feed or carriage return; the text at its first NUL.
// Empty lines, lines without "=" and a last line without its end are
// skipped.
Model Expect(std::string_view text, bool strip_cust) {
  Model m;
  for (const char* name : {"hostname", "sys_lan_if", "baudrate", "bootdelay"}) {
    const char* v = strstr(kUserContent, name) + strlen(name) + 1;
    const std::string value(v, strcspn(v, "\n"));
    m.user[name] = value;
    m.file[name] = value;
  }
  m.user["isp_only"] = std::nullopt;
  text = text.substr(0, text.find('\0'));
  for (;;) {
    const size_t end = text.find_first_of("\n\r");
    if (end == std::string_view::npos) break;
    const std::string_view line = text.substr(0, end);
    const size_t eq = line.find('=');
    if (!line.empty() && eq != std::string_view::npos) {
      Apply(&m, line.substr(0, eq), line.substr(eq + 1), strip_cust);
    }
    text.remove_prefix(end + 1);
  }
  return m;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  cms::fuzzing::InitFuzzRoot();
  return 0;
}

// Input: one byte (bit 0: reset_default asks to strip "cust_"), then the
// listing.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const bool strip_cust = (data[0] & 1) != 0;
  const std::string_view text(reinterpret_cast<const char*>(data) + 1,
                              size - 1);
  const cms::testing::TempRoot& root = cms::fuzzing::FuzzRoot();
  root.Write(kSysini, kUserContent);
  root.Write(kIspSysini, kIspContent);
  root.Write(kTempUserFile, "");
  cms::testing::ResetProcessState();
  initParamFile();

  ImportFwEnvText(text, strip_cust);
  cms::fuzzing::CheckStore();

  const Model m = Expect(text, strip_cust);
  for (const auto& [name, value] : m.user) {
    const ParamRecord* r = seekElement(name.c_str());
    if (r == nullptr) __builtin_trap();
    if (!value) {
      if (r->userValue != nullptr || r->userLocation != -1) __builtin_trap();
      continue;
    }
    if (r->userValue == nullptr || *value != r->userValue) __builtin_trap();
  }
  for (const auto& [name, value] : m.file) {
    const char* in_file =
        cms::files::get_conf_field_string(kSysini, name.c_str());
    if (in_file == nullptr || value != in_file) __builtin_trap();
  }
  // Nothing but the listing's names, the loaded ones and XCFGtemp's.
  if (CheckListLength() != static_cast<int>(m.user.size())) __builtin_trap();
  return 0;
}
