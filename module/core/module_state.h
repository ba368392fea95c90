/*
 * module_state.h - the module-wide state of one loaded module: configuration
 * read at start, the listener's sockets and thread, the multicast channel
 * table, and the registry of message threads. All of it lives in one object,
 * g_module, so that the module's globals are found in one place.
 *
 * The session list has its own home in session.cpp.
 */
#ifndef NETSERVER_CORE_MODULE_STATE_H
#define NETSERVER_CORE_MODULE_STATE_H

#include <pthread.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

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
    std::recursive_mutex mutex;  // subscriber count, start and stop of the sender
    uint32_t subscribers = 0;    // guarded by mutex
    uint32_t starterSession = 0;
    std::unique_ptr<MulticastSender> sender;  // guarded by mutex

    /* Whether a sender runs. Caller holds mutex. */
    bool hasThread() const { return sender != nullptr; }
};

struct ModuleState {
    uint32_t basePort = 0;
    uint32_t channelCount = 0;  // fixed from start to stop

    std::atomic<uint32_t> listenerRunning{0};
    std::atomic<int> cmdListenSock{-1};
    std::atomic<int> dataListenSock{-1};
    std::atomic<int> udpResponderSock{-1};
    pthread_t listenerThread{};
    bool hasListener = false;
    pthread_t responderThread{};
    bool hasResponder = false;
    // The listener waits in poll() without a time-out; the stop writes a byte
    // here to wake it instead of cancelling it.
    int wakePipe[2] = {-1, -1};

    std::unique_ptr<MulticastChannel[]> multicast;

    // Host settings (st_net_setLoginRequired, st_net_setMaxSessions); they
    // survive a stop and a start.
    std::atomic<uint32_t> loginRequired{1};
    std::atomic<uint32_t> maxSessions{0};
};

extern ModuleState g_module;

#endif
