/*
 * dispatcher.cpp - DefaultMessageHandler and the reply helpers.
 */
#include "handlers/dispatcher.h"

#include <arpa/inet.h>

#include <array>
#include <cstdio>
#include <cstring>

#include "command/framing.h"
#include "netserver/host_api.h"
#include "netserver/netserver.h"

namespace {

constexpr int AUDIT_CATEGORY = 4;
constexpr size_t AUDIT_LINE_SIZE = 48;  // 47 characters and the NUL

struct HandlerEntry {
    uint16_t type;
    CommandHandler handler;
};

// One entry per message type that has a handler; the handler families add
// theirs here. A type that is missing gets no reply at all.
constexpr std::array<HandlerEntry, 0> kHandlers{};

}  // namespace

CommandHandler dispatch_find(uint16_t type) {
    for (const HandlerEntry& e : kHandlers)
        if (e.type == type) return e.handler;
    return nullptr;
}

/* Thread: the session's message thread. One message at a time per session;
 * several sessions call it at once, so it keeps nothing between calls. */
void DefaultMessageHandler(CommandSession* session, void* message) {
    // The channel count is read for every message, whatever its type.
    HandlerContext ctx{session, static_cast<uint8_t*>(message), NUGetSysConfig(1)};
    CommandHandler handler = dispatch_find(wire::getU16(message, wire::HDR_TYPE));
    if (handler == nullptr) return;
    handler(ctx);
}

int reply_in_place(HandlerContext& ctx, uint8_t status) {
    return framing_send_reply(ctx.session, ctx.message, status, 0);
}

void reply_copy_begin(const HandlerContext& ctx, uint8_t* work) {
    std::memcpy(work, ctx.message, wire::MESSAGE_BUFFER_SIZE);
    wire::putU32(work, wire::HDR_LENGTH, 0);
}

int reply_copy_send(HandlerContext& ctx, uint8_t* work, uint8_t status, uint32_t length) {
    if (length > wire::MAX_PAYLOAD) return -1;  // a host that overran the area
    return framing_send_reply(ctx.session, work, status, length);
}

void audit_write(const CommandSession* session, const char* what) {
    char address[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &session->peer.sin_addr, address, sizeof address);
    char line[AUDIT_LINE_SIZE];
    snprintf(line, sizeof line, "%.23s %s %s", session->userName, address, what);
    st_param_writeLogBuffer(AUDIT_CATEGORY, line);
}
