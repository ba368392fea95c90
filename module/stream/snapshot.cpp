/*
 * snapshot.cpp - JPEG snapshots on a socket the host names: a reply (the
 * request's header and payload with the status and the picture size filled
 * in), then the picture in fragments of at most 1400 bytes, each behind a
 * 16-byte fragment header. Layouts: wire.h, SNAP_*.
 */
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

/* The reply: the request's header and `length` payload bytes, under the
 * write lock of the session that owns the socket. */
int snap_reply(int sock, uint8_t* message, uint8_t status) {
    wire::putU8(message, wire::HDR_STATUS, status);
    uint32_t length = wire::getU32(message, wire::HDR_LENGTH);
    if (length > wire::MAX_PAYLOAD) length = wire::MAX_PAYLOAD;
    return session_write_fd(sock, message, wire::HEADER_SIZE + length);
}

/* Sends the picture's fragments; false when a write failed. */
bool snap_fragments(int sock, const uint8_t* picture, uint32_t size) {
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
        if (session_write_fd(sock, fragment, SNAP_HEADER + length) < 0) return false;
    }
    return true;
}

/* A stream request field: kept when within [low, high], else `otherwise`. */
uint8_t snap_within(uint8_t value, uint8_t low, uint8_t high, uint8_t otherwise) {
    return value >= low && value <= high ? value : otherwise;
}

/* Whether the peer of `sock` has gone: a read would see the end at once. */
bool snap_peer_gone(int sock) {
    uint8_t b;
    ssize_t n = recv(sock, &b, 1, MSG_PEEK | MSG_DONTWAIT);
    return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR);
}

}  // namespace

int sendJPEGSnapData(void*, int sock, NetMessage request) {
    uint8_t* message = request.bytes;
    auto picture = std::make_unique<uint8_t[]>(PICTURE_MAX);
    uint32_t size = 0;
    const uint32_t selector = wire::getU32(message, wire::HEADER_SIZE);
    // A picture larger than the buffer is a failed capture, never copied.
    if (st_app_netGetSnapJPEG(selector, picture.get(), &size) < 0 || size > PICTURE_MAX) {
        snap_reply(sock, message, wire::STATUS_FAILED);
        return -1;
    }
    wire::putU32(message, wire::HEADER_SIZE + 4, size);
    snap_reply(sock, message, wire::STATUS_OK);
    if (size != 0 && !snap_fragments(sock, picture.get(), size)) perror("writen in sendSnapJpegData().");
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
    auto picture = std::make_unique<uint8_t[]>(PICTURE_MAX);
    for (;;) {
        uint32_t size = 0;
        if (st_app_netGetSnapJPEGEx(selector, picture.get(), &size, flag, mode, quality) < 0 || size > PICTURE_MAX) {
            snap_reply(sock, message, wire::STATUS_FAILED);
            // A host that keeps failing must not keep a dead connection's
            // stream alive.
            if (snap_peer_gone(sock)) return -1;
            usleep(RETRY_US);
            continue;
        }
        payload[wire::SNAP_STREAM_CHANNEL] = selector;
        payload[wire::SNAP_STREAM_QUALITY] = quality;
        payload[wire::SNAP_STREAM_RATE] = rate;
        wire::putU32(payload, wire::SNAP_STREAM_SIZE, size);
        payload[wire::SNAP_STREAM_FLAG] = flag;
        if (snap_reply(sock, message, wire::STATUS_OK) < 0) return -1;
        if (!snap_fragments(sock, picture.get(), size)) {
            perror("writen in sendSnapJpegStream()\n");
            return -1;
        }
        if (intervalUs > 0) usleep(static_cast<useconds_t>(intervalUs));
    }
}
