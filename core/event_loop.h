// event_loop.h - start-up and the main loop: the write-back tick, the
// signal handlers and the one-time ready announcement.
#pragma once

#include <event2/event.h>

#include <cstdint>
#include <memory>
#include <vector>

namespace cms::core {

// Sets cms_debug_mode from the first character that
// "grep sys_cms_debug_mode /mnt/jffs2/conf/user/sysini.conf | cut -f2"
// prints; 0 when it prints nothing or no digit.
void read_cms_debug_mode_from_conf();

// Until the loop listens, the signals it acts on are only recorded: their
// default action would end the daemon. Called first thing at start.
void CatchEarlySignals();

// libevent one-shot callback, one second after the loop starts: announces
// readiness unless "/tmp/cms_started" says it already was, then creates the
// marker.
void postInitProcess(evutil_socket_t fd, short events, void* arg);

// The daemon: owns the event base, the write-back timer and the signal
// events. Built once by main().
class Daemon {
 public:
  explicit Daemon(uint16_t port);
  ~Daemon();
  Daemon(const Daemon&) = delete;
  Daemon& operator=(const Daemon&) = delete;

  // The start-up sequence, then the loop. Ends the process with status 0
  // when the listening socket cannot be opened, and on SIGTERM or SIGQUIT
  // (during start-up too) once pending changes are written; returns 0 if the
  // loop ever ends.
  int Run();

 private:
  struct EventFree {
    void operator()(event* e) const { event_free(e); }
  };
  struct BaseFree {
    void operator()(event_base* b) const { event_base_free(b); }
  };

  void StartUp();
  int initLibev();
  int initTimoutEv();
  static void timeout_cb(evutil_socket_t fd, short events, void* arg);
  static void signal_cb(evutil_socket_t signum, short events, void* arg);
  void Tick();
  void OnSignal(int signum);

  uint16_t port_;
  std::unique_ptr<event_base, BaseFree> base_;
  std::unique_ptr<event, EventFree> timer_;
  std::vector<std::unique_ptr<event, EventFree>> signals_;
};

}  // namespace cms::core
