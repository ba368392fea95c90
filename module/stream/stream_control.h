/*
 * stream_control.h - starting and stopping the live streams of sessions:
 * the entry points that the listener, the stream handlers, the teardown and
 * the stop use, and the one set-up policy of the three senders.
 */
#ifndef NETSERVER_STREAM_STREAM_CONTROL_H
#define NETSERVER_STREAM_STREAM_CONTROL_H

#include <netinet/in.h>
#include <pthread.h>

#include <cstdint>

#include "core/session.h"
#include "stream/frame_loop.h"
#include "stream/multicast.h"

/* ---- the senders' policy (stream_control.cpp) ------------------------------- */

/* The three senders differ only in what this policy gives each: the frame
 * loop's flags, the socket options of their socket, and the message for a
 * frame that is too big. Every sender thread starts through
 * sender_thread_start, with the same stack. */
enum class SenderKind { Tcp, Udp, Multicast };

/* A StreamSender with the kind's flags and the stream's channel count
 * (st_param_getChannelNum); the caller fills in its stream and its send. */
StreamSender sender_preset(SenderKind kind);

/* Points the sender at a session's channel entry (TCP and UDP): its shared
 * words, cursor, channel and kind, and the tour settings `poll`. */
void sender_bind_entry(StreamSender& sender, ChannelStream& entry, const PollConfig* poll);

/* Sets the kind's socket options on `fd` (time-outs, send buffer); a send
 * buffer that cannot be set is reported and otherwise ignored. */
void sender_set_socket_options(SenderKind kind, int fd);

/* Starts a sender thread; the thread_start result. */
int sender_thread_start(pthread_t* thread, void* (*entry)(void*), void* arg);

/* ---- ending streams (stream_control.cpp) ------------------------------------ */

/* Ends the sender of one entry, if it has one: clears running and send
 * enabled, wakes the sender through its socket, joins it, then closes the
 * socket. Caller holds the session's streamMutex. */
void stream_stop_sender(ChannelStream& entry);

/* Ends every sender of the session (TCP and UDP). Takes streamMutex. */
void stream_stop_session_senders(CommandSession* session);

/* The streams of an ending session: its multicast memberships, then its own
 * senders. Both teardown paths run it before the connection goes. */
void stream_end_session(CommandSession* session);

/* The sending switch of a new stream: on, unless the host holds it back. */
inline uint32_t stream_initial_send_enabled(const ChannelStream& entry) {
    return entry.held.load() ? 0u : 1u;
}

/* ---- TCP: the data connection (tcp_sender.cpp) ------------------------------ */

/* Serves an accepted data connection: a TcpSendThread binds it to a session
 * and streams. A connection that cannot be served is closed at once.
 * Thread: the listener. */
void stream_serve_data_connection(int fd, const sockaddr_in& peer);

/* Thread entry of a data connection; the argument is its StreamConnection. */
void* TcpSendThread(void* connection);

/* ---- UDP (udp_sender.cpp) ----------------------------------------------------- */

/* Starts the UDP stream of a channel from a MSG_START_STREAM payload and
 * answers it; an earlier TCP or UDP sender of the entry is ended first.
 * Thread: the session's message thread. */
void stream_start_udp(CommandSession* session, int32_t channel, uint8_t* message);

void* UdpSendThread(void* entry);

/* ---- UDP session responder (udp_responder.cpp) -------------------------------- */

/* Thread entry, no argument: answers address probes on base port + 4 until
 * the stop wakes it through the module's wake pipe. */
void* UdpResponderThread(void* unused);

/* Builds the 44-byte answer to an address probe of `size` bytes (only the
 * first 44 count; missing bytes read as zero) from `from`: the datagram
 * echoed with status 0 and the observed address at offset 24. */
void responder_build_reply(const uint8_t* datagram, size_t size, const sockaddr_in& from,
                           uint8_t* reply);

#endif
