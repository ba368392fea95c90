/*
 * snapshot.h - the reference device's snapshot pictures: a channel's picture
 * (a background of its own plus its number and the time) encoded as a
 * baseline JPEG. Pure rendering, no device state: callable from any thread.
 */
#ifndef RECNET_DEVICE_SNAPSHOT_H
#define RECNET_DEVICE_SNAPSHOT_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "netserver/wire.h"

namespace snapshot {

// The module's picture buffer: no picture may be larger.
constexpr size_t PICTURE_MAX = wire::SNAP_PICTURE_MAX;

struct Request {
    int channel = 0;    // 0-based; shown as "CH n" with n = channel + 1
    int64_t time = 0;   // seconds since 1970 on the device clock, shown in local time
    int quality = 80;   // JPEG quality, clamped to 1..100
    int mode = 0;       // 0: 704x576, any other: 352x288
};

// Picture dimensions for a mode.
constexpr int pictureWidth(int mode) { return mode == 0 ? 704 : 352; }
constexpr int pictureHeight(int mode) { return mode == 0 ? 576 : 288; }

// Renders the channel's picture and encodes it as a baseline JPEG (4:2:0)
// into `out`, which has room for `capacity` bytes. When the picture does not
// fit at the requested quality it is encoded again at lower ones. Returns the
// size, or -1 with a one-line reason in `error` (nothing fits, negative
// channel, time not representable, encoder failure). Never writes past
// `capacity`.
int renderJpeg(const Request& r, uint8_t* out, size_t capacity, std::string& error);

}  // namespace snapshot

#endif
