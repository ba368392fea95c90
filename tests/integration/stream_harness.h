// Fragment header: u32 sequence @0, u32 data length @4, u32 payload length @8,
// u8 count @12, u8 index @13, u8 frame type @14, u8 0 @15.
#ifndef RECNET_TESTS_INTEGRATION_STREAM_HARNESS_H
#define RECNET_TESTS_INTEGRATION_STREAM_HARNESS_H

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "fake_host_stream.h"
#include "harness.h"

namespace it {

constexpr uint16_t T_START_STREAM = 0x3;
constexpr uint16_t T_STOP_STREAM = 0x4;

struct Fragment {
    uint32_t seq = 0, length = 0, payload = 0;
    uint8_t count = 0, index = 0, type = 0;
    Bytes bytes;  // the payload
};

inline Fragment parseFragment(const Bytes& b) {
    using testnet::u32At;
    return {u32At(b, 0), u32At(b, 4), u32At(b, 8), b[12], b[13], b[14], Bytes(b.begin() + 16, b.end())};
}

inline bool readFragment(RawClient& c, Fragment& out, int timeoutMs = 3000) {
    Bytes h = c.recv(16, timeoutMs);
    if (h.size() != 16) return false;
    uint32_t payload = testnet::u32At(h, 8);
    if (payload == 0 || payload > 1400) return false;
    Bytes p = c.recv(payload, timeoutMs);
    out = parseFragment(h + p);
    return p.size() == payload;
}

/* Waits until frames pushed to (channel, kind) reach `data`: the sender
 * starts at the live end once it has attached, so frames pushed before that
 * never come. Pushes small key frames until one arrives, then drains. */
inline bool awaitFlow(RawClient& data, int channel, int kind = 0) {
    Fragment f;
    bool flowing = false;
    // Bounded by time, not attempts: a loaded machine may take seconds to
    // start the sender.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!flowing && std::chrono::steady_clock::now() < deadline) {
        fake_host::pushFrame(channel, kind, 1, 4);
        flowing = readFragment(data, f, 30);
    }
    while (flowing && readFragment(data, f, 100)) {
    }
    return flowing;
}

inline Bytes startStream(int32_t channel, uint32_t transport, const sockaddr_in* dest = nullptr,
                         uint8_t kind = 0) {
    Bytes p = le32(static_cast<uint32_t>(channel)) + le32(transport) + Bytes(18, 0);
    if (dest != nullptr) {
        p[8] = static_cast<uint8_t>(dest->sin_family);
        p[9] = static_cast<uint8_t>(dest->sin_family >> 8);
        std::memcpy(&p[10], &dest->sin_port, 2);
        std::memcpy(&p[12], &dest->sin_addr, 4);
    }
    p[24] = kind;
    return p;
}

/* A command connection that logged in, and its data connection subscribed
 * to `channel`. */
struct TcpStream {
    RawClient command;
    RawClient data;
    uint32_t id = 0;
    bool subscribed = false;

    TcpStream(uint16_t port, int32_t channel, uint8_t kind = 0) : command(port), data(port + 1) {
        id = loginAdmin(command);
        if (id == 0 || !data.connected()) return;
        command.send(request(T_START_STREAM, startStream(channel, 1, nullptr, kind)));
        if (command.recv(16) != header(T_START_STREAM, 0, 0, 0)) return;
        data.send(request(0x77, le32(id)));
        if (data.recv(16) != header(0x77, 0, 0, 0)) return;
        Bytes sub = le32(static_cast<uint32_t>(channel));
        sub.push_back(kind);
        sub.insert(sub.end(), {0, 0, 0});
        data.send(request(0, sub));
        subscribed = data.recv(24) == request(0, sub);
    }
};

/* A UDP socket on a loopback address (127.0.0.1 unless given) with a
 * system-chosen port. */
struct UdpReceiver {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address{};
    explicit UdpReceiver(const char* ip = "127.0.0.1") {
        address.sin_family = AF_INET;
        inet_pton(AF_INET, ip, &address.sin_addr);
        bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        socklen_t len = sizeof address;
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &len);
        int big = 4 << 20;
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
    }
    ~UdpReceiver() { close(fd); }
    /* One datagram, or an empty one after `timeoutMs`. */
    Bytes receive(int timeoutMs = 2000, sockaddr_in* from = nullptr) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, timeoutMs) <= 0) return {};
        Bytes b(65536);
        socklen_t len = sizeof(sockaddr_in);
        sockaddr_in src{};
        ssize_t n = recvfrom(fd, b.data(), b.size(), 0, reinterpret_cast<sockaddr*>(&src), &len);
        if (from != nullptr) *from = src;
        b.resize(n > 0 ? static_cast<size_t>(n) : 0);
        return b;
    }
    void sendTo(uint16_t port, const Bytes& b) {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(port);
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        sendto(fd, b.data(), b.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    }
};

}  // namespace it

#endif
