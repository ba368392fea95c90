/*
 * netserver.cpp - the module's start and stop, its configuration values and
 * its global state.
 */
#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "command/listener.h"
#include "command/login.h"
#include "command/message_thread.h"
#include "core/module_state.h"
#include "core/thread_registry.h"
#include "stream/stream_control.h"
#include "core/session.h"
#include "netserver/host_api.h"
#include "netserver/netserver.h"
#include "netserver/wire.h"

ModuleState g_module;

namespace {

void closeSlot(std::atomic<int>& slot) {
    int fd = slot.exchange(-1);
    if (fd >= 0) close(fd);
}

void closeFd(int& fd) {
    if (fd >= 0) close(fd);
    fd = -1;
}

/* Ends the listener and the UDP session responder: clears the flag, wakes
 * both through the wake pipe, waits for them; only then are their sockets
 * closed, so that no descriptor number is reused under them. */
void server_stop_listeners() {
    g_module.listenerRunning = 0;
    const char wake = 1;
    if (g_module.wakePipe[1] >= 0 && write(g_module.wakePipe[1], &wake, 1) != 1)
        perror("st_net_stopNetServer():write()");
    if (g_module.hasListener) {
        pthread_join(g_module.listenerThread, nullptr);
        g_module.hasListener = false;
    }
    if (g_module.hasResponder) {
        pthread_join(g_module.responderThread, nullptr);
        g_module.hasResponder = false;
    }
    closeSlot(g_module.cmdListenSock);
    closeSlot(g_module.dataListenSock);
    closeSlot(g_module.udpResponderSock);
}

}  // namespace

/* Thread: the host's. Not reentrant; start and stop alternate. */
int st_net_startNetServer(void) {
    const uint32_t channels = NUGetSysConfig(1);
    g_module.channelCount = channels;
    g_module.listenerRunning = 0;
    g_module.hasListener = false;
    g_module.hasResponder = false;
    g_module.multicast.reset(new MulticastChannel[channels]);
    g_module.cmdListenSock = -1;
    g_module.dataListenSock = -1;
    g_module.udpResponderSock = -1;

    uint8_t network[wire::NETWORK_RECORD_SIZE] = {};
    st_param_getNetworkStruct(network);
    g_module.basePort = wire::getU16(network, wire::NETWORK_BASE_PORT);
    session_list_reset();
    login_throttle_reset();

    if (pipe2(g_module.wakePipe, O_CLOEXEC) != 0) {
        perror("st_net_startNetServer():pipe()");
        return -1;
    }
    // Set before the thread exists, so that a stop right after the start
    // cannot be overwritten by the thread's own set-up.
    g_module.listenerRunning = 1;
    if (pthread_create(&g_module.listenerThread, nullptr, TcpListenThread, nullptr) != 0) {
        g_module.listenerRunning = 0;
        return -1;
    }
    g_module.hasListener = true;
    if (pthread_create(&g_module.responderThread, nullptr, UdpResponderThread, nullptr) != 0)
        return -1;
    g_module.hasResponder = true;
    return 0;
}

/* Thread: the host's, never a callback of this module. Ends every session in
 * list order, then the listener, then joins every message thread that is
 * still finishing on its own, and releases the module state. */
int st_net_stopNetServer(void) {
    multicast_stop_all();
    const std::vector<CommandSession*> sessions = session_claim_all_for_stop();
    for (CommandSession* session : sessions) message_wake_for_stop(session);
    for (CommandSession* session : sessions) message_end_for_stop(session);
    server_stop_listeners();
    // Sessions that were already ending by themselves, connections that
    // arrived during the stop and data connections still in their handshake
    // finish now; after this no thread of the module runs.
    g_dataThreads.wakeAll();
    g_dataThreads.joinAll();
    g_messageThreads.joinAll();
    session_list_reset();
    closeFd(g_module.wakePipe[0]);
    closeFd(g_module.wakePipe[1]);
    g_module.multicast.reset();
    return 0;
}

uint32_t NUGetSysConfig(unsigned int selector) {
    uint8_t record[wire::SYSCONFIG_SIZE] = {};
    st_param_getSysConfig(record);
    switch (selector) {
    case 1: return wire::getU8(record, wire::SYSCONFIG_CHANNEL_COUNT);
    case 2: return wire::getU8(record, 8);
    case 3: return wire::getU8(record, wire::SYSCONFIG_SERIAL_PORT_COUNT);
    case 4: return wire::getU32(record, 0);
    case 5: return wire::getU8(record, 10);
    case 6: return wire::getU32(record, 4);
    default:
        // A caller's mistake, never reachable from the network.
        fprintf(stderr, "netserver:32: NUGetSysConfig: Assertion `0' failed.\n");
        abort();
    }
}

int st_net_sessionWrite(CommandSession* session, const void* data, uint32_t length) {
    if (session == nullptr || (data == nullptr && length != 0)) return -1;
    return session_write(session, data, length);
}

int st_net_holdStream(uint32_t sessionId, int channel, int hold) {
    bool found = false;
    session_with_live_streams(sessionId, [&](CommandSession* s) {
        if (channel < 0 || static_cast<uint32_t>(channel) >= s->channelCount) return;
        found = true;
        ChannelStream& entry = s->streams[channel];
        entry.held = hold ? 1 : 0;
        if (hold)
            entry.sendEnabled = 0;
        else if (entry.running.load() != 0)
            entry.sendEnabled = 1;
    });
    return found ? 0 : -1;
}

void st_net_setLoginRequired(int required) {
    g_module.loginRequired = required != 0 ? 1 : 0;
}

void st_net_setMaxSessions(int max) {
    g_module.maxSessions = max > 0 ? static_cast<uint32_t>(max) : 0;
}

uint32_t st_net_sessionId(const CommandSession* session) {
    return session == nullptr ? 0 : session->session_id;
}

int st_net_sessionSocket(const CommandSession* session) {
    return session == nullptr ? -1 : session->sock.load();
}
