// temp_root.h - a throw-away sandbox root for tests: files under it are
// addressed by device path ("/mnt/jffs2/conf/user/x.conf").
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace cms::testing {

class TempRoot {
 public:
  TempRoot();
  ~TempRoot();
  TempRoot(const TempRoot&) = delete;
  TempRoot& operator=(const TempRoot&) = delete;

  const std::string& dir() const { return dir_; }
  std::string Host(std::string_view device_path) const {
    return dir_ + std::string(device_path);
  }
  // Writes `content` to the device path, creating directories.
  void Write(std::string_view device_path, std::string_view content) const;
  // Whole content of the device path; empty when it does not exist.
  std::string Read(std::string_view device_path) const {
    return ReadHost(Host(device_path));
  }
  static std::string ReadHost(const std::string& host_path);
  bool Exists(std::string_view device_path) const {
    return std::filesystem::exists(Host(device_path));
  }
  void Remove(std::string_view device_path) const {
    std::error_code ec;
    std::filesystem::remove(Host(device_path), ec);
  }
  void MakeDir(std::string_view device_path) const {
    std::filesystem::create_directories(Host(device_path));
  }

 private:
  std::string dir_;
};

}  // namespace cms::testing
