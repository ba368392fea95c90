/*
 * dispatcher.h - the frame that every command handler shares: the two
 * dispatch tables, the two reply styles and the audit line.
 *
 * Two tables: the session-level types, which only a session's own message
 * thread handles (login, logout, keep-alive, echo, streams, ...), and the
 * command types, which DefaultMessageHandler answers for the message thread
 * and for a host that calls it directly.
 *
 * Reply convention: a reply is the request's header with only the length
 * (offset 8) and the status (offset 12) changed, followed by `length` payload
 * bytes, sent with one write under the session's write lock.
 */
#ifndef NETSERVER_HANDLERS_DISPATCHER_H
#define NETSERVER_HANDLERS_DISPATCHER_H

#include <cstdint>

#include "core/framing.h"
#include "core/session.h"
#include "netserver/wire.h"

/* What a handler gets: its session, the caller's message buffer (a complete
 * message; bytes past the declared length read as zero), the channel count
 * read for this message and, for session-level handlers, the message
 * thread's scratch buffer (null for command handlers). */
struct HandlerContext {
    CommandSession* session;
    uint8_t* message;
    uint32_t channelCount;
    MessageBuffer* scratch = nullptr;
};

using CommandHandler = void (*)(HandlerContext& ctx);

/* A session-level handler; returns false when the session must end. */
using SessionHandler = bool (*)(HandlerContext& ctx);

/* A session-level type: its handler, and whether it is served before a
 * login has succeeded. */
struct SessionEntry {
    uint16_t type;
    SessionHandler handler;
    bool beforeLogin;
};

/* The command handler of a message type, or null for a type without one
 * (such a message is dropped without a reply). */
CommandHandler dispatch_find(uint16_t type);

/* The session-level entry of a message type, or null. */
const SessionEntry* dispatch_find_session(uint16_t type);

/* Whether a type is dropped without an answer, logged in or not. */
bool dispatch_ignored(uint16_t type);

/* In-place style: sets status and length 0 in the caller's buffer and sends
 * its 16 header bytes. Returns 0, or -1 when the write failed. */
int reply_in_place(HandlerContext& ctx, uint8_t status);

/* Copy style. A handler keeps a working copy (a 102416-byte buffer of its
 * own, on its stack): reply_copy_begin copies the request into it with length
 * 0; the handler lets the host fill the copy's payload area; reply_copy_send
 * sends 16 + length bytes of the copy with the given status. */
void reply_copy_begin(const HandlerContext& ctx, uint8_t* work);
int reply_copy_send(HandlerContext& ctx, uint8_t* work, uint8_t status, uint32_t length);

/* Status for a host result: STATUS_OK for zero or more, STATUS_FAILED below. */
inline uint8_t status_for(int hostResult) {
    return hostResult >= 0 ? wire::STATUS_OK : wire::STATUS_FAILED;
}

/* Writes "<user> <peer address> <what>" to the device log (category 4), cut
 * to the 47 characters a log line holds. `user` is the session's login name,
 * empty before a login. */
void audit_write(const CommandSession* session, const char* what);

#endif
