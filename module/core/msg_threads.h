/*
 * msg_threads.h - the registry of message threads.
 *
 * Every message thread is joinable and has one owner, the server: the listener
 * starts it and registers it; a thread that tears its own session down reports
 * itself finished and is joined by the listener's next pass or by the stop; a
 * thread whose session the stop ends is joined by the stop itself. Nothing is
 * detached, so no thread of the module can outlive st_net_stopNetServer.
 */
#ifndef NETSERVER_CORE_MSG_THREADS_H
#define NETSERVER_CORE_MSG_THREADS_H

#include "core/session.h"

/* Starts the session's message thread and records its handle in
 * session->msgThread. Returns the pthread_create result (0 on success).
 * Thread: listener. */
int msg_threads_start(CommandSession* session, void* (*entry)(void*));

/* The first call of every message thread: returns once the listener has
 * stored the thread's handle, so that the record may be released from then on. */
void msg_threads_started();

/* Called by a message thread as its very last act after it tore its own
 * session down (or gave it up unlinked): it may now be joined. */
void msg_threads_finish_self();

/* Joins the threads that reported themselves finished. Thread: listener. */
void msg_threads_reap();

/* Waits for the end of the message thread of a session that the stop has
 * claimed. Thread: the stop. */
void msg_threads_join_session(CommandSession* session);

/* Joins every remaining message thread. Called by the stop once the listener
 * has ended, so no new thread can appear. */
void msg_threads_join_all();

#endif
