/*
 * netserver.cpp - the module's global state, its configuration values and
 * the small exports that read or set them. (Start and stop: server.cpp.)
 */
#include <cstdio>
#include <cstdlib>

#include "core/module_state.h"
#include "core/session.h"
#include "netserver/host_api.h"
#include "netserver/netserver.h"
#include "netserver/wire.h"

ModuleState g_module;

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
