/*
 * listener.cpp - TcpListenThread: accepts command and data connections.
 */
#include "command/listener.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>

#include "command/message_thread.h"
#include "core/module_state.h"
#include "core/socket.h"
#include "core/thread_registry.h"
#include "core/session.h"
#include "stream/stream_control.h"
#include "netserver/netserver.h"
#include "netserver/wire.h"

namespace {

constexpr int LISTEN_BACKLOG = 5;
constexpr auto LISTENER_PAUSE = std::chrono::milliseconds(100);
constexpr int DATA_SEND_BUFFER = 0x20000;

/* Creates, binds and listens one TCP socket on 0.0.0.0:port, stored in
 * `slot` as soon as it exists. Returns the descriptor or -1. */
int listener_open(std::atomic<int>& slot, uint32_t port, bool dataPort) {
    int fd = socket_open_bound(SOCK_STREAM, port, dataPort ? DATA_SEND_BUFFER : 0, slot, "Bind fail");
    if (fd < 0 || listen(fd, LISTEN_BACKLOG) != 0) return -1;
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

/* An episode of refused connections (descriptors exhausted, or the session
 * cap reached) is reported once, when it begins; the next connection that
 * is served ends it. */
struct Episode {
    bool active = false;
    void begin(const char* what) {
        if (active) return;
        active = true;
        perror(what);
    }
    void end() { active = false; }
};

/* A descriptor kept in reserve: when accept finds the process out of
 * descriptors, it is given up so that the pending connection can be taken
 * and closed at once, rather than left waiting and waking the listener
 * again and again. */
struct ReserveFd {
    int fd = -1;
    void take() {
        if (fd < 0) fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    }
    void release() {
        if (fd >= 0) close(fd);
        fd = -1;
    }
};

struct ListenerState {
    uint32_t channels = 0;
    Episode noDescriptors;
    Episode sessionCap;
    ReserveFd reserve;
    // While descriptors are exhausted the listen sockets are left alone for
    // a short pause instead of being polled at full speed.
    ThreadRegistry::Clock::time_point pausedUntil{};
};

bool listener_out_of_descriptors(int err) {
    return err == EMFILE || err == ENFILE || err == ENOBUFS || err == ENOMEM;
}

/* Accepts one connection from `listenFd`. -1 when there is none to serve;
 * when the process is out of descriptors the pending connection is dropped
 * through the reserve descriptor and the listener pauses. */
int listener_accept(ListenerState& st, int listenFd, sockaddr_in& peer) {
    socklen_t len = sizeof peer;
    int fd = accept4(listenFd, reinterpret_cast<sockaddr*>(&peer), &len, SOCK_CLOEXEC);
    if (fd >= 0) {
        st.noDescriptors.end();
        return fd;
    }
    if (!listener_out_of_descriptors(errno)) return -1;
    st.noDescriptors.begin("TcpListenThread():accept()");
    st.reserve.release();
    len = sizeof peer;
    int dropped = accept4(listenFd, reinterpret_cast<sockaddr*>(&peer), &len, SOCK_CLOEXEC);
    if (dropped >= 0) close(dropped);
    st.reserve.take();
    st.pausedUntil = ThreadRegistry::Clock::now() + LISTENER_PAUSE;
    return -1;
}

/* Whether one more command session fits under the host's cap. */
bool listener_session_fits(ListenerState& st) {
    const uint32_t max = g_module.maxSessions.load();
    if (max == 0 || session_records() < max) {
        st.sessionCap.end();
        return true;
    }
    errno = EUSERS;
    st.sessionCap.begin("TcpListenThread(): session limit reached");
    return false;
}

/* Milliseconds to wait in poll: until the next data-connection deadline or
 * the end of a pause, -1 when neither is pending. */
int listener_poll_timeout(ThreadRegistry::Clock::time_point next) {
    const auto now = ThreadRegistry::Clock::now();
    if (next == ThreadRegistry::Clock::time_point::max()) return -1;
    if (next <= now) return 0;
    return static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(next - now).count());
}

}  // namespace

void* TcpListenThread(void*) {
    ListenerState st;
    st.channels = NUGetSysConfig(1);
    int cmdFd = listener_open(g_module.cmdListenSock, g_module.basePort, false);
    if (cmdFd < 0) return nullptr;
    int dataFd = listener_open(g_module.dataListenSock, g_module.basePort + wire::DATA_PORT_OFFSET, true);
    if (dataFd < 0) return nullptr;
    st.reserve.take();

    while (g_module.listenerRunning.load()) {
        const auto now = ThreadRegistry::Clock::now();
        auto next = g_dataThreads.expire(now);
        const bool paused = now < st.pausedUntil;
        if (paused && st.pausedUntil < next) next = st.pausedUntil;
        // During a pause only the wake pipe is watched (negative descriptors
        // are skipped by poll).
        pollfd fds[3] = {{paused ? -1 : cmdFd, POLLIN, 0},
                         {paused ? -1 : dataFd, POLLIN, 0},
                         {g_module.wakePipe[0], POLLIN, 0}};
        int n = poll(fds, 3, listener_poll_timeout(next));
        if (n < 0) {
            if (errno == EINTR) continue;
            perror("TcpListenThread():poll()");
            break;
        }
        g_messageThreads.reap();
        g_dataThreads.reap();
        if (fds[0].revents & POLLIN) {
            sockaddr_in peer{};
            int fd = listener_accept(st, cmdFd, peer);
            if (fd >= 0 && !listener_session_fits(st)) {
                close(fd);
            } else if (fd >= 0 && !listener_serve_command(fd, peer, st.channels)) {
                continue;
            }
        }
        if (fds[1].revents & POLLIN) {
            sockaddr_in peer{};
            int fd = listener_accept(st, dataFd, peer);
            if (fd >= 0) stream_serve_data_connection(fd, peer);
        }
    }
    st.reserve.release();
    return nullptr;
}
