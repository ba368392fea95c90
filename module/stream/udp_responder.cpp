/*
 * udp_responder.cpp - the UDP session responder on base port + 4: tells a
 * client with an open command connection the address and port from which its
 * datagram arrived.
 *
 * AddressProbe, 44 bytes, the same layout both ways: header @0 (status set to
 * 0 in the reply), client words @16 and @20, observed IPv4 socket address @24
 * (family u16 little-endian, port and address in network order, 8 zero
 * bytes), client word @40. Nothing of the request is checked.
 */
#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "core/module_state.h"
#include "core/session.h"
#include "netserver/wire.h"
#include "stream/stream_control.h"

namespace {

constexpr size_t PROBE_SIZE = 44;
constexpr size_t PROBE_ADDRESS = 24;

/* Opens and binds the responder's socket; -1 when it cannot. */
int responder_open() {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    g_module.udpResponderSock = fd;
    int on = 1;
    if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0)
        perror("setsockopt():SO_REUSEADDR");
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    addr.sin_port = htons(static_cast<uint16_t>(g_module.basePort + wire::UDP_RESPONDER_PORT_OFFSET));
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        perror("bind fail");
        return -1;
    }
    return fd;
}

/* Answers one probe, if its sender has a command connection. */
void responder_answer(int fd, uint8_t* probe, const sockaddr_in& from) {
    if (session_find_by_address(from.sin_addr.s_addr) == nullptr) return;
    wire::putU8(probe, wire::HDR_STATUS, 0);
    std::memset(probe + PROBE_ADDRESS, 0, sizeof(sockaddr_in));
    wire::putU16(probe, PROBE_ADDRESS, AF_INET);
    std::memcpy(probe + PROBE_ADDRESS + 2, &from.sin_port, 2);
    std::memcpy(probe + PROBE_ADDRESS + 4, &from.sin_addr, 4);
    sendto(fd, probe, PROBE_SIZE, 0, reinterpret_cast<const sockaddr*>(&from), sizeof from);
}

}  // namespace

void* UdpResponderThread(void*) {
    int fd = responder_open();
    if (fd < 0) return nullptr;
    uint8_t probe[PROBE_SIZE];
    for (;;) {
        pollfd fds[2] = {{fd, POLLIN, 0}, {g_module.wakePipe[0], POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return nullptr;
        }
        if (fds[1].revents != 0) return nullptr;  // the stop
        if ((fds[0].revents & POLLIN) == 0) continue;
        // Zeroed for each datagram: a short probe is answered with zeros in
        // what it did not carry.
        std::memset(probe, 0, sizeof probe);
        sockaddr_in from{};
        socklen_t len = sizeof from;
        ssize_t n = recvfrom(fd, probe, sizeof probe, 0, reinterpret_cast<sockaddr*>(&from), &len);
        if (n <= 0 || from.sin_family != AF_INET) continue;
        responder_answer(fd, probe, from);
    }
}
