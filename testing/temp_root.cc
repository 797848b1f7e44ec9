#include "testing/temp_root.h"

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace cms::testing {

namespace fs = std::filesystem;

TempRoot::TempRoot() {
  std::string tmpl = (fs::temp_directory_path() / "cmsd-test-XXXXXX").string();
  if (mkdtemp(tmpl.data()) == nullptr) abort();
  dir_ = tmpl;
}

TempRoot::~TempRoot() {
  std::error_code ec;
  fs::remove_all(dir_, ec);
}

void TempRoot::Write(std::string_view device_path,
                     std::string_view content) const {
  const fs::path p = Host(device_path);
  fs::create_directories(p.parent_path());
  std::ofstream(p, std::ios::binary | std::ios::trunc) << content;
}

std::string TempRoot::ReadHost(const std::string& host_path) {
  std::ostringstream s;
  s << std::ifstream(host_path, std::ios::binary).rdbuf();
  return s.str();
}

}  // namespace cms::testing
