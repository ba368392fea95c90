/*
 * transfers.cpp - firmware upgrade, snapshots and the serial channel.
 *
 * Every field is read and written with the wire helpers at its offset.
 */
#include "transfers.h"

#include <poll.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <limits>
#include <stdexcept>

#include "hex.h"
#include "netserver/records.h"
#include "netserver/wire.h"

namespace recnet {

namespace {

using Clock = std::chrono::steady_clock;

// Waits until the connection has bytes to read (or has been closed, which a
// read then reports) within `wait`. Reading happens afterwards with the full
// answer time-out, so that a message that begins late is not cut short.
bool waitReadable(const Connection& conn, Duration wait) {
    const auto deadline = Clock::now() + wait;
    for (;;) {
        auto left = std::chrono::duration_cast<Duration>(deadline - Clock::now());
        pollfd p{conn.nativeHandle(), POLLIN, 0};
        int n = ::poll(&p, 1, static_cast<int>(std::max<Duration::rep>(0, left.count())));
        if (n > 0) return true;
        if (n == 0) return false;
        if (errno != EINTR) return true;  // the read reports the error itself
        if (Clock::now() >= deadline) return false;
    }
}

// The time left until `deadline`, at least 1 ms.
Duration leftUntil(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<Duration>(deadline - Clock::now());
    return std::max(left, Duration(1));
}

/* ---- upgrade ---------------------------------------------------------------------- */

// The next upgrade answer (acknowledgement or progress) within `wait`; other
// messages (serial data the device pushes) are not for us and are skipped.
Message readUpgradeAnswer(Connection& conn, Duration wait) {
    const auto deadline = Clock::now() + wait;
    for (;;) {
        Message m = conn.readMessage(leftUntil(deadline));
        if (m.header.type == wire::MSG_UPDATE_ACK || m.header.type == wire::MSG_UPDATE_PROGRESS) {
            return m;
        }
    }
}

// A failure answer of the upload (status not 0) as the error it stands for.
UpgradeFailed progressFailure(const Message& m, uint32_t imageSize) {
    const uint32_t v = wire::getU32(m.payload.data(), 0);
    if (v == 0xffffffffu) {
        return UpgradeFailed(UpgradeFailure::WriteFailed, m.header.status, v,
                             "firmware upgrade failed: the device could not write the image "
                             "(its header or CRC check failed); the old firmware is kept");
    }
    if (v == imageSize) {
        return UpgradeFailed(UpgradeFailure::TransferFailed, m.header.status, v,
                             "firmware upgrade failed: the device did not receive the whole image");
    }
    return UpgradeFailed(UpgradeFailure::Failed, m.header.status, v,
                         "firmware upgrade failed (status " + hexWord(m.header.status) +
                             ", value " + hexWord(v) + ")");
}

/* ---- snapshots ------------------------------------------------------------------------ */

// The next answer to a snapshot request with `subtype`, skipping messages
// that belong to other conversations (serial data the device pushes).
Message readSnapshotAnswer(Connection& conn, uint16_t subtype, Duration timeout) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        Message m = conn.readMessage(leftUntil(deadline));
        if (m.header.type == wire::MSG_TIME_INFO && m.header.subtype == subtype) return m;
    }
}

}  // namespace

/* ---- firmware image ------------------------------------------------------------------ */

uint32_t crc32Of(const uint8_t* data, size_t size) {
    uLong crc = ::crc32(0L, Z_NULL, 0);
    // zlib takes lengths as uInt: feed large buffers in pieces.
    while (size > 0) {
        const uInt n = static_cast<uInt>(std::min<size_t>(size, 1u << 30));
        crc = ::crc32(crc, data, n);
        data += n;
        size -= n;
    }
    return static_cast<uint32_t>(crc);
}

std::vector<uint8_t> buildFirmwareImage(const std::string& version,
                                        const std::vector<uint8_t>& payload) {
    if (version.size() > IMAGE_VERSION_TEXT_MAX) {
        throw std::invalid_argument("version text has more than " +
                                    std::to_string(IMAGE_VERSION_TEXT_MAX) + " characters");
    }
    if (version.find('\0') != std::string::npos) {
        throw std::invalid_argument("version text holds a NUL character");
    }
    if (payload.size() > std::numeric_limits<uint32_t>::max() - records::IMAGE_HEADER_SIZE) {
        throw std::invalid_argument("payload is too large for an image");
    }
    std::vector<uint8_t> image(records::IMAGE_HEADER_SIZE + payload.size(), 0);
    std::memcpy(image.data() + records::IMAGE_MAGIC, records::IMAGE_MAGIC_BYTES,
                sizeof records::IMAGE_MAGIC_BYTES);
    wire::putU32(image.data(), records::IMAGE_HEADER_VERSION, records::IMAGE_FORMAT_VERSION);
    wire::putU32(image.data(), records::IMAGE_PAYLOAD_LENGTH,
                 static_cast<uint32_t>(payload.size()));
    wire::putU32(image.data(), records::IMAGE_CRC, crc32Of(payload.data(), payload.size()));
    // The text field stays NUL-terminated: at most 31 bytes go in, the rest
    // (and the reserved bytes) are already zero.
    std::memcpy(image.data() + records::IMAGE_VERSION_TEXT, version.data(), version.size());
    if (!payload.empty()) {
        std::memcpy(image.data() + records::IMAGE_HEADER_SIZE, payload.data(), payload.size());
    }
    return image;
}

FirmwareImageHeader parseFirmwareImageHeader(const uint8_t* data, size_t size) {
    if (size < records::IMAGE_HEADER_SIZE) {
        throw std::invalid_argument("not a firmware image: " + std::to_string(size) +
                                    " bytes are shorter than its 64-byte header");
    }
    if (std::memcmp(data + records::IMAGE_MAGIC, records::IMAGE_MAGIC_BYTES,
                    sizeof records::IMAGE_MAGIC_BYTES) != 0) {
        throw std::invalid_argument("not a firmware image: the magic is not RNFW");
    }
    FirmwareImageHeader h;
    h.headerVersion = wire::getU32(data, records::IMAGE_HEADER_VERSION);
    h.payloadLength = wire::getU32(data, records::IMAGE_PAYLOAD_LENGTH);
    h.crc = wire::getU32(data, records::IMAGE_CRC);
    h.version = wire::getText(data, records::IMAGE_VERSION_TEXT, records::IMAGE_VERSION_TEXT_SIZE);
    return h;
}

FirmwareImageHeader checkFirmwareImage(const std::vector<uint8_t>& image) {
    FirmwareImageHeader h = parseFirmwareImageHeader(image.data(), image.size());
    if (h.headerVersion != records::IMAGE_FORMAT_VERSION) {
        throw std::invalid_argument("unknown image header version " +
                                    std::to_string(h.headerVersion));
    }
    if (std::memchr(image.data() + records::IMAGE_VERSION_TEXT, 0,
                    records::IMAGE_VERSION_TEXT_SIZE) == nullptr) {
        throw std::invalid_argument("the image's version text is not NUL-terminated");
    }
    const size_t payload = image.size() - records::IMAGE_HEADER_SIZE;
    if (h.payloadLength != payload) {
        throw std::invalid_argument("the header states " + std::to_string(h.payloadLength) +
                                    " payload bytes, the image holds " + std::to_string(payload));
    }
    const uint32_t crc = crc32Of(image.data() + records::IMAGE_HEADER_SIZE, payload);
    if (crc != h.crc) {
        throw std::invalid_argument("CRC mismatch: the header states " + hexWord(h.crc) +
                                    ", the payload has " + hexWord(crc));
    }
    return h;
}

/* ---- firmware upgrade ------------------------------------------------------------------ */

Duration upgradeProgressWait(Duration timeout) { return timeout + Duration(12000); }

void upgradeFirmware(Connection& conn, const std::vector<uint8_t>& image,
                     const UpgradeCallbacks& callbacks, Duration timeout) {
    if (image.size() > static_cast<size_t>(std::numeric_limits<int32_t>::max())) {
        throw std::invalid_argument("a firmware image of " + std::to_string(image.size()) +
                                    " bytes is larger than an upgrade request can state");
    }
    const uint32_t size = static_cast<uint32_t>(image.size());
    std::vector<uint8_t> req(4);
    wire::putI32(req.data(), 0, static_cast<int32_t>(size));
    conn.sendMessage(wire::MSG_TIME_INFO, records::TRANSFER_FIRMWARE, req);

    Message ack = readUpgradeAnswer(conn, timeout);
    if (ack.header.type != wire::MSG_UPDATE_ACK) {
        // A progress answer before any upload: only a failure makes sense.
        if (ack.header.status != wire::STATUS_OK && ack.payload.size() >= 4) {
            throw progressFailure(ack, size);
        }
        throw Error(Error::Kind::Protocol,
                    "firmware upgrade: progress answer before the upload was accepted");
    }
    if (ack.header.status != wire::STATUS_OK) {
        throw UpgradeFailed(UpgradeFailure::Refused, ack.header.status, 0,
                            "firmware upgrade refused by the device (status " +
                                hexWord(ack.header.status) + ")");
    }

    // The upload. The device answers only when it has the whole image or has
    // given up on it; an answer (or the connection's end) that shows up
    // early stops the sending, and the reading below reports it.
    uint64_t sent = 0;
    std::vector<uint8_t> chunk;
    while (sent < size) {
        // Each chunk travels behind a normal header (MSG_TIME_INFO, the
        // firmware sub-type, length = its size).
        const size_t n = std::min<size_t>(wire::UPDATE_CHUNK_MAX, size - sent);
        chunk.assign(image.begin() + static_cast<std::ptrdiff_t>(sent),
                     image.begin() + static_cast<std::ptrdiff_t>(sent + n));
        conn.sendMessage(wire::MSG_TIME_INFO, records::TRANSFER_FIRMWARE, chunk);
        sent += n;
        if (callbacks.uploaded) callbacks.uploaded(sent, size);
        if (sent < size && waitReadable(conn, Duration(0))) break;
    }

    // The flash write: progress about every 2 s until 100 %.
    const Duration wait = upgradeProgressWait(timeout);
    for (;;) {
        Message m = readUpgradeAnswer(conn, wait);
        if (m.header.type != wire::MSG_UPDATE_PROGRESS) {
            throw Error(Error::Kind::Protocol,
                        "firmware upgrade: a second acknowledgement during the upload");
        }
        expectSize(m.payload, 4, "firmware upgrade progress");
        if (m.header.status != wire::STATUS_OK) throw progressFailure(m, size);
        if (sent < size) {
            throw Error(Error::Kind::Protocol, "firmware upgrade: the device reported progress "
                                               "before it had the whole image");
        }
        const uint32_t percent = std::min<uint32_t>(wire::getU32(m.payload.data(), 0), 100);
        if (callbacks.written) callbacks.written(percent);
        if (percent == 100) return;
    }
}

/* ---- snapshots -------------------------------------------------------------------------- */

std::vector<uint8_t> buildSnapshotRequest(uint32_t channel) {
    std::vector<uint8_t> p(SNAPSHOT_REQUEST_SIZE, 0);
    wire::putU32(p.data(), SNAPSHOT_CHANNEL, channel);
    wire::putU32(p.data(), SNAPSHOT_SIZE, 0);
    return p;
}

uint32_t snapshotFragmentCount(uint32_t size) {
    return (size + wire::SNAP_FRAGMENT_MAX - 1) / wire::SNAP_FRAGMENT_MAX;
}

std::vector<uint8_t> readSnapshotFragments(Connection& conn, uint32_t size, Duration timeout) {
    std::vector<uint8_t> picture;
    if (size == 0) return picture;
    if (size > SNAPSHOT_PICTURE_MAX) {
        throw Error(Error::Kind::Protocol, "snapshot of " + std::to_string(size) +
                                               " bytes is above the limit of " +
                                               std::to_string(SNAPSHOT_PICTURE_MAX));
    }
    const uint32_t count = snapshotFragmentCount(size);
    picture.resize(size);
    size_t have = 0;
    for (uint32_t number = 1; number <= count; ++number) {
        uint8_t head[wire::SNAP_FRAGMENT_HEADER];
        conn.readRaw(head, sizeof head, timeout);
        const uint32_t length = wire::getU32(head, wire::SNAP_FRAGMENT_LENGTH);
        const uint32_t gotCount = wire::getU8(head, wire::SNAP_FRAGMENT_COUNT);
        const uint32_t gotNumber = wire::getU8(head, wire::SNAP_FRAGMENT_NUMBER);
        const std::string where = "snapshot fragment " + std::to_string(number) + " of " +
                                  std::to_string(count) + ": ";
        if (gotCount != count) {
            throw Error(Error::Kind::Protocol, where + "fragment count " +
                                                   std::to_string(gotCount) + ", expected " +
                                                   std::to_string(count));
        }
        if (gotNumber != number) {
            throw Error(Error::Kind::Protocol,
                        where + "fragment number " + std::to_string(gotNumber));
        }
        if (length == 0 || length > wire::SNAP_FRAGMENT_MAX || length > size - have) {
            throw Error(Error::Kind::Protocol, where + "length " + std::to_string(length) +
                                                   " does not fit the " + std::to_string(size) +
                                                   "-byte picture");
        }
        conn.readRaw(picture.data() + have, length, timeout);
        have += length;
    }
    if (have != size) {
        throw Error(Error::Kind::Protocol, "snapshot fragments carry " + std::to_string(have) +
                                               " of the picture's " + std::to_string(size) +
                                               " bytes");
    }
    return picture;
}

std::vector<uint8_t> takeSnapshot(Connection& conn, uint32_t channel, Duration timeout) {
    conn.sendMessage(wire::MSG_TIME_INFO, records::TRANSFER_SNAPSHOT,
                     buildSnapshotRequest(channel));
    Message m = readSnapshotAnswer(conn, records::TRANSFER_SNAPSHOT, timeout);
    if (m.header.status != wire::STATUS_OK) {
        throw CommandRefused(m.header.status, "the device could not take a picture of channel " +
                                                  std::to_string(channel));
    }
    expectSize(m.payload, SNAPSHOT_REQUEST_SIZE, "snapshot");
    return readSnapshotFragments(conn, wire::getU32(m.payload.data(), SNAPSHOT_SIZE), timeout);
}

std::vector<uint8_t> buildSnapshotStreamRequest(const SnapshotStreamSettings& s) {
    std::vector<uint8_t> p(wire::SNAP_STREAM_REQUEST_SIZE, 0);
    wire::putU8(p.data(), wire::SNAP_STREAM_CHANNEL, s.channel);
    wire::putU8(p.data(), wire::SNAP_STREAM_MODE, s.mode);
    wire::putU8(p.data(), wire::SNAP_STREAM_QUALITY, s.quality);
    wire::putU8(p.data(), wire::SNAP_STREAM_RATE, s.rate);
    wire::putU32(p.data(), wire::SNAP_STREAM_SIZE, 0);
    wire::putU8(p.data(), wire::SNAP_STREAM_FLAG, 0);
    return p;
}

uint64_t snapshotStream(Connection& conn, const SnapshotStreamSettings& settings,
                        const std::function<bool(const StreamPicture&)>& sink,
                        const std::function<bool()>& stop, Duration timeout) {
    conn.sendMessage(wire::MSG_TIME_INFO, records::TRANSFER_SNAPSHOT_STREAM,
                     buildSnapshotStreamRequest(settings));
    const Duration slice(100);  // how often `stop` is asked while waiting
    uint64_t pictures = 0;
    auto lastMessage = Clock::now();
    auto lastPicture = lastMessage;
    for (;;) {
        if (stop && stop()) return pictures;
        if (!waitReadable(conn, slice)) {
            if (Clock::now() - lastMessage > timeout) {
                throw Error(Error::Kind::Timeout, "the snapshot stream fell silent for " +
                                                      formatSeconds(timeout) + " s");
            }
            continue;
        }
        Message m = conn.readMessage(timeout);
        lastMessage = Clock::now();
        if (m.header.type != wire::MSG_TIME_INFO ||
            m.header.subtype != records::TRANSFER_SNAPSHOT_STREAM) {
            continue;  // not part of the stream
        }
        expectSize(m.payload, wire::SNAP_STREAM_REQUEST_SIZE, "snapshot stream");
        const uint32_t size = wire::getU32(m.payload.data(), wire::SNAP_STREAM_SIZE);
        if (m.header.status != wire::STATUS_OK || size == 0) {
            // No picture this turn; the device tries again shortly.
            if (Clock::now() - lastPicture > timeout) {
                throw CommandRefused(wire::STATUS_FAILED,
                                     "the device could not take a picture of channel " +
                                         std::to_string(settings.channel) + " within " +
                                         formatSeconds(timeout) + " s");
            }
            continue;
        }
        std::vector<uint8_t> jpeg = readSnapshotFragments(conn, size, timeout);
        lastPicture = lastMessage = Clock::now();
        StreamPicture pic;
        pic.number = ++pictures;
        pic.settings.channel = wire::getU8(m.payload.data(), wire::SNAP_STREAM_CHANNEL);
        pic.settings.mode = wire::getU8(m.payload.data(), wire::SNAP_STREAM_MODE);
        pic.settings.quality = wire::getU8(m.payload.data(), wire::SNAP_STREAM_QUALITY);
        pic.settings.rate = wire::getU8(m.payload.data(), wire::SNAP_STREAM_RATE);
        pic.jpeg = &jpeg;
        if (!sink(pic)) return pictures;
    }
}

/* ---- serial channel ------------------------------------------------------------------------ */

std::vector<uint8_t> decodeSerialData(const std::vector<uint8_t>& payload) {
    if (payload.size() < wire::SERIAL_DATA) {
        throw Error(Error::Kind::Protocol, "serial data message has length " +
                                               std::to_string(payload.size()));
    }
    const uint32_t count = wire::getU32(payload.data(), wire::SERIAL_COUNT);
    if (count > wire::SERIAL_MAX_DATA || count > payload.size() - wire::SERIAL_DATA) {
        throw Error(Error::Kind::Protocol, "serial data message counts " + std::to_string(count) +
                                               " bytes in a payload of " +
                                               std::to_string(payload.size()));
    }
    const auto first = payload.begin() + static_cast<std::ptrdiff_t>(wire::SERIAL_DATA);
    return std::vector<uint8_t>(first, first + count);
}

std::vector<std::vector<uint8_t>> buildSerialSendPieces(const uint8_t* data, size_t size) {
    std::vector<std::vector<uint8_t>> pieces;
    for (size_t done = 0; done < size;) {
        const size_t n = std::min(size - done, wire::SERIAL_MAX_DATA);
        std::vector<uint8_t> p(wire::SERIAL_DATA + n, 0);
        wire::putU32(p.data(), wire::SERIAL_COUNT, static_cast<uint32_t>(n));
        std::memcpy(p.data() + wire::SERIAL_DATA, data + done, n);
        pieces.push_back(std::move(p));
        done += n;
    }
    return pieces;
}

SerialChannel::SerialChannel(Connection& conn, SerialSink sink, Duration timeout)
    : conn_(conn), sink_(std::move(sink)), timeout_(timeout) {}

void SerialChannel::dispatch(const Message& m) {
    if (m.header.type == wire::MSG_SERIAL_DATA) {
        std::vector<uint8_t> bytes = decodeSerialData(m.payload);
        bytesReceived_ += bytes.size();
        if (!bytes.empty() && sink_) sink_(bytes.data(), bytes.size());
        return;
    }
    if (m.header.type == wire::MSG_SERIAL_SEND) {
        if (unacknowledged_ > 0) --unacknowledged_;
        if (m.header.status != wire::STATUS_OK) {
            ++refusedSends_;
            lastRefusal_ = m.header.status;
        }
    }
    // Anything else is not part of the channel's conversation.
}

Message SerialChannel::awaitAnswer(uint16_t subtype, const char* what) {
    const auto deadline = Clock::now() + timeout_;
    for (;;) {
        if (!waitReadable(conn_, leftUntil(deadline))) {
            throw Error(Error::Kind::Timeout, std::string("no answer to the serial channel's ") +
                                                  what + " within " + formatSeconds(timeout_) +
                                                  " s");
        }
        Message m = conn_.readMessage(timeout_);
        if (m.header.type == wire::MSG_TIME_INFO && m.header.subtype == subtype) return m;
        dispatch(m);
    }
}

void SerialChannel::start() {
    conn_.sendMessage(wire::MSG_TIME_INFO, records::TRANSFER_SERIAL_START, {});
    Message m = awaitAnswer(records::TRANSFER_SERIAL_START, "start");
    if (m.header.status != wire::STATUS_OK) {
        throw CommandRefused(m.header.status,
                             "the device cannot start the serial channel (it runs already for "
                             "this session, or the port is not available; status " +
                                 hexWord(m.header.status) + ")");
    }
}

void SerialChannel::send(const uint8_t* data, size_t size) {
    for (const std::vector<uint8_t>& piece : buildSerialSendPieces(data, size)) {
        while (unacknowledged_ >= SEND_WINDOW) {
            if (!pump(timeout_)) {
                throw Error(Error::Kind::Timeout, "serial send: no acknowledgement within " +
                                                      formatSeconds(timeout_) + " s");
            }
        }
        conn_.sendMessage(wire::MSG_SERIAL_SEND, 0, piece);
        ++unacknowledged_;
        bytesSent_ += piece.size() - wire::SERIAL_DATA;
    }
}

bool SerialChannel::pump(Duration wait) {
    if (!waitReadable(conn_, wait)) return false;
    const uint64_t refusedBefore = refusedSends_;
    dispatch(conn_.readMessage(timeout_));
    if (refusedSends_ != refusedBefore) {
        throw CommandRefused(lastRefusal_, "serial send: " + statusText(lastRefusal_));
    }
    return true;
}

void SerialChannel::stop() {
    conn_.sendMessage(wire::MSG_TIME_INFO, records::TRANSFER_SERIAL_STOP, {});
    Message m = awaitAnswer(records::TRANSFER_SERIAL_STOP, "stop");
    if (m.header.status != wire::STATUS_OK) {
        throw CommandRefused(m.header.status,
                             "serial channel stop: " + statusText(m.header.status));
    }
}

}  // namespace recnet
