/*
 * fuzz_probe - the UDP session responder's answer to any datagram.
 *
 * Input: u16 port, u32 address (both as they stand in a socket address,
 * network order), then the datagram. The answer must be 44 bytes (the buffer
 * has exactly that room), carry the datagram's bytes with status 0, and the
 * observed address at 24..39: family 2 (little-endian), port, address,
 * eight zero bytes.
 */
#include <arpa/inet.h>

#include <cstdlib>
#include <cstring>
#include <memory>

#include "fuzz_support.h"
#include "stream/stream_control.h"

namespace {

void check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "fuzz_probe: %s\n", what);
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Input in(data, size);
    sockaddr_in from{};
    from.sin_family = AF_INET;
    const uint16_t port = in.u16();
    const uint32_t address = in.u32();
    std::memcpy(&from.sin_port, &port, 2);
    std::memcpy(&from.sin_addr.s_addr, &address, 4);
    // The datagram in a buffer of its own size, so that any read past it shows.
    std::vector<uint8_t> datagram = in.take(in.left());
    auto copy = std::make_unique<uint8_t[]>(datagram.size() + 1);
    if (!datagram.empty()) std::memcpy(copy.get(), datagram.data(), datagram.size());

    auto reply = std::make_unique<uint8_t[]>(wire::PROBE_SIZE);
    responder_build_reply(copy.get(), datagram.size(), from, reply.get());

    const uint8_t* r = reply.get();
    check(wire::getU16(r, wire::PROBE_ADDRESS) == AF_INET, "family");
    check(std::memcmp(r + wire::PROBE_ADDRESS + 2, &from.sin_port, 2) == 0, "port");
    check(std::memcmp(r + wire::PROBE_ADDRESS + 4, &from.sin_addr, 4) == 0, "address");
    for (size_t i = wire::PROBE_ADDRESS + 8; i < wire::PROBE_ADDRESS + 16; ++i)
        check(r[i] == 0, "address padding");
    check(r[wire::HDR_STATUS] == 0, "status");
    for (size_t i = 0; i < wire::PROBE_SIZE; ++i) {
        if (i == wire::HDR_STATUS || (i >= wire::PROBE_ADDRESS && i < wire::PROBE_ADDRESS + 16))
            continue;
        const uint8_t expected = i < datagram.size() ? datagram[i] : 0;
        check(r[i] == expected, "echoed bytes");
    }
    return 0;
}
