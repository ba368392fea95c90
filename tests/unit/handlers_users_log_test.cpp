// User and log lists (empty lists and the single-record commands:
// handlers_answers_test.cpp): the records in the host's order; a reply holds
// 1828 users of 56 bytes or 1347 log records of 76, longer lists are cut to
// that. Every node handed over is freed once, in list order, after the reply.
#include "handlers_test_support.h"

using namespace ht;

constexpr uint16_t GET_LOG_LIST = 0x807, GET_USER_LIST = 0x80e;

TEST(Lists, RecordsInOrderCutToWhatFitsAndAllFreedAfterTheReply) {
    struct Case { uint16_t type; size_t size, fits, count; };
    for (Case c : {Case{GET_USER_LIST, 56, 3, 3}, Case{GET_USER_LIST, 56, 1828, 1900}, Case{GET_LOG_LIST, 76, 1347, 1347},
                   Case{GET_LOG_LIST, 76, 1347, 1348}, Case{GET_LOG_LIST, 76, 1347, 3000}}) {
        SCOPED_TRACE(c.count);
        fake_host::reset();
        PairedSession ps;
        std::vector<Bytes> list;
        for (size_t i = 0; i < c.count; ++i) list.push_back(pattern(c.size, static_cast<uint8_t>(i * 7)));
        c.type == GET_USER_LIST ? fh::setUserList(list) : fh::setLogList(list);
        const uint32_t length = static_cast<uint32_t>(4 + c.fits * c.size);
        Bytes got = dispatchRead(ps, request(c.type), 16 + length);
        ASSERT_EQ(got.size(), 16u + length);
        EXPECT_TRUE(ps.nothingPending());
        EXPECT_EQ(Bytes(got.begin(), got.begin() + 20), concat(replyHeader(c.type, 0, length, 0x00), u32le(c.fits)));
        for (size_t i : {size_t{0}, size_t{1}, c.fits - 1})
            EXPECT_EQ(Bytes(got.begin() + 20 + i * c.size, got.begin() + 20 + (i + 1) * c.size), list[i]) << i;
        EXPECT_EQ(fake_host::callCount("my_free"), static_cast<int>(c.count));
        EXPECT_EQ(fh::freedBlocks(), fh::handedOutNodes());
        auto calls = fake_host::calls();
        EXPECT_LT(std::find(calls.begin(), calls.end(), "writen"), std::find(calls.begin(), calls.end(), "my_free"));
    }
}
