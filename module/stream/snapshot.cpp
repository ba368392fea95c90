/*
 * snapshot.cpp - JPEG snapshots on a socket the host names: a reply (the
 * request's header and payload with the status and the picture size filled
 * in), then the picture in fragments of at most 1400 bytes, each behind a
 * 16-byte fragment header. Layouts: wire.h, SNAP_*.
 */
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "core/session.h"
#include "netserver/host_api.h"
#include "netserver/netserver.h"
#include "netserver/wire.h"

namespace {

constexpr uint32_t PICTURE_MAX = wire::SNAP_PICTURE_MAX;
constexpr uint32_t SNAP_FRAGMENT = wire::SNAP_FRAGMENT_MAX;
constexpr size_t SNAP_HEADER = wire::SNAP_FRAGMENT_HEADER;
constexpr useconds_t RETRY_US = 30000;

/* Where the pictures go: a socket the host named, and the session that owns
 * it, if any, found once when the transfer begins. Writes to a session's
 * socket go under its write lock and stop once its connection is closed, so
 * a descriptor number reused meanwhile never receives a picture. */
struct SnapTarget {
    int sock;
    SessionRef owner;

    int write(const void* data, size_t length) {
        if (owner) return session_write_on(owner.get(), sock, data, length);
        return writen(sock, data, static_cast<int>(length)) < 0 ? -1 : 0;
    }

    /* Whether the owning session's ending has begun. */
    bool ownerEnding() const { return owner && owner->ending.load() != SESSION_LIVE; }

    /* Whether the transfer has no one to go to any more: the owning
     * session is ending, or the peer has closed or failed (seen even while
     * bytes it sent are still unread). */
    bool gone() const {
        if (ownerEnding()) return true;
        pollfd p{sock, POLLRDHUP, 0};
        if (poll(&p, 1, 0) < 0) return errno != EINTR;
        return (p.revents & (POLLRDHUP | POLLHUP | POLLERR | POLLNVAL)) != 0;
    }
};

/* The reply: the request's header and `length` payload bytes. */
int snap_reply(SnapTarget& target, uint8_t* message, uint8_t status) {
    wire::putU8(message, wire::HDR_STATUS, status);
    uint32_t length = wire::getU32(message, wire::HDR_LENGTH);
    if (length > wire::MAX_PAYLOAD) length = wire::MAX_PAYLOAD;
    return target.write(message, wire::HEADER_SIZE + length);
}

/* Sends the picture's fragments; false when a write failed. */
bool snap_fragments(SnapTarget& target, const uint8_t* picture, uint32_t size) {
    const uint32_t count = (size + SNAP_FRAGMENT - 1) / SNAP_FRAGMENT;
    uint8_t fragment[SNAP_HEADER + SNAP_FRAGMENT];
    for (uint32_t i = 0; i < count; ++i) {
        const uint32_t offset = i * SNAP_FRAGMENT;
        const uint32_t length = size - offset < SNAP_FRAGMENT ? size - offset : SNAP_FRAGMENT;
        std::memset(fragment, 0, SNAP_HEADER);
        wire::putU32(fragment, wire::SNAP_FRAGMENT_LENGTH, length);
        wire::putU8(fragment, wire::SNAP_FRAGMENT_COUNT, static_cast<uint8_t>(count));
        wire::putU8(fragment, wire::SNAP_FRAGMENT_NUMBER, static_cast<uint8_t>(i + 1));
        std::memcpy(fragment + SNAP_HEADER, picture + offset, length);
        if (target.write(fragment, SNAP_HEADER + length) < 0) return false;
    }
    return true;
}

/* A stream request field: kept when within [low, high], else `otherwise`. */
uint8_t snap_within(uint8_t value, uint8_t low, uint8_t high, uint8_t otherwise) {
    return value >= low && value <= high ? value : otherwise;
}

/* Sleeps `us` microseconds, or less when the peer closes (or the stop shuts
 * the socket down) meanwhile. */
void snap_pause(const SnapTarget& target, useconds_t us) {
    pollfd p{target.sock, POLLRDHUP, 0};
    poll(&p, 1, static_cast<int>(us / 1000));
}

}  // namespace

int sendJPEGSnapData(void*, int sock, NetMessage request) {
    uint8_t* message = request.bytes;
    SnapTarget target{sock, session_ref_by_socket(sock)};
    if (target.ownerEnding()) return -1;
    auto picture = std::make_unique<uint8_t[]>(PICTURE_MAX);
    uint32_t size = 0;
    const uint32_t selector = wire::getU32(message, wire::HEADER_SIZE);
    // A picture larger than the buffer is a failed capture, never copied.
    if (st_app_netGetSnapJPEG(selector, picture.get(), &size) < 0 || size > PICTURE_MAX) {
        snap_reply(target, message, wire::STATUS_FAILED);
        return -1;
    }
    wire::putU32(message, wire::HEADER_SIZE + 4, size);
    snap_reply(target, message, wire::STATUS_OK);
    if (size != 0 && !snap_fragments(target, picture.get(), size)) perror("writen in sendSnapJpegData().");
    return 0;
}

int sendJPEGSnapStream(void*, int sock, NetMessage request) {
    uint8_t* message = request.bytes;
    uint8_t* payload = message + wire::HEADER_SIZE;
    const uint8_t selector = snap_within(payload[wire::SNAP_STREAM_CHANNEL], 1, 7, 0);
    const uint8_t mode = payload[wire::SNAP_STREAM_MODE];
    const uint8_t quality = snap_within(payload[wire::SNAP_STREAM_QUALITY], 1, 100, 80);
    const uint8_t rate = snap_within(payload[wire::SNAP_STREAM_RATE], 1, 10, 10);
    const uint8_t flag = snap_within(payload[wire::SNAP_STREAM_FLAG], 1, 1, 0);
    const int intervalUs = (1000 / rate) * 1000 - 100000;
    // A stream does not begin on a session whose ending has begun, and ends
    // when a write fails, the peer closes or the session ends, also while
    // the host keeps failing to take a picture.
    SnapTarget target{sock, session_ref_by_socket(sock)};
    auto picture = std::make_unique<uint8_t[]>(PICTURE_MAX);
    for (;;) {
        if (target.gone()) return -1;
        uint32_t size = 0;
        if (st_app_netGetSnapJPEGEx(selector, picture.get(), &size, flag, mode, quality) < 0 || size > PICTURE_MAX) {
            if (snap_reply(target, message, wire::STATUS_FAILED) < 0) return -1;
            snap_pause(target, RETRY_US);
            continue;
        }
        payload[wire::SNAP_STREAM_CHANNEL] = selector;
        payload[wire::SNAP_STREAM_QUALITY] = quality;
        payload[wire::SNAP_STREAM_RATE] = rate;
        wire::putU32(payload, wire::SNAP_STREAM_SIZE, size);
        payload[wire::SNAP_STREAM_FLAG] = flag;
        if (snap_reply(target, message, wire::STATUS_OK) < 0) return -1;
        if (!snap_fragments(target, picture.get(), size)) {
            perror("writen in sendSnapJpegStream()\n");
            return -1;
        }
        if (intervalUs > 0) snap_pause(target, static_cast<useconds_t>(intervalUs));
    }
}
