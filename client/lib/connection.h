/*
 * connection.h - one TCP command connection to a recorder.
 *
 * A Connection frames messages: a 16-byte header, then as many payload bytes
 * as the header's length says. Writes may come from several threads (the
 * caller and a KeepAlive) and are serialised inside; reading is done by one
 * thread at a time, the one that drives the conversation.
 */
#ifndef RECNET_CLIENT_CONNECTION_H
#define RECNET_CLIENT_CONNECTION_H

#include <array>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "fd.h"
#include "netserver/wire.h"

namespace recnet {

using Duration = std::chrono::milliseconds;

// One received message: its decoded header and exactly header.length bytes.
struct Message {
    wire::MessageHeader header;
    std::vector<uint8_t> payload;
};

class Connection {
public:
    Connection() = default;
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // Resolves `host` (IPv4 name or dotted address) and connects to `port`,
    // giving up after `timeout`. `timeout` also becomes the limit for every
    // later write. Throws Error(Connect) when no address can be reached.
    void connect(const std::string& host, uint16_t port, Duration timeout);

    bool connected() const noexcept { return fd_.valid(); }

    // Sends one message: a header with `type`, `subtype`, the payload's length,
    // `status` and the three `rest` bytes, followed by `payload`, all in one
    // write loop so that no other writer's bytes can come between.
    // Throws Error(Closed) when the peer is gone, Error(Timeout) when the
    // bytes cannot be written within the connection's time-out.
    void sendMessage(uint16_t type, uint16_t subtype, const std::vector<uint8_t>& payload,
                     uint8_t status = 0, std::array<uint8_t, 3> rest = {0, 0, 0});

    // Sends 16 header bytes exactly as given (length included) and nothing
    // else; for messages whose header is the whole message.
    void sendHeader(const wire::MessageHeader& header);

    // Reads one complete message within `timeout`. Throws Error(Timeout) when
    // none begins or completes in time, Error(Closed) when the peer closes the
    // connection, Error(Protocol) for a bad magic or a length above
    // wire::MAX_PAYLOAD (checked before any payload is read or allocated).
    Message readMessage(Duration timeout);

    // As readMessage, but when not a single byte arrives within `timeout` it
    // returns nullopt instead of throwing: for requests that may get no answer.
    std::optional<Message> tryReadMessage(Duration timeout);

    // Reads exactly `size` raw bytes that are not framed as a message (the
    // fragments that follow some replies) within `timeout`, under the same
    // rules as a message: Error(Timeout) when they do not all arrive in time,
    // Error(Closed) when the peer closes. A read that stops part-way leaves
    // the connection unusable for further reads.
    void readRaw(uint8_t* data, size_t size, Duration timeout);

    // Stops both directions so that a thread blocked on this connection wakes
    // up; the descriptor itself is released by the destructor.
    void shutdown() noexcept;

    // The socket, for callers that need its addresses or wait on it beside
    // other descriptors (-1 when not connected). Reading from it directly is
    // only sound between whole messages.
    int nativeHandle() const noexcept { return fd_.get(); }

private:
    // Writes all `size` bytes under the write lock's protection.
    void writeAll(const uint8_t* data, size_t size);
    // Reads exactly `size` bytes by `deadline`; `started` says whether bytes of
    // the current message were already consumed; `timeout` is only for the
    // error wording.
    void readExact(uint8_t* data, size_t size, std::chrono::steady_clock::time_point deadline,
                   bool started, Duration timeout);

    Fd fd_;
    std::string peer_;            // "host:port", for messages
    Duration timeout_{5000};      // write limit
    std::mutex writeMutex_;       // one writer at a time
    bool writeBroken_ = false;    // a write stopped mid-message; guarded by writeMutex_
    bool readBroken_ = false;     // a read stopped mid-message; reader thread only
};

// Renders a duration in seconds the way a person writes it ("5", "2.5").
std::string formatSeconds(Duration d);

}  // namespace recnet

#endif
