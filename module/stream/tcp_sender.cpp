/*
 * tcp_sender.cpp - TcpSendThread: one data connection, from the handshake
 * that binds it to a session to the fragments of its channel.
 *
 * The handshake on base port + 1 is wire.h's DATA_SESSION_ID and
 * SUBSCRIBE_*; fragments follow until the connection ends.
 */
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "core/framing.h"
#include "core/thread_registry.h"
#include "netserver/host_api.h"
#include "netserver/netserver.h"
#include "netserver/wire.h"
#include "stream/frame_loop.h"
#include "stream/stream_control.h"

namespace {

constexpr int HANDSHAKE_WAIT_MS = 15000;

/* One accepted data connection; from my_malloc, released by its thread. */
struct StreamConnection {
    int sock;
    pthread_t thread;
    sockaddr_in peer;
};

bool tcp_send_fragment(void* context, const uint8_t* fragment, size_t size) {
    int fd = *static_cast<int*>(context);
    return writen(fd, fragment, static_cast<int>(size)) == static_cast<int>(size);
}

/* The end of a connection that never attached: it closes its socket and is
 * joined by the listener or the stop. */
void* tcp_give_up(StreamConnection* conn) {
    int fd = conn->sock;
    std::free(conn);
    g_dataThreads.finishSelf(fd);
    return nullptr;
}

/* Reads one handshake message into the zeroed buffer. */
bool tcp_read_handshake(int fd, MessageBuffer& buffer) {
    if (!framing_wait_readable(fd, HANDSHAKE_WAIT_MS)) return false;
    return framing_read_message(fd, buffer, false) == FrameResult::Ok;
}

/* Takes the channel entry over for this thread. Runs with the session's
 * streamMutex held; an earlier sender of the entry is ended first. */
void tcp_attach(CommandSession* session, int32_t channel, uint8_t kind, int fd, pthread_t self) {
    (assert)(session->streams != nullptr);
    ChannelStream& entry = session->streams[channel];
    stream_stop_sender(entry);
    entry.senderThread = self;
    entry.hasSender = true;
    entry.sock = fd;
    std::memset(entry.cursor.words, 0, sizeof entry.cursor.words);
    entry.channel = channel;
    entry.kind = kind;
    entry.transport = wire::TRANSPORT_TCP;
    entry.running = 1;
    entry.sendEnabled = stream_initial_send_enabled(entry);
    // From here the entry owns this thread: its stoppers join it.
    g_dataThreads.releaseSelf();
}

}  // namespace

void stream_serve_data_connection(int fd, const sockaddr_in& peer) {
    auto* conn = static_cast<StreamConnection*>(my_malloc(sizeof(StreamConnection)));
    if (conn == nullptr) {
        perror("my_malloc");
        close(fd);
        return;
    }
    conn->sock = fd;
    conn->peer = peer;
    // The whole handshake must be done within the idle limit; a peer that
    // trickles bytes or stalls mid-message is woken out by the listener.
    const auto deadline = ThreadRegistry::Clock::now() + std::chrono::milliseconds(HANDSHAKE_WAIT_MS);
    if (g_dataThreads.startUntil(TcpSendThread, conn, SENDER_THREAD_STACK, fd, &conn->thread, deadline) != 0) {
        perror("TcpSendThread():pthread_create");
        std::free(conn);
        close(fd);
    }
}

void* TcpSendThread(void* arg) {
    auto* conn = static_cast<StreamConnection*>(arg);
    g_dataThreads.started();
    const int fd = conn->sock;
    sender_set_socket_options(SenderKind::Tcp, fd);
    MessageBuffer buffer;
    if (buffer.get() == nullptr) return tcp_give_up(conn);

    // Bind to a session.
    if (!tcp_read_handshake(fd, buffer)) {
        perror("readn() sessionid in TcpSendThread()");
        return tcp_give_up(conn);
    }
    wire::putU32(buffer.get(), wire::HDR_LENGTH, 0);
    wire::putU8(buffer.get(), wire::HDR_STATUS, 0);
    writen(fd, buffer.get(), static_cast<int>(wire::HEADER_SIZE));
    const uint32_t id = wire::getU32(buffer.get(), wire::HEADER_SIZE + wire::DATA_SESSION_ID);
    // Held until the attach, so the record cannot go in between. A session
    // that may not command (not logged in) is no session to stream for.
    SessionRef session = session_ref_by_id(id);
    if (session && !session_may_command(session.get())) session.reset();
    printf("session_id %d p_connect %x \n", static_cast<int>(id),
           static_cast<unsigned>(reinterpret_cast<uintptr_t>(session.get())));
    if (!session) return tcp_give_up(conn);

    // Subscribe a channel.
    if (!tcp_read_handshake(fd, buffer)) {
        perror("readn() in TcpSendThread()");
        return tcp_give_up(conn);
    }
    if (wire::getU16(buffer.get(), wire::HDR_TYPE) != 0) return tcp_give_up(conn);
    wire::putU32(buffer.get(), wire::HDR_LENGTH, wire::SUBSCRIBE_SIZE);
    writen(fd, buffer.get(), static_cast<int>(wire::HEADER_SIZE + wire::SUBSCRIBE_SIZE));
    const int32_t channel = wire::getI32(buffer.get(), wire::HEADER_SIZE + wire::SUBSCRIBE_CHANNEL);
    const uint8_t kind = wire::getU8(buffer.get(), wire::HEADER_SIZE + wire::SUBSCRIBE_KIND);
    if (channel < 0 || static_cast<uint32_t>(channel) >= NUGetSysConfig(1)) return tcp_give_up(conn);

    // Attach only to a session that is still live; the sender takes its
    // stream's words under the same lock. They stay valid while this thread
    // runs: every path that releases the record ends this sender first. The
    // socket belongs to the entry from the attach; its stoppers close it.
    StreamSender sender = sender_preset(SenderKind::Tcp);
    bool attached = false;
    session_with_live_streams(session.get(), [&](CommandSession* s) {
        if (static_cast<uint32_t>(channel) >= s->channelCount) return;
        tcp_attach(s, channel, kind, fd, conn->thread);
        sender_bind_entry(sender, s->streams[channel], &s->pollConfigs[channel]);
        attached = true;
    });
    session.reset();
    if (!attached) return tcp_give_up(conn);
    std::free(conn);

    int sendFd = fd;
    sender.send = tcp_send_fragment;
    sender.context = &sendFd;
    stream_run(sender);
    return nullptr;
}
