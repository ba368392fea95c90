/*
 * connection.cpp - framing of the command connection over a non-blocking
 * TCP socket, with every wait bounded by poll.
 */
#include "connection.h"

#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

#include "errors.h"

namespace recnet {

namespace {

using Clock = std::chrono::steady_clock;

// Milliseconds left until `deadline`, never negative, as poll wants them.
int msLeft(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return 0;
    if (left.count() > 1000 * 1000 * 1000) return 1000 * 1000 * 1000;
    return static_cast<int>(left.count());
}

// Waits until `fd` shows `events` or the deadline passes; false on time-out.
// Errors other than EINTR come back as POLLERR in the events, so that the
// following send or recv reports them with their own errno.
bool waitFor(int fd, short events, Clock::time_point deadline) {
    for (;;) {
        pollfd p{fd, events, 0};
        int n = ::poll(&p, 1, msLeft(deadline));
        if (n > 0) return true;
        if (n == 0) return false;
        if (errno != EINTR) return true;
    }
}

// "0x" and eight hex digits.
std::string hex32(uint32_t v) {
    char b[11];
    std::snprintf(b, sizeof b, "0x%08x", v);
    return b;
}

bool isPeerGone(int err) { return err == EPIPE || err == ECONNRESET || err == ENOTCONN; }

// Tries one resolved address; returns the connected socket or an invalid Fd
// with `err` set (ETIMEDOUT when the deadline passed).
Fd tryConnect(const addrinfo* ai, Clock::time_point deadline, int& err) {
    Fd fd(::socket(ai->ai_family, ai->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, ai->ai_protocol));
    if (!fd.valid()) {
        err = errno;
        return Fd();
    }
    if (::connect(fd.get(), ai->ai_addr, ai->ai_addrlen) == 0) return fd;
    if (errno != EINPROGRESS) {
        err = errno;
        return Fd();
    }
    if (!waitFor(fd.get(), POLLOUT, deadline)) {
        err = ETIMEDOUT;
        return Fd();
    }
    int soErr = 0;
    socklen_t len = sizeof soErr;
    if (::getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &soErr, &len) != 0) soErr = errno;
    if (soErr != 0) {
        err = soErr;
        return Fd();
    }
    return fd;
}

}  // namespace

std::string formatSeconds(Duration d) {
    long long ms = d.count();
    std::string s = std::to_string(ms / 1000);
    if (ms % 1000 != 0) {
        std::string frac = std::to_string(1000 + ms % 1000).substr(1);
        while (!frac.empty() && frac.back() == '0') frac.pop_back();
        s += "." + frac;
    }
    return s;
}

void Connection::connect(const std::string& host, uint16_t port, Duration timeout) {
    peer_ = host + ":" + std::to_string(port);
    timeout_ = timeout;
    addrinfo hints{};
    hints.ai_family = AF_INET;  // the recorder speaks IPv4 only
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    int rc = ::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &list);
    if (rc != 0) {
        throw Error(Error::Kind::Connect,
                    "cannot resolve host '" + host + "': " + ::gai_strerror(rc));
    }
    auto deadline = Clock::now() + timeout;
    int err = 0;
    for (const addrinfo* ai = list; ai != nullptr && !fd_.valid(); ai = ai->ai_next) {
        fd_ = tryConnect(ai, deadline, err);
    }
    ::freeaddrinfo(list);
    if (fd_.valid()) {
        writeBroken_ = false;
        readBroken_ = false;
        return;
    }
    if (err == ECONNREFUSED) throw Error(Error::Kind::Connect, "connection refused by " + peer_);
    if (err == ETIMEDOUT) {
        throw Error(Error::Kind::Connect, "cannot connect to " + peer_ + ": no answer within " +
                                              formatSeconds(timeout) + " s");
    }
    throw Error(Error::Kind::Connect, "cannot connect to " + peer_ + ": " + std::strerror(err));
}

void Connection::sendMessage(uint16_t type, uint16_t subtype, const std::vector<uint8_t>& payload,
                             uint8_t status, std::array<uint8_t, 3> rest) {
    if (payload.size() > wire::MAX_PAYLOAD) {
        throw Error(Error::Kind::Protocol, "payload of " + std::to_string(payload.size()) +
                                               " bytes is above the limit of " +
                                               std::to_string(wire::MAX_PAYLOAD));
    }
    wire::MessageHeader h;
    h.type = type;
    h.subtype = subtype;
    h.length = static_cast<uint32_t>(payload.size());
    h.status = status;
    std::memcpy(h.rest, rest.data(), rest.size());
    // One buffer, so that the header and its payload leave in one write loop.
    std::vector<uint8_t> buf(wire::HEADER_SIZE + payload.size());
    wire::encodeHeader(buf.data(), h);
    if (!payload.empty()) std::memcpy(buf.data() + wire::HEADER_SIZE, payload.data(), payload.size());
    writeAll(buf.data(), buf.size());
}

void Connection::sendHeader(const wire::MessageHeader& header) {
    uint8_t buf[wire::HEADER_SIZE];
    wire::encodeHeader(buf, header);
    writeAll(buf, sizeof buf);
}

void Connection::writeAll(const uint8_t* data, size_t size) {
    std::lock_guard<std::mutex> lock(writeMutex_);
    if (!fd_.valid()) throw Error(Error::Kind::Closed, "not connected");
    if (writeBroken_) {
        throw Error(Error::Kind::Closed,
                    "connection to " + peer_ + " unusable after an interrupted write");
    }
    auto deadline = Clock::now() + timeout_;
    size_t done = 0;
    while (done < size) {
        if (!waitFor(fd_.get(), POLLOUT, deadline)) {
            // Some bytes of the message may be on the wire already: nothing
            // sent after them could be framed correctly any more.
            if (done > 0) writeBroken_ = true;
            throw Error(Error::Kind::Timeout, "cannot send to " + peer_ + " within " +
                                                  formatSeconds(timeout_) + " s");
        }
        ssize_t n = ::send(fd_.get(), data + done, size - done, MSG_NOSIGNAL);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
        int err = n < 0 ? errno : EPIPE;
        if (done > 0) writeBroken_ = true;
        if (isPeerGone(err)) throw Error(Error::Kind::Closed, "connection closed by " + peer_);
        throw Error(Error::Kind::Closed,
                    "cannot send to " + peer_ + ": " + std::strerror(err));
    }
}

void Connection::readExact(uint8_t* data, size_t size, Clock::time_point deadline, bool started,
                           Duration timeout) {
    size_t done = 0;
    while (done < size) {
        if (!waitFor(fd_.get(), POLLIN, deadline)) {
            if (started || done > 0) {
                readBroken_ = true;
                throw Error(Error::Kind::Timeout, "incomplete message from " + peer_ +
                                                      ": the rest did not come within " +
                                                      formatSeconds(timeout) + " s");
            }
            throw Error(Error::Kind::Timeout,
                        "no reply from " + peer_ + " within " + formatSeconds(timeout) + " s");
        }
        ssize_t n = ::recv(fd_.get(), data + done, size - done, 0);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
        int err = n < 0 ? errno : 0;
        readBroken_ = true;
        if (err != 0 && !isPeerGone(err)) {
            throw Error(Error::Kind::Closed,
                        "cannot read from " + peer_ + ": " + std::strerror(err));
        }
        if (started || done > 0) {
            throw Error(Error::Kind::Closed,
                        "connection closed by " + peer_ + " in the middle of a message");
        }
        throw Error(Error::Kind::Closed, "connection closed by " + peer_);
    }
}

Message Connection::readMessage(Duration timeout) {
    std::optional<Message> m = tryReadMessage(timeout);
    if (!m) {
        throw Error(Error::Kind::Timeout,
                    "no reply from " + peer_ + " within " + formatSeconds(timeout) + " s");
    }
    return std::move(*m);
}

std::optional<Message> Connection::tryReadMessage(Duration timeout) {
    if (!fd_.valid()) throw Error(Error::Kind::Closed, "not connected");
    if (readBroken_) {
        throw Error(Error::Kind::Closed,
                    "connection to " + peer_ + " unusable after an interrupted read");
    }
    auto deadline = Clock::now() + timeout;
    if (!waitFor(fd_.get(), POLLIN, deadline)) return std::nullopt;
    uint8_t head[wire::HEADER_SIZE];
    readExact(head, sizeof head, deadline, false, timeout);
    Message m;
    m.header = wire::decodeHeader(head);
    // Checked before the payload is read: a wrong magic or an oversized length
    // means the stream is not framed as expected, so the bytes that follow
    // cannot be trusted either.
    if (m.header.magic != wire::MSG_MAGIC) {
        readBroken_ = true;
        throw Error(Error::Kind::Protocol,
                    "bad message from " + peer_ + ": wrong magic " + hex32(m.header.magic) +
                        " (is this a recorder's command port?)");
    }
    if (m.header.length > wire::MAX_PAYLOAD) {
        readBroken_ = true;
        throw Error(Error::Kind::Protocol, "bad message from " + peer_ + ": length " +
                                               std::to_string(m.header.length) +
                                               " is above the limit of " +
                                               std::to_string(wire::MAX_PAYLOAD));
    }
    m.payload.resize(m.header.length);
    if (m.header.length > 0) readExact(m.payload.data(), m.payload.size(), deadline, true, timeout);
    return m;
}

void Connection::readRaw(uint8_t* data, size_t size, Duration timeout) {
    if (!fd_.valid()) throw Error(Error::Kind::Closed, "not connected");
    if (readBroken_) {
        throw Error(Error::Kind::Closed,
                    "connection to " + peer_ + " unusable after an interrupted read");
    }
    if (size == 0) return;
    readExact(data, size, Clock::now() + timeout, false, timeout);
}

void Connection::shutdown() noexcept {
    if (fd_.valid()) ::shutdown(fd_.get(), SHUT_RDWR);
}

}  // namespace recnet
