// dispatcher_fuzz.cc - runs arbitrary request frames, up to four per input
// one after the other, through the dispatcher against the example tree, and
// checks every response and the store after each frame.
#include <cstring>

#include "core/dispatcher.h"
#include "store/param_list.h"
#include "testing/fuzz_support.h"

namespace {

using cms::core::kFrameSize;
cms::fuzzing::ExampleStore g_store;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  cms::fuzzing::InitFuzzRoot();
  g_store.Load();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  g_store.Restore();
  for (size_t at = 0, n = 0; at < size && n < 4;
       at += kFrameSize, ++n) {
    CMSPacket request{};
    memcpy(&request, data + at, std::min(size - at, kFrameSize));
    cms::fuzzing::KeepDumpInRoot(&request);
    CMSPacket response{};
    {
      cms::store::ParamListGuard lock;
      cms::core::handleCMSreq(&request, &response);
    }
    cms::core::RunDeferredWork();
    cms::fuzzing::CheckResponse(request, response);
    cms::fuzzing::CheckStore();
  }
  return 0;
}
