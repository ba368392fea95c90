#include "net.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <random>
#include <thread>

namespace testnet {

namespace {

sockaddr_in ipv4(uint32_t address, uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(address);
    return a;
}

bool connectTo(int fd, uint16_t port) {
    const sockaddr_in to = ipv4(INADDR_LOOPBACK, port);
    return connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0;
}

bool readable(int fd, std::chrono::steady_clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    pollfd p{fd, POLLIN, 0};
    return left.count() > 0 && poll(&p, 1, static_cast<int>(left.count())) > 0;
}

void putLe(Bytes& b, size_t at, uint32_t v, int n) {
    for (int i = 0; i < n; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

}  // namespace

int bindAny(int type, uint16_t port) {
    int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    const sockaddr_in a = ipv4(INADDR_ANY, port);
    if (bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0) return fd;
    ::close(fd);
    return -1;
}

namespace {

bool canBind(int type, uint16_t port) {
    int fd = bindAny(type, port);
    if (fd >= 0) ::close(fd);
    return fd >= 0;
}

// A random port of [lo, hi] that `usable` accepts now; 0 after 200 tries.
uint16_t pickPort(int lo, int hi, bool (*usable)(uint16_t)) {
    static std::mt19937 rng(std::random_device{}());
    std::uniform_int_distribution<int> dist(lo, hi);
    for (int i = 0; i < 200; ++i)
        if (const auto port = static_cast<uint16_t>(dist(rng)); usable(port)) return port;
    return 0;
}

}  // namespace

uint16_t pickBasePort() {
    // Below Linux's ephemeral range (32768 up), where the kernel hands out
    // the source ports of outgoing connections: a port found free there may
    // be taken by some client's connect before the server binds it.
    return pickPort(20000, 32000, [](uint16_t base) {
        return canBind(SOCK_STREAM, base) && canBind(SOCK_STREAM, base + 1) && canBind(SOCK_DGRAM, base + 4);
    });
}

uint16_t pickSparePort() {
    // Above base + 4 of every base above, below the ephemeral range.
    return pickPort(32010, 32760, [](uint16_t port) { return canBind(SOCK_STREAM, port); });
}

RawClient::RawClient(uint16_t port, int waitMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    for (;;) {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        if (connectTo(fd_, port)) return;
        close();
        if (std::chrono::steady_clock::now() > deadline) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

RawClient::RawClient(uint16_t port, const char* from, int receiveBuffer) {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    if (receiveBuffer > 0) setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    const sockaddr_in local = ipv4(ntohl(inet_addr(from)), 0);
    if (bind(fd_, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0 || !connectTo(fd_, port)) close();
}

RawClient::~RawClient() { close(); }

void RawClient::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

void RawClient::send(const Bytes& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        pollfd p{fd_, POLLOUT, 0};
        if (poll(&p, 1, 3000) <= 0) return;
        ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n <= 0) return;
        done += static_cast<size_t>(n);
    }
}

Bytes RawClient::recv(size_t n, int timeoutMs) {
    Bytes out;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (out.size() < n && readable(fd_, deadline)) {
        uint8_t buf[65536];
        ssize_t r = ::recv(fd_, buf, std::min(sizeof buf, n - out.size()), 0);
        if (r <= 0) break;
        out.insert(out.end(), buf, buf + r);
    }
    return out;
}

bool RawClient::silentFor(int ms) {
    pollfd p{fd_, POLLIN, 0};
    return poll(&p, 1, ms) == 0;
}

bool RawClient::closedWithin(int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (readable(fd_, deadline)) {
        uint8_t buf[4096];
        ssize_t r = ::recv(fd_, buf, sizeof buf, 0);
        if (r == 0) return true;
        if (r < 0 && errno != EINTR && errno != EAGAIN) return true;  // reset counts as closed
    }
    return false;
}

Bytes message(uint16_t type, const Bytes& payload, uint16_t subtype, uint8_t status,
              uint32_t magic, const uint8_t rest[3]) {
    Bytes b(16 + payload.size(), 0);
    putLe(b, 0, magic, 4);
    putLe(b, 4, type, 2);
    putLe(b, 6, subtype, 2);
    putLe(b, 8, static_cast<uint32_t>(payload.size()), 4);
    b[12] = status;
    if (rest) std::memcpy(&b[13], rest, 3);
    std::copy(payload.begin(), payload.end(), b.begin() + 16);
    return b;
}

Bytes messageWithLength(uint16_t type, uint32_t length, const Bytes& payload) {
    Bytes b = message(type, payload);
    putLe(b, 8, length, 4);
    return b;
}

Bytes loginRecord(const std::string& user, const std::string& password) {
    Bytes r(84, 0);
    std::memcpy(r.data(), user.data(), std::min<size_t>(user.size(), 24));
    std::memcpy(r.data() + 24, password.data(), std::min<size_t>(password.size(), 24));
    return r;
}

uint32_t u32At(const Bytes& b, size_t off) {
    return b[off] | (b[off + 1] << 8) | (b[off + 2] << 16) | (static_cast<uint32_t>(b[off + 3]) << 24);
}

uint16_t u16At(const Bytes& b, size_t off) {
    return static_cast<uint16_t>(b[off] | (b[off + 1] << 8));
}

}  // namespace testnet
