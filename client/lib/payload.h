/*
 * payload.h - small request payloads of the client's command calls.
 * Internal to the client library.
 */
#ifndef RECNET_CLIENT_PAYLOAD_H
#define RECNET_CLIENT_PAYLOAD_H

#include <cstdint>
#include <initializer_list>
#include <vector>

#include "netserver/wire.h"

namespace recnet {

// The values as consecutive little-endian u32 words.
inline std::vector<uint8_t> words(std::initializer_list<uint32_t> values) {
    std::vector<uint8_t> out(values.size() * 4);
    size_t off = 0;
    for (uint32_t v : values) {
        wire::putU32(out.data(), off, v);
        off += 4;
    }
    return out;
}

}  // namespace recnet

#endif
