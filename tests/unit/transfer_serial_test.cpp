// The transparent serial channel, its data messages written out from their layout.
#include "fake_host_transfers.h"
#include "handlers_test_support.h"

using namespace ht;
namespace ft = fake_host::transfers;

namespace {

class SerialChannel : public ::testing::Test {
protected:
    void SetUp() override {
        fake_host::reset();
        fh::setOutput("st_param_getTransparenceStruct", {0, 1, 1, 0});
    }
    void TearDown() override { stopTransparentCmd(ps.session); }
    /* Starts forwarding and waits until its thread waits for data. */
    void startWaiting() {
        ASSERT_EQ(startTransparentCmd(ps.session), 0);
        ASSERT_TRUE(waitFor([] { return ft::serialWaits() >= 1; }));
    }
    PairedSession ps;
};

}  // namespace

TEST_F(SerialChannel, FiveBytesGiveOneFullSizeMessage) {
    startWaiting();
    ft::serialArrive(0, {'h', 'e', 'l', 'l', 'o'});
    EXPECT_EQ(ps.read(1044), serialMessage({'h', 'e', 'l', 'l', 'o'}));
    EXPECT_TRUE(ps.nothingPending());
    const std::string name = "startRecvTransparentThread";
    EXPECT_EQ(fh::last("st_comm_sendThreadInfoForTop").data, Bytes(name.begin(), name.end()));
}

TEST_F(SerialChannel, ThreeThousandBytesGoAs1024_1024_952) {
    startWaiting();
    const Bytes data = pattern(3000, 3);
    ft::serialArrive(0, data);
    EXPECT_EQ(ps.read(1044), serialMessage(Bytes(data.begin(), data.begin() + 1024)));
    EXPECT_EQ(ps.read(1044), serialMessage(Bytes(data.begin() + 1024, data.begin() + 2048)));
    EXPECT_EQ(ps.read(1044), serialMessage(Bytes(data.begin() + 2048, data.end())));
}

TEST_F(SerialChannel, BytesFromBeforeTheStartAreNotSent) {
    ft::serialArrive(0, pattern(50));
    startWaiting();
    ft::serialArrive(0, {'x'});
    EXPECT_EQ(ps.read(1044), serialMessage({'x'}));
    EXPECT_TRUE(ps.nothingPending());
}

TEST_F(SerialChannel, APortNumberOfTwoOrMoreMeansPortZero) {
    fh::setOutput("st_param_getTransparenceStruct", {5, 1, 1, 0});
    startWaiting();
    ft::serialArrive(1, {'n', 'o'});
    ft::serialArrive(0, {'y', 'e', 's'});
    EXPECT_EQ(ps.read(1044), serialMessage({'y', 'e', 's'}));
    EXPECT_TRUE(ps.nothingPending());
}

TEST_F(SerialChannel, StopWakesTheWaitingThreadThroughEveryPort) {
    ft::setSerialWaitLimit(std::chrono::seconds(20));
    startWaiting();
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(stopTransparentCmd(ps.session), 0);
    // The fake's wait gives up only after 20 s: returning sooner means the
    // broadcast woke it.
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(10));
    EXPECT_EQ(fake_host::callCount("st_com_sendRecBufBroadcast"), 2);  // two serial ports
    ft::serialArrive(0, {'z'});
    EXPECT_TRUE(ps.nothingPending());
}

TEST_F(SerialChannel, ASecondStartIsRefusedWhileOneRuns) {
    startWaiting();
    EXPECT_EQ(startTransparentCmd(ps.session), -1);
    EXPECT_EQ(stopTransparentCmd(ps.session), 0);
    // Stopped, it can start again.
    EXPECT_EQ(startTransparentCmd(ps.session), 0);
}

TEST_F(SerialChannel, AStopRightAfterTheStartIsNeverUndone) {
    for (int i = 0; i < 20; ++i) {
        ASSERT_EQ(startTransparentCmd(ps.session), 0);
        ASSERT_EQ(stopTransparentCmd(ps.session), 0);
    }
    ft::serialArrive(0, {'q'});
    EXPECT_TRUE(ps.nothingPending());
}
