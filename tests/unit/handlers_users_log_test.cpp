// Users and log: list replies, single-record commands, list ownership.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "handlers_test_support.h"

using namespace ht;

namespace {

constexpr uint16_t GET_LOG_LIST = 0x807;
constexpr uint16_t DELETE_LOG = 0x808;
constexpr uint16_t GET_USER_LIST = 0x80e;

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

TEST(UserList, LongerListIsCutToWhatFits) {
    fake_host::reset();
    PairedSession ps;
    auto users = records(1900, 56);
    fh::setUserList(users);
    Bytes got = dispatchRead(ps, request(GET_USER_LIST), 16 + 4 + 1828 * 56);
    ASSERT_EQ(got.size(), 16u + 4 + 1828 * 56);  // 102372 bytes of payload
    EXPECT_TRUE(ps.nothingPending());
    EXPECT_EQ(Bytes(got.begin(), got.begin() + 20),
              concat(replyHeader(GET_USER_LIST, 0, 102372, 0x00), Bytes{0x24, 0x07, 0, 0}));
    EXPECT_EQ(Bytes(got.end() - 56, got.end()), users[1827]);
    expectEveryNodeFreedOnce();
}

TEST(LogList, QueryGoesToTheHostByValue) {
    fake_host::reset();
    PairedSession ps;
    dispatch(ps, request(GET_LOG_LIST, pattern(60, 0x10)));
    ps.read(20);
    EXPECT_EQ(fh::last("st_app_netGetLogList").data, pattern(52, 0x10));
}

TEST(LogList, A1347EntryListFillsTheReply) {
    fake_host::reset();
    PairedSession ps;
    auto logs = records(1347, 76);
    fh::setLogList(logs);
    Bytes got = dispatchRead(ps, request(GET_LOG_LIST), 16 + 102376);
    ASSERT_EQ(got.size(), 16u + 102376);
    EXPECT_TRUE(ps.nothingPending());
    EXPECT_EQ(Bytes(got.begin(), got.begin() + 20),
              concat(replyHeader(GET_LOG_LIST, 0, 102376, 0x00), Bytes{0x43, 0x05, 0, 0}));
    for (size_t i : {size_t{0}, size_t{1}, size_t{1346}})
        EXPECT_EQ(Bytes(got.begin() + 20 + i * 76, got.begin() + 20 + (i + 1) * 76), logs[i]) << i;
    expectEveryNodeFreedOnce();
}

TEST(LogList, LongerListsHoldTheRecordsThatFitAndFreeAll) {
    for (size_t count : {size_t{1348}, size_t{1400}, size_t{3000}}) {
        fake_host::reset();
        PairedSession ps;
        fh::setLogList(records(count, 76));
        Bytes got = dispatchRead(ps, request(GET_LOG_LIST), 16 + 4 + 1347 * 76);
        ASSERT_EQ(got.size(), 16u + 4 + 1347 * 76) << count;
        EXPECT_TRUE(ps.nothingPending()) << count;
        EXPECT_EQ(Bytes(got.begin(), got.begin() + 20),
                  concat(replyHeader(GET_LOG_LIST, 0, 102376, 0x00), Bytes{0x43, 0x05, 0, 0}));
        EXPECT_EQ(fake_host::callCount("my_free"), static_cast<int>(count));
        expectEveryNodeFreedOnce();
    }
}

TEST(DeleteLog, QueryGoesToTheHostByValue) {
    fake_host::reset();
    PairedSession ps;
    dispatch(ps, request(DELETE_LOG, pattern(52, 0x33)));
    EXPECT_EQ(ps.read(16), replyHeader(DELETE_LOG, 0, 0, 0x00));
    EXPECT_EQ(fh::last("st_app_netDeleteLogInfo").data, pattern(52, 0x33));
}

TEST(Users, AddDeleteModifyPassTheRecord) {
    struct Case {
        uint16_t type;
        const char* host;
    };
    for (Case c : {Case{0x80f, "st_app_netAddUser"}, Case{0x810, "st_app_netDeleteUser"},
                   Case{0x811, "st_app_netModifyUser"}}) {
        fake_host::reset();
        PairedSession ps;
        dispatch(ps, request(c.type, pattern(56, 0x50)));
        EXPECT_EQ(ps.read(16), replyHeader(c.type, 0, 0, 0x00)) << c.host;
        EXPECT_EQ(fh::last(c.host).data, pattern(56, 0x50));
        EXPECT_TRUE(ps.nothingPending());
    }
}

TEST(Users, ShortRequestPassesZeroesBehindTheDeclaredLength) {
    fake_host::reset();
    PairedSession ps;
    dispatch(ps, request(0x80f, Bytes{'b', 'o', 'b'}));
    ps.read(16);
    Bytes expected(56, 0);
    expected[0] = 'b';
    expected[1] = 'o';
    expected[2] = 'b';
    EXPECT_EQ(fh::last("st_app_netAddUser").data, expected);
}
