/*
 * message_thread.cpp - MessageThread: one per command connection, from its
 * first message to its end. It frames each message, checks it against the
 * login gate and dispatches it; the handlers are in handlers/, found through
 * the dispatcher's tables.
 */
#include "command/message_thread.h"

#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "core/counters.h"
#include "core/framing.h"
#include "core/session.h"
#include "core/thread_registry.h"
#include "handlers/dispatcher.h"
#include "handlers/handlers.h"
#include "transfer/transfer.h"
#include "netserver/host_api.h"
#include "netserver/netserver.h"
#include "stream/stream_control.h"

namespace {

constexpr int IDLE_LIMIT_MS = 15000;
constexpr int SEND_TIMEOUT_S = 10;

/* How long to wait for the next message: the idle limit, and while a login
 * is required and has not succeeded, no longer than the idle limit counted
 * from the connect, so that a connection that never logs in cannot hold its
 * thread with keep-alives. */
int message_wait_ms(const CommandSession* session, std::chrono::steady_clock::time_point connected) {
    if (session_may_command(session)) return IDLE_LIMIT_MS;
    const auto left = std::chrono::milliseconds(IDLE_LIMIT_MS) -
                      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - connected);
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

/* Both time-outs bound a blocked call: a reply that cannot leave within 10 s
 * fails; a peer that stops in the middle of a message is given up after the
 * same idle limit as a silent one. */
void message_set_timeouts(int fd) {
    timeval send{SEND_TIMEOUT_S, 0};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &send, sizeof send);
    timeval recv{IDLE_LIMIT_MS / 1000, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &recv, sizeof recv);
}

/* Before a login only the types marked for it (login, logout, keep-alive,
 * echo) are served. Every other type with a handler is refused with
 * STATUS_FAILED and never reaches the host; a type without a handler stays
 * unanswered. Returns whether the message may be handled. */
bool message_gate(CommandSession* session, uint8_t* message, const SessionEntry* own) {
    if (session_may_command(session) || (own != nullptr && own->beforeLogin)) return true;
    if (own != nullptr || dispatch_find(wire::getU16(message, wire::HDR_TYPE)) != nullptr)
        framing_send_reply(session, message, wire::STATUS_FAILED, 0);
    return false;
}

}  // namespace

bool message_handle(CommandSession* session, uint8_t* message, MessageBuffer& scratch) {
    const uint16_t type = wire::getU16(message, wire::HDR_TYPE);
    if (dispatch_ignored(type)) return true;
    const SessionEntry* own = dispatch_find_session(type);
    if (!message_gate(session, message, own)) return true;
    if (own == nullptr) {
        DefaultMessageHandler(session, message);
        return true;
    }
    HandlerContext ctx{session, message, session->channelCount, &scratch};
    return own->handler(ctx);
}

void message_teardown(CommandSession* session) {
    serial_channel_end(session);
    stream_end_session(session);
    session_close_socket(session);
    session_worker_end(session);
    session_remove(session);
}

void message_wake_for_stop(CommandSession* session) {
    // Only flags and a shutdown: nothing here waits, so every session of the
    // server is woken before the first one is joined. The socket is closed
    // only once its message thread has been joined.
    session->running = 0;
    for (uint32_t c = 0; c < session->channelCount; ++c) {
        session->streams[c].running = 0;
        session->streams[c].sendEnabled = 0;
    }
    int fd = session->sock.load();
    if (fd >= 0) shutdown(fd, SHUT_RDWR);
}

void message_end_for_stop(CommandSession* session) {
    // The message thread goes first: until it has ended it could still start
    // a stream or the serial forwarding that nobody would then stop.
    g_messageThreads.join(session->msgThread);
    serial_channel_end(session);
    stream_end_session(session);
    freeSockInfoList(session);
    session_close_socket(session);
    session_worker_end(session);
    session_remove(session);
}

void* MessageThread(void* arg) {
    auto* session = static_cast<CommandSession*>(arg);
    g_messageThreads.started();
    int fd = session->sock.load();
    message_set_timeouts(fd);
    session->running = 1;
    if (!session_link(session)) {
        // Accepted while the server stops: not served, not kept.
        session_close_socket(session);
        session_destroy_unlinked(session);
        g_messageThreads.finishSelf();
        return nullptr;
    }

    // One message buffer and one scratch copy for the thread's whole life;
    // their pages go back to the system between messages.
    MessageBuffer message;
    MessageBuffer scratch;
    const auto connected = std::chrono::steady_clock::now();
    while (message.get() != nullptr && session->running.load()) {
        const int waitMs = message_wait_ms(session, connected);
        if (waitMs == 0) errno = ETIMEDOUT;  // no login in time, busy or not
        if (waitMs == 0 || !framing_wait_readable(fd, waitMs)) {
            perror("MessageThread recv msg");
            break;
        }
        // A peer that closes its connection (or the stop's shutdown) is no
        // error and prints nothing; only a read that failed with an errno does.
        errno = 0;
        FrameResult r = framing_read_message(fd, message);
        if (r == FrameResult::Closed || r == FrameResult::TooLong) {
            if (r == FrameResult::TooLong) errno = EMSGSIZE;
            if (errno != 0) perror("MessageThread recv msg");
            break;
        }
        if (r == FrameResult::BadMagic) {
            puts("aaaaaaaaaaaaaaaaaaaa\r");
            continue;
        }
        if (!message_handle(session, message.get(), scratch)) break;
    }

    // Whoever claims the session tears it down; if the stop got there first,
    // it waits for this thread and does the work itself.
    if (session_claim(session, SESSION_ENDED_BY_SELF)) {
        message_teardown(session);
        g_messageThreads.finishSelf();
    }
    return nullptr;
}
