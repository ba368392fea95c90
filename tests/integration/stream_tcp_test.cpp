// The data connection: handshake, fragments, take-over, stops, the tour.
#include <gtest/gtest.h>

#include "fake_host.h"
#include "module_server.h"
#include "netserver/netserver.h"
#include "stream_harness.h"

using namespace it;
using testnet::ModuleServer;

TEST(DataHandshake, RefusedHandshakesAndSubscriptionsAreClosed) {
    ModuleServer server;  // four channels
    RawClient command(server.port());
    const uint32_t id = loginAdmin(command);
    ASSERT_NE(id, 0u);
    // An unknown session gets the first reply, then the close. Magic and type
    // are not checked on the data connection.
    RawClient unknown(server.port() + 1);
    const Rest rest{1, 2, 3};
    Bytes hello = header(0x55, 0x0102, 4, 0x33, rest) + le32(0xDEADBEEF);
    hello[0] = 0;
    unknown.send(hello);
    Bytes expected = header(0x55, 0x0102, 0, 0, rest);
    expected[0] = 0;
    EXPECT_EQ(unknown.recv(16), expected);
    EXPECT_TRUE(unknown.closedWithin(2000));
    // A subscription of another type is closed without a reply.
    RawClient otherType(server.port() + 1);
    otherType.send(request(0, le32(id)));
    ASSERT_EQ(otherType.recv(16).size(), 16u);
    otherType.send(request(1, le32(0) + le32(0)));
    EXPECT_TRUE(otherType.closedWithin(2000));
    // A handshake beyond the payload limit is refused on its header.
    RawClient oversized(server.port() + 1);
    oversized.send(testnet::messageWithLength(0, 102401));
    EXPECT_TRUE(oversized.closedWithin(2000));
    // A channel out of range: the subscription is answered before the check.
    for (uint32_t channel : {4u, 0xFFFFFFFFu}) {
        RawClient data(server.port() + 1);
        data.send(request(0, le32(id)));
        ASSERT_EQ(data.recv(16), header(0, 0, 0, 0));
        Bytes sub = le32(channel) + Bytes{0, 9, 9, 9, 0xAA, 0xBB};  // 10 bytes, 8 echoed
        data.send(request(0, sub, 0x0C0D));
        EXPECT_EQ(data.recv(24), header(0, 0x0C0D, 8, 0) + Bytes(sub.begin(), sub.begin() + 8));
        EXPECT_TRUE(data.closedWithin(2000)) << "channel " << channel;
    }
}

TEST(TcpStream, FramesArriveAsFragmentsFromTheLiveEnd) {
    ModuleServer server;
    fake_host::pushFrame(2, 0, 1, 100);  // before the subscription: never sent
    TcpStream s(server.port(), 2);
    ASSERT_TRUE(s.subscribed);
    ASSERT_TRUE(awaitFlow(s.data, 2));
    const uint32_t first = fake_host::pushFrame(2, 0, 1, 1369, 5);
    const uint32_t second = fake_host::pushFrame(2, 0, 2, 0);
    Fragment a, b, c;
    ASSERT_TRUE(readFragment(s.data, a));
    ASSERT_TRUE(readFragment(s.data, b));
    ASSERT_TRUE(readFragment(s.data, c));
    EXPECT_EQ(a.seq, first);
    EXPECT_EQ(a.length, 1369u);
    EXPECT_EQ(a.payload, 1400u);
    EXPECT_EQ(a.count, 2);
    EXPECT_EQ(a.index, 0);
    EXPECT_EQ(a.type, 1);
    EXPECT_EQ(a.bytes[12], 2);  // the frame header travels as the pool gave it
    EXPECT_EQ(a.bytes[32], 5);  // then the data
    EXPECT_EQ(b.payload, 1u);
    EXPECT_EQ(b.index, 1);
    EXPECT_EQ(b.bytes[0], static_cast<uint8_t>(5 + 1368));
    EXPECT_EQ(c.seq, second);
    EXPECT_EQ(c.payload, 32u);
    EXPECT_EQ(c.type, 2);
}

TEST(TcpStream, FramesAboveOneMebibyteAreSkipped) {
    ModuleServer server;
    TcpStream s(server.port(), 0);
    ASSERT_TRUE(s.subscribed);
    ASSERT_TRUE(awaitFlow(s.data, 0));
    fake_host::pushFrame(0, 0, 1, 1048577 - 32);
    const uint32_t largest = fake_host::pushFrame(0, 0, 1, 1048576 - 32);
    Fragment f;
    ASSERT_TRUE(readFragment(s.data, f));
    EXPECT_EQ(f.seq, largest);  // the frame before it never went out
    EXPECT_EQ(f.count, 749 % 256);
    int fragments = 1;
    while (fragments < 749 && readFragment(s.data, f)) ++fragments;
    EXPECT_EQ(fragments, 749);
    EXPECT_EQ(f.index, 748 % 256);
}

TEST(TcpStream, SecondDataConnectionTakesTheChannelOver) {
    ModuleServer server;
    TcpStream first(server.port(), 0);
    ASSERT_TRUE(first.subscribed);
    RawClient data(server.port() + 1);
    data.send(request(0, le32(first.id)));
    ASSERT_EQ(data.recv(16).size(), 16u);
    data.send(request(0, le32(0) + le32(0)));
    ASSERT_EQ(data.recv(24).size(), 24u);
    EXPECT_TRUE(first.data.closedWithin(3000));
    EXPECT_TRUE(awaitFlow(data, 0));
}

// A streaming sender ends by MSG_STOP_STREAM (never answered), by the end of
// its session, and by the server's stop while it blocks in a full socket.
TEST(TcpStream, StopStreamTeardownAndServerStopEndTheSender) {
    enum Ending { StopStream, Teardown, ServerStop };
    for (Ending ending : {StopStream, Teardown, ServerStop}) {
        SCOPED_TRACE("ending " + std::to_string(ending));
        const int32_t channel = ending == StopStream ? 3 : ending;
        ModuleServer server;
        TcpStream s(server.port(), channel);
        ASSERT_TRUE(s.subscribed);
        fake_host::setEndlessFrames(channel, 0, 1, 20000);
        Fragment f;
        ASSERT_TRUE(readFragment(s.data, f));
        if (ending == StopStream) {
            s.command.send(request(T_STOP_STREAM, le32(3)));
            EXPECT_TRUE(s.data.closedWithin(3000));
            EXPECT_TRUE(s.command.silentFor(200));
            EXPECT_TRUE(echoAnswered(s.command, 1));
        } else if (ending == Teardown) {
            s.command.close();
            EXPECT_TRUE(s.data.closedWithin(5000));
            EXPECT_TRUE(sessionsBecome(0));
        } else {
            EXPECT_EQ(server.stop(), 0);
            EXPECT_TRUE(s.data.closedWithin(3000));
        }
    }
}
