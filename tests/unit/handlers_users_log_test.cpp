// Users and log: list replies, single-record commands, list ownership.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "handlers_test_support.h"

using namespace ht;

namespace {

std::vector<Bytes> records(size_t count, size_t size) {
    std::vector<Bytes> out;
    for (size_t i = 0; i < count; ++i) out.push_back(pattern(size, static_cast<uint8_t>(i * 7)));
    return out;
}

/* Every node handed over was freed exactly once, and nothing else was. */
void expectEveryNodeFreedOnce() {
    auto handed = fh::handedOutNodes();
    auto freed = fh::freedBlocks();
    std::multiset<const void*> freedSet(freed.begin(), freed.end());
    EXPECT_EQ(freed.size(), handed.size());
    for (const void* node : handed) EXPECT_EQ(freedSet.count(node), 1u);
    EXPECT_EQ(freed, handed);  // and in list order
}

}  // namespace

TEST(UserList, EmptyListIsOkLengthFourCountZero) {
    for (uint16_t type : {GET_USER_LIST, GET_LOG_LIST}) {
        fake_host::reset();
        PairedSession ps;
        dispatch(ps, request(type));
        EXPECT_EQ(ps.read(20), concat(replyHeader(type, 0, 4, 0x00), Bytes{0, 0, 0, 0}));
        EXPECT_TRUE(ps.nothingPending());
        EXPECT_EQ(fake_host::callCount("my_free"), 0);
    }
}

TEST(UserList, ThreeUsersInTheHostsOrder) {
    fake_host::reset();
    PairedSession ps;
    auto users = records(3, 56);
    fh::setUserList(users);
    Bytes got = dispatchRead(ps, request(GET_USER_LIST), 16 + 172);
    Bytes expected = concat(replyHeader(GET_USER_LIST, 0, 172, 0x00), Bytes{3, 0, 0, 0});
    for (const Bytes& u : users) expected = concat(expected, u);
    EXPECT_EQ(got, expected);
    EXPECT_TRUE(ps.nothingPending());
    expectEveryNodeFreedOnce();
    // The reply went out before the first node was freed.
    auto calls = fake_host::calls();
    auto write = std::find(calls.begin(), calls.end(), "writen");
    auto firstFree = std::find(calls.begin(), calls.end(), "my_free");
    EXPECT_LT(write - calls.begin(), firstFree - calls.begin());
}

// A reply holds 1828 users of 56 bytes or 1347 log records of 76; longer
// lists are cut to that, and every node is freed.
TEST(Lists, FullAndLongerListsHoldTheRecordsThatFitAndFreeAll) {
    struct Case {
        uint16_t type;
        size_t size, fits, count;
    };
    for (Case c : {Case{GET_USER_LIST, 56, 1828, 1900}, Case{GET_LOG_LIST, 76, 1347, 1347},
                   Case{GET_LOG_LIST, 76, 1347, 1348}, Case{GET_LOG_LIST, 76, 1347, 3000}}) {
        fake_host::reset();
        PairedSession ps;
        auto list = records(c.count, c.size);
        c.type == GET_USER_LIST ? fh::setUserList(list) : fh::setLogList(list);
        const uint32_t length = static_cast<uint32_t>(4 + c.fits * c.size);
        Bytes got = dispatchRead(ps, request(c.type), 16 + length);
        ASSERT_EQ(got.size(), 16u + length) << c.count;
        EXPECT_TRUE(ps.nothingPending()) << c.count;
        EXPECT_EQ(Bytes(got.begin(), got.begin() + 20), concat(replyHeader(c.type, 0, length, 0x00), u32le(c.fits)));
        for (size_t i : {size_t{0}, size_t{1}, c.fits - 1})
            EXPECT_EQ(Bytes(got.begin() + 20 + i * c.size, got.begin() + 20 + (i + 1) * c.size), list[i]) << i;
        EXPECT_EQ(fake_host::callCount("my_free"), static_cast<int>(c.count));
        expectEveryNodeFreedOnce();
    }
}

// The single-record commands hand the host the record by value: as many
// bytes as it holds, zeros behind a shorter request; the log query also goes
// with a list request. Answered OK with the header alone.
TEST(Records, PassedToTheHostByValueWithZeroesBehindAShortRequest) {
    struct Case {
        uint16_t type;
        const char* host;
        Bytes payload, passed;
        size_t replyLength;
    };
    const Bytes bob = {'b', 'o', 'b'};
    Bytes bobRecord(56, 0);
    std::copy(bob.begin(), bob.end(), bobRecord.begin());
    const Case cases[] = {
        {GET_LOG_LIST, "st_app_netGetLogList", pattern(60, 0x10), pattern(52, 0x10), 4},
        {DELETE_LOG, "st_app_netDeleteLogInfo", pattern(52, 0x33), pattern(52, 0x33), 0},
        {0x80f, "st_app_netAddUser", pattern(56, 0x50), pattern(56, 0x50), 0},
        {0x810, "st_app_netDeleteUser", pattern(56, 0x50), pattern(56, 0x50), 0},
        {0x811, "st_app_netModifyUser", pattern(56, 0x50), pattern(56, 0x50), 0},
        {0x80f, "st_app_netAddUser", bob, bobRecord, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.host);
        fake_host::reset();
        PairedSession ps;
        dispatch(ps, request(c.type, c.payload));
        EXPECT_EQ(ps.read(16), replyHeader(c.type, 0, static_cast<uint32_t>(c.replyLength), 0x00));
        ps.read(c.replyLength);
        EXPECT_TRUE(ps.nothingPending());
        EXPECT_EQ(fh::last(c.host).data, c.passed);
    }
}
