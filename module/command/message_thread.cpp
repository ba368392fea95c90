/*
 * message_thread.cpp - MessageThread: one per command connection, from its
 * first message to its end.
 */
#include "command/message_thread.h"

#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "command/framing.h"
#include "core/counters.h"
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
constexpr uint16_t MSG_IGNORED_5 = 5;
constexpr uint16_t MSG_IGNORED_6 = 6;
constexpr uint16_t MSG_IGNORED_FIRST = 0x105;
constexpr uint16_t MSG_IGNORED_LAST = 0x107;

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

void message_colliery_info(CommandSession* session, uint8_t* message) {
    uint8_t record[wire::COLLIERY_RECORD_SIZE] = {};
    st_param_getCollieryInfo(record);
    std::memcpy(message + wire::HEADER_SIZE, record + wire::COLLIERY_REPLY_OFFSET,
                wire::COLLIERY_REPLY_SIZE);
    framing_send_reply(session, message, wire::STATUS_OK, wire::COLLIERY_REPLY_SIZE);
}

void message_set_poll_config(CommandSession* session, uint8_t* message) {
    const uint8_t* payload = message + wire::HEADER_SIZE;
    int32_t channel = wire::getI32(payload, wire::POLL_CHANNEL);
    if (channel < 0 || static_cast<uint32_t>(channel) >= session->channelCount) {
        puts("MSG_SET_POLL_CONFIG  eerr ch num ");
    } else {
        PollConfig& poll = session->pollConfigs[channel];
        poll.channel = static_cast<uint32_t>(channel);
        poll.enabled = wire::getU32(payload, wire::POLL_ENABLED);
        poll.dwell = wire::getI32(payload, wire::POLL_DWELL);
        poll.mask = wire::getU32(payload, wire::POLL_MASK);
        multicast_poll_changed(session, channel);
    }
    framing_send_reply(session, message, wire::STATUS_OK, 0);
}

bool message_channel_ok(const CommandSession* session, int32_t channel) {
    return channel >= 0 && static_cast<uint32_t>(channel) < session->channelCount;
}

/* MSG_START_STREAM: records the transport and starts what it needs. TCP is
 * answered here and flows once the client's data connection subscribes;
 * multicast is never answered. */
void message_start_stream(CommandSession* session, uint8_t* message) {
    const uint8_t* request = message + wire::HEADER_SIZE;
    const int32_t channel = wire::getI32(request, wire::START_CHANNEL);
    if (!message_channel_ok(session, channel)) return;
    (assert)(session->streams != nullptr);
    const uint32_t transport = wire::getU32(request, wire::START_TRANSPORT);
    session->streams[channel].transport = transport;
    switch (transport) {
    case wire::TRANSPORT_UDP:
        stream_start_udp(session, channel, message);
        break;
    case wire::TRANSPORT_MULTICAST:
        multicast_join(session, channel, wire::getU8(request, wire::START_KIND));
        break;
    case wire::TRANSPORT_TCP:
        framing_send_reply(session, message, wire::STATUS_OK, 0);
        break;
    default:
        break;
    }
}

/* MSG_STOP_STREAM, never answered. */
void message_stop_stream(CommandSession* session, const uint8_t* message) {
    const int32_t channel = wire::getI32(message + wire::HEADER_SIZE, 0);
    if (!message_channel_ok(session, channel)) return;
    ChannelStream& entry = session->streams[channel];
    switch (entry.transport.load()) {
    case wire::TRANSPORT_TCP:
    case wire::TRANSPORT_UDP: {
        std::lock_guard<std::mutex> lock(session->streamMutex);
        stream_stop_sender(entry);
        break;
    }
    case wire::TRANSPORT_MULTICAST:
        multicast_leave(session, channel);
        break;
    default:
        break;
    }
}

/* The streams of an ending session: its multicast memberships, then its own
 * senders. Both teardown paths run it first, before the connection goes. */
void message_end_streams(CommandSession* session) {
    for (uint32_t c = 0; c < session->channelCount; ++c) multicast_leave(session, static_cast<int32_t>(c));
    stream_stop_session_senders(session);
}

/* Types that are dropped without an answer, logged in or not. */
bool message_ignored(uint16_t type) {
    return type == MSG_IGNORED_5 || type == MSG_IGNORED_6 ||
           (type >= MSG_IGNORED_FIRST && type <= MSG_IGNORED_LAST);
}

/* Before a login only login, logout, keep-alive and echo are served. Every
 * other command is refused with STATUS_FAILED and never reaches the host; a
 * type without a handler stays unanswered. Returns whether the message may
 * be handled. Called for types that are not ignored. */
bool message_gate(CommandSession* session, uint8_t* message) {
    if (session_may_command(session)) return true;
    const uint16_t type = wire::getU16(message, wire::HDR_TYPE);
    switch (type) {
    case wire::MSG_LOGIN:
    case wire::MSG_LOGOUT:
    case wire::MSG_KEEPALIVE:
    case wire::MSG_ECHO:
        return true;
    case wire::MSG_START_STREAM:
    case wire::MSG_STOP_STREAM:
    case wire::MSG_TIME_INFO:
    case wire::MSG_GET_COLLIERY_INFO:
    case wire::MSG_SET_POLL_CONFIG:
        break;
    default:
        if (dispatch_find(type) == nullptr) return false;
        break;
    }
    framing_send_reply(session, message, wire::STATUS_FAILED, 0);
    return false;
}

}  // namespace

bool message_handle(CommandSession* session, uint8_t* message, MessageBuffer& scratch) {
    const uint16_t type = wire::getU16(message, wire::HDR_TYPE);
    if (message_ignored(type) || !message_gate(session, message)) return true;
    switch (type) {
    case wire::MSG_LOGIN:
        return auth_user(session, message) == 0;
    case wire::MSG_LOGOUT:
        framing_send_reply(session, message, wire::STATUS_OK, 0);
        session->running = 0;
        return false;
    case wire::MSG_START_STREAM:
        message_start_stream(session, message);
        return true;
    case wire::MSG_STOP_STREAM:
        message_stop_stream(session, message);
        return true;
    case wire::MSG_KEEPALIVE:
        return true;
    case wire::MSG_TIME_INFO:
        // The host answers this one itself, on its own copy of the message:
        // the bytes behind the payload are zero in both.
        if (scratch.get() == nullptr) return true;
        scratch.clear();
        std::memcpy(scratch.get(), message,
                    wire::HEADER_SIZE + wire::getU32(message, wire::HDR_LENGTH));
        getTimeInfo(session, scratch.get());
        scratch.markWritten(wire::MESSAGE_BUFFER_SIZE);  // the host may write anywhere in it
        return true;
    case wire::MSG_GET_COLLIERY_INFO:
        message_colliery_info(session, message);
        return true;
    case wire::MSG_ECHO:
        counters_command(type, wire::getU8(message, wire::HDR_STATUS));
        session_write(session, message, wire::HEADER_SIZE);
        return true;
    case wire::MSG_SET_POLL_CONFIG:
        message_set_poll_config(session, message);
        return true;
    default:
        DefaultMessageHandler(session, message);
        return true;
    }
}

void message_teardown(CommandSession* session) {
    serial_channel_end(session);
    message_end_streams(session);
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
    message_end_streams(session);
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
