// server.cc - accepts request connections and serves their frames.
#include "core/server.h"

#include <arpa/inet.h>
#include <errno.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "core/dispatcher.h"
#include "platform/libcmc.h"
#include "platform/stats.h"
#include "store/history.h"
#include "store/param_list.h"

namespace cms::core {

int CMSfd = -1;

namespace {

constexpr int kBacklog = 20;
constexpr time_t kReceiveTimeoutSeconds = 6;
// Only the first 1012 bytes of an enciphered response are sealed.
constexpr int kSealedResponseBytes = 1012;
// After running out of descriptors or memory, accept would fail again at
// once; a short pause keeps the thread from spinning until some close.
constexpr long kAcceptPauseNanos = 50L * 1000 * 1000;

bool IsResourceExhaustion(int err) {
  return err == EMFILE || err == ENFILE || err == ENOBUFS || err == ENOMEM;
}

void PauseAfterAcceptFailure() {
  timespec pause{0, kAcceptPauseNanos};
  while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
  }
}

void EndConnection(ClientConn* conn) {
  close(conn->fd);
  free(conn);
}

// Reads one whole frame; false when the peer closed, the receive failed or
// timed out first.
bool ReceiveFrame(int fd, unsigned char* frame) {
  size_t got = 0;
  while (got < kFrameSize) {
    const ssize_t n = recv(fd, frame + got, kFrameSize - got, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    got += static_cast<size_t>(n);
  }
  return true;
}

bool SendAll(int fd, const void* data, size_t len) {
  const auto* p = static_cast<const unsigned char*>(data);
  while (len > 0) {
    // MSG_NOSIGNAL: a peer that has gone away fails the send instead of
    // ending the daemon.
    const ssize_t n = send(fd, p, len, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    len -= static_cast<size_t>(n);
  }
  return true;
}

void Dispatch(const CMSPacket* request, CMSPacket* response) {
  {
    store::ParamListGuard lock;
    handleCMSreq(request, response);
  }
  platform::stats::CountRequest(request->cmd, response->status);
  RunDeferredWork();
}

void* WorkerMain(void* conn) {
  sock_response(static_cast<ClientConn*>(conn));
  return nullptr;
}

}  // namespace

int initCMSSock(uint16_t port) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = inet_addr("127.0.0.1");
  addr.sin_port = htons(port);
  // Close-on-exec: the shell commands that callbacks run must not inherit
  // the listening socket (a daemon they start would keep the port taken).
  CMSfd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
  if (CMSfd == -1) {
    perror("CMSfd");
    return 0;
  }
  // After a crash or a kill, connections the old daemon closed linger in
  // TIME_WAIT on this port for a minute; without this a restart could not
  // bind until they are gone. A socket still listening on the port keeps
  // it taken all the same.
  const int reuse = 1;
  if (setsockopt(CMSfd, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse) != 0) {
    perror("setsockopt");
  }
  if (bind(CMSfd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == -1) {
    perror("bind");
    return 0;
  }
  if (listen(CMSfd, kBacklog) == -1) {
    perror("listen");
    return 0;
  }
  return 1;
}

int sock_connect_thread() {
  for (;;) {
    const int listen_fd = CMSfd;
    if (listen_fd <= 0) return 0;
    auto* conn = static_cast<ClientConn*>(calloc(1, sizeof(ClientConn)));
    if (conn == nullptr) {
      PauseAfterAcceptFailure();
      continue;
    }
    socklen_t len = sizeof conn->peer;
    conn->fd = accept4(listen_fd, reinterpret_cast<sockaddr*>(&conn->peer),
                       &len, SOCK_CLOEXEC);
    if (conn->fd < 0) {
      const int err = errno;
      perror("accept");
      free(conn);
      if (IsResourceExhaustion(err)) PauseAfterAcceptFailure();
      continue;
    }
    pthread_t thread;
    if (CM_ThreadCreate(WorkerMain, conn, &thread) != 0) {
      // No thread to spare: serve this connection here, one at a time.
      sock_response(conn);
    }
  }
}

void* AcceptThreadMain(void*) {
  // Signals belong to the main loop. Blocked here (and so in every worker,
  // which inherits the mask), they never interrupt a receive.
  sigset_t mask;
  sigemptyset(&mask);
  for (int sig : {SIGINT, SIGUSR1, SIGUSR2, SIGALRM, SIGTERM}) {
    sigaddset(&mask, sig);
  }
  pthread_sigmask(SIG_BLOCK, &mask, nullptr);
  sock_connect_thread();
  return nullptr;
}

int sock_response(ClientConn* conn) {
  const int fd = conn->fd;
  const bool plain = conn->peer.sin_addr.s_addr == inet_addr("127.0.0.1");
  const platform::stats::ConnectionScope counted;
  store::history::SetConnectionPeer(plain ? 0 : conn->peer.sin_addr.s_addr);
  timeval timeout{kReceiveTimeoutSeconds, 0};
  if (setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) != 0) {
    const int err = errno;
    EndConnection(conn);
    errno = err;
    perror("setsockopt");
    return -1;
  }
  alignas(CMSPacket) unsigned char request[kFrameSize] = {};
  for (;;) {
    if (!ReceiveFrame(fd, request)) {
      EndConnection(conn);
      return 0;
    }
    CMSPacket response;
    memset(&response, 0, sizeof response);
    if (plain) {
      Dispatch(reinterpret_cast<const CMSPacket*>(request), &response);
      if (!SendAll(fd, &response, sizeof response)) {
        EndConnection(conn);
        return -1;
      }
      continue;
    }
    int length = 0;
    unsigned char* opened = CM_DecryptCfgData(request, kFrameSize, &length);
    if (opened == nullptr || opened == request) {
      EndConnection(conn);
      return 0;
    }
    // The plaintext is shorter than a frame: it is read as the start of a
    // zeroed frame, never beyond what was deciphered.
    CMSPacket deciphered;
    memset(&deciphered, 0, sizeof deciphered);
    memcpy(&deciphered, opened,
           std::clamp<size_t>(static_cast<size_t>(std::max(length, 0)), 0,
                              kFrameSize));
    CM_Free(opened);
    Dispatch(&deciphered, &response);
    int sealed_length = 0;
    unsigned char* sealed =
        CM_EncryptCfgData(reinterpret_cast<const unsigned char*>(&response),
                          kSealedResponseBytes, &sealed_length);
    if (sealed == nullptr) {
      EndConnection(conn);
      return 0;
    }
    if (!SendAll(fd, sealed, static_cast<size_t>(std::max(sealed_length, 0)))) {
      perror("send");
    }
    CM_Free(sealed);
  }
}

}  // namespace cms::core
