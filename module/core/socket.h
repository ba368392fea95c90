/*
 * socket.h - the server's listening sockets: one way to open and bind them.
 */
#ifndef NETSERVER_CORE_SOCKET_H
#define NETSERVER_CORE_SOCKET_H

#include <atomic>
#include <cstdint>

/* Opens a socket of `type` (SOCK_STREAM or SOCK_DGRAM) bound to
 * 0.0.0.0:port with SO_REUSEADDR, and stores it in `slot` as soon as it
 * exists, so that the stop closes it whatever step fails. A `sendBuffer`
 * other than 0 is set first (a refusal fails the open). A refused
 * SO_REUSEADDR is reported and ignored; a failed bind is reported with
 * `bindError`. Returns the descriptor or -1. */
int socket_open_bound(int type, uint32_t port, int sendBuffer, std::atomic<int>& slot,
                      const char* bindError);

#endif
