/*
 * session.cpp - the session-level messages that keep a connection alive or
 * end it: logout, keep-alive, echo, and the time information that the host
 * answers itself.
 */
#include <cstring>

#include "core/counters.h"
#include "handlers/handlers.h"
#include "netserver/host_api.h"

/* MSG_LOGOUT: answered, then the session ends. */
bool handle_logout(HandlerContext& ctx) {
    framing_send_reply(ctx.session, ctx.message, wire::STATUS_OK, 0);
    ctx.session->running = 0;
    return false;
}

/* MSG_KEEPALIVE: never answered; receiving it restarts the idle limit. */
bool handle_keepalive(HandlerContext&) {
    return true;
}

/* MSG_ECHO: the 16 header bytes go back unchanged. */
bool handle_echo(HandlerContext& ctx) {
    counters_command(wire::MSG_ECHO, wire::getU8(ctx.message, wire::HDR_STATUS));
    session_write(ctx.session, ctx.message, wire::HEADER_SIZE);
    return true;
}

/* MSG_TIME_INFO: the host answers this one itself, on its own copy of the
 * message: the bytes behind the payload are zero in both. */
bool handle_time_info(HandlerContext& ctx) {
    MessageBuffer* scratch = ctx.scratch;
    if (scratch == nullptr || scratch->get() == nullptr) return true;
    scratch->clear();
    std::memcpy(scratch->get(), ctx.message,
                wire::HEADER_SIZE + wire::getU32(ctx.message, wire::HDR_LENGTH));
    getTimeInfo(ctx.session, scratch->get());
    scratch->markWritten(wire::MESSAGE_BUFFER_SIZE);  // the host may write anywhere in it
    return true;
}
