/*
 * udp_sender.cpp - UdpSendThread: one channel of one session as datagrams to
 * the address the client named, one fragment per datagram.
 */
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "core/framing.h"
#include "netserver/host_api.h"
#include "netserver/wire.h"
#include "stream/frame_loop.h"
#include "stream/stream_control.h"

void stream_start_udp(CommandSession* session, int32_t channel, uint8_t* message) {
    const uint8_t* request = message + wire::HEADER_SIZE;
    sockaddr_in destination{};
    std::memcpy(&destination, request + wire::START_DESTINATION, sizeof destination);
    // Video goes only to the client's own host (any port: the address probe
    // serves clients behind NAT); otherwise a client could aim the device's
    // streams at a third party.
    if (destination.sin_addr.s_addr != session->peer.sin_addr.s_addr) {
        framing_send_reply(session, message, wire::STATUS_FAILED, 0);
        return;
    }
    ChannelStream& entry = session->streams[channel];
    {
        std::lock_guard<std::mutex> lock(session->streamMutex);
        // A second start would otherwise leave the first sender without
        // anyone to end it.
        stream_stop_sender(entry);
        entry.transport = wire::TRANSPORT_UDP;
        entry.kind = wire::getU8(request, wire::START_KIND);
        entry.channel = channel;
        entry.waitKeyFrame = 1;
        entry.destination = destination;
        entry.poll = &session->pollConfigs[channel];
        entry.running = 1;
        entry.sendEnabled = stream_initial_send_enabled(entry);
    }
    // The answer is written without streamMutex: a client that does not read
    // must not hold the lock that its data connections and the host need.
    framing_send_reply(session, message, wire::STATUS_OK, 0);

    std::lock_guard<std::mutex> lock(session->streamMutex);
    if (entry.running.load() == 0 || entry.hasSender) return;  // stopped meanwhile
    if (sender_thread_start(&entry.senderThread, UdpSendThread, &entry) == 0) {
        entry.hasSender = true;
    } else {
        entry.running = 0;
        entry.sendEnabled = 0;
    }
}

/* Thread: the entry's sender. Ends when running is 0 at a pass or a send
 * fails; never closes its socket (the entry's stopper does). */
void* UdpSendThread(void* arg) {
    auto* entry = static_cast<ChannelStream*>(arg);
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return nullptr;
    sender_set_socket_options(SenderKind::Udp, fd);
    entry->sock = fd;
    // Copied once: a later change of the entry does not redirect the stream.
    DatagramTarget target{fd, entry->destination};
    if (entry->running.load() == 0) return nullptr;

    StreamSender sender = sender_preset(SenderKind::Udp);
    sender_bind_entry(sender, *entry, entry->poll);
    sender.send = datagram_send_fragment;
    sender.context = &target;
    stream_run(sender);
    return nullptr;
}
