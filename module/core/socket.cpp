/*
 * socket.cpp - the server's listening sockets; see socket.h.
 */
#include "core/socket.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdio>

int socket_open_bound(int type, uint32_t port, int sendBuffer, std::atomic<int>& slot,
                      const char* bindError) {
    int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    slot = fd;
    if (sendBuffer != 0 && setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof sendBuffer) != 0)
        return -1;
    int on = 1;
    if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0)
        perror("setsockopt():SO_REUSEADDR");
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        perror(bindError);
        return -1;
    }
    return fd;
}
