/*
 * multicast.h - the channels' multicast streams: one sender per channel at
 * most, shared by every session that joined it.
 */
#ifndef NETSERVER_STREAM_MULTICAST_H
#define NETSERVER_STREAM_MULTICAST_H

#include <netinet/in.h>
#include <pthread.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

#include "core/session.h"

/* One run of a channel's multicast sender: its thread, socket and start
 * block. Each start makes a new one, so a sender that is still finishing
 * never shares its flag or socket with the next. */
struct MulticastSender {
    std::atomic<uint32_t> running{1};
    std::atomic<int> sock{-1};  // opened by the sender, closed by its stopper after the join
    pthread_t thread{};
    int32_t channel = 0;
    uint8_t kind = 0;
    // A copy of the tour settings of the session that started it. That
    // session's later MSG_SET_POLL_CONFIG updates the copy; after it ends,
    // the copy keeps its last values for the remaining members.
    PollConfig poll;
};

/* Shared state of one channel's multicast stream. */
struct MulticastChannel {
    std::mutex mutex;  // subscriber count, start and stop of the sender
    uint32_t subscribers = 0;    // guarded by mutex
    uint32_t starterSession = 0;
    std::unique_ptr<MulticastSender> sender;  // guarded by mutex

    /* Whether a sender runs. Caller holds mutex. */
    bool hasThread() const { return sender != nullptr; }
};

/* Makes a fresh table of `channels` channels (the server start). */
void multicast_reset(uint32_t channels);
/* Ends every channel's sender (the server stop); the table stays until the
 * next reset. */
void multicast_stop_all();
/* The table entry of `channel` (0 <= channel < the count of the last reset). */
MulticastChannel& multicast_channel(int32_t channel);

/* The session joins / leaves the channel's multicast stream; the first member
 * starts the channel's sender, the last one to leave ends it. */
void multicast_join(CommandSession* session, int32_t channel, uint8_t kind);
void multicast_leave(CommandSession* session, int32_t channel);
/* The session's tour settings of `channel` changed: a multicast sender that
 * this session started follows them. */
void multicast_poll_changed(CommandSession* session, int32_t channel);

void* MulticastSendThread(void* channelEntry);

/* The group of a channel's multicast stream and the device's own address:
 * the host's multicast address with its fourth number replaced by
 * kind * 16 + channel, port (base port - 1 - channel - 16 * kind) mod 65536.
 * False when the host's texts are not IPv4 addresses. */
bool multicast_group(int32_t channel, uint8_t kind, in_addr& own, sockaddr_in& group);

#endif
