/*
 * host_sessions.cpp - host functions about command sessions.
 */
#include "failures.h"
#include "netserver/host_api.h"

// Releases what the device keeps for a session; called by the server stop for
// each session it ends. The device keeps nothing per session yet. Returns 0.
extern "C" int freeSockInfoList(CommandSession* session) {
    (void)session;
    if (auto injected = injectedFailure("freeSockInfoList")) return *injected;
    return 0;
}
