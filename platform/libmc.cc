// libmc.cc - message-center stand-in over a UNIX datagram socket.
#include "platform/libmc.h"

#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "platform/root.h"
#include "platform/stats.h"

namespace {

// Like the device library, the channel belongs to the calling thread.
thread_local int t_fd = -1;

int Send(const char* text) {
  if (t_fd < 0) return -1;
  return cms::platform::stats::CountDatagram(
      send(t_fd, text, strlen(text), MSG_NOSIGNAL) < 0 ? -1 : 0);
}

}  // namespace

extern "C" {

int mc_ipc_flag(void) {
  if (t_fd >= 0) return 1;
  const std::string path = cms::platform::HostPath("/var/run/msgcenter.sock");
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path.size() >= sizeof addr.sun_path) return 0;
  memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return 0;
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    close(fd);
    return 0;
  }
  // A message center that stops reading must not hold the daemon (and its
  // parameter lock) for ever: after a second the event is given up.
  const timeval send_timeout{1, 0};
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &send_timeout, sizeof send_timeout);
  t_fd = fd;
  return 1;
}

int mc_trigger(int event) {
  char text[64];
  snprintf(text, sizeof text, "mc_trigger %d", event);
  return Send(text);
}

int mc_trigger_arg(int event, int arg) {
  char text[64];
  snprintf(text, sizeof text, "mc_trigger_arg %d %d", event, arg);
  return Send(text);
}

int mc_trigger_delay(int event, int delay) {
  char text[64];
  snprintf(text, sizeof text, "mc_trigger_delay %d %d", event, delay);
  return Send(text);
}

int mc_trigger_delay_arg(int event, int delay, int arg) {
  char text[80];
  snprintf(text, sizeof text, "mc_trigger_delay_arg %d %d %d", event, delay,
           arg);
  return Send(text);
}

int mc_ipc_close(void) {
  if (t_fd < 0) return 0;
  const int rc = close(t_fd);
  t_fd = -1;
  return rc;
}

}  // extern "C"
