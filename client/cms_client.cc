// cms_client.cc - the client API: one connection and one frame per request.
#include "client/cms_client.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

extern "C" {
int cms_debug_mode = 0;
}

namespace {

constexpr uint16_t kDefaultPort = CMS_DEFAULT_PORT;
constexpr int kMaxReads = 128;
constexpr size_t kMaxNameLength = CMS_NAME_SIZE - 1;
constexpr size_t kMaxValueLength = CMS_VALUE_SIZE - 1;
constexpr char kLocalSocketPath[] = "/tmp/af_unix.socket";
constexpr char kModule[] = "CMSFrontEnd";
constexpr int kDefaultTimeoutMs = 5000;

// Per thread, so that threads do not overwrite each other's result.
thread_local char tempGetBuffer[CMS_VALUE_SIZE];
thread_local CMSError last_error = CMS_OK;
std::atomic<int> timeout_ms{kDefaultTimeoutMs};

using Clock = std::chrono::steady_clock;

void DebugLine(int priority, int line, const char* text) {
  if (cms_debug_mode == 0) return;
  syslog(priority, "[CMS_DBG](%d/%s): %s", line, kModule, text);
}

// Records the outcome of a call and returns `result`.
template <typename T>
T Finish(CMSError error, T result) {
  last_error = error;
  return result;
}

// CMS_PORT when set, else the default port; 0 when CMS_PORT is not a port,
// so that a mistyped variable never reaches some other service.
uint16_t DaemonPort() {
  const char* text = getenv("CMS_PORT");
  if (text == nullptr || text[0] == '\0') return kDefaultPort;
  char* end = nullptr;
  errno = 0;
  const long port = strtol(text, &end, 10);
  if (errno != 0 || *end != '\0' || port < 1 || port > 65535) return 0;
  return static_cast<uint16_t>(port);
}

// The end of the exchange that starts now; nullopt for no time-out.
std::optional<Clock::time_point> Deadline() {
  const int ms = timeout_ms.load(std::memory_order_relaxed);
  if (ms <= 0) return std::nullopt;
  return Clock::now() + std::chrono::milliseconds(ms);
}

// Waits until fd is ready for `events` or the deadline passes. False on the
// deadline or a poll failure.
bool WaitReady(int fd, short events,
               const std::optional<Clock::time_point>& deadline) {
  for (;;) {
    int wait_ms = -1;
    if (deadline) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          *deadline - Clock::now());
      if (left.count() <= 0) return false;
      wait_ms = static_cast<int>(left.count()) + 1;
    }
    pollfd p{fd, events, 0};
    const int n = poll(&p, 1, wait_ms);
    if (n > 0) return true;
    if (n < 0 && errno != EINTR) return false;
  }
}

// Refused rather than cut: a cut name would name another parameter, and a
// cut value would be stored as if it were the one asked for.
bool Fits(const char* text, size_t max_len) {
  return text == nullptr || strnlen(text, max_len + 1) <= max_len;
}

void CopyText(char* dst, const char* src, size_t max_len) {
  if (src != nullptr) memcpy(dst, src, strnlen(src, max_len));
}

// False (CMS_ERR_TOO_LONG) when a text does not fit its field.
bool BuildRequest(CMSPacket* request, int cmd, const char* name,
                  const char* value, const char* location) {
  memset(request, 0, sizeof *request);
  if (!Fits(name, kMaxNameLength) || !Fits(location, kMaxNameLength) ||
      !Fits(value, kMaxValueLength)) {
    return Finish(CMS_ERR_TOO_LONG, false);
  }
  request->pid = getpid();
  request->cmd = cmd;
  CopyText(request->name, name, kMaxNameLength);
  CopyText(request->value, value, kMaxValueLength);
  CopyText(request->location, location, kMaxNameLength);
  return true;
}

// Up to 128 reads until the whole frame is in, within the deadline. Returns
// the bytes received; missing bytes stay zero.
int ReceiveResponse(int fd, CMSPacket* response,
                    const std::optional<Clock::time_point>& deadline) {
  memset(response, 0, sizeof *response);
  auto* p = reinterpret_cast<unsigned char*>(response);
  size_t got = 0;
  for (int i = 0; i < kMaxReads && got < sizeof *response; ++i) {
    if (!WaitReady(fd, POLLIN, deadline)) {
      last_error = CMS_ERR_TIMEOUT;
      break;
    }
    const ssize_t n = read(fd, p + got, sizeof *response - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      last_error = CMS_ERR_PROTOCOL;
      break;
    }
    got += static_cast<size_t>(n);
  }
  return static_cast<int>(got);
}

bool Valid(const CMSPacket& response) {
  return response.status == CMS_STATUS_OK || response.status == CMS_STATUS_FAIL;
}

// The request carries the caller's process id already; comparing with it
// saves a second getpid() system call per request.
bool Matching(const CMSPacket& response, const CMSPacket& request) {
  return Valid(response) && response.pid == request.pid;
}

// Ends a connection. Once the whole response is in, nothing of the exchange
// is left in flight, so the connection is reset rather than closed in order:
// an orderly close would keep this side's port in TIME_WAIT for a minute,
// and clients that open a connection per request would soon hold every
// ephemeral port of the loopback in that state, making each connect search
// for a free one. A partial answer gets the orderly close, which still
// delivers whatever the daemon has not read yet.
void CloseConnection(int fd, bool answered) {
  if (answered) {
    const linger reset{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
  }
  close(fd);
}

// Connects within the deadline. The socket is non-blocking only while the
// connect is under way.
int Connect(int* fd, const std::optional<Clock::time_point>& deadline) {
  const uint16_t port = DaemonPort();
  *fd = -1;
  if (port == 0) {
    DebugLine(LOG_ERR, __LINE__, "client socket create failed\n");
    return Finish(CMS_ERR_UNREACHABLE, 0);
  }
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(port);
  *fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (*fd == -1) return Finish(CMS_ERR_UNREACHABLE, 0);
  bool connected =
      connect(*fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  if (!connected && errno == EINPROGRESS) {
    int error = 0;
    socklen_t len = sizeof error;
    if (!WaitReady(*fd, POLLOUT, deadline)) {
      DebugLine(LOG_ERR, __LINE__, "client socket create failed\n");
      return Finish(CMS_ERR_TIMEOUT, 0);
    }
    connected =
        getsockopt(*fd, SOL_SOCKET, SO_ERROR, &error, &len) == 0 && error == 0;
  }
  if (!connected) {
    DebugLine(LOG_ERR, __LINE__, "client socket create failed\n");
    return Finish(CMS_ERR_UNREACHABLE, 0);
  }
  fcntl(*fd, F_SETFL, fcntl(*fd, F_GETFL) & ~O_NONBLOCK);
  return 1;
}

// Sends the whole frame within the deadline.
bool SendFrame(int fd, const CMSPacket& frame,
               const std::optional<Clock::time_point>& deadline) {
  const auto* p = reinterpret_cast<const unsigned char*>(&frame);
  size_t sent = 0;
  while (sent < sizeof frame) {
    if (!WaitReady(fd, POLLOUT, deadline))
      return Finish(CMS_ERR_TIMEOUT, false);
    // MSG_NOSIGNAL: a connection the daemon has closed fails the send
    // instead of killing the calling process with SIGPIPE.
    const ssize_t n =
        send(fd, p + sent, sizeof frame - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) return Finish(CMS_ERR_PROTOCOL, false);
    sent += static_cast<size_t>(n);
  }
  return true;
}

// Connects, sends and receives. False when the connection or the send
// failed; *received tells how much of the answer came.
bool Exchange(const CMSPacket& request, CMSPacket* response, int* received) {
  const auto deadline = Deadline();
  int fd = -1;
  *received = 0;
  memset(response, 0, sizeof *response);
  if (Connect(&fd, deadline) == 0) {
    if (fd != -1) close(fd);
    return false;
  }
  if (!SendFrame(fd, request, deadline)) {
    close(fd);
    return false;
  }
  last_error = CMS_OK;
  *received = ReceiveResponse(fd, response, deadline);
  CloseConnection(fd, *received == static_cast<int>(sizeof *response));
  return true;
}

// Result of the set, add and delete calls.
int ChangeResult(const CMSPacket& request) {
  CMSPacket response;
  int received = 0;
  if (!Exchange(request, &response, &received)) return 0;
  if (!Valid(response)) {
    return Finish(last_error != CMS_OK ? last_error : CMS_ERR_PROTOCOL, 0);
  }
  // An answer for another process counts as success, as it always has.
  if (!Matching(response, request)) return Finish(CMS_OK, 1);
  return response.status == CMS_STATUS_OK ? Finish(CMS_OK, 1)
                                          : Finish(CMS_ERR_REFUSED, 0);
}

}  // namespace

extern "C" {

CMSError CMSLastError(void) { return last_error; }

const char* CMSErrorText(CMSError error) {
  switch (error) {
    case CMS_OK:
      return "success";
    case CMS_ERR_REFUSED:
      return "refused by cmsd";
    case CMS_ERR_UNREACHABLE:
      return "cmsd cannot be reached";
    case CMS_ERR_TIMEOUT:
      return "timed out";
    case CMS_ERR_PROTOCOL:
      return "no valid answer from cmsd";
    case CMS_ERR_TOO_LONG:
      return "text too long";
    case CMS_ERR_ARGUMENT:
      return "invalid argument";
  }
  return "unknown error";
}

void CMSSetTimeout(int milliseconds) {
  timeout_ms.store(milliseconds, std::memory_order_relaxed);
}

int CMSGetTimeout(void) { return timeout_ms.load(std::memory_order_relaxed); }

int CMSExchange(const CMSPacket* request, CMSPacket* response) {
  if (request == nullptr || response == nullptr) {
    return Finish(CMS_ERR_ARGUMENT, 0);
  }
  int received = 0;
  if (!Exchange(*request, response, &received)) return 0;
  if (received != CMS_FRAME_SIZE) {
    return Finish(last_error != CMS_OK ? last_error : CMS_ERR_PROTOCOL, 0);
  }
  return Finish(CMS_OK, 1);
}

int CMSGetValueR(const char* name, char* buf, size_t size, int cmd) {
  if (name == nullptr || buf == nullptr || size == 0) {
    return Finish(CMS_ERR_ARGUMENT, 0);
  }
  buf[0] = '\0';
  CMSPacket request;
  if (!BuildRequest(&request, cmd, name, nullptr, nullptr)) return 0;
  CMSPacket response;
  if (CMSExchange(&request, &response) == 0) return 0;
  if (!Matching(response, request)) return Finish(CMS_ERR_PROTOCOL, 0);
  if (response.status != CMS_STATUS_OK) return Finish(CMS_ERR_REFUSED, 0);
  const size_t len = strnlen(response.value, kMaxValueLength);
  if (len >= size) return Finish(CMS_ERR_TOO_LONG, 0);
  memcpy(buf, response.value, len);
  buf[len] = '\0';
  return 1;
}

int initClientSock(int* fd) {
  const int connected = Connect(fd, Deadline());
  if (connected != 0) last_error = CMS_OK;
  return connected;
}

int initClientSock_AF_UNIX(int* fd) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  strncpy(addr.sun_path, kLocalSocketPath, sizeof addr.sun_path - 1);
  *fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  // No message of its own: the caller learns the reason from CMSLastError.
  if (*fd == -1) return Finish(CMS_ERR_UNREACHABLE, 0);
  if (connect(*fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    return Finish(CMS_ERR_UNREACHABLE, 0);
  }
  return Finish(CMS_OK, 1);
}

void sendPkt(int fd, const CMSPacket* frame) {
  if (fd == -1 || frame == nullptr) {
    DebugLine(LOG_ERR, __LINE__, "send packet failed\n");
    last_error = CMS_ERR_ARGUMENT;
    return;
  }
  last_error = SendFrame(fd, *frame, Deadline()) ? CMS_OK : last_error;
}

char* CMSGetValue(const char* name, int cmd) {
  memset(tempGetBuffer, 0, sizeof tempGetBuffer);
  CMSPacket request;
  if (!BuildRequest(&request, cmd, name, nullptr, nullptr)) return nullptr;
  CMSPacket response;
  int received = 0;
  if (!Exchange(request, &response, &received)) return nullptr;
  if (!Valid(response)) {
    return Finish(last_error != CMS_OK ? last_error : CMS_ERR_PROTOCOL,
                  static_cast<char*>(nullptr));
  }
  if (!Matching(response, request)) return Finish(CMS_OK, tempGetBuffer);
  if (response.status != CMS_STATUS_OK) {
    return Finish(CMS_ERR_REFUSED, static_cast<char*>(nullptr));
  }
  CopyText(tempGetBuffer, response.value, kMaxValueLength);
  return Finish(CMS_OK, tempGetBuffer);
}

int CMSGetValue_EX(const char* name, char* buf, int size, int cmd) {
  if (buf == nullptr || size <= 0) return Finish(CMS_ERR_ARGUMENT, 0);
  memset(buf, 0, static_cast<size_t>(size));
  CMSPacket request;
  if (!BuildRequest(&request, cmd, name, nullptr, nullptr)) return 0;
  CMSPacket response;
  int received = 0;
  if (!Exchange(request, &response, &received)) return 0;
  if (!Matching(response, request)) {
    last_error = last_error != CMS_OK ? last_error : CMS_ERR_PROTOCOL;
  } else if (response.status != CMS_STATUS_OK) {
    last_error = CMS_ERR_REFUSED;
  } else {
    // This form has always cut the value to the caller's buffer.
    const size_t limit = static_cast<size_t>(size) - 1;
    CopyText(buf, response.value,
             limit < kMaxValueLength ? limit : kMaxValueLength);
    last_error = CMS_OK;
  }
  return received;
}

int CMSSetValue(const char* name, const char* value, int cmd) {
  CMSPacket request;
  if (!BuildRequest(&request, cmd, name, value, nullptr)) return 0;
  return ChangeResult(request);
}

int CMSAddParam(const char* name, const char* location, const char* value,
                int cmd) {
  CMSPacket request;
  if (!BuildRequest(&request, cmd, name, value, location)) return 0;
  return ChangeResult(request);
}

int CMSDelParam(const char* name, int cmd) {
  CMSPacket request;
  if (!BuildRequest(&request, cmd, name, nullptr, nullptr)) return 0;
  return ChangeResult(request);
}

int CMSWriteParam(int cmd) {
  CMSPacket request;
  BuildRequest(&request, cmd, nullptr, nullptr, nullptr);
  const auto deadline = Deadline();
  int fd = -1;
  if (Connect(&fd, deadline) == 0) {
    if (fd != -1) close(fd);
    return 0;
  }
  // The answer carries no status; reading it only waits for the write.
  CMSPacket response;
  int received = 0;
  if (SendFrame(fd, request, deadline)) {
    last_error = CMS_OK;
    received = ReceiveResponse(fd, &response, deadline);
  }
  CloseConnection(fd, received == CMS_FRAME_SIZE);
  return 1;
}

int CMSHistoryPage(uint64_t from, CMSPacket* page) {
  if (page == nullptr) return Finish(CMS_ERR_ARGUMENT, 0);
  CMSPacket request;
  BuildRequest(&request, CMS_CMD_HISTORY, nullptr, std::to_string(from).c_str(),
               nullptr);
  int received = 0;
  if (!Exchange(request, page, &received)) return 0;
  if (!Matching(*page, request) || page->status != CMS_STATUS_OK) {
    return Finish(last_error != CMS_OK ? last_error : CMS_ERR_PROTOCOL, 0);
  }
  return Finish(CMS_OK, 1);
}

int CMSStats(char* buf, size_t size) {
  if (buf == nullptr || size == 0) return Finish(CMS_ERR_ARGUMENT, 0);
  buf[0] = '\0';
  size_t used = 0;
  // The lines come a frame at a time; ask on from the first line not yet
  // received until every line is in or buf is full.
  for (unsigned long line = 0;;) {
    CMSPacket request;
    BuildRequest(&request, CMS_CMD_STATS, nullptr,
                 std::to_string(line).c_str(), nullptr);
    CMSPacket response;
    int received = 0;
    if (!Exchange(request, &response, &received)) return 0;
    if (!Matching(response, request) || response.status != CMS_STATUS_OK) {
      return Finish(last_error != CMS_OK ? last_error : CMS_ERR_PROTOCOL, 0);
    }
    const unsigned long total = strtoul(response.name, nullptr, 10);
    const size_t len = strnlen(response.value, sizeof response.value);
    unsigned long got = 0;
    for (size_t i = 0; i < len; ++i) got += response.value[i] == '\n';
    if (used + len >= size || got == 0) {
      return Finish(CMS_ERR_TOO_LONG, used > 0 ? 1 : 0);
    }
    memcpy(buf + used, response.value, len);
    used += len;
    buf[used] = '\0';
    line += got;
    if (line >= total) return Finish(CMS_OK, 1);
  }
}

}  // extern "C"
