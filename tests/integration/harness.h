/*
 * Header layout on the wire, as the tests spell it out:
 *   0..3  magic, the bytes 4C 4C 4C 50
 *   4..5  type, little-endian
 *   6..7  sub-type, little-endian
 *   8..11 length of the payload that follows, little-endian
 *   12    status
 *   13..15 three further bytes, carried back in a reply as received
 */
#ifndef RECNET_TESTS_INTEGRATION_HARNESS_H
#define RECNET_TESTS_INTEGRATION_HARNESS_H

#include <dirent.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <chrono>
#include <cstdint>
#include <functional>
#include <thread>

#include "core/session.h"
#include "module_server.h"
#include "net.h"

namespace it {

using testnet::Bytes;
using testnet::loginRecord;
using testnet::RawClient;
using Rest = std::array<uint8_t, 3>;

constexpr uint16_t T_LOGIN = 0x1;
constexpr uint16_t T_LOGOUT = 0x2;
constexpr uint16_t T_SESSION_ID = 0x9;
constexpr uint16_t T_KEEPALIVE = 0x102;
constexpr uint16_t T_TIME_INFO = 0x103;
constexpr uint16_t T_COLLIERY_INFO = 0x104;
constexpr uint16_t T_ECHO = 0x80c;
constexpr uint16_t T_SET_POLL_CONFIG = 0x813;

constexpr uint32_t MAX_PAYLOAD = 102400;

inline uint8_t byteOf(uint32_t v, int n) { return static_cast<uint8_t>(v >> (8 * n)); }

/* A header exactly as it must appear on the wire. */
inline Bytes header(uint16_t type, uint16_t subtype, uint32_t length, uint8_t status,
                    const Rest& rest = {0, 0, 0}) {
    return {0x4C,           0x4C,           0x4C,              0x50,
            byteOf(type, 0), byteOf(type, 1), byteOf(subtype, 0), byteOf(subtype, 1),
            byteOf(length, 0), byteOf(length, 1), byteOf(length, 2), byteOf(length, 3),
            status,          rest[0],        rest[1],           rest[2]};
}

/* A request: header with its length taken from the payload, then the payload. */
inline Bytes request(uint16_t type, const Bytes& payload = {}, uint16_t subtype = 0,
                     uint8_t status = 0, const Rest& rest = {0, 0, 0}) {
    const Bytes head = header(type, subtype, static_cast<uint32_t>(payload.size()), status, rest);
    // Sized once and filled in place: growing the 16-byte header with insert()
    // makes GCC 12 at -O3 report a bogus out-of-bounds copy (-Warray-bounds).
    Bytes b(head.size() + payload.size());
    std::copy_n(head.begin(), head.size(), b.begin());
    std::copy_n(payload.begin(), payload.size(), b.begin() + static_cast<std::ptrdiff_t>(head.size()));
    return b;
}

inline Bytes le32(uint32_t v) { return {byteOf(v, 0), byteOf(v, 1), byteOf(v, 2), byteOf(v, 3)}; }

inline Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

inline bool waitUntil(const std::function<bool()>& done, int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (done()) return true;
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

/* Entries of a /proc directory of this process, less "." and "..". */
inline size_t procEntries(const char* dir) {
    DIR* d = opendir(dir);
    if (d == nullptr) return 0;
    size_t n = 0;
    while (dirent* e = readdir(d))
        if (e->d_name[0] != '.') ++n;
    closedir(d);
    return n;
}

inline size_t threadCount() { return procEntries("/proc/self/task"); }

/* The thread count to come back to. One thread is started and joined first:
 * a sanitizer runtime starts its own helper thread at the process's first
 * thread creation, and it must not count as one of the module's. */
inline size_t threadBaseline() {
    std::thread([] {}).join();
    return threadCount();
}
/* Open descriptors, not counting the one that reads the directory. */
inline size_t fdCount() { return procEntries("/proc/self/fd") - 1; }

/* Waits until `n` sessions are linked in the module's session list. */
inline bool sessionsBecome(size_t n, int timeoutMs = 5000) {
    return waitUntil([n] { return session_count() == n; }, timeoutMs);
}

/* One echo with a tag of its own; true when exactly the same 16 bytes came back. */
inline bool echoAnswered(RawClient& c, uint16_t tag) {
    const Rest rest{byteOf(tag, 0), 0xE0, byteOf(tag, 1)};
    Bytes echo = request(T_ECHO, {}, tag, 0x5E, rest);
    c.send(echo);
    return c.recv(16) == echo;
}

/* Logs in as admin/admin and returns the id of MSG_SESSION_ID, or 0 when the
 * answer was not the accepted one. */
inline uint32_t loginAdmin(RawClient& c) {
    c.send(request(T_LOGIN, loginRecord("admin", "admin")));
    Bytes answer = c.recv(100);
    Bytes id = c.recv(20);
    if (answer.size() != 100 || id.size() != 20) return 0;
    if (Bytes(answer.begin(), answer.begin() + 16) != header(T_LOGIN, 0, 84, 0)) return 0;
    if (Bytes(id.begin(), id.begin() + 16) != header(T_SESSION_ID, 0, 4, 0)) return 0;
    return testnet::u32At(id, 16);
}

/* A fixture: the module on a free port and `c` connected to it. A suite
 * takes it under its own name (using Echo = Connected;). */
class Connected : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(server.started());
        ASSERT_TRUE(c.connected());
    }
    testnet::ModuleServer server;
    RawClient c{server.port()};
};

/* The same, logged in as admin; `id` is the session's id. */
class LoggedIn : public Connected {
protected:
    void SetUp() override {
        Connected::SetUp();
        ASSERT_NE(id = loginAdmin(c), 0u);
    }
    uint32_t id = 0;
};

inline std::chrono::milliseconds since(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0);
}

}  // namespace it

#endif
