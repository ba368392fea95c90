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

#include "core/module_state.h"
#include "core/thread_registry.h"
#include "netserver/host_api.h"
#include "stream/frame_loop.h"
#include "stream/stream_control.h"

namespace {

constexpr size_t ADDRESS_TEXT = 16;

void copyPoll(PollConfig& to, const PollConfig& from) {
    to.channel = from.channel.load();
    to.enabled = from.enabled.load();
    to.dwell = from.dwell.load();
    to.mask = from.mask.load();
}

}  // namespace

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

/* Ends the channel's sender: it sees its flag at the next frame or pass
 * (the pool's wait is bounded), then its socket is closed. Caller holds the
 * channel's mutex; the sender never takes it. */
void multicast_stop(MulticastChannel& ch) {
    ch.running = 0;
    if (ch.hasThread) {
        pthread_join(ch.thread, nullptr);
        ch.hasThread = false;
    }
    int fd = ch.sock.exchange(-1);
    if (fd >= 0) close(fd);
}

}  // namespace

void multicast_join(CommandSession* session, int32_t channel, uint8_t kind) {
    MulticastChannel& ch = g_module.multicast[channel];
    std::lock_guard<std::recursive_mutex> lock(ch.mutex);
    if (session->mcastJoined[channel] == 1) return;
    session->mcastJoined[channel] = 1;
    if (++ch.subscribers != 1) return;
    ch.kind = kind;
    ch.starterSession = session->session_id;
    copyPoll(ch.poll, session->pollConfigs[channel]);
    // Set before the thread exists, so that a stop right after the start is
    // never undone by the thread.
    ch.running = 1;
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, SENDER_THREAD_STACK);
    if (pthread_create(&ch.thread, &attr, MulticastSendThread, &ch) == 0) {
        ch.hasThread = true;
    } else {
        perror("pthread_create");
        ch.running = 0;
    }
    pthread_attr_destroy(&attr);
}

void multicast_leave(CommandSession* session, int32_t channel) {
    MulticastChannel& ch = g_module.multicast[channel];
    std::lock_guard<std::recursive_mutex> lock(ch.mutex);
    if (session->mcastJoined[channel] != 1) return;
    session->mcastJoined[channel] = 0;
    if (--ch.subscribers == 0) multicast_stop(ch);
}

void multicast_poll_changed(CommandSession* session, int32_t channel) {
    MulticastChannel& ch = g_module.multicast[channel];
    std::lock_guard<std::recursive_mutex> lock(ch.mutex);
    if (ch.hasThread && ch.starterSession == session->session_id)
        copyPoll(ch.poll, session->pollConfigs[channel]);
}

void multicast_stop_all() {
    for (uint32_t c = 0; c < g_module.channelCount; ++c) {
        MulticastChannel& ch = g_module.multicast[c];
        std::lock_guard<std::recursive_mutex> lock(ch.mutex);
        multicast_stop(ch);
    }
}

/* Thread: the channel's sender. Its start block is its table entry, which
 * lives as long as the server runs. */
void* MulticastSendThread(void* arg) {
    auto* ch = static_cast<MulticastChannel*>(arg);
    const int32_t channel = static_cast<int32_t>(ch - g_module.multicast.get());
    const uint8_t kind = ch->kind;
    in_addr own{};
    DatagramTarget target{-1, {}};
    if (!multicast_group(channel, kind, own, target.destination)) return nullptr;
    target.sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (target.sock < 0) return nullptr;
    setsockopt(target.sock, IPPROTO_IP, IP_MULTICAST_IF, &own, sizeof own);
    ch->sock = target.sock;

    std::atomic<uint32_t> waitKeyFrame{1};
    uint32_t cursor[5] = {};
    StreamSender sender{};
    sender.resetCursorOnSelect = false;
    sender.clearWaitOnSelect = false;
    sender.endOnSendFailure = false;
    sender.tooLongFormat = " <<<<<<<<<<< get mcast net frame too len = %d\n";
    sender.running = &ch->running;
    sender.sendEnabled = nullptr;
    sender.frameFilter = nullptr;
    sender.waitKeyFrame = &waitKeyFrame;
    sender.poll = &ch->poll;
    sender.channel = channel;
    sender.kind = kind;
    sender.cursor = cursor;
    sender.channelCount = st_param_getChannelNum() & 0xff;
    sender.send = datagram_send_fragment;
    sender.context = &target;
    stream_run(sender);
    return nullptr;
}
