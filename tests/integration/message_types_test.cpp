// The types the message thread answers itself, and those that get no answer at all.
#include <cstdio>
#include <mutex>

#include "fake_host.h"
#include "harness.h"
#include "netserver/netserver.h"

using namespace it;

using Echo = Connected;

TEST_F(Echo, SeveralInOneWriteComeBackByteForByteInOrder) {
    Bytes burst = request(T_ECHO, {}, 0x0001, 0x00, {1, 2, 3}) +
                  request(T_ECHO, {}, 0xFFFF, 0xFF, {0xFF, 0xFE, 0xFD}) +
                  request(T_ECHO, {}, 0x8000, 0x11, {0, 0, 0});
    c.send(burst);
    EXPECT_EQ(c.recv(48), burst);
    EXPECT_TRUE(c.silentFor(200));
}

TEST_F(Echo, WithPayloadAnswersOnlyTheHeaderLengthUnchanged) {
    const Rest rest{9, 8, 7};
    c.send(request(T_ECHO, Bytes(37, 0xC5), 0x3344, 0x66, rest));
    EXPECT_EQ(c.recv(16), header(T_ECHO, 0x3344, 37, 0x66, rest));
    EXPECT_TRUE(c.silentFor(200)) << "payload bytes came back";
    EXPECT_TRUE(echoAnswered(c, 0x0505));
}

using CollieryInfo = LoggedIn;

TEST_F(CollieryInfo, AnswersTheLast72BytesOfTheHostRecord) {
    const Rest rest{1, 2, 3};
    c.send(request(T_COLLIERY_INFO, Bytes(4, 0xEE), 0x0a0b, 0x33, rest));
    Bytes payload;  // the fake host fills byte i of its 192-byte record with i
    for (int i = 120; i < 192; ++i) payload.push_back(static_cast<uint8_t>(i));
    EXPECT_EQ(c.recv(88), header(T_COLLIERY_INFO, 0x0a0b, 72, 0x00, rest) + payload);
    EXPECT_TRUE(c.silentFor(200));
    EXPECT_EQ(fake_host::callCount("st_param_getCollieryInfo"), 1);
}

using SetPollConfig = LoggedIn;

TEST_F(SetPollConfig, AnsweredWithStatus0ForEveryChannelNumber) {
    const int32_t channels[] = {0, 3, 4, -1, 0x7fffffff, static_cast<int32_t>(0x80000000)};
    uint16_t sub = 0x100;
    for (int32_t ch : channels) {
        SCOPED_TRACE("channel " + std::to_string(ch));
        const Rest rest{byteOf(sub, 0), 0x42, 0x43};
        Bytes words = le32(static_cast<uint32_t>(ch)) + le32(1) + le32(5) + le32(0xF);
        c.send(request(T_SET_POLL_CONFIG, words, sub, 0x44, rest));
        EXPECT_EQ(c.recv(16), header(T_SET_POLL_CONFIG, sub, 0, 0x00, rest));
        ++sub;
    }
    // No payload at all reads as channel 0 with everything off.
    c.send(request(T_SET_POLL_CONFIG, {}, 0x200, 0x44));
    EXPECT_EQ(c.recv(16), header(T_SET_POLL_CONFIG, 0x200, 0, 0x00));
    EXPECT_TRUE(c.silentFor(200));
}

/* Types that get no answer: the ignored ones of the message thread and
 * anything the dispatcher has no handler for. The session goes on. */
class Unanswered : public LoggedIn, public ::testing::WithParamInterface<uint16_t> {};

TEST_P(Unanswered, NoReplyAndTheSessionGoesOn) {
    const uint16_t type = GetParam();
    c.send(request(type, {}, 0x0102, 0, {4, 5, 6}));
    c.send(request(type, Bytes(28, 0x01), 0x0304));
    // The first answer on the connection is the echo's.
    EXPECT_TRUE(echoAnswered(c, 0x0909));
    EXPECT_TRUE(c.silentFor(200));
}

std::string typeName(const ::testing::TestParamInfo<uint16_t>& info) {
    char name[16];
    snprintf(name, sizeof name, "Type0x%x", info.param);
    return name;
}

INSTANTIATE_TEST_SUITE_P(MessageThreadIgnores, Unanswered, ::testing::Values(0x5, 0x6, 0x102, 0x105, 0x106, 0x107), typeName);
// 0x809 lies between two handled codes; 0xffff is past all of them. Stream
// start and stop (3, 4) reach the dispatcher until live video is served.
INSTANTIATE_TEST_SUITE_P(NoHandler, Unanswered, ::testing::Values(0x0, 0x3, 0x4, 0x809, 0xffff), typeName);

using TimeInfo = LoggedIn;

TEST_F(TimeInfo, TheHostAnswersThroughTheSessionWriteAndTheModuleSendsNothing) {
    std::mutex mutex;
    int calls = 0, writeResult = 1;
    uint32_t sessionId = 0;
    Bytes message;  // the first bytes of the module's copy of the request
    fake_host::setTimeInfo([&](CommandSession* s, void* m) {
        const auto* in = static_cast<const uint8_t*>(m);
        // The request's header with length 24 and status 0, then six u32.
        Bytes answer(in, in + 16);
        answer[8] = 24, answer[9] = answer[10] = answer[11] = answer[12] = 0;
        for (uint32_t v : {2026u, 3u, 14u, 15u, 9u, 26u}) answer = answer + le32(v);
        int rc = st_net_sessionWrite(s, answer.data(), static_cast<uint32_t>(answer.size()));
        std::lock_guard<std::mutex> lock(mutex);
        ++calls, sessionId = st_net_sessionId(s), writeResult = rc;
        message.assign(in, in + 64);
        return 0;
    });
    const Rest rest{4, 5, 6};
    const Bytes payload{0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7, 0xA8};
    c.send(request(T_TIME_INFO, payload, 0x0c0d, 0x99, rest));
    EXPECT_EQ(c.recv(40), header(T_TIME_INFO, 0x0c0d, 24, 0x00, rest) + le32(2026) + le32(3) +
                              le32(14) + le32(15) + le32(9) + le32(26));
    EXPECT_TRUE(c.silentFor(300)) << "the module answered as well";

    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(writeResult, 0);
    EXPECT_EQ(sessionId, id);
    // The host got the whole request, zeros after its payload.
    EXPECT_EQ(message, request(T_TIME_INFO, payload, 0x0c0d, 0x99, rest) + Bytes(40, 0));
}
