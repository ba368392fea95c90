// UDP streams, multicast membership and the UDP session responder.
#include <gtest/gtest.h>

#include "core/module_state.h"
#include "stream/multicast.h"
#include "fake_host.h"
#include "module_server.h"
#include "netserver/netserver.h"
#include "stream_harness.h"

using namespace it;
using testnet::ModuleServer;

namespace {

/* Waits until channel `c`'s multicast group has `subscribers` and, or not, a sender. */
bool multicastBecomes(int c, uint32_t subscribers, bool sender, int timeoutMs = 2000) {
    MulticastChannel& ch = multicast_channel(c);
    return waitUntil([&] {
        std::lock_guard<std::mutex> lock(ch.mutex);
        return ch.subscribers == subscribers && ch.hasThread() == sender;
    }, timeoutMs);
}

}  // namespace

TEST(UdpStream, StartsAtAKeyFrameAndStopsOnRequest) {
    ModuleServer server;
    RawClient c(server.port());
    uint32_t id = loginAdmin(c);
    UdpReceiver rx;
    const Rest rest{4, 5, 6};
    c.send(request(T_START_STREAM, startStream(1, 2, &rx.address), 0x0009, 0, rest));
    ASSERT_EQ(c.recv(16), header(T_START_STREAM, 0x0009, 0, 0, rest));
    // Other frames before each key frame: the stream still begins with
    // fragment 0 of a key frame, whenever the sender got going.
    Bytes d;
    uint32_t key = 0;
    for (int i = 0; i < 100 && d.empty(); ++i) {
        fake_host::pushFrame(1, 0, 2, 50);
        key = fake_host::pushFrame(1, 0, 1, 1369);
        d = rx.receive(30);
    }
    ASSERT_EQ(d.size(), 1416u);
    Fragment f = parseFragment(d);
    EXPECT_EQ(f.type, 1);
    EXPECT_EQ(f.index, 0);
    EXPECT_EQ(f.count, 2);
    EXPECT_LE(f.seq, key);
    EXPECT_EQ(rx.receive().size(), 17u);
    while (!rx.receive(100).empty()) {
    }

    EXPECT_EQ(st_net_holdStream(id, 1, 1), 0);
    fake_host::pushFrame(1, 0, 2, 10);
    EXPECT_TRUE(rx.receive(300).empty());
    EXPECT_EQ(st_net_holdStream(id, 1, 0), 0);
    fake_host::pushFrame(1, 0, 2, 10);
    EXPECT_EQ(rx.receive().size(), 16u + 42u);

    c.send(request(T_STOP_STREAM, le32(1)));
    EXPECT_TRUE(c.silentFor(200));
    fake_host::pushFrame(1, 0, 1, 10);
    EXPECT_TRUE(rx.receive(300).empty());
    EXPECT_TRUE(echoAnswered(c, 2));
}

TEST(UdpStream, AHeldChannelStartsHeld) {
    ModuleServer server;
    RawClient c(server.port());
    uint32_t id = loginAdmin(c);
    EXPECT_EQ(st_net_holdStream(id, 4, 1), -1);  // no such channel, no such session
    EXPECT_EQ(st_net_holdStream(id, -1, 1), -1);
    EXPECT_EQ(st_net_holdStream(0xFFFFFF, 0, 1), -1);
    ASSERT_EQ(st_net_holdStream(id, 0, 1), 0);
    UdpReceiver rx;
    c.send(request(T_START_STREAM, startStream(0, 2, &rx.address)));
    ASSERT_EQ(c.recv(16).size(), 16u);
    fake_host::pushFrame(0, 0, 1, 10);
    EXPECT_TRUE(rx.receive(300).empty());
}

TEST(UdpStream, TeardownAndStopWhileStreaming) {
    for (bool byStop : {false, true}) {
        ModuleServer server;
        RawClient c(server.port());
        loginAdmin(c);
        UdpReceiver rx;
        c.send(request(T_START_STREAM, startStream(2, 2, &rx.address)));
        ASSERT_EQ(c.recv(16).size(), 16u);
        fake_host::setEndlessFrames(2, 0, 1, 3000);
        ASSERT_FALSE(rx.receive().empty());
        if (byStop) {
            EXPECT_EQ(server.stop(), 0);
        } else {
            c.close();
            EXPECT_TRUE(sessionsBecome(0));
        }
        // Nothing more once the sender has been joined (drain what was queued).
        while (!rx.receive(100).empty()) {
        }
        EXPECT_TRUE(rx.receive(300).empty());
    }
}

TEST(UdpStream, OutOfRangeStartAndStopAreIgnored) {
    ModuleServer server;
    RawClient c(server.port());
    loginAdmin(c);
    UdpReceiver rx;
    c.send(request(T_START_STREAM, startStream(4, 2, &rx.address)));
    c.send(request(T_START_STREAM, startStream(-1, 2, &rx.address)));
    c.send(request(T_START_STREAM, startStream(0, 9, &rx.address)));
    c.send(request(T_STOP_STREAM, le32(7)));
    c.send(request(T_STOP_STREAM, le32(0)));  // nothing runs
    EXPECT_TRUE(c.silentFor(300));
    EXPECT_TRUE(echoAnswered(c, 3));
}

TEST(Multicast, MembersAreCountedOncePerSessionAndShareOneSender) {
    ModuleServer server;
    RawClient a(server.port()), b(server.port());
    loginAdmin(a);
    loginAdmin(b);
    a.send(request(T_START_STREAM, startStream(0, 3)));
    a.send(request(T_START_STREAM, startStream(0, 3)));  // the same session again
    b.send(request(T_START_STREAM, startStream(0, 3)));
    EXPECT_TRUE(a.silentFor(200));  // a multicast start is never answered
    EXPECT_TRUE(b.silentFor(10));
    ASSERT_TRUE(multicastBecomes(0, 2, true));
    a.send(request(T_STOP_STREAM, le32(0)));
    ASSERT_TRUE(multicastBecomes(0, 1, true));
    b.close();  // the teardown leaves the group too
    ASSERT_TRUE(multicastBecomes(0, 0, false, 3000));
}

TEST(Multicast, StopWhileTwoSessionsShareAChannel) {
    ModuleServer server;
    RawClient a(server.port()), b(server.port());
    loginAdmin(a);
    loginAdmin(b);
    fake_host::setEndlessFrames(1, 1, 1, 2000);
    a.send(request(T_START_STREAM, startStream(1, 3, nullptr, 1)));
    b.send(request(T_START_STREAM, startStream(1, 3, nullptr, 1)));
    ASSERT_TRUE(waitUntil([&] { return fake_host::framesHandedOut(1, 1) > 10; }, 3000));
    EXPECT_EQ(server.stop(), 0);
    EXPECT_TRUE(a.closedWithin(2000));
    EXPECT_TRUE(b.closedWithin(2000));
}

TEST(Responder, AnswersOnlyHostsWithACommandConnection) {
    ModuleServer server;
    // Probes come from 127.0.0.2: no command connection from there yet (the
    // server's own start-up check connects from 127.0.0.1).
    UdpReceiver probe("127.0.0.2");
    Bytes request44 = header(0x1234, 0x5678, 28, 0x99, {7, 8, 9}) + le32(0x11111111) + le32(0x22222222) +
                      Bytes(16, 0xCC) + le32(0x33333333);
    probe.sendTo(server.port() + 4, request44);
    EXPECT_TRUE(probe.receive(300).empty());  // no logged-in command connection yet

    RawClient command(server.port(), "127.0.0.2");
    command.send(request(T_LOGIN, loginRecord("admin", "admin")));
    ASSERT_TRUE(waitUntil([] { return session_address_may_probe(inet_addr("127.0.0.2")); }, 3000));
    Bytes longer = request44 + Bytes(20, 0xDD);
    probe.sendTo(server.port() + 4, longer);
    Bytes answer = probe.receive();
    ASSERT_EQ(answer.size(), 44u);
    Bytes expected = request44;
    expected[12] = 0;
    std::fill(expected.begin() + 24, expected.begin() + 40, 0);
    expected[24] = 2;  // AF_INET, little-endian
    std::memcpy(&expected[26], &probe.address.sin_port, 2);
    expected[28] = 127;
    expected[31] = 2;
    EXPECT_EQ(answer, expected);

    // Another port of the same host gets its own port back; a short probe is
    // answered with zeros in what it did not carry.
    UdpReceiver second("127.0.0.2");
    second.sendTo(server.port() + 4, Bytes{0x4C, 0x4C});
    Bytes shortAnswer = second.receive();
    ASSERT_EQ(shortAnswer.size(), 44u);
    EXPECT_EQ(shortAnswer[0], 0x4C);
    EXPECT_EQ(shortAnswer[2], 0);
    EXPECT_EQ(std::memcmp(&shortAnswer[26], &second.address.sin_port, 2), 0);
    EXPECT_NE(std::memcmp(&shortAnswer[26], &probe.address.sin_port, 2), 0);
}
