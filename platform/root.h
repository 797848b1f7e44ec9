// root.h - the host edge: device paths inside, the sandbox root only where a
// file is opened or a command is run.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

namespace cms::platform {

// Sets the sandbox root ("/" on the device). A trailing '/' is dropped.
void SetRoot(std::string_view root);

// The root as given ("/" by default).
const std::string& Root();

// Device path -> host path: the root in front of an absolute path, except
// "/dev/null". With the root "/" the path is returned unchanged.
std::string HostPath(std::string_view device_path);

// A stdio file opened by its device path, closed when it goes out of scope.
class DeviceFile {
 public:
  DeviceFile(const char* device_path, const char* mode)
      : f_(std::fopen(HostPath(device_path).c_str(), mode)) {}
  ~DeviceFile() { Close(); }
  DeviceFile(const DeviceFile&) = delete;
  DeviceFile& operator=(const DeviceFile&) = delete;
  FILE* get() const { return f_; }
  explicit operator bool() const { return f_ != nullptr; }
  // fclose's result: false when buffered data could not be written.
  bool Close() {
    FILE* f = f_;
    f_ = nullptr;
    return f == nullptr || std::fclose(f) == 0;
  }

 private:
  FILE* f_;
};

}  // namespace cms::platform
