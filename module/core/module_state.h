/*
 * module_state.h - the module-wide state of one loaded module: configuration
 * read at start, the host's settings, and the listener's and responder's
 * sockets and threads. All of it lives in one object, g_module, so that the
 * module's globals are found in one place.
 *
 * The session list has its own home in session.cpp, the multicast channel
 * table in stream/multicast_sender.cpp, the thread registries in
 * thread_registry.cpp.
 */
#ifndef NETSERVER_CORE_MODULE_STATE_H
#define NETSERVER_CORE_MODULE_STATE_H

#include <pthread.h>

#include <atomic>
#include <cstdint>

struct ModuleState {
    uint32_t basePort = 0;

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

    // Host settings (st_net_setLoginRequired, st_net_setMaxSessions); they
    // survive a stop and a start.
    std::atomic<uint32_t> loginRequired{1};
    std::atomic<uint32_t> maxSessions{0};
};

extern ModuleState g_module;

#endif
