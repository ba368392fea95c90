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
#include "command/message_thread.h"
#include "core/module_state.h"
#include "core/msg_threads.h"
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

/* Ends the listener: clears its flag, wakes it, waits for it; only then are
 * its sockets closed, so that no descriptor number is reused under it. */
void server_stop_listener() {
    if (g_module.hasListener) {
        g_module.listenerRunning = 0;
        const char wake = 1;
        if (write(g_module.wakePipe[1], &wake, 1) != 1) perror("st_net_stopNetServer():write()");
        pthread_join(g_module.listenerThread, nullptr);
        g_module.hasListener = false;
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
    g_module.multicast.reset(new MulticastChannel[channels]);
    g_module.cmdListenSock = -1;
    g_module.dataListenSock = -1;
    g_module.udpResponderSock = -1;

    uint8_t network[wire::NETWORK_RECORD_SIZE] = {};
    st_param_getNetworkStruct(network);
    g_module.basePort = wire::getU16(network, wire::NETWORK_BASE_PORT);
    session_list_reset();

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
    return 0;
}

/* Thread: the host's, never a callback of this module. Ends every session in
 * list order, then the listener, then joins every message thread that is
 * still finishing on its own, and releases the module state. */
int st_net_stopNetServer(void) {
    for (CommandSession* session : session_claim_all_for_stop()) message_end_for_stop(session);
    server_stop_listener();
    // Sessions that were already ending by themselves, and connections that
    // arrived during the stop, finish now; after this no thread of the
    // module runs.
    msg_threads_join_all();
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

uint32_t st_net_sessionId(const CommandSession* session) {
    return session == nullptr ? 0 : session->session_id;
}
