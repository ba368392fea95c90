// The dispatcher frame: types without a handler, the reply styles, the audit line.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "fake_host.h"
#include "handlers/dispatcher.h"
#include "netserver/netserver.h"
#include "unit_support.h"

using testnet::Bytes;

namespace {

std::unique_ptr<uint8_t[]> messageBuffer(const Bytes& m) {
    auto buf = std::make_unique<uint8_t[]>(wire::MESSAGE_BUFFER_SIZE);
    std::memset(buf.get(), 0, wire::MESSAGE_BUFFER_SIZE);
    std::memcpy(buf.get(), m.data(), m.size());
    return buf;
}

}  // namespace

TEST(Dispatcher, TypeWithoutHandlerIsDroppedSilently) {
    fake_host::reset();
    PairedSession ps;
    for (uint16_t type : {0x0, 0x3, 0x809, 0x9999, 0xFFFF}) {
        auto msg = messageBuffer(testnet::message(type, {1, 2}));
        DefaultMessageHandler(ps.session, msg.get());
        EXPECT_TRUE(ps.nothingPending()) << "type " << type;
        EXPECT_EQ(wire::getU32(msg.get(), wire::HDR_LENGTH), 2u);
    }
    // The channel count is read for every message, whatever its type.
    EXPECT_EQ(fake_host::callCount("st_param_getSysConfig"), 5);
}

TEST(Dispatcher, InPlaceReplyIsTheRequestHeaderWithStatus) {
    fake_host::reset();
    PairedSession ps;
    const uint8_t rest[3] = {0xD1, 0xD2, 0xD3};
    auto msg = messageBuffer(testnet::message(0x843, {5, 5, 5}, 0x1122, 0x7F, 0x504C4C4C, rest));
    HandlerContext ctx{ps.session, msg.get(), 4};
    ASSERT_EQ(reply_in_place(ctx, wire::STATUS_FAILED), 0);
    Bytes expected = {0x4C, 0x4C, 0x4C, 0x50, 0x43, 0x08, 0x22, 0x11,
                      0, 0, 0, 0, 0xFF, 0xD1, 0xD2, 0xD3};
    EXPECT_EQ(ps.read(16), expected);
    EXPECT_TRUE(ps.nothingPending());
}

TEST(Dispatcher, CopyReplyCarriesThePayloadAndLeavesTheRequestAlone) {
    fake_host::reset();
    PairedSession ps;
    auto msg = messageBuffer(testnet::message(0x804, {}, 0x0001, 0x00));
    HandlerContext ctx{ps.session, msg.get(), 4};
    auto work = std::make_unique<uint8_t[]>(wire::MESSAGE_BUFFER_SIZE);
    reply_copy_begin(ctx, work.get());
    std::memcpy(work.get() + 16, "v1.2", 4);
    ASSERT_EQ(reply_copy_send(ctx, work.get(), status_for(0), 4), 0);
    Bytes expected = {0x4C, 0x4C, 0x4C, 0x50, 0x04, 0x08, 0x01, 0x00, 4, 0, 0, 0, 0, 0, 0, 0,
                      'v', '1', '.', '2'};
    EXPECT_EQ(ps.read(20), expected);
    EXPECT_EQ(msg[16], 0);
    // A host that claims more than the payload area holds gets no reply sent.
    EXPECT_EQ(reply_copy_send(ctx, work.get(), 0, wire::MAX_PAYLOAD + 1), -1);
    EXPECT_TRUE(ps.nothingPending());
}

TEST(Dispatcher, StatusFollowsTheSignOfTheHostResult) {
    EXPECT_EQ(status_for(0), wire::STATUS_OK);
    EXPECT_EQ(status_for(17), wire::STATUS_OK);
    EXPECT_EQ(status_for(-1), wire::STATUS_FAILED);
}

TEST(Dispatcher, AuditLineNamesUserAndAddressInCategoryFour) {
    fake_host::reset();
    PairedSession ps(4, "192.168.100.200");
    std::strcpy(ps.session->userName, "admin");
    audit_write(ps.session, "modify video config param");
    ASSERT_EQ(fake_host::logLines().size(), 1u);
    EXPECT_EQ(fake_host::logLines()[0], "admin 192.168.100.200 modify video config param");
    EXPECT_EQ(fake_host::logCategories()[0], 4);
}

TEST(Dispatcher, AuditLineIsCutAt47Characters) {
    fake_host::reset();
    PairedSession ps(4, "192.168.100.200");
    std::strcpy(ps.session->userName, "abcdefghijklmnopqrstuvw");  // 23 characters
    audit_write(ps.session, "modify prober alarm param");
    std::string line = fake_host::logLines().at(0);
    EXPECT_EQ(line.size(), 47u);
    EXPECT_EQ(line, std::string("abcdefghijklmnopqrstuvw 192.168.100.200 modify prober alarm param").substr(0, 47));
}

TEST(Dispatcher, AuditLineBeforeLoginHasAnEmptyName) {
    fake_host::reset();
    PairedSession ps(4, "10.0.0.1");
    audit_write(ps.session, "modify sys config");
    EXPECT_EQ(fake_host::logLines().at(0), " 10.0.0.1 modify sys config");
}
