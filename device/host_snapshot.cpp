/*
 * host_snapshot.cpp - host functions of the snapshots: a JPEG picture of a
 * channel, showing its number and the device clock's time.
 */
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

#include "device_state.h"
#include "failures.h"
#include "netserver/host_api.h"
#include "snapshot.h"

namespace {

// Renders channel `selector` into the module's buffer and stores the size.
// Returns 0, or -1 (with *size = 0 when size is given) for an unknown
// channel, a missing buffer or an encoder failure.
int takeSnapshot(uint32_t selector, void* buffer, uint32_t* size, int mode, int quality) {
    if (size != nullptr) *size = 0;
    if (buffer == nullptr || size == nullptr || selector >= deviceState().channels) return -1;
    const snapshot::Request request{static_cast<int>(selector), deviceNow(), quality, mode};
    std::string error;
    const int bytes = snapshot::renderJpeg(request, static_cast<uint8_t*>(buffer),
                                           snapshot::PICTURE_MAX, error);
    if (bytes < 0) {
        // The module only sees "no picture"; the reason goes to the console.
        std::fprintf(stderr, "snapshot: channel %u: %s\n", selector, error.c_str());
        return -1;
    }
    *size = static_cast<uint32_t>(bytes);
    return 0;
}

}  // namespace

// A full-size picture (704x576) of channel `selector` at quality 80. Returns
// 0 with the size in *size, or -1.
extern "C" int st_app_netGetSnapJPEG(uint32_t selector, void* buffer, uint32_t* size) {
    if (auto injected = injectedFailure("st_app_netGetSnapJPEG")) return *injected;
    return takeSnapshot(selector, buffer, size, 0, 80);
}

// A picture of channel `selector`: 704x576 for mode 0, 352x288 otherwise, at
// `quality` (clamped to 1..100; `flag` is not used). Returns 0 with the size
// in *size, or -1.
extern "C" int st_app_netGetSnapJPEGEx(uint32_t selector, void* buffer, uint32_t* size, int flag,
                                       int mode, int quality) {
    if (auto injected = injectedFailure("st_app_netGetSnapJPEGEx")) return *injected;
    (void)flag;
    return takeSnapshot(selector, buffer, size, mode, quality);
}
