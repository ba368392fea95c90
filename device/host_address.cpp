/*
 * host_address.cpp - the device's own address and its multicast group base.
 */
#include <cstring>
#include <string>

#include "device_state.h"
#include "failures.h"
#include "netserver/host_api.h"

namespace {

// Copies `text` with its NUL into a buffer of `size` bytes. Returns 0, or -1
// (buffer untouched) when it does not fit.
int putDotted(const std::string& text, char* out, size_t size) {
    if (out == nullptr || text.size() + 1 > size) return -1;
    std::memcpy(out, text.c_str(), text.size() + 1);
    return 0;
}

// Address texts are at most 15 characters; the module's buffers hold 16 bytes.
constexpr size_t kAddressBuffer = 16;

}  // namespace

// The --address of the device as dotted text. Returns 0, or -1 when `size`
// is too small for it (or `text` is null).
extern "C" int st_comm_getIpAddr(char* text, int size) {
    if (auto injected = injectedFailure("st_comm_getIpAddr")) return *injected;
    if (size <= 0) return -1;
    return putDotted(deviceState().addressText, text, static_cast<size_t>(size));
}

// The --multicast-base as dotted text into the 16-byte `group`; the module
// replaces its fourth number per channel and kind. The own address is not
// used. Returns 0, or -1 for a null `group`.
extern "C" int st_net_getMulticastAddr(const char* ownAddress, char* group) {
    (void)ownAddress;
    if (auto injected = injectedFailure("st_net_getMulticastAddr")) return *injected;
    return putDotted(deviceState().multicastBase, group, kAddressBuffer);
}
