// Every kind of module thread whose start fails ends cleanly: the state says
// "no thread", nothing stays allocated or open, nothing waits for it.
#include <dirent.h>
#include <gtest/gtest.h>

#include "core/thread_registry.h"
#include "handlers/handlers.h"
#include "handlers_test_support.h"
#include "module_server.h"
#include "netserver/wire.h"
#include "stream/multicast.h"
#include "stream/stream_control.h"
#include "transfer/transfer.h"

namespace {

using namespace ht;

int openDescriptors() {
    int n = 0;
    if (DIR* d = opendir("/proc/self/fd")) {
        while (readdir(d) != nullptr) ++n;
        closedir(d);
    }
    return n;
}

class ThreadStartFails : public ::testing::Test {
protected:
    void SetUp() override { fake_host::reset(); }
    void TearDown() override { thread_set_start(nullptr); }
};

TEST_F(ThreadStartFails, ServerStartReportsItAndTheStopReleasesEverything) {
    const int before = openDescriptors();
    thread_set_start(failingStart);
    EXPECT_EQ(st_net_startNetServer(), -1);
    EXPECT_EQ(st_net_stopNetServer(), 0);
    EXPECT_EQ(openDescriptors(), before);  // the wake pipe is closed
}

TEST_F(ThreadStartFails, CommandConnectionIsClosedAndItsRecordReleased) {
    testnet::ModuleServer server;
    ASSERT_TRUE(server.started());
    thread_set_start(failingStart);
    testnet::RawClient client(server.port());
    ASSERT_TRUE(client.connected());
    EXPECT_TRUE(client.closedWithin(2000));
    // The readiness probe's session ends by itself; none other was made.
    EXPECT_TRUE(waitFor([] { return session_records() == 0; }));
    thread_set_start(nullptr);
    EXPECT_EQ(server.stop(), 0);
}

TEST_F(ThreadStartFails, UdpSenderLeavesTheEntryWithoutSender) {
    PairedSession ps;
    thread_set_start(failingStart);
    // StreamStartRequest: channel 0, UDP, destination 192.0.2.7:8080 (the
    // session's own address), kind 1.
    Bytes payload = concat(concat(u32le(0), u32le(wire::TRANSPORT_UDP)),
                           {0x02, 0x00, 0x1F, 0x90, 192, 0, 2, 7, 0, 0, 0, 0, 0, 0, 0, 0});
    payload = concat(payload, {1, 0, 0, 0});
    auto message = buffer(request(wire::MSG_START_STREAM, payload));
    HandlerContext ctx{ps.session, message.get(), ps.session->channelCount, nullptr};
    EXPECT_TRUE(handle_start_stream(ctx));
    EXPECT_EQ(ps.read(16), replyHeader(wire::MSG_START_STREAM, 0, 0, 0x00));
    const ChannelStream& entry = ps.session->streams[0];
    EXPECT_FALSE(entry.hasSender);
    EXPECT_EQ(entry.running.load(), 0u);
    EXPECT_EQ(entry.sendEnabled.load(), 0u);
    EXPECT_EQ(entry.sock.load(), -1);
    stream_stop_session_senders(ps.session);  // nothing to join
}

TEST_F(ThreadStartFails, MulticastChannelKeepsNoSender) {
    PairedSession ps;
    multicast_reset(ps.session->channelCount);
    thread_set_start(failingStart);
    multicast_join(ps.session, 1, 0);
    {
        MulticastChannel& ch = multicast_channel(1);
        std::lock_guard<std::mutex> lock(ch.mutex);
        EXPECT_FALSE(ch.hasThread());
        EXPECT_EQ(ch.subscribers, 1u);
    }
    multicast_leave(ps.session, 1);
    EXPECT_EQ(multicast_channel(1).subscribers, 0u);
    multicast_reset(0);
}

TEST_F(ThreadStartFails, SerialForwardingIsRefusedAndStopsAtOnce) {
    PairedSession ps;
    thread_set_start(failingStart);
    EXPECT_EQ(startTransparentCmd(ps.session), -1);
    EXPECT_EQ(ps.session->serialRun.load(), 0u);
    EXPECT_FALSE(ps.session->hasSerialThread.load());
    EXPECT_EQ(stopTransparentCmd(ps.session), 0);
    EXPECT_EQ(fake_host::callCount("st_com_sendRecBufBroadcast"), 0);
}

}  // namespace
