/*
 * stream_control.h - starting and stopping the live streams of sessions:
 * the entry points that the listener, the message thread, the teardown and
 * the stop use.
 */
#ifndef NETSERVER_STREAM_STREAM_CONTROL_H
#define NETSERVER_STREAM_STREAM_CONTROL_H

#include <netinet/in.h>

#include <cstdint>

#include "core/session.h"

/* ---- TCP: the data connection ----------------------------------------------- */

/* Serves an accepted data connection: a TcpSendThread binds it to a session
 * and streams. A connection that cannot be served is closed at once.
 * Thread: the listener. */
void stream_serve_data_connection(int fd, const sockaddr_in& peer);

/* Thread entry of a data connection; the argument is its StreamConnection. */
void* TcpSendThread(void* connection);

/* Ends the sender of one entry, if it has one: clears running and send
 * enabled, wakes the sender through its socket, joins it, then closes the
 * socket. Caller holds the session's streamMutex. */
void stream_stop_sender(ChannelStream& entry);

/* Ends every sender of the session (TCP and UDP). Takes streamMutex. */
void stream_stop_session_senders(CommandSession* session);

/* ---- UDP ------------------------------------------------------------------------ */

/* Starts the UDP stream of a channel from a MSG_START_STREAM payload and
 * answers it; an earlier TCP or UDP sender of the entry is ended first.
 * Thread: the session's message thread. */
void stream_start_udp(CommandSession* session, int32_t channel, uint8_t* message);

void* UdpSendThread(void* entry);

/* ---- multicast ------------------------------------------------------------------ */

/* The session joins / leaves the channel's multicast stream; the first member
 * starts the channel's sender, the last one to leave ends it. */
void multicast_join(CommandSession* session, int32_t channel, uint8_t kind);
void multicast_leave(CommandSession* session, int32_t channel);
/* The session's tour settings of `channel` changed: a multicast sender that
 * this session started follows them. */
void multicast_poll_changed(CommandSession* session, int32_t channel);
/* Ends every channel's multicast sender (the server stop). */
void multicast_stop_all();

void* MulticastSendThread(void* channelEntry);

/* The group of a channel's multicast stream and the device's own address:
 * the host's multicast address with its fourth number replaced by
 * kind * 16 + channel, port (base port - 1 - channel - 16 * kind) mod 65536.
 * False when the host's texts are not IPv4 addresses. */
bool multicast_group(int32_t channel, uint8_t kind, in_addr& own, sockaddr_in& group);

/* ---- UDP session responder -------------------------------------------------------- */

/* Thread entry, no argument: answers address probes on base port + 4 until
 * the stop wakes it through the module's wake pipe. */
void* UdpResponderThread(void* unused);

/* Builds the 44-byte answer to an address probe of `size` bytes (only the
 * first 44 count; missing bytes read as zero) from `from`: the datagram
 * echoed with status 0 and the observed address at offset 24. */
void responder_build_reply(const uint8_t* datagram, size_t size, const sockaddr_in& from,
                           uint8_t* reply);

/* The sending switch of a new stream: on, unless the host holds it back. */
inline uint32_t stream_initial_send_enabled(const ChannelStream& entry) {
    return entry.held.load() ? 0u : 1u;
}

#endif
