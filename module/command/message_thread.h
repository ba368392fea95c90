/*
 * message_thread.h - the thread that serves one command connection.
 */
#ifndef NETSERVER_COMMAND_MESSAGE_THREAD_H
#define NETSERVER_COMMAND_MESSAGE_THREAD_H

#include <cstdint>

#include "core/framing.h"
#include "core/session.h"

/* Thread entry; the argument is the connection's CommandSession. Links the
 * session, serves it until it ends, and tears it down unless the server stop
 * has claimed it (the stop then does that work). */
void* MessageThread(void* session);

/* Handles one complete message of the session: drops the ignored types,
 * applies the login gate, then hands the message to its session-level
 * handler or to DefaultMessageHandler. Returns false when the session must
 * end (logout, or a login answer that could not be sent).
 * Thread: the session's message thread. */
bool message_handle(CommandSession* session, uint8_t* message, MessageBuffer& scratch);

/* The ends of a session. The teardown runs on the message thread after it
 * claimed its own session. The stop, on its own thread, first wakes every
 * session it claimed (message_wake_for_stop: flags and a shutdown, no
 * waiting), then ends each (message_end_for_stop: joins its message thread
 * and does the teardown's work). */
void message_teardown(CommandSession* session);
void message_wake_for_stop(CommandSession* session);
void message_end_for_stop(CommandSession* session);

#endif
