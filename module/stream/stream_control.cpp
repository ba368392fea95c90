/*
 * stream_control.cpp - the senders' one set-up policy in three presets, and
 * the ending of a session's streams; see stream_control.h.
 */
#include "stream/stream_control.h"

#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdio>
#include <mutex>

#include "core/thread_registry.h"
#include "netserver/host_api.h"
#include "netserver/wire.h"

namespace {

struct SenderPolicy {
    bool resetCursorOnSelect;   // start each selection from a clean cursor
    bool clearWaitOnSelect;     // a selection does not wait for a key frame
    bool endOnSendFailure;      // a failed send ends the sender
    const char* tooLongFormat;  // printed with the total of a frame that is too big
    int timeoutSeconds;         // SO_SNDTIMEO and SO_RCVTIMEO; 0: left alone
    int sendBuffer;             // SO_SNDBUF; 0: left alone
    const char* optionError;    // perror text when the send buffer is refused
    uint32_t transport;         // wire::TRANSPORT_*, for the counters
};

// Indexed by SenderKind.
constexpr SenderPolicy kPolicies[] = {
    {true, true, true, " <<<<<<<<<<<< get tcp net frame too len = %d\n", 10, 0x80000,
     "TcpSendThread():setsockopt", wire::TRANSPORT_TCP},
    {false, false, true, " <<<<<<<<<<<< get udp net frame too len = %d\n", 0, 0x20000,
     "UdpSendThread():setsockopt", wire::TRANSPORT_UDP},
    {false, false, false, " <<<<<<<<<<< get mcast net frame too len = %d\n", 0, 0, nullptr,
     wire::TRANSPORT_MULTICAST},
};

const SenderPolicy& policy(SenderKind kind) { return kPolicies[static_cast<int>(kind)]; }

}  // namespace

StreamSender sender_preset(SenderKind kind) {
    const SenderPolicy& p = policy(kind);
    StreamSender sender{};
    sender.resetCursorOnSelect = p.resetCursorOnSelect;
    sender.clearWaitOnSelect = p.clearWaitOnSelect;
    sender.endOnSendFailure = p.endOnSendFailure;
    sender.tooLongFormat = p.tooLongFormat;
    sender.transport = p.transport;
    sender.channelCount = st_param_getChannelNum() & 0xff;
    return sender;
}

void sender_bind_entry(StreamSender& sender, ChannelStream& entry, const PollConfig* poll) {
    sender.running = &entry.running;
    sender.sendEnabled = &entry.sendEnabled;
    sender.frameFilter = &entry.frameFilter;
    sender.waitKeyFrame = &entry.waitKeyFrame;
    sender.poll = poll;
    sender.channel = entry.channel.load();
    sender.kind = entry.kind.load();
    sender.cursor = entry.cursor.words;
}

void sender_set_socket_options(SenderKind kind, int fd) {
    const SenderPolicy& p = policy(kind);
    if (p.timeoutSeconds != 0) {
        timeval t{p.timeoutSeconds, 0};
        setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &t, sizeof t);
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &t, sizeof t);
    }
    if (p.sendBuffer != 0) {
        int size = p.sendBuffer;
        if (setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size) != 0) perror(p.optionError);
    }
}

int sender_thread_start(pthread_t* thread, void* (*entry)(void*), void* arg) {
    return thread_start(thread, SENDER_THREAD_STACK, entry, arg);
}

void stream_stop_sender(ChannelStream& entry) {
    if (!entry.hasSender) return;
    entry.running = 0;
    entry.sendEnabled = 0;
    // Wakes a send that blocks on a full socket; the descriptor is closed
    // only once the sender has been joined.
    int fd = entry.sock.load();
    if (fd >= 0) shutdown(fd, SHUT_RDWR);
    pthread_join(entry.senderThread, nullptr);
    entry.hasSender = false;
    fd = entry.sock.exchange(-1);
    if (fd >= 0) close(fd);
}

void stream_stop_session_senders(CommandSession* session) {
    std::lock_guard<std::mutex> lock(session->streamMutex);
    for (uint32_t c = 0; c < session->channelCount; ++c) stream_stop_sender(session->streams[c]);
}

void stream_end_session(CommandSession* session) {
    for (uint32_t c = 0; c < session->channelCount; ++c) multicast_leave(session, static_cast<int32_t>(c));
    stream_stop_session_senders(session);
}
