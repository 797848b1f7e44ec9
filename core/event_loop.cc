// event_loop.cc - brings the daemon up in its fixed order and runs the loop.
#include "core/event_loop.h"

#include <signal.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "conffiles/field_file.h"
#include "core/cmd_queue.h"
#include "core/introspection.h"
#include "core/server.h"
#include "core/write_counter.h"
#include "events/notify_callbacks.h"
#include "events/registration.h"
#include "platform/event_ids.h"
#include "platform/libcmc.h"
#include "platform/libmc.h"
#include "platform/log.h"
#include "platform/root.h"
#include "platform/shell.h"
#include "store/file_tables.h"
#include "store/fw_env.h"
#include "store/history.h"
#include "store/loader.h"
#include "store/operations.h"
#include "store/param_list.h"
#include "store/write_back.h"

namespace cms::core {
namespace {

constexpr char kModule[] = "CMSMain";
constexpr timeval kTickInterval{0, 20000};
constexpr timeval kReadyDelay{1, 0};
constexpr unsigned kAlarmSeconds = 86400;
constexpr char kStartedMarker[] = "/tmp/cms_started";

}  // namespace

void read_cms_debug_mode_from_conf() {
  FILE* pipe = platform::OpenCommand(platform::FormatCommand(
      "grep sys_cms_debug_mode /mnt/jffs2/conf/user/sysini.conf | cut -f2"));
  if (pipe == nullptr) return;
  // One character is all that matters: the flag is a single digit.
  char text[2] = {0, 0};
  if (fgets(text, sizeof text, pipe) == nullptr) text[0] = '\0';
  platform::CloseCommand(pipe);
  cms_debug_mode.store(atoi(text));
}

void postInitProcess(evutil_socket_t, short, void*) {
  struct stat st;
  if (stat(platform::HostPath(kStartedMarker).c_str(), &st) == 0) return;
  events::CMSInitFinished();
  platform::RunCommand("touch /tmp/cms_started");
}

Daemon::Daemon(uint16_t port) : port_(port) {}

Daemon::~Daemon() = default;

int Daemon::Run() {
  StartUp();
  initLibev();
  return 0;
}

void Daemon::StartUp() {
  const store::history::LabelScope origin("start-up");
  read_cms_debug_mode_from_conf();
  platform::RunCommand("echo 1 > /proc/sys/net/ipv4/tcp_tw_recycle");
  platform::RunCommand("echo 1 > /proc/sys/net/ipv4/tcp_tw_reuse");
  // Parameters added without a file of their own live in this file's entry,
  // so it must exist before the tree is read.
  platform::RunCommand("touch /mnt/jffs2/conf/user/XCFGtemp.conf");
  store::initParamList();
  initCmdList();
  store::initialConfigLocationArray();
  // A copy cut short by a power loss leaves a hidden temporary file beside
  // its target; it must not outlive the restart.
  conffiles::RemoveInterruptedCopies();
  store::initParamFile();
  WarnAboutTree();
  store::addSpecialParam();
  CMS_DBG(6, kModule, "Initial event registration\n");
  if (events::initParamEventReg() == 0) {
    CMS_DBG(3, kModule, "Parameter event registration failed\n");
  }
  if (events::initFileEventReg() == 0) {
    CMS_DBG(3, kModule, "File event registration failed\n");
  }
  initPrivateData();
  CMS_DBG(6, kModule, "Initial CMS socket\n");
  if (initCMSSock(port_) == 0) {
    // The store holds the whole tree; static destructors would only free
    // it piecemeal (and leave its records unreachable on the way).
    fflush(nullptr);
    _exit(0);
  }
  CMS_DBG(6, kModule, "Initializaton finished...CMS service start..\n");
  LogStartUp(port_);
}

int Daemon::initLibev() {
  base_.reset(event_base_new());
  if (!base_) {
    platform::LogLine(LOG_ERR, "cmsd: could not create the event loop");
    exit(1);
  }
  pthread_t accept_thread;
  CM_ThreadCreate(AcceptThreadMain, nullptr, &accept_thread);
  event_base_once(base_.get(), -1, EV_TIMEOUT, postInitProcess, nullptr,
                  &kReadyDelay);
  initTimoutEv();
  for (int signum : {SIGINT, SIGUSR1, SIGUSR2, SIGALRM, SIGTERM}) {
    signals_.emplace_back(event_new(base_.get(), signum, EV_SIGNAL | EV_PERSIST,
                                    signal_cb, this));
    event_add(signals_.back().get(), nullptr);
  }
  return event_base_dispatch(base_.get());
}

int Daemon::initTimoutEv() {
  timer_.reset(event_new(base_.get(), -1, 0, timeout_cb, this));
  event_add(timer_.get(), &kTickInterval);
  return 0;
}

void Daemon::timeout_cb(evutil_socket_t, short, void* arg) {
  static_cast<Daemon*>(arg)->Tick();
}

void Daemon::signal_cb(evutil_socket_t signum, short, void* arg) {
  static_cast<Daemon*>(arg)->OnSignal(static_cast<int>(signum));
}

void Daemon::Tick() {
  {
    store::ParamListGuard lock;
    if (TickDue()) {
      CMS_DBG(6, kModule, "Write changed variables to file\n");
      store::writeParamToFile();
    }
    // A file that could not be opened for lack of descriptors (by this
    // write-back or a requested one) is still dirty: counted as a change,
    // it is tried again once the tick finds things settled.
    if (store::TakeDeferredWrite()) CountChange();
  }
  // Re-armed after the work, so a slow write-back never stacks up ticks.
  event_add(timer_.get(), &kTickInterval);
}

void Daemon::OnSignal(int signum) {
  CMS_DBG(6, kModule, "%s: got signal %d\n", "signal_cb", signum);
  store::ParamListGuard lock;
  switch (signum) {
    case SIGALRM:
      if (mc_ipc_flag() != 0) {
        alarm(kAlarmSeconds);
        mc_ipc_close();
      }
      break;
    case SIGUSR1:
      if (mc_ipc_flag() != 0) {
        mc_trigger(platform::kEventSettingsChanged);
        mc_ipc_close();
      }
      break;
    case SIGUSR2:
      if (mc_ipc_flag() != 0) {
        store::ReplaceParamValue("sys_reset_default_level", "0",
                                 store::kModeReplaceUser);
        mc_trigger(platform::kEventFactoryReset);
        mc_ipc_close();
      }
      break;
    case SIGTERM:
      // A reboot or an upgrade stops the daemon with SIGTERM: what clients
      // were told is stored must reach the files first. The lock stays held,
      // so no request starts after the write; _exit leaves the worker
      // threads alone instead of running destructors under their feet.
      store::writeParamToFile();
      fflush(nullptr);
      _exit(0);
    default:  // SIGINT: the daemon keeps running.
      break;
  }
}

}  // namespace cms::core
