// root.h - the host edge: device paths inside, the sandbox root only where a
// file is opened or a command is run.
#pragma once

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

}  // namespace cms::platform
