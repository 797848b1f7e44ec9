// field_file_fuzz.cc - runs the key=value field functions (check, get, set,
// delete) and the file copy on arbitrary file contents, names and values.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "files/field_file.h"
#include "testing/fuzz_support.h"

namespace {

constexpr const char* kFile = "/mnt/jffs2/conf/user/fuzz.conf";
constexpr const char* kCopy = "/mnt/jffs2/conf/user/fuzz_copy.conf";

// Splits off the text before the first line feed of `rest`.
std::string TakeLine(std::string_view* rest) {
  const size_t end = rest->find('\n');
  std::string line(rest->substr(0, end));
  rest->remove_prefix(end == std::string_view::npos ? rest->size() : end + 1);
  // The functions take C texts: a NUL would only shorten them.
  return line.substr(0, line.find('\0'));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  cms::fuzzing::InitFuzzRoot();
  return 0;
}

// Input: the name, a line feed, the new value, a line feed, the file content.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace cms::fuzzing;
  using namespace cms::files;
  std::string_view rest(reinterpret_cast<const char*>(data), size);
  const std::string name = TakeLine(&rest);
  std::string value = TakeLine(&rest);
  FuzzRoot().Write(kFile, rest);

  CheckConfFiledString(kFile, name.c_str());
  if (const char* got = get_conf_field_string(kFile, name.c_str())) {
    const std::string copy = got;  // must be a readable NUL-ended text
    (void)copy;
  }
  std::vector<char> new_value(value.begin(), value.end());
  new_value.push_back('\0');
  set_conf_field_string(kFile, name.c_str(), new_value.data());
  get_conf_field_string(kFile, name.c_str());
  do_usr_copy(kFile, kCopy);
  if (FuzzRoot().Read(kCopy) != FuzzRoot().Read(kFile)) __builtin_trap();
  delete_param(kFile, name.c_str());
  if (SetConfLock != 0) __builtin_trap();  // released on every way out
  return 0;
}
