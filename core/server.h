// server.h - the request socket on 127.0.0.1: one thread serves every
// connection from an epoll loop, reading whole frames and answering them.
#pragma once

#include <netinet/in.h>

#include <cstdint>

#include "client/cms_client.h"

namespace cms::core {

// Listening socket; set by initCMSSock, read by the request thread.
extern int CMSfd;

// One accepted connection, as handed to sock_response.
struct ClientConn {
  int32_t fd;
  sockaddr_in peer;  // address in network byte order
};

// Opens the listening socket on 127.0.0.1:port. 1 when listening; 0 after a
// failure line ("CMSfd", "bind" or "listen").
int initCMSSock(uint16_t port);

// Body of the request thread: accepts connections and serves them all, one
// frame at a time, until the process ends. Frames from 127.0.0.1 are plain,
// those from other peers sealed. A connection is closed when its peer does,
// when a whole frame (or the sending of an answer) takes over 6 s, or when
// it is the one that has waited longest for a frame and the connection cap
// is reached. Returns 0 only when there is no listening socket or no epoll.
int sock_connect_thread();

// Serves the frames of `conn` on the calling thread, with the same rules,
// until the connection ends; then closes the socket and frees `conn` (which
// must come from malloc). Returns 0.
int sock_response(ClientConn* conn);

// Thread entry for CM_ThreadCreate: blocks the signals that the main loop
// handles, then runs sock_connect_thread. The daemon's threads are this
// one and the main loop's (plus those of commands it runs); connections
// beyond the cap close the longest-waiting one, never add a thread.
void* AcceptThreadMain(void* unused);

}  // namespace cms::core
