/*
 * multicast_sender.cpp - MulticastSendThread: at most one per channel,
 * shared by every session that joined the channel's multicast stream.
 *
 * Group: the host's multicast address with its fourth number replaced by
 * kind * 16 + channel; port (base port - 1 - channel - 16 * kind) mod 65536.
 */
#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <vector>

#include "core/module_state.h"
#include "netserver/host_api.h"
#include "netserver/wire.h"
#include "stream/frame_loop.h"
#include "stream/multicast.h"
#include "stream/stream_control.h"

namespace {

constexpr size_t ADDRESS_TEXT = 16;

// The channel table, made by the server start; the channel count stays fixed
// until the next start.
std::unique_ptr<MulticastChannel[]> g_channels;
uint32_t g_channelCount = 0;

void copyPoll(PollConfig& to, const PollConfig& from) {
    to.channel = from.channel.load();
    to.enabled = from.enabled.load();
    to.dwell = from.dwell.load();
    to.mask = from.mask.load();
}

}  // namespace

void multicast_reset(uint32_t channels) {
    g_channels.reset(channels != 0 ? new MulticastChannel[channels] : nullptr);
    g_channelCount = channels;
}

MulticastChannel& multicast_channel(int32_t channel) {
    return g_channels[channel];
}

bool multicast_group(int32_t channel, uint8_t kind, in_addr& own, sockaddr_in& group) {
    char ownText[ADDRESS_TEXT] = {};
    if (st_comm_getIpAddr(ownText, ADDRESS_TEXT) < 0) return false;
    ownText[ADDRESS_TEXT - 1] = '\0';
    char groupText[ADDRESS_TEXT] = {};
    st_net_getMulticastAddr(ownText, groupText);
    groupText[ADDRESS_TEXT - 1] = '\0';
    int a, b, c, d;
    if (sscanf(groupText, "%d.%d.%d.%d", &a, &b, &c, &d) != 4) return false;
    char text[ADDRESS_TEXT];
    snprintf(text, sizeof text, "%d.%d.%d.%d", a, b, c, kind * 16 + channel);
    group = {};
    group.sin_family = AF_INET;
    const uint32_t port = (g_module.basePort - 1 - static_cast<uint32_t>(channel) - 16u * kind) % 65536u;
    group.sin_port = htons(static_cast<uint16_t>(port));
    return inet_pton(AF_INET, text, &group.sin_addr) == 1 && inet_pton(AF_INET, ownText, &own) == 1;
}

namespace {

/* Ends a sender that has been taken out of its channel: it sees its flag at
 * the next frame or pass (the pool's wait is bounded), then its socket is
 * closed. Called with no lock held, so no other session waits for the join. */
void multicast_finish(std::unique_ptr<MulticastSender> sender) {
    if (!sender) return;
    pthread_join(sender->thread, nullptr);
    int fd = sender->sock.exchange(-1);
    if (fd >= 0) close(fd);
}

/* Takes the running sender out of the channel and tells it to stop. Caller
 * holds the channel's mutex; the join happens after it is released. */
std::unique_ptr<MulticastSender> multicast_take(MulticastChannel& ch) {
    std::unique_ptr<MulticastSender> sender = std::move(ch.sender);
    if (sender) sender->running = 0;
    return sender;
}

}  // namespace

void multicast_join(CommandSession* session, int32_t channel, uint8_t kind) {
    MulticastChannel& ch = g_channels[channel];
    std::lock_guard<std::mutex> lock(ch.mutex);
    if (session->mcastJoined[channel] == 1) return;
    session->mcastJoined[channel] = 1;
    if (++ch.subscribers != 1) return;
    auto sender = std::make_unique<MulticastSender>();
    sender->channel = channel;
    sender->kind = kind;
    copyPoll(sender->poll, session->pollConfigs[channel]);
    if (sender_thread_start(&sender->thread, MulticastSendThread, sender.get()) == 0) {
        ch.sender = std::move(sender);
        ch.starterSession = session->session_id;
    } else {
        perror("pthread_create");
    }
}

void multicast_leave(CommandSession* session, int32_t channel) {
    MulticastChannel& ch = g_channels[channel];
    std::unique_ptr<MulticastSender> ended;
    {
        std::lock_guard<std::mutex> lock(ch.mutex);
        if (session->mcastJoined[channel] != 1) return;
        session->mcastJoined[channel] = 0;
        if (--ch.subscribers == 0) ended = multicast_take(ch);
    }
    multicast_finish(std::move(ended));
}

void multicast_poll_changed(CommandSession* session, int32_t channel) {
    MulticastChannel& ch = g_channels[channel];
    std::lock_guard<std::mutex> lock(ch.mutex);
    if (ch.sender && ch.starterSession == session->session_id)
        copyPoll(ch.sender->poll, session->pollConfigs[channel]);
}

void multicast_stop_all() {
    // Every sender is told first, then each is joined: they finish together.
    std::vector<std::unique_ptr<MulticastSender>> ended;
    for (uint32_t c = 0; c < g_channelCount; ++c) {
        MulticastChannel& ch = g_channels[c];
        std::lock_guard<std::mutex> lock(ch.mutex);
        ended.push_back(multicast_take(ch));
    }
    for (auto& sender : ended) multicast_finish(std::move(sender));
}

/* Thread: the channel's sender. Its start block lives until its stopper has
 * joined it. */
void* MulticastSendThread(void* arg) {
    auto* self = static_cast<MulticastSender*>(arg);
    const int32_t channel = self->channel;
    const uint8_t kind = self->kind;
    in_addr own{};
    DatagramTarget target{-1, {}};
    if (!multicast_group(channel, kind, own, target.destination)) return nullptr;
    target.sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (target.sock < 0) return nullptr;
    setsockopt(target.sock, IPPROTO_IP, IP_MULTICAST_IF, &own, sizeof own);
    self->sock = target.sock;

    std::atomic<uint32_t> waitKeyFrame{1};
    uint32_t cursor[5] = {};
    StreamSender sender = sender_preset(SenderKind::Multicast);
    sender.running = &self->running;
    sender.waitKeyFrame = &waitKeyFrame;
    sender.poll = &self->poll;
    sender.channel = channel;
    sender.kind = kind;
    sender.cursor = cursor;
    sender.send = datagram_send_fragment;
    sender.context = &target;
    stream_run(sender);
    return nullptr;
}
