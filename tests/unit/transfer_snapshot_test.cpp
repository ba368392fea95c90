// JPEG snapshots, fragments written out from their 16-byte header layout.
#include "fake_host_transfers.h"
#include "handlers_test_support.h"

using namespace ht;
namespace ft = fake_host::transfers;

namespace {

constexpr uint16_t SNAP = 0x103, SNAP_SUBTYPE = 0x5204, STREAM_SUBTYPE = 0x5205;

/* A fragment header: 8 zero bytes, length, count, number, 2 zero bytes. */
Bytes fragmentHeader(uint32_t length, uint8_t count, uint8_t number) {
    return concat(concat(Bytes(8, 0), u32le(length)), {count, number, 0, 0});
}

/* The stream request payload: selector, mode, quality, rate, size (the reply
 * overwrites it), flag, three more bytes. */
Bytes streamRequest(uint8_t selector, uint8_t mode, uint8_t quality, uint8_t rate, uint8_t flag) {
    return concat(concat({selector, mode, quality, rate}, u32le(0xEEEEEEEE)), {flag, 0x31, 0x32, 0x33});
}

class SnapshotSend : public ::testing::Test {
protected:
    void SetUp() override { fake_host::reset(); }
    int snap(const Bytes& request) { return sendJPEGSnapData(nullptr, ps.session->sock.load(), *netMessage(request)); }
    std::future<int> stream(const Bytes& request) {
        return std::async(std::launch::async, [this, m = netMessage(request)] { return sendJPEGSnapStream(nullptr, ps.session->sock.load(), *m); });
    }
    /* The client goes; the stream ends with -1 within 10 s. */
    void leave(std::future<int>& s) {
        close(ps.peerFd);
        ps.peerFd = -1;
        ASSERT_EQ(s.wait_for(std::chrono::seconds(10)), std::future_status::ready);
        EXPECT_EQ(s.get(), -1);
    }
    PairedSession ps;
};

}  // namespace

TEST_F(SnapshotSend, APictureOfNoBytesIsAReplyWithSizeZeroAndNoFragment) {
    ft::setPicture({});
    EXPECT_EQ(snap(request(SNAP, concat(u32le(3), u32le(0x99999999)), SNAP_SUBTYPE)), 0);
    EXPECT_EQ(ps.read(24), concat(replyHeader(SNAP, SNAP_SUBTYPE, 8, 0x00), concat(u32le(3), u32le(0))));
    EXPECT_TRUE(ps.nothingPending());
    EXPECT_EQ(fh::last("st_app_netGetSnapJPEG").args, std::vector<int64_t>{3});
    EXPECT_EQ(fake_host::callCount("st_app_netGetSnapJPEG"), 1);
}

TEST_F(SnapshotSend, FragmentsOf1400And1401BytePictures) {
    const Bytes p1400 = pattern(1400, 5);
    ft::setPicture(p1400);
    EXPECT_EQ(snap(request(SNAP, concat(u32le(0), u32le(0)), SNAP_SUBTYPE)), 0);
    EXPECT_EQ(ps.read(24), concat(replyHeader(SNAP, SNAP_SUBTYPE, 8, 0x00), concat(u32le(0), u32le(1400))));
    EXPECT_EQ(ps.read(16 + 1400), concat(fragmentHeader(1400, 1, 1), p1400));
    EXPECT_TRUE(ps.nothingPending());

    const Bytes p1401 = pattern(1401, 7);
    ft::setPicture(p1401);
    EXPECT_EQ(snap(request(SNAP, concat(u32le(1), u32le(0)), SNAP_SUBTYPE)), 0);
    EXPECT_EQ(ps.read(24), concat(replyHeader(SNAP, SNAP_SUBTYPE, 8, 0x00), concat(u32le(1), u32le(1401))));
    EXPECT_EQ(ps.read(16 + 1400), concat(fragmentHeader(1400, 2, 1), Bytes(p1401.begin(), p1401.begin() + 1400)));
    EXPECT_EQ(ps.read(16 + 1), concat(fragmentHeader(1, 2, 2), Bytes{p1401.back()}));
    EXPECT_TRUE(ps.nothingPending());
}

TEST_F(SnapshotSend, TheLargestPictureTakes223Fragments) {
    ft::setPicture(pattern(311040));
    std::future<int> sender = std::async(std::launch::async, [&] {
        return snap(request(SNAP, concat(u32le(0), u32le(0)), SNAP_SUBTYPE));
    });
    EXPECT_EQ(testnet::u32At(ps.read(24), 20), 311040u);
    for (int i = 1; i <= 223; ++i) {
        const uint32_t length = i < 223 ? 1400 : 311040 - 222 * 1400;
        Bytes f = ps.read(16 + length);
        ASSERT_EQ(Bytes(f.begin(), f.begin() + 16), fragmentHeader(length, 223, static_cast<uint8_t>(i)));
    }
    EXPECT_EQ(sender.get(), 0);
    EXPECT_TRUE(ps.nothingPending());
}

TEST_F(SnapshotSend, AShortRequestGetsAShortReplyWithoutTheSize) {
    ft::setPicture(pattern(10));
    EXPECT_EQ(snap(request(SNAP, u32le(2), SNAP_SUBTYPE)), 0);
    EXPECT_EQ(ps.read(20), concat(replyHeader(SNAP, SNAP_SUBTYPE, 4, 0x00), u32le(2)));
    EXPECT_EQ(ps.read(26), concat(fragmentHeader(10, 1, 1), pattern(10)));
}

TEST_F(SnapshotSend, StreamCorrectsItsFieldsAndEndsWhenTheClientGoes) {
    ft::setPicture(pattern(20));
    std::future<int> s = stream(request(SNAP, streamRequest(9, 3, 0, 0, 7), STREAM_SUBTYPE));
    // Selector 9 → 0, quality 0 → 80, rate 0 → 10, flag 7 → 0; mode and the
    // bytes behind the flag as sent.
    const Bytes expected = concat(replyHeader(SNAP, STREAM_SUBTYPE, 12, 0x00),
                                  concat(Bytes{0, 3, 80, 10}, concat(u32le(20), Bytes{0, 0x31, 0x32, 0x33})));
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(ps.read(28), expected);
        EXPECT_EQ(ps.read(36), concat(fragmentHeader(20, 1, 1), pattern(20)));
    }
    leave(s);
    for (const auto& call : fh::calls("st_app_netGetSnapJPEGEx")) EXPECT_EQ(call.args, (std::vector<int64_t>{0, 0, 3, 80}));
}

TEST_F(SnapshotSend, StreamKeepsValidFieldsAndWaitsItsInterval) {
    ft::setPicture(pattern(5));
    // Rate 4: 1000 / 4 * 1000 - 100000 = 150000 us between pictures.
    std::future<int> s = stream(request(SNAP, streamRequest(7, 0, 100, 4, 1), STREAM_SUBTYPE));
    ASSERT_EQ(ps.read(28).size(), 28u);  // the first reply
    ASSERT_EQ(ps.read(21).size(), 21u);  // and its fragment
    const auto first = std::chrono::steady_clock::now();
    Bytes second = ps.read(28);
    const auto gap = std::chrono::steady_clock::now() - first;
    EXPECT_EQ(Bytes(second.begin() + 16, second.end()),
              concat(Bytes{7, 0, 100, 4}, concat(u32le(5), Bytes{1, 0x31, 0x32, 0x33})));
    EXPECT_GE(gap, std::chrono::milliseconds(140)) << "a picture came before its interval";
    leave(s);
}

