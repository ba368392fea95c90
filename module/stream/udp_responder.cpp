/*
 * udp_responder.cpp - the UDP session responder on base port + 4: tells a
 * client with an open command connection the address and port from which its
 * datagram arrived.
 *
 * The probe's layout is wire.h's PROBE_*. Nothing of the request is checked.
 */
#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "core/module_state.h"
#include "core/socket.h"
#include "core/session.h"
#include "netserver/wire.h"
#include "stream/stream_control.h"

static_assert(AF_INET == wire::FAMILY_IPV4);

namespace {

/* Opens and binds the responder's socket; -1 when it cannot. */
int responder_open() {
    return socket_open_bound(SOCK_DGRAM, g_module.basePort + wire::UDP_RESPONDER_PORT_OFFSET, 0,
                             g_module.udpResponderSock, "bind fail");
}

/* Answers one probe, if its sender has a logged-in session. */
void responder_answer(int fd, const uint8_t* datagram, size_t size, const sockaddr_in& from) {
    if (!session_address_may_probe(from.sin_addr.s_addr)) return;
    uint8_t reply[wire::PROBE_SIZE];
    responder_build_reply(datagram, size, from, reply);
    sendto(fd, reply, sizeof reply, 0, reinterpret_cast<const sockaddr*>(&from), sizeof from);
}

}  // namespace

void responder_build_reply(const uint8_t* datagram, size_t size, const sockaddr_in& from,
                           uint8_t* reply) {
    // What a short probe did not carry is answered as zeros.
    std::memset(reply, 0, wire::PROBE_SIZE);
    std::memcpy(reply, datagram, size < wire::PROBE_SIZE ? size : wire::PROBE_SIZE);
    wire::putU8(reply, wire::HDR_STATUS, 0);
    wire::AddressV4 observed;
    observed.port = ntohs(from.sin_port);
    observed.address = ntohl(from.sin_addr.s_addr);
    wire::putAddressV4(reply, wire::PROBE_ADDRESS, observed);
}

void* UdpResponderThread(void*) {
    int fd = responder_open();
    if (fd < 0) return nullptr;
    uint8_t datagram[wire::PROBE_SIZE];
    for (;;) {
        pollfd fds[2] = {{fd, POLLIN, 0}, {g_module.wakePipe[0], POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return nullptr;
        }
        if (fds[1].revents != 0) return nullptr;  // the stop
        if ((fds[0].revents & POLLIN) == 0) continue;
        sockaddr_in from{};
        socklen_t len = sizeof from;
        ssize_t n = recvfrom(fd, datagram, sizeof datagram, 0, reinterpret_cast<sockaddr*>(&from), &len);
        if (n <= 0 || from.sin_family != AF_INET) continue;
        responder_answer(fd, datagram, static_cast<size_t>(n), from);
    }
}
