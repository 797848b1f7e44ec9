// event_loop.cc - brings the daemon up in its fixed order and runs the loop.
#include "core/event_loop.h"

#include <signal.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>

#include "core/history_answers.h"
#include "core/server.h"
#include "core/startup.h"
#include "core/write_counter.h"
#include "events/notify_callbacks.h"
#include "platform/event_ids.h"
#include "platform/libcmc.h"
#include "platform/libmc.h"
#include "platform/log.h"
#include "platform/root.h"
#include "platform/shell.h"
#include "store/history.h"
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

// Signals the loop acts on. SIGHUP writes pending changes back and the
// daemon goes on; SIGTERM and SIGQUIT write them back and end it.
constexpr int kLoopSignals[] = {SIGINT,  SIGUSR1, SIGUSR2, SIGALRM,
                                SIGTERM, SIGQUIT, SIGHUP};

// Signals that came before the loop listens, one bit each: their default
// action would end the daemon, and a stop request during start-up must not
// lose its write-back.
volatile sig_atomic_t g_early_signals = 0;

void RecordEarlySignal(int signum) {
  g_early_signals = g_early_signals | (1 << signum);
}

bool CameEarly(int signum) { return (g_early_signals & (1 << signum)) != 0; }

void LogFailure(const char* work, const char* why) {
  char line[160];
  snprintf(line, sizeof line, "cmsd: %s failed: %s", work, why);
  platform::LogLine(LOG_ERR, line);
}

// Runs `work`; false when it threw. Nothing may leave a loop callback:
// libevent cannot pass it on, and the daemon would end with everything not
// yet written back. Only the work at hand fails.
template <typename Work>
bool Guarded(const char* what, Work&& work) {
  try {
    work();
    return true;
  } catch (const std::exception& e) {
    LogFailure(what, e.what());
  } catch (...) {
    LogFailure(what, "unknown exception");
  }
  return false;
}

// Writes every pending change back and ends the process with status 0; the
// lock stays held, so no request starts after the write.
[[noreturn]] void WritePendingAndExit() {
  int status = 0;
  {
    store::ParamListGuard lock;
    if (!Guarded("write-back before exit", [] { store::writeParamToFile(); }))
      status = 1;
    fflush(nullptr);
    // _exit leaves the worker threads alone instead of running destructors
    // under their feet.
    _exit(status);
  }
}

}  // namespace

void CatchEarlySignals() {
  struct sigaction action{};
  action.sa_handler = RecordEarlySignal;
  sigfillset(&action.sa_mask);
  action.sa_flags = SA_RESTART;  // start-up's reads go on undisturbed
  for (int signum : kLoopSignals) sigaction(signum, &action, nullptr);
}

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
  Guarded("ready announcement", [] {
    struct stat st;
    if (stat(platform::HostPath(kStartedMarker).c_str(), &st) == 0) return;
    events::CMSInitFinished();
    platform::RunCommand("touch /tmp/cms_started");
  });
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
  StartStore();
  // Asked to stop while starting: nothing more to start.
  if (CameEarly(SIGTERM) || CameEarly(SIGQUIT)) WritePendingAndExit();
  CMS_DBG(LOG_INFO, kModule, "Initial CMS socket\n");
  if (initCMSSock(port_) == 0) {
    // The store holds the whole tree; static destructors would only free
    // it piecemeal (and leave its records unreachable on the way).
    fflush(nullptr);
    _exit(0);
  }
  CMS_DBG(LOG_INFO, kModule, "Initializaton finished...CMS service start..\n");
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
  for (int signum : kLoopSignals) {
    signals_.emplace_back(event_new(base_.get(), signum, EV_SIGNAL | EV_PERSIST,
                                    signal_cb, this));
    event_add(signals_.back().get(), nullptr);
  }
  // The loop listens now; what came before is acted on as if just received.
  for (int signum : kLoopSignals) {
    if (CameEarly(signum)) signal_cb(signum, EV_SIGNAL, this);
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
  Guarded("signal action",
          [&] { static_cast<Daemon*>(arg)->OnSignal(static_cast<int>(signum)); });
}

void Daemon::Tick() {
  {
    store::ParamListGuard lock;
    const bool done = Guarded("write-back", [] {
      if (TickDue()) {
        CMS_DBG(LOG_INFO, kModule, "Write changed variables to file\n");
        store::writeParamToFile();
      }
      // A file that could not be opened for lack of descriptors (by this
      // write-back or a requested one) is still dirty: counted as a change,
      // it is tried again once the tick finds things settled.
      if (store::TakeDeferredWrite()) CountChange();
    });
    if (!done) CountChange();  // what is still dirty is tried again
  }
  // Re-armed after the work, so a slow write-back never stacks up ticks.
  event_add(timer_.get(), &kTickInterval);
}

void Daemon::OnSignal(int signum) {
  CMS_DBG(LOG_INFO, kModule, "%s: got signal %d\n", "signal_cb", signum);
  // A reboot or an upgrade stops the daemon with SIGTERM (or SIGQUIT, which
  // asks the same): what clients were told is stored must reach the files
  // first.
  if (signum == SIGTERM || signum == SIGQUIT) WritePendingAndExit();
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
    case SIGHUP:
      // Asked to save, not to end: what clients were told is stored reaches
      // the files now, and the daemon goes on.
      initPrivateData();
      store::writeParamToFile();
      if (store::TakeDeferredWrite()) CountChange();
      break;
    default:  // SIGINT: the daemon keeps running.
      break;
  }
}

}  // namespace cms::core
