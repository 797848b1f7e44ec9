// root.cc - maps device paths to host paths under the sandbox root.
#include "platform/root.h"

namespace cms::platform {
namespace {

// Set once at start-up, before any other thread exists; read-only afterwards.
std::string& RootStorage() {
  static std::string root = "/";
  return root;
}

}  // namespace

void SetRoot(std::string_view root) {
  std::string r(root);
  while (r.size() > 1 && r.back() == '/') r.pop_back();
  RootStorage() = r.empty() ? "/" : r;
}

const std::string& Root() { return RootStorage(); }

std::string HostPath(std::string_view device_path) {
  const std::string& root = Root();
  if (root == "/" || device_path.empty() || device_path.front() != '/' ||
      device_path == "/dev/null") {
    return std::string(device_path);
  }
  std::string host;
  host.reserve(root.size() + device_path.size());
  host.append(root).append(device_path);
  return host;
}

}  // namespace cms::platform
