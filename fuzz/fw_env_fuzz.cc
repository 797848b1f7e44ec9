// fw_env_fuzz.cc - feeds arbitrary boot-loader environment listings to the
// import of start-up and compares the store and the files with what each
// imported line must have done.
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
  // Expected user-side value of every name the listing may touch (nullopt:
  // no user side, left alone), and in sysini.conf of each of its names.
  std::map<std::string, std::optional<std::string>, std::less<>> user;
  std::map<std::string, std::string, std::less<>> file;
};

// What one imported line must do.
void Apply(Model* m, std::string_view name, std::string_view value,
           bool strip_cust) {
  if (strip_cust && name.starts_with("cust_")) name.remove_prefix(5);
  if (name.empty() || name.size() > kMaxNameLength || name[0] == '#' ||
      name.find_first_of(" \t") != name.npos)
    return;
  const std::string v = value.empty() ? kEmptyValueMarker : std::string(value);
  const auto it = m->user.find(name);
  if (it != m->user.end() && !it->second) return;  // no user side
  // A value its file line cannot hold whole is refused, and so is a replace
  // whose field line would not fit: nothing changes then.
  if (name.size() + v.size() + 2 > kMaxValueLength) return;
  const auto f = m->file.find(name);
  if (f != m->file.end() && name.size() + v.size() + 3 > kFieldLine) return;
  if (f != m->file.end()) f->second = v;
  m->user[std::string(name)] = v;
}

// Lines end at a line feed or carriage return; the text at its first NUL.
// Empty lines, lines without "=" and a last line without its end are
// skipped.
Model Expect(std::string_view text, bool strip_cust) {
  Model m;  // as kUserContent and kIspContent hold them
  m.file = {{"hostname", "router"}, {"sys_lan_if", "br0"},
            {"baudrate", "9600"}, {"bootdelay", "3"}};
  m.user = {m.file.begin(), m.file.end()};
  m.user["isp_only"] = std::nullopt;
  text = text.substr(0, text.find('\0'));
  for (size_t end; (end = text.find_first_of("\n\r")) != text.npos;
       text.remove_prefix(end + 1)) {
    const std::string_view line = text.substr(0, end);
    const size_t eq = line.find('=');
    if (eq != std::string_view::npos)
      Apply(&m, line.substr(0, eq), line.substr(eq + 1), strip_cust);
  }
  return m;
}

}  // namespace

// Input: one byte (bit 0: reset_default asks to strip "cust_"), then the
// listing.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using cms::fuzzing::Require;
  uint8_t choices;
  std::string_view text;
  if (!cms::fuzzing::SplitInput(data, size, &choices, &text)) return 0;
  const bool strip_cust = (choices & 1) != 0;
  cms::fuzzing::FuzzRoot().Write(kSysini, kUserContent);
  cms::fuzzing::FuzzRoot().Write(kIspSysini, kIspContent);
  cms::fuzzing::FuzzRoot().Write(kTempUserFile, "");
  cms::testing::ResetProcessState();
  initParamFile();

  ImportFwEnvText(text, strip_cust);
  cms::fuzzing::CheckStore();

  const Model m = Expect(text, strip_cust);
  for (const auto& [name, value] : m.user) {
    const ParamRecord* r = seekElement(name.c_str());
    Require(r != nullptr);
    Require(value ? r->userValue != nullptr && *value == r->userValue
                  : r->userValue == nullptr && r->userLocation == -1);
  }
  for (const auto& [name, value] : m.file) {
    const char* in_file =
        cms::files::get_conf_field_string(kSysini, name.c_str());
    Require(in_file != nullptr && value == in_file);
  }
  // Nothing but the listing's names, the loaded ones and XCFGtemp's.
  Require(CheckListLength() == static_cast<int>(m.user.size()));
  return 0;
}
