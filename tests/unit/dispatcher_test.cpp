// The dispatcher frame: the reply styles and the audit line of a session without a login.
#include "handlers/dispatcher.h"
#include "handlers_test_support.h"

using namespace ht;

TEST(Dispatcher, InPlaceReplyIsTheRequestHeaderWithStatus) {
    fake_host::reset();
    PairedSession ps;
    auto msg = buffer(request(0x843, {5, 5, 5}, 0x1122));
    HandlerContext ctx{ps.session, msg.get(), 4};
    ASSERT_EQ(reply_in_place(ctx, wire::STATUS_FAILED), 0);
    EXPECT_EQ(ps.read(16), (Bytes{0x4C, 0x4C, 0x4C, 0x50, 0x43, 0x08, 0x22, 0x11, 0, 0, 0, 0, 0xFF, 0xD1, 0xD2, 0xD3}));
    EXPECT_TRUE(ps.nothingPending());
}

TEST(Dispatcher, CopyReplyCarriesThePayloadAndLeavesTheRequestAlone) {
    fake_host::reset();
    PairedSession ps;
    auto msg = buffer(request(0x804, {}, 0x0001));
    HandlerContext ctx{ps.session, msg.get(), 4};
    auto work = std::make_unique<uint8_t[]>(wire::MESSAGE_BUFFER_SIZE);
    reply_copy_begin(ctx, work.get());
    std::memcpy(work.get() + 16, "v1.2", 4);
    ASSERT_EQ(reply_copy_send(ctx, work.get(), status_for(0), 4), 0);
    EXPECT_EQ(ps.read(20), (Bytes{0x4C, 0x4C, 0x4C, 0x50, 0x04, 0x08, 0x01, 0x00, 4, 0, 0, 0, 0, 0xD1, 0xD2, 0xD3,
                                  'v', '1', '.', '2'}));
    EXPECT_EQ(msg[16], 0);
    // A host that claims more than the payload area holds gets no reply sent.
    EXPECT_EQ(reply_copy_send(ctx, work.get(), 0, wire::MAX_PAYLOAD + 1), -1);
    EXPECT_TRUE(ps.nothingPending());
}

TEST(Dispatcher, AuditLineBeforeLoginHasAnEmptyName) {
    fake_host::reset();
    PairedSession ps(4, "10.0.0.1");
    audit_write(ps.session, "modify sys config");
    EXPECT_EQ(fake_host::logLines().at(0), " 10.0.0.1 modify sys config");
}
