// dnsmasq_conf_fuzz.cc - feeds arbitrary dnsmasq parameter files to the
// dnsmasq generator, with automatic DNS on or off, and checks the shape of
// what it writes.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "conffiles/dnsmasq_conf.h"
#include "testing/fuzz_support.h"

namespace {

constexpr const char* kSource = "/mnt/jffs2/conf/user/dnsmasq.conf";
constexpr const char* kTarget = "/tmp/dnsmasq.conf";
// A kept line holds at most 511 characters with its line feed.
constexpr size_t kMaxLine = 511;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  cms::fuzzing::InitFuzzRoot();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace cms::fuzzing;
  if (size == 0) return 0;
  FuzzRoot().Write(kSource, std::string_view(reinterpret_cast<const char*>(data) + 1,
                                             size - 1));
  FuzzRoot().Remove(kTarget);
  // First byte: bit 0 lets custom DHCP options through.
  cms::conffiles::do_usr_copy_dnsmasq(kSource, kTarget,
                                      (data[0] & 1) ? "disable" : nullptr);

  const std::string out = FuzzRoot().Read(kTarget);
  if (!WholeLines(out)) __builtin_trap();
  size_t start = 0;
  for (size_t end = out.find('\n'); end != std::string::npos;
       start = end + 1, end = out.find('\n', start)) {
    const std::string_view line =
        std::string_view(out).substr(start, end - start);
    // No comment, no empty line, nothing over the kept-line limit.
    if (line.empty() || line.front() == '#' || line.size() + 1 > kMaxLine) {
      __builtin_trap();
    }
  }
  return 0;
}
