#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "fake_host.h"
#include "harness.h"
#include "netserver/netserver.h"

using namespace it;
using testnet::ModuleServer;
using namespace std::chrono_literals;

using Logout = LoggedIn;

TEST_F(Logout, AnsweredWithItsHeaderThenTheConnectionCloses) {
    ASSERT_TRUE(sessionsBecome(1));

    // Whatever follows the logout in the same write is not handled.
    const Rest rest{7, 7, 7};
    c.send(request(T_LOGOUT, Bytes(12, 0x3C), 0x0203, 0x66, rest) + request(T_ECHO, {}, 0x4242));
    EXPECT_EQ(c.recv(16), header(T_LOGOUT, 0x0203, 0, 0x00, rest));
    EXPECT_TRUE(c.closedWithin(3000));
    EXPECT_TRUE(sessionsBecome(0));
}

TEST(Idle, SilentAndStalledPeersAreDroppedAfter15sAKeepAliveOneIsNot) {
    ModuleServer server;
    RawClient silent(server.port()), stalled(server.port()), alive(server.port());
    // Logged in, so that only the idle limit applies.
    ASSERT_TRUE(loginAdmin(silent) && loginAdmin(stalled) && loginAdmin(alive));
    ASSERT_TRUE(echoAnswered(alive, 3));
    ASSERT_TRUE(echoAnswered(stalled, 2));
    // Each limit is measured from the last moment its session heard anything.
    ASSERT_TRUE(echoAnswered(silent, 1));
    const auto tSilent = std::chrono::steady_clock::now();
    // Seven bytes of a header, then nothing: stuck in the middle of a message.
    const auto tStalled = std::chrono::steady_clock::now();
    stalled.send(Bytes{0x4C, 0x4C, 0x4C, 0x50, 0x0c, 0x08, 0x00});

    // A keep-alive every 3 s for 18 s; none is answered.
    std::atomic<int> answeredKeepAlives{0};
    std::thread keeper([&] {
        for (uint16_t i = 0; i < 6; ++i) {
            alive.send(request(T_KEEPALIVE, i % 2 ? Bytes(8, 0x11) : Bytes{}, i));
            if (!alive.silentFor(3000)) ++answeredKeepAlives;
        }
    });

    const bool silentClosed = silent.closedWithin(30000);
    const auto silentAfter = since(tSilent);
    const bool stalledClosed = stalled.closedWithin(30000);
    const auto stalledAfter = since(tStalled);
    keeper.join();

    EXPECT_TRUE(silentClosed);
    EXPECT_TRUE(stalledClosed);
    EXPECT_GE(silentAfter, 14s);
    EXPECT_GE(stalledAfter, 14s);
    EXPECT_EQ(answeredKeepAlives.load(), 0);
    // 18 s after its last echo, the keep-alive session is still served.
    EXPECT_GE(since(tSilent), 17s);
    EXPECT_TRUE(echoAnswered(alive, 4));
    EXPECT_TRUE(sessionsBecome(1));
}

namespace {

/* Writers that the host starts from its MSG_TIME_INFO callback: each writes
 * whole messages on the session's connection through st_net_sessionWrite
 * while the module answers echoes on the same connection.
 *
 * The session pointer stays valid for as long as the session lives, and the
 * session lives for as long as this test keeps its connection open and
 * talking; the writers are joined before that ends (the destructor too, on an
 * early failure). */
struct HostWriters {
    static constexpr int WRITERS = 4;
    static constexpr int MESSAGES = 100;

    std::mutex mutex;
    std::vector<std::thread> threads;
    std::atomic<bool> giveUp{false};
    std::atomic<int> failedWrites{0};

    static uint32_t payloadLength(int i) { return static_cast<uint32_t>((i * 7919) % 60000 + (i % 3) * 17); }
    static uint8_t payloadByte(int writer, int i, uint32_t k) {
        return static_cast<uint8_t>(writer * 31 + i * 7 + k);
    }
    /* Type 0x103, sub-type = writer, bytes 13..15 = sequence number. */
    static Bytes messageOf(int writer, int i) {
        uint32_t len = payloadLength(i);
        Bytes m = header(T_TIME_INFO, static_cast<uint16_t>(writer), len, 0,
                         {byteOf(i, 0), byteOf(i, 1), byteOf(i, 2)});
        m.resize(16 + len);
        for (uint32_t k = 0; k < len; ++k) m[16 + k] = payloadByte(writer, i, k);
        return m;
    }
    static size_t totalBytes() {
        size_t n = 0;
        for (int i = 0; i < MESSAGES; ++i) n += 16 + payloadLength(i);
        return n * WRITERS;
    }

    void install() {
        fake_host::setTimeInfo([this](CommandSession* s, void*) {
            std::lock_guard<std::mutex> lock(mutex);
            for (int w = 0; w < WRITERS; ++w) {
                threads.emplace_back([this, s, w] {
                    for (int i = 0; i < MESSAGES && !giveUp; ++i) {
                        Bytes m = messageOf(w, i);
                        if (st_net_sessionWrite(s, m.data(), static_cast<uint32_t>(m.size())) != 0)
                            ++failedWrites;
                    }
                });
            }
            return 0;
        });
    }
    size_t started() {
        std::lock_guard<std::mutex> lock(mutex);
        return threads.size();
    }
    void join() {
        std::lock_guard<std::mutex> lock(mutex);
        for (auto& t : threads) t.join();
        threads.clear();
    }
    ~HostWriters() {
        giveUp = true;
        join();
    }
};

}  // namespace

using WriteLock = LoggedIn;

TEST_F(WriteLock, HostWritesFromManyThreadsAndEchoRepliesNeverInterleave) {
    constexpr int ECHOES = 300;
    const size_t expectedBytes = HostWriters::totalBytes() + 16 * ECHOES;

    // Drains the connection the whole time, so no writer ever waits for long.
    Bytes stream;
    std::thread reader([&] {
        auto deadline = std::chrono::steady_clock::now() + 60s;
        while (stream.size() < expectedBytes && std::chrono::steady_clock::now() < deadline) {
            Bytes got = c.recv(expectedBytes - stream.size(), 1000);
            stream.insert(stream.end(), got.begin(), got.end());
        }
    });
    HostWriters writers;  // destroyed (joined) before the reader and the client
    writers.install();

    c.send(request(T_TIME_INFO));
    EXPECT_TRUE(waitUntil([&] { return writers.started() == HostWriters::WRITERS; }, 5000));
    for (int e = 0; e < ECHOES; ++e)
        c.send(request(T_ECHO, {}, static_cast<uint16_t>(e), 0, {0xEC, 0xEC, 0xEC}));
    writers.join();
    reader.join();

    EXPECT_EQ(writers.failedWrites.load(), 0);
    ASSERT_EQ(stream.size(), expectedBytes);

    // Every message whole: a known header, the payload its writer wrote, in
    // each writer's own order; the echo replies in request order.
    int nextOf[HostWriters::WRITERS] = {};
    int nextEcho = 0;
    size_t at = 0;
    while (at + 16 <= stream.size()) {
        Bytes h(stream.begin() + at, stream.begin() + at + 16);
        const uint16_t type = testnet::u16At(h, 4);
        const uint16_t sub = testnet::u16At(h, 6);
        if (type == T_ECHO) {
            ASSERT_EQ(h, request(T_ECHO, {}, static_cast<uint16_t>(nextEcho), 0, {0xEC, 0xEC, 0xEC}))
                << "at byte " << at;
            ++nextEcho;
            at += 16;
            continue;
        }
        ASSERT_EQ(type, T_TIME_INFO) << "at byte " << at;
        ASSERT_LT(sub, HostWriters::WRITERS) << "at byte " << at;
        const int i = nextOf[sub]++;
        Bytes expected = HostWriters::messageOf(sub, i);
        ASSERT_LE(at + expected.size(), stream.size()) << "at byte " << at;
        ASSERT_TRUE(std::equal(expected.begin(), expected.end(), stream.begin() + at))
            << "message " << i << " of writer " << sub << " at byte " << at << " is not whole";
        at += expected.size();
    }
    EXPECT_EQ(at, stream.size());
    EXPECT_EQ(nextEcho, ECHOES);
    for (int w = 0; w < HostWriters::WRITERS; ++w) EXPECT_EQ(nextOf[w], HostWriters::MESSAGES);
    EXPECT_TRUE(echoAnswered(c, 0x5151));
}
