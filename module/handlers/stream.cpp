/*
 * stream.cpp - the live-stream messages of a session: start and stop a
 * channel's stream, and the channel-tour settings its senders follow.
 */
#include <cstdio>
#include <mutex>

#include "handlers/handlers.h"
#include "netserver/host_api.h"
#include "stream/stream_control.h"

namespace {

bool channel_ok(const CommandSession* session, int32_t channel) {
    return channel >= 0 && static_cast<uint32_t>(channel) < session->channelCount;
}

}  // namespace

/* MSG_START_STREAM: records the transport and starts what it needs. TCP is
 * answered here and flows once the client's data connection subscribes;
 * multicast is never answered. */
bool handle_start_stream(HandlerContext& ctx) {
    CommandSession* session = ctx.session;
    const uint8_t* request = ctx.message + wire::HEADER_SIZE;
    const int32_t channel = wire::getI32(request, wire::START_CHANNEL);
    if (!channel_ok(session, channel)) return true;
    (assert)(session->streams != nullptr);
    const uint32_t transport = wire::getU32(request, wire::START_TRANSPORT);
    session->streams[channel].transport = transport;
    switch (transport) {
    case wire::TRANSPORT_UDP:
        stream_start_udp(session, channel, ctx.message);
        break;
    case wire::TRANSPORT_MULTICAST:
        multicast_join(session, channel, wire::getU8(request, wire::START_KIND));
        break;
    case wire::TRANSPORT_TCP:
        framing_send_reply(session, ctx.message, wire::STATUS_OK, 0);
        break;
    default:
        break;
    }
    return true;
}

/* MSG_STOP_STREAM, never answered. */
bool handle_stop_stream(HandlerContext& ctx) {
    CommandSession* session = ctx.session;
    const int32_t channel = wire::getI32(ctx.message + wire::HEADER_SIZE, 0);
    if (!channel_ok(session, channel)) return true;
    ChannelStream& entry = session->streams[channel];
    const uint32_t transport = entry.transport.load();
    if (transport == wire::TRANSPORT_MULTICAST) {
        multicast_leave(session, channel);
    } else if (transport == wire::TRANSPORT_TCP || transport == wire::TRANSPORT_UDP) {
        std::lock_guard<std::mutex> lock(session->streamMutex);
        stream_stop_sender(entry);
    }
    return true;
}

/* MSG_SET_POLL_CONFIG: the channel's tour settings; answered OK even for a
 * channel out of range, which changes nothing. */
bool handle_set_poll_config(HandlerContext& ctx) {
    CommandSession* session = ctx.session;
    const uint8_t* payload = ctx.message + wire::HEADER_SIZE;
    int32_t channel = wire::getI32(payload, wire::POLL_CHANNEL);
    if (!channel_ok(session, channel)) {
        puts("MSG_SET_POLL_CONFIG  eerr ch num ");
    } else {
        PollConfig& poll = session->pollConfigs[channel];
        poll.channel = static_cast<uint32_t>(channel);
        poll.enabled = wire::getU32(payload, wire::POLL_ENABLED);
        poll.dwell = wire::getI32(payload, wire::POLL_DWELL);
        poll.mask = wire::getU32(payload, wire::POLL_MASK);
        multicast_poll_changed(session, channel);
    }
    framing_send_reply(session, ctx.message, wire::STATUS_OK, 0);
    return true;
}
