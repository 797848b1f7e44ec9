// cms_client.cc - the client API: one connection and one frame per request.
#include "client/cms_client.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
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

char tempGetBuffer[CMS_VALUE_SIZE];

void DebugLine(int priority, int line, const char* text) {
  if (cms_debug_mode == 0) return;
  syslog(priority, "[CMS_DBG](%d/%s): %s", line, kModule, text);
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

// Copies at most max_len characters of src into the zeroed dst, so that dst
// stays terminated.
void CopyText(char* dst, const char* src, size_t max_len) {
  if (src != nullptr) memcpy(dst, src, strnlen(src, max_len));
}

void BuildRequest(CMSPacket* request, int cmd, const char* name,
                  const char* value, const char* location) {
  memset(request, 0, sizeof *request);
  request->pid = getpid();
  request->cmd = cmd;
  CopyText(request->name, name, kMaxNameLength);
  CopyText(request->value, value, kMaxValueLength);
  CopyText(request->location, location, kMaxNameLength);
}

// Up to 128 reads until the whole frame is in. Returns the bytes received;
// missing bytes stay zero. *first_failed tells whether the very first read
// brought nothing.
int ReceiveResponse(int fd, CMSPacket* response, bool* first_failed) {
  memset(response, 0, sizeof *response);
  auto* p = reinterpret_cast<unsigned char*>(response);
  size_t got = 0;
  *first_failed = false;
  for (int i = 0; i < kMaxReads && got < sizeof *response; ++i) {
    const ssize_t n = read(fd, p + got, sizeof *response - got);
    if (n <= 0) {
      if (i == 0) *first_failed = true;
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

// Connects, sends and receives. False when the connection failed.
bool Exchange(const CMSPacket& request, CMSPacket* response, int* received,
              bool* first_failed) {
  int fd = -1;
  if (initClientSock(&fd) == 0) {
    if (fd != -1) close(fd);
    return false;
  }
  sendPkt(fd, &request);
  *received = ReceiveResponse(fd, response, first_failed);
  CloseConnection(fd, *received == static_cast<int>(sizeof *response));
  return true;
}

// Result of the set, add and delete calls.
int ChangeResult(const CMSPacket& request) {
  CMSPacket response;
  int received = 0;
  bool first_failed = false;
  if (!Exchange(request, &response, &received, &first_failed)) return 0;
  if (!Valid(response)) return 0;
  if (!Matching(response, request)) return 1;
  return response.status == CMS_STATUS_OK ? 1 : 0;
}

}  // namespace

extern "C" {

int initClientSock(int* fd) {
  const uint16_t port = DaemonPort();
  *fd = -1;
  if (port == 0) {
    DebugLine(LOG_ERR, __LINE__, "client socket create failed\n");
    return 0;
  }
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = inet_addr("127.0.0.1");
  addr.sin_port = htons(port);
  *fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (*fd == -1) return 0;
  if (connect(*fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    DebugLine(LOG_ERR, __LINE__, "client socket create failed\n");
    return 0;
  }
  return 1;
}

int initClientSock_AF_UNIX(int* fd) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  strncpy(addr.sun_path, kLocalSocketPath, sizeof addr.sun_path - 1);
  *fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  if (*fd == -1) {
    perror("socket");
    return 0;
  }
  if (connect(*fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    fputs("The server is down.55555555\n", stderr);
    return 0;
  }
  return 1;
}

void sendPkt(int fd, const CMSPacket* frame) {
  if (fd == -1 || frame == nullptr) {
    DebugLine(LOG_ERR, __LINE__, "send packet failed\n");
    return;
  }
  // MSG_NOSIGNAL: a connection the daemon has closed fails the send instead
  // of killing the calling process with SIGPIPE.
  const ssize_t sent = send(fd, frame, sizeof *frame, MSG_NOSIGNAL);
  (void)sent;
}

char* CMSGetValue(const char* name, int cmd) {
  CMSPacket request;
  BuildRequest(&request, cmd, name, nullptr, nullptr);
  memset(tempGetBuffer, 0, sizeof tempGetBuffer);
  CMSPacket response;
  int received = 0;
  bool first_failed = false;
  if (!Exchange(request, &response, &received, &first_failed)) return nullptr;
  if (first_failed) printf("get value error,len:%d\n", 0);
  if (!Valid(response)) return nullptr;
  if (!Matching(response, request)) return tempGetBuffer;
  if (response.status != CMS_STATUS_OK) return nullptr;
  CopyText(tempGetBuffer, response.value, kMaxValueLength);
  return tempGetBuffer;
}

int CMSGetValue_EX(const char* name, char* buf, int size, int cmd) {
  if (buf == nullptr || size <= 0) return 0;
  memset(buf, 0, static_cast<size_t>(size));
  CMSPacket request;
  BuildRequest(&request, cmd, name, nullptr, nullptr);
  CMSPacket response;
  int received = 0;
  bool first_failed = false;
  if (!Exchange(request, &response, &received, &first_failed)) return 0;
  if (first_failed) printf("get value error,len:%d\n", 0);
  if (Matching(response, request) && response.status == CMS_STATUS_OK) {
    const size_t limit = static_cast<size_t>(size) - 1;
    CopyText(buf, response.value,
             limit < kMaxValueLength ? limit : kMaxValueLength);
  }
  return received;
}

int CMSSetValue(const char* name, const char* value, int cmd) {
  CMSPacket request;
  BuildRequest(&request, cmd, name, value, nullptr);
  return ChangeResult(request);
}

int CMSAddParam(const char* name, const char* location, const char* value,
                int cmd) {
  CMSPacket request;
  BuildRequest(&request, cmd, name, value, location);
  return ChangeResult(request);
}

int CMSDelParam(const char* name, int cmd) {
  CMSPacket request;
  BuildRequest(&request, cmd, name, nullptr, nullptr);
  return ChangeResult(request);
}

int CMSWriteParam(int cmd) {
  CMSPacket request;
  BuildRequest(&request, cmd, nullptr, nullptr, nullptr);
  int fd = -1;
  if (initClientSock(&fd) == 0) {
    if (fd != -1) close(fd);
    return 0;
  }
  sendPkt(fd, &request);
  // The answer carries no status; reading it only waits for the write.
  CMSPacket response;
  const ssize_t n = read(fd, &response, sizeof response);
  CloseConnection(fd, n == static_cast<ssize_t>(sizeof response));
  return 1;
}

int CMSHistoryPage(uint64_t from, CMSPacket* page) {
  if (page == nullptr) return 0;
  CMSPacket request;
  BuildRequest(&request, CMS_CMD_HISTORY, nullptr, std::to_string(from).c_str(),
               nullptr);
  int received = 0;
  bool first_failed = false;
  if (!Exchange(request, page, &received, &first_failed)) return 0;
  return Matching(*page, request) && page->status == CMS_STATUS_OK ? 1 : 0;
}

int CMSStats(char* buf, size_t size) {
  if (buf == nullptr || size == 0) return 0;
  buf[0] = '\0';
  size_t used = 0;
  // The lines come a frame at a time; ask on from the first line not yet
  // received until every line is in or buf is full.
  for (unsigned long line = 0;;) {
    CMSPacket request;
    BuildRequest(&request, CMS_CMD_STATS, nullptr, std::to_string(line).c_str(),
                 nullptr);
    CMSPacket response;
    int received = 0;
    bool first_failed = false;
    if (!Exchange(request, &response, &received, &first_failed) ||
        !Matching(response, request) || response.status != CMS_STATUS_OK) {
      return 0;
    }
    const unsigned long total = strtoul(response.name, nullptr, 10);
    const size_t len = strnlen(response.value, sizeof response.value);
    unsigned long got = 0;
    for (size_t i = 0; i < len; ++i) got += response.value[i] == '\n';
    if (used + len >= size || got == 0) return used > 0 ? 1 : 0;
    memcpy(buf + used, response.value, len);
    used += len;
    buf[used] = '\0';
    line += got;
    if (line >= total) return 1;
  }
}

}  // extern "C"
