/*
 * listener.cpp - TcpListenThread: accepts command and data connections.
 */
#include "command/listener.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "command/message_thread.h"
#include "core/module_state.h"
#include "core/thread_registry.h"
#include "stream/stream_control.h"
#include "core/session.h"
#include "netserver/netserver.h"
#include "netserver/wire.h"

namespace {

constexpr int LISTEN_BACKLOG = 5;
constexpr int DATA_SEND_BUFFER = 0x20000;

/* Creates, binds and listens one TCP socket on 0.0.0.0:port and stores it in
 * `slot` as soon as it exists, so that the stop can close it whatever step
 * fails. Returns the descriptor or -1. */
int listener_open(std::atomic<int>& slot, uint32_t port, bool dataPort) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    slot = fd;
    if (dataPort) {
        int size = DATA_SEND_BUFFER;
        if (setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size) != 0) return -1;
    }
    int on = 1;
    if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0)
        perror("setsockopt():SO_REUSEADDR");
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        perror("Bind fail");
        return -1;
    }
    if (listen(fd, LISTEN_BACKLOG) != 0) return -1;
    return fd;
}

/* Gives an accepted command connection its session and message thread. A
 * connection that cannot be served is closed at once rather than left
 * hanging. Returns false when no record could be allocated. */
bool listener_serve_command(int fd, const sockaddr_in& peer, uint32_t channels) {
    CommandSession* session = session_create(fd, peer, channels);
    if (session == nullptr) {
        close(fd);
        return false;
    }
    if (g_messageThreads.start(MessageThread, session, MESSAGE_THREAD_STACK, -1,
                               &session->msgThread) != 0) {
        perror("TcpListenThread():pthread_create()");
        session_destroy_unlinked(session);
        close(fd);
    }
    return true;
}

int listener_accept(int listenFd, sockaddr_in& peer) {
    socklen_t len = sizeof peer;
    return accept4(listenFd, reinterpret_cast<sockaddr*>(&peer), &len, SOCK_CLOEXEC);
}

}  // namespace

void* TcpListenThread(void*) {
    const uint32_t channels = NUGetSysConfig(1);
    int cmdFd = listener_open(g_module.cmdListenSock, g_module.basePort, false);
    if (cmdFd < 0) return nullptr;
    int dataFd = listener_open(g_module.dataListenSock, g_module.basePort + wire::DATA_PORT_OFFSET, true);
    if (dataFd < 0) return nullptr;

    while (g_module.listenerRunning.load()) {
        pollfd fds[3] = {{cmdFd, POLLIN, 0}, {dataFd, POLLIN, 0}, {g_module.wakePipe[0], POLLIN, 0}};
        int n = poll(fds, 3, -1);
        if (n < 0) {
            if (errno == EINTR) continue;
            perror("TcpListenThread():poll()");
            break;
        }
        g_messageThreads.reap();
        g_dataThreads.reap();
        if (fds[0].revents & POLLIN) {
            sockaddr_in peer{};
            int fd = listener_accept(cmdFd, peer);
            if (fd >= 0 && !listener_serve_command(fd, peer, channels)) continue;
        }
        if (fds[1].revents & POLLIN) {
            sockaddr_in peer{};
            int fd = listener_accept(dataFd, peer);
            if (fd >= 0) stream_serve_data_connection(fd, peer);
        }
    }
    return nullptr;
}
