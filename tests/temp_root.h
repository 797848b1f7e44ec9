// temp_root.h - a throw-away sandbox root for tests: files under it are
// addressed by device path ("/mnt/jffs2/conf/user/x.conf").
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>

namespace cms::testing {

class TempRoot {
 public:
  TempRoot() {
    std::string tmpl =
        (std::filesystem::temp_directory_path() / "cmsd-test-XXXXXX").string();
    if (mkdtemp(tmpl.data()) == nullptr) abort();
    dir_ = tmpl;
  }
  ~TempRoot() {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  TempRoot(const TempRoot&) = delete;
  TempRoot& operator=(const TempRoot&) = delete;

  const std::string& dir() const { return dir_; }
  // Host path of a device path.
  std::string Host(std::string_view device_path) const {
    return dir_ + std::string(device_path);
  }
  // Writes `content` to the device path, creating directories.
  void Write(std::string_view device_path, std::string_view content) const {
    const std::filesystem::path p = Host(device_path);
    std::filesystem::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary | std::ios::trunc) << content;
  }
  // Whole content of the device path; empty when it does not exist.
  std::string Read(std::string_view device_path) const {
    return ReadHost(Host(device_path));
  }
  // The same for a host path.
  static std::string ReadHost(const std::string& host_path) {
    std::ostringstream s;
    s << std::ifstream(host_path, std::ios::binary).rdbuf();
    return s.str();
  }
  bool Exists(std::string_view device_path) const {
    return std::filesystem::exists(Host(device_path));
  }
  void MakeDir(std::string_view device_path) const {
    std::filesystem::create_directories(Host(device_path));
  }

 private:
  std::string dir_;
};

}  // namespace cms::testing
