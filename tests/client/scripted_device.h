/*
 * scripted_device.h - the device's side of the client transfer tests: a
 * server on 127.0.0.1 that runs a script on one connection, and the bytes of
 * the protocol laid out by hand. Every wait is bounded.
 */
#ifndef RECNET_TESTS_CLIENT_SCRIPTED_DEVICE_H
#define RECNET_TESTS_CLIENT_SCRIPTED_DEVICE_H

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "connection.h"
#include "netserver/wire.h"

namespace scripted {

using Bytes = std::vector<uint8_t>;
using recnet::Duration;

constexpr int IO_LIMIT_MS = 5000;  // the longest any single wait of the scripted device lasts

/* ---- the scripted device --------------------------------------------------------- */

// Reads exactly `n` bytes; throws when they do not come within IO_LIMIT_MS or
// the peer closes first.
inline Bytes readBytes(int fd, size_t n) {
    Bytes b(n);
    size_t done = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(IO_LIMIT_MS);
    while (done < n) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd p{fd, POLLIN, 0};
        if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) {
            throw std::runtime_error("device: timed out reading " + std::to_string(n) + " bytes");
        }
        ssize_t got = ::recv(fd, b.data() + done, n - done, 0);
        if (got <= 0) throw std::runtime_error("device: peer closed while reading");
        done += static_cast<size_t>(got);
    }
    return b;
}

// Writes all bytes; false when the peer is gone (or the write stalls).
inline bool sendBytes(int fd, const Bytes& b) {
    size_t done = 0;
    while (done < b.size()) {
        pollfd p{fd, POLLOUT, 0};
        if (::poll(&p, 1, IO_LIMIT_MS) <= 0) return false;
        ssize_t n = ::send(fd, b.data() + done, b.size() - done, MSG_NOSIGNAL);
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// Whether the peer closes without sending another byte within `ms`.
inline bool closesWithoutData(int fd, int ms) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, ms) <= 0) return false;
    uint8_t c;
    return ::recv(fd, &c, 1, 0) == 0;
}

// A message header as the protocol lays it out: magic @0, type @4, sub-type
// @6, length @8, status @12, three zero bytes @13.
inline Bytes header(uint16_t type, uint16_t subtype, uint32_t length, uint8_t status) {
    Bytes h(16, 0);
    h[0] = 0x4c, h[1] = 0x4c, h[2] = 0x4c, h[3] = 0x50;  // 0x504C4C4C, little-endian
    wire::putU16(h.data(), 4, type);
    wire::putU16(h.data(), 6, subtype);
    wire::putU32(h.data(), 8, length);
    h[12] = status;
    return h;
}

inline Bytes cat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

inline Bytes word(uint32_t v) {
    Bytes b(4);
    wire::putU32(b.data(), 0, v);
    return b;
}

struct Received {
    uint16_t type, subtype;
    uint32_t length;
    uint8_t status;
    Bytes rest, payload;
};

// One message from the client; checks its magic.
inline Received readMessage(int fd) {
    Bytes h = readBytes(fd, 16);
    if (wire::getU32(h.data(), 0) != 0x504C4C4C) throw std::runtime_error("device: bad magic");
    Received r{wire::getU16(h.data(), 4), wire::getU16(h.data(), 6), wire::getU32(h.data(), 8),
               h[12], Bytes(h.begin() + 13, h.end()), {}};
    r.payload = readBytes(fd, r.length);
    return r;
}

// The picture fragments of `picture`: 8 zero bytes, u32 length @8, u8 count
// @12, u8 number (from 1) @13, 2 zero bytes, then the bytes.
inline Bytes fragments(const Bytes& picture) {
    Bytes out;
    const size_t count = (picture.size() + 1399) / 1400;
    for (size_t i = 0; i < count; ++i) {
        const size_t n = std::min<size_t>(1400, picture.size() - i * 1400);
        Bytes f(16, 0);
        wire::putU32(f.data(), 8, static_cast<uint32_t>(n));
        f[12] = static_cast<uint8_t>(count);
        f[13] = static_cast<uint8_t>(i + 1);
        out = cat(out, f);
        out.insert(out.end(), picture.begin() + static_cast<std::ptrdiff_t>(i * 1400),
                   picture.begin() + static_cast<std::ptrdiff_t>(i * 1400 + n));
    }
    return out;
}

inline Bytes pattern(size_t n, uint8_t seed) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(seed + i * 13 + (i >> 8));
    return b;
}

// A device on 127.0.0.1 (ephemeral port) that accepts one connection and
// runs `script` on it on its own thread. A script failure (an exception, or a
// connection that never comes) is kept for failure().
class ScriptedDevice {
public:
    explicit ScriptedDevice(std::function<void(int)> script) {
        listen_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = 0;
        socklen_t len = sizeof a;
        if (listen_ < 0 || ::bind(listen_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
            ::listen(listen_, 1) != 0 ||
            ::getsockname(listen_, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
            throw std::runtime_error("cannot listen on 127.0.0.1");
        }
        port_ = ntohs(a.sin_port);
        thread_ = std::thread([this, script = std::move(script)] {
            pollfd p{listen_, POLLIN, 0};
            if (::poll(&p, 1, IO_LIMIT_MS) <= 0) {
                failure_ = "device: no connection came";
                return;
            }
            int fd = ::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) {
                failure_ = "device: accept failed";
                return;
            }
            try {
                script(fd);
            } catch (const std::exception& e) {
                failure_ = e.what();
            }
            ::close(fd);
        });
    }
    ~ScriptedDevice() {
        if (thread_.joinable()) thread_.join();
        ::close(listen_);
    }
    ScriptedDevice(const ScriptedDevice&) = delete;
    ScriptedDevice& operator=(const ScriptedDevice&) = delete;

    uint16_t port() const { return port_; }

    // Waits for the script to end; "" when it ran through.
    std::string failure() {
        if (thread_.joinable()) thread_.join();
        return failure_;
    }

private:
    int listen_ = -1;
    uint16_t port_ = 0;
    std::string failure_;  // written by the thread, read after join
    std::thread thread_;
};

// Runs `client` on a connection to a device playing `script`, closes the
// connection and returns the script's failure ("" when it ran through).
inline std::string withDevice(std::function<void(int)> script,
                       const std::function<void(recnet::Connection&)>& client) {
    ScriptedDevice device(std::move(script));
    {
        recnet::Connection conn;
        conn.connect("127.0.0.1", device.port(), Duration(2000));
        client(conn);
    }
    return device.failure();
}

// The exception of type E that `f` throws; none when it returns.
template <class E, class F>
std::optional<E> caught(F&& f) {
    try {
        f();
    } catch (const E& e) {
        return e;
    }
    return std::nullopt;
}

}  // namespace scripted

#endif
