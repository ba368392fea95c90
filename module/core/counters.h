/*
 * counters.h - what the server has done since the module was loaded, for the
 * host to export (st_net_forEachCounter).
 *
 * Each hook is one call at the place that already decides the event, so the
 * counting never changes what the server does. Fixed counters are atomics;
 * only the keyed ones (command type and status, stream transport and channel)
 * live in a small table under a mutex that is never held across a socket
 * call or a host call. Counters survive a stop and a start of the server.
 */
#ifndef NETSERVER_CORE_COUNTERS_H
#define NETSERVER_CORE_COUNTERS_H

#include <cstddef>
#include <cstdint>

/* Why a frame did not go out whole. */
enum class FrameDrop {
    SlotRewritten,  // the pool rewrote the frame's slot while it was being sent (slow reader)
    SendFailed,     // a fragment could not be sent
};

/* A session was linked into the session list / removed from it again. */
void counters_session_opened();
void counters_session_closed();

/* The host accepted or refused a login. */
void counters_login(bool accepted);

/* A command was answered with `status`. MSG_SESSION_ID, which follows a
 * login without being asked for, is not a command and is not counted. */
void counters_command(uint16_t type, uint8_t status);

/* A sender of `transport` (wire::TRANSPORT_*) for `channel` began / ended
 * its frame loop. */
void counters_stream_started(uint32_t transport, int32_t channel);
void counters_stream_ended(uint32_t transport, int32_t channel);

/* A frame went out whole as `bytes` bytes on the wire (fragment headers,
 * frame header and data). */
void counters_frame_sent(uint32_t transport, size_t bytes);

/* A frame was given up after `bytes` of it had gone out. */
void counters_frame_dropped(uint32_t transport, FrameDrop reason, size_t bytes);

#endif
