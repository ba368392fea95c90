/*
 * server.cpp - st_net_startNetServer and st_net_stopNetServer: the one place
 * that starts and stops the module's subsystems (the listener and message
 * threads, the streams, the UDP session responder, the maintenance workers),
 * in their order.
 */
#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <cstdio>
#include <vector>

#include "command/listener.h"
#include "command/message_thread.h"
#include "core/module_state.h"
#include "core/session.h"
#include "core/thread_registry.h"
#include "handlers/login.h"
#include "handlers/maintenance_state.h"
#include "netserver/host_api.h"
#include "netserver/netserver.h"
#include "netserver/wire.h"
#include "stream/multicast.h"
#include "stream/stream_control.h"

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
    g_module.listenerRunning = 0;
    g_module.hasListener = false;
    g_module.hasResponder = false;
    multicast_reset(channels);
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
    if (thread_start(&g_module.listenerThread, 0, TcpListenThread, nullptr) != 0) {
        g_module.listenerRunning = 0;
        return -1;
    }
    g_module.hasListener = true;
    if (thread_start(&g_module.responderThread, 0, UdpResponderThread, nullptr) != 0)
        return -1;
    g_module.hasResponder = true;
    return 0;
}

/* Thread: the host's, never a callback of this module. Ends every session in
 * list order, then the listener, then joins every message thread that is
 * still finishing on its own and the maintenance workers, and releases the
 * module state. */
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
    // No session is left to start another partitioning or format.
    maintenance_workers_join();
    session_list_reset();
    closeFd(g_module.wakePipe[0]);
    closeFd(g_module.wakePipe[1]);
    multicast_reset(0);
    return 0;
}
