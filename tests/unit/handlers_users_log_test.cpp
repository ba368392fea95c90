// User and log lists: the records in the host's order, the cut to what a
// reply holds, and every node freed after the reply (empty lists and the
// single-record commands: handlers_answers_test.cpp).
#include "handlers_test_support.h"

using namespace ht;

namespace {

constexpr uint16_t GET_LOG_LIST = 0x807, GET_USER_LIST = 0x80e;

std::vector<Bytes> records(size_t count, size_t size) {
    std::vector<Bytes> out;
    for (size_t i = 0; i < count; ++i) out.push_back(pattern(size, static_cast<uint8_t>(i * 7)));
    return out;
}

/* Every node handed over was freed once, in list order, and nothing else was. */
void expectEveryNodeFreedOnce() { EXPECT_EQ(fh::freedBlocks(), fh::handedOutNodes()); }

}  // namespace

TEST(UserList, ThreeUsersInTheHostsOrder) {
    fake_host::reset();
    PairedSession ps;
    auto users = records(3, 56);
    fh::setUserList(users);
    Bytes got = dispatchRead(ps, request(GET_USER_LIST), 16 + 172);
    EXPECT_EQ(got, concat(concat(concat(replyHeader(GET_USER_LIST, 0, 172, 0x00), u32le(3)), concat(users[0], users[1])), users[2]));
    EXPECT_TRUE(ps.nothingPending());
    expectEveryNodeFreedOnce();
    // The reply went out before the first node was freed.
    auto calls = fake_host::calls();
    EXPECT_LT(std::find(calls.begin(), calls.end(), "writen"), std::find(calls.begin(), calls.end(), "my_free"));
}

// A reply holds 1828 users of 56 bytes or 1347 log records of 76; longer
// lists are cut to that, and every node is freed.
TEST(Lists, FullAndLongerListsHoldTheRecordsThatFitAndFreeAll) {
    struct Case { uint16_t type; size_t size, fits, count; };
    for (Case c : {Case{GET_USER_LIST, 56, 1828, 1900}, Case{GET_LOG_LIST, 76, 1347, 1347},
                   Case{GET_LOG_LIST, 76, 1347, 1348}, Case{GET_LOG_LIST, 76, 1347, 3000}}) {
        SCOPED_TRACE(c.count);
        fake_host::reset();
        PairedSession ps;
        auto list = records(c.count, c.size);
        c.type == GET_USER_LIST ? fh::setUserList(list) : fh::setLogList(list);
        const uint32_t length = static_cast<uint32_t>(4 + c.fits * c.size);
        Bytes got = dispatchRead(ps, request(c.type), 16 + length);
        ASSERT_EQ(got.size(), 16u + length);
        EXPECT_TRUE(ps.nothingPending());
        EXPECT_EQ(Bytes(got.begin(), got.begin() + 20), concat(replyHeader(c.type, 0, length, 0x00), u32le(c.fits)));
        for (size_t i : {size_t{0}, size_t{1}, c.fits - 1})
            EXPECT_EQ(Bytes(got.begin() + 20 + i * c.size, got.begin() + 20 + (i + 1) * c.size), list[i]) << i;
        EXPECT_EQ(fake_host::callCount("my_free"), static_cast<int>(c.count));
        expectEveryNodeFreedOnce();
    }
}
