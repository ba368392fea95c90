// Serial forwarding and snapshot streams that the host starts from its MSG_TIME_INFO
// answer must end before their session and before the server's stop.
#include <cstring>
#include <memory>

#include "fake_host_handlers.h"
#include "fake_host_transfers.h"
#include "harness.h"
#include "netserver/netserver.h"

using namespace it;
using testnet::ModuleServer;
namespace ft = fake_host::transfers;

namespace {

constexpr uint16_t SERIAL_START = 0x5202, SNAPSHOT_STREAM = 0x5205;

/* The host's MSG_TIME_INFO: serial start or a snapshot stream by sub-type,
 * the time record otherwise. */
int transferHost(CommandSession* s, void* m) {
    const auto* in = static_cast<const uint8_t*>(m);
    const uint16_t subtype = static_cast<uint16_t>(in[6] | (in[7] << 8));
    if (subtype == SERIAL_START) {
        Bytes answer(in, in + 16);  // length 0, the start's outcome as status
        answer[8] = answer[9] = answer[10] = answer[11] = 0, answer[12] = startTransparentCmd(s) == 0 ? 0 : 0xFF;
        return st_net_sessionWrite(s, answer.data(), 16);
    }
    if (subtype == SNAPSHOT_STREAM) {
        auto request = std::make_unique<NetMessage>();
        std::memcpy(request->bytes, m, sizeof request->bytes);
        sendJPEGSnapStream(nullptr, st_net_sessionSocket(s), *request);
        return 0;
    }
    return 0;
}

class Transfers : public ::testing::Test {
protected:
    void SetUp() override {
        threads = threadBaseline();
        fds = fdCount();
        fake_host::reset();
        fake_host::handlers::setOutput("st_param_getTransparenceStruct", {0, 1, 1, 0});
        fake_host::setTimeInfo(transferHost);
        server = std::make_unique<ModuleServer>(false);
        ASSERT_TRUE(server->started());
    }
    void TearDown() override {
        server.reset();
        EXPECT_TRUE(waitUntil([this] { return threadCount() == threads; }, 5000))
            << threadCount() << " threads, " << threads << " before";
        EXPECT_TRUE(waitUntil([this] { return fdCount() == fds; }, 5000));
    }
    /* A logged-in client whose serial forwarding runs. */
    std::unique_ptr<RawClient> forwarding() {
        auto c = std::make_unique<RawClient>(server->port());
        EXPECT_NE(loginAdmin(*c), 0u);
        c->send(request(T_TIME_INFO, {}, SERIAL_START));
        EXPECT_EQ(c->recv(16), header(T_TIME_INFO, SERIAL_START, 0, 0x00));
        EXPECT_TRUE(waitUntil([] { return ft::serialWaits() >= 1; }, 5000));
        return c;
    }
    size_t threads = 0, fds = 0;
    std::unique_ptr<ModuleServer> server;
};

}  // namespace

TEST_F(Transfers, TheSessionsEndStopsTheForwarding) {
    auto c = forwarding();
    c->close();
    EXPECT_TRUE(sessionsBecome(0));
    // The forwarding thread is joined with the session: nothing is left to
    // write on a descriptor number that may be reused.
    ft::serialArrive(0, {'x'});
}

TEST_F(Transfers, TheServerStopEndsForwardingOnEverySession) {
    auto a = forwarding();
    auto b = forwarding();
    ft::serialArrive(0, Bytes(3000, 0x41));
    EXPECT_EQ(server->stop(), 0);
    EXPECT_TRUE(a->closedWithin(3000));
    EXPECT_TRUE(b->closedWithin(3000));
}

TEST_F(Transfers, ASnapshotStreamEndsWhenItsClientGoes) {
    ft::setPicture(Bytes(5000, 0x33));
    auto c = std::make_unique<RawClient>(server->port());
    ASSERT_NE(loginAdmin(*c), 0u);
    Bytes payload = {0, 0, 50, 10, 0, 0, 0, 0, 0, 0, 0, 0};
    c->send(request(T_TIME_INFO, payload, SNAPSHOT_STREAM));
    Bytes reply = c->recv(28);  // on the session's own socket; its bytes: SnapshotSend.*
    ASSERT_EQ(reply.size(), 28u);
    EXPECT_EQ(testnet::u32At(reply, 20), 5000u);
    c->close();
    EXPECT_TRUE(sessionsBecome(0, 10000));
}

TEST_F(Transfers, TheServerStopEndsASnapshotStreamThatCannotTakePictures) {
    fake_host::force("st_app_netGetSnapJPEGEx", -1);
    auto c = std::make_unique<RawClient>(server->port());
    ASSERT_NE(loginAdmin(*c), 0u);
    c->send(request(T_TIME_INFO, Bytes(12, 0), SNAPSHOT_STREAM));
    EXPECT_EQ(c->recv(28).size(), 28u);
    EXPECT_EQ(server->stop(), 0);
    EXPECT_TRUE(c->closedWithin(3000));
}
