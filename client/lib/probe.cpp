/*
 * probe.cpp - the AddressProbe exchange with the UDP session responder.
 */
#include "probe.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <random>

#include "errors.h"
#include "fd.h"
#include "netserver/wire.h"

namespace recnet {

namespace {

constexpr auto RESEND_INTERVAL = std::chrono::milliseconds(500);

sockaddr_in addressOf(int fd, bool peer) {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    int rc = peer ? ::getpeername(fd, reinterpret_cast<sockaddr*>(&a), &len)
                  : ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    if (rc != 0 || a.sin_family != AF_INET) {
        throw Error(Error::Kind::Connect, "the command connection has no IPv4 address");
    }
    return a;
}

}  // namespace

ProbeResult probeAddress(const Connection& conn, Duration timeout) {
    if (!conn.connected()) throw Error(Error::Kind::Closed, "not connected");
    sockaddr_in local = addressOf(conn.nativeHandle(), false);
    sockaddr_in server = addressOf(conn.nativeHandle(), true);
    server.sin_port = htons(static_cast<uint16_t>(ntohs(server.sin_port) +
                                                  wire::UDP_RESPONDER_PORT_OFFSET));

    Fd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!fd.valid()) {
        throw Error(Error::Kind::Connect, std::string("cannot open a UDP socket: ") +
                                              std::strerror(errno));
    }
    // From the address the server knows: it answers only hosts it has a
    // session with.
    local.sin_port = 0;
    if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        throw Error(Error::Kind::Connect, std::string("cannot bind the UDP socket: ") +
                                              std::strerror(errno));
    }
    sockaddr_in bound = addressOf(fd.get(), false);

    // Words the answer must carry back, so that a stray datagram is not taken.
    std::random_device rd;
    const uint32_t a = rd(), b = rd(), c = rd();
    uint8_t req[wire::PROBE_SIZE] = {};
    wire::MessageHeader h;
    h.length = wire::PROBE_SIZE - wire::HEADER_SIZE;
    wire::encodeHeader(req, h);
    wire::putU32(req, wire::PROBE_WORD_A, a);
    wire::putU32(req, wire::PROBE_WORD_B, b);
    wire::putU32(req, wire::PROBE_WORD_C, c);

    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + timeout;
    auto nextSend = Clock::now();
    for (;;) {
        auto now = Clock::now();
        if (now >= deadline) {
            throw Error(Error::Kind::Timeout, "no answer from the address responder within " +
                                                  formatSeconds(timeout) + " s");
        }
        if (now >= nextSend) {
            ::sendto(fd.get(), req, sizeof req, 0, reinterpret_cast<const sockaddr*>(&server),
                     sizeof server);
            nextSend = now + RESEND_INTERVAL;
        }
        auto until = std::min(deadline, nextSend);
        int ms = static_cast<int>(
            std::chrono::duration_cast<std::chrono::milliseconds>(until - now).count());
        pollfd p{fd.get(), POLLIN, 0};
        if (::poll(&p, 1, std::max(ms, 1)) <= 0) continue;
        uint8_t ans[wire::PROBE_SIZE + 16];
        ssize_t n = ::recv(fd.get(), ans, sizeof ans, MSG_DONTWAIT);
        if (n < 0) continue;
        if (static_cast<size_t>(n) != wire::PROBE_SIZE) {
            throw Error(Error::Kind::Protocol, "address answer of " + std::to_string(n) +
                                                   " bytes (expected 44)");
        }
        if (wire::getU32(ans, wire::PROBE_WORD_A) != a || wire::getU32(ans, wire::PROBE_WORD_B) != b ||
            wire::getU32(ans, wire::PROBE_WORD_C) != c) {
            continue;  // not the answer to our probe
        }
        ProbeResult r;
        const wire::AddressV4 observed = wire::getAddressV4(ans, wire::PROBE_ADDRESS);
        r.family = observed.family;
        r.port = observed.port;
        in_addr addr;
        addr.s_addr = htonl(observed.address);
        char text[INET_ADDRSTRLEN] = {};
        ::inet_ntop(AF_INET, &addr, text, sizeof text);
        r.address = text;
        r.localPort = ntohs(bound.sin_port);
        return r;
    }
}

}  // namespace recnet
