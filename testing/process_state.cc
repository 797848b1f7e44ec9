#include "testing/process_state.h"

#include "core/cmd_queue.h"
#include "core/write_counter.h"
#include "files/field_file.h"
#include "files/safe_file.h"
#include "platform/log.h"
#include "platform/root.h"
#include "platform/stats.h"
#include "store/change_hooks.h"
#include "store/file_tables.h"
#include "store/history.h"
#include "store/param_list.h"
#include "store/write_back.h"

namespace cms::testing {

void ResetProcessState() {
  store::ResetParamList();
  store::initParamList();
  store::initialConfigLocationArray();
  store::SetChangeHooks({});
  store::ResetWriteBackRetry();
  store::history::Configure(0);
  core::ResetCmdList();
  core::initPrivateData();
  files::ResetCalls();
  files::SetConfLock = 0;
  platform::stats::Reset();
  cms_debug_mode = 0;
}

ScopedRoot::ScopedRoot(std::string_view root)
    : previous_(platform::Root()) {
  platform::SetRoot(root);
}

ScopedRoot::~ScopedRoot() { platform::SetRoot(previous_); }

}  // namespace cms::testing
