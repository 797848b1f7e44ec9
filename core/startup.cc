// startup.cc - the store's start-up order, shared by the daemon and by
// anything else that needs a store brought up as the daemon brings it.
#include "core/startup.h"

#include <syslog.h>

#include "core/cmd_queue.h"
#include "core/history_answers.h"
#include "core/write_counter.h"
#include "events/registration.h"
#include "files/field_file.h"
#include "platform/log.h"
#include "platform/shell.h"
#include "store/file_tables.h"
#include "store/fw_env.h"
#include "store/loader.h"
#include "store/param_list.h"

namespace cms::core {
namespace {

constexpr char kModule[] = "CMSMain";

}  // namespace

void StartStore() {
  // Parameters added without a file of their own live in this file's entry,
  // so it must exist before the tree is read.
  platform::RunCommand("touch /mnt/jffs2/conf/user/XCFGtemp.conf");
  store::initParamList();
  initCmdList();
  store::initialConfigLocationArray();
  // A copy cut short by a power loss leaves a hidden temporary file beside
  // its target; it must not outlive the restart.
  files::RemoveInterruptedCopies();
  store::initParamFile();
  WarnAboutTree();
  store::addSpecialParam();
  CMS_DBG(LOG_INFO, kModule, "Initial event registration\n");
  events::InstallStoreHooks();
  if (events::initParamEventReg() == 0) {
    CMS_DBG(LOG_ERR, kModule, "Parameter event registration failed\n");
  }
  if (events::initFileEventReg() == 0) {
    CMS_DBG(LOG_ERR, kModule, "File event registration failed\n");
  }
  initPrivateData();
}

}  // namespace cms::core
