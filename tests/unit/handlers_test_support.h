/*
 * handlers_test_support.h - calling DefaultMessageHandler directly on a paired
 * session, and the bits every handler test needs: whole message buffers,
 * replies read while the handler writes, patterned bytes.
 */
#ifndef RECNET_TESTS_HANDLERS_TEST_SUPPORT_H
#define RECNET_TESTS_HANDLERS_TEST_SUPPORT_H

#include <pthread.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <thread>

#include "fake_host.h"
#include "fake_host_handlers.h"
#include "netserver/netserver.h"
#include "unit_support.h"

namespace ht {

using testnet::Bytes;
namespace fh = fake_host::handlers;

// Message types, as numbers on the wire.
constexpr uint16_t PTZ = 0x7, DEFAULT_SETTING = 0x8, SET_PARAM = 0x401, GET_PARAM = 0x402;
constexpr uint16_t RESET_VIDEO = 0x403, START_WORKER = 0x801, GET_HARDDISK = 0x805;
constexpr uint16_t GET_LOG_LIST = 0x807, DELETE_LOG = 0x808, GET_USER_LIST = 0x80e;
constexpr uint16_t SERIAL_SEND = 0x818, FORCE_IFRAME = 0x830, SET_HAND = 0x840, CLEAR_HAND = 0x841;
constexpr uint16_t DELETE_FILE = 0x842, REBOOT = 0x843, RESUME_DEFAULT = 0x844, FDISK = 0x845;
constexpr uint16_t FORMAT = 0x846, FORMAT_PERCENT = 0x847, FDISK_STATUS = 0x848;

/* A whole 102416-byte message buffer holding `m`, zero behind it, as the
 * message thread hands it over. */
inline std::unique_ptr<uint8_t[]> buffer(const Bytes& m) {
    auto buf = std::make_unique<uint8_t[]>(16 + 102400);
    std::memset(buf.get(), 0, 16 + 102400);
    std::memcpy(buf.get(), m.data(), m.size());
    return buf;
}

/* Bytes of the request header as the reply should echo them: the request's
 * rest bytes are D1 D2 D3 in every message built by request(). */
inline const uint8_t kRest[3] = {0xD1, 0xD2, 0xD3};

inline Bytes request(uint16_t type, const Bytes& payload = {}, uint16_t subtype = 0) {
    // Status byte 0x5A in the request: a reply must overwrite it.
    return testnet::message(type, payload, subtype, 0x5A, 0x504C4C4C, kRest);
}

/* The reply header written out field by field: magic 4C 4C 4C 50, type,
 * sub-type, length, status, D1 D2 D3. */
inline Bytes replyHeader(uint16_t type, uint16_t subtype, uint32_t length, uint8_t status) {
    return {0x4C,
            0x4C,
            0x4C,
            0x50,
            static_cast<uint8_t>(type),
            static_cast<uint8_t>(type >> 8),
            static_cast<uint8_t>(subtype),
            static_cast<uint8_t>(subtype >> 8),
            static_cast<uint8_t>(length),
            static_cast<uint8_t>(length >> 8),
            static_cast<uint8_t>(length >> 16),
            static_cast<uint8_t>(length >> 24),
            status,
            0xD1,
            0xD2,
            0xD3};
}

inline Bytes concat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

/* n bytes: seed, seed + 1, ... (mod 256). */
inline Bytes pattern(size_t n, uint8_t seed = 1) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(seed + i);
    return b;
}

inline Bytes u32le(uint32_t v) {
    return {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
            static_cast<uint8_t>(v >> 24)};
}

/* Little-endian u32 words one after another. */
inline Bytes words(std::initializer_list<uint32_t> ws) {
    Bytes b;
    for (uint32_t w : ws) b = concat(b, u32le(w));
    return b;
}

/* Runs the handler on this thread; for requests whose reply is small or
 * absent. The buffer stays the caller's to inspect. */
inline void dispatch(PairedSession& ps, uint8_t* message) {
    DefaultMessageHandler(ps.session, message);
}
inline void dispatch(PairedSession& ps, const Bytes& m) {
    auto buf = buffer(m);
    DefaultMessageHandler(ps.session, buf.get());
}

/* Runs the handler on a thread of its own while this one reads `n` reply
 * bytes, so that a reply larger than the socket buffer cannot block it. */
inline Bytes dispatchRead(PairedSession& ps, const Bytes& m, size_t n) {
    auto buf = buffer(m);
    std::thread handler([&] { DefaultMessageHandler(ps.session, buf.get()); });
    Bytes got = ps.read(n);
    handler.join();
    return got;
}

/* A thread start that always fails, for handlers_set_thread_start(). */
inline int failingStart(pthread_t*, size_t, void* (*)(void*), void*) { return EAGAIN; }

/* Polls `done` every 10 ms for up to `ms`. */
inline bool waitFor(const std::function<bool()>& done, int ms = 5000) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

}  // namespace ht

#endif
