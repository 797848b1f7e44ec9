// server.h - the request socket on 127.0.0.1: the accept thread and one
// worker per connection, each reading whole frames and answering them.
#pragma once

#include <netinet/in.h>

#include <cstdint>

#include "client/cms_client.h"

namespace cms::core {

// Listening socket; set by initCMSSock, read by the accept thread.
extern int CMSfd;

// One accepted connection. The accept thread allocates it; the worker that
// serves the connection frees it when the connection ends.
struct ClientConn {
  int32_t fd;
  sockaddr_in peer;  // address in network byte order
};

// Opens the listening socket on 127.0.0.1:port. 1 when listening; 0 after a
// perror line ("CMSfd", "bind" or "listen").
int initCMSSock(uint16_t port = CMS_DEFAULT_PORT);

// Body of the accept thread: accepts for ever, handing each connection to a
// worker thread (or serving it itself when no thread can be started).
// Returns 0 only when there is no listening socket.
int sock_connect_thread();

// Body of a worker: serves frames on `conn` until the peer closes, a receive
// times out (6 s) or a step fails; then closes the socket and frees `conn`.
// 0 when the connection ended, -1 after a failed setsockopt or plain send.
int sock_response(ClientConn* conn);

// Thread entry for CM_ThreadCreate: blocks the signals that the main loop
// handles, then runs sock_connect_thread.
void* AcceptThreadMain(void* unused);

}  // namespace cms::core
