// Parameter commands: MSG_SET_PARAM with its audit line, MSG_GET_PARAM,
// MSG_RESET_VIDEO_CONFIG.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "handlers_test_support.h"

using namespace ht;

namespace {

struct Audited {
    uint16_t type;
    size_t payloadSize;  // for 4 channels where per channel
    const char* text;
};

// Four channels (the fake host's default).
const Audited kAudited[] = {
    {5, 92, "modify net config param"},
    {7, 4 * 396, "modify prober alarm param"},
    {9, 4 * 16, "modify PTZ config param"},
    {10, 4 * 252, "modify timer record param"},
    {11, 4 * 20, "modify lost alarm param"},
    {12, 4 * 560, "modify move alarm param"},
    {13, 4 * 12, "modify video config param"},
    {14, 4 * 36, "modify video encode param"},
    {17, 4 * 64, "modify OSD param"},
    {18, 4 * 196, "modify video overlay param"},
    {20, 620, "modify PPPOE param"},
    {21, 16, "modify record type param"},
    {65, 24, "modify record type param"},
    {144, 88, "modify sys config"},
};

/* The value the fake host holds for `type`, as a payload lays it out. */
Bytes storedValueFor(uint16_t type, size_t size) {
    Bytes v(size, 0);
    if (type == 144) {  // the fake's system configuration: 4 channels, 2 ports
        v[9] = 4;
        v[12] = 2;
    } else if (type != 5) {  // network record: base port 0, all zero
        v = pattern(size, static_cast<uint8_t>(type));
        fh::setStoredParam(type, v);
    }
    return v;
}

Bytes okReply(uint16_t type, uint16_t subtype) { return replyHeader(type, subtype, 0, 0x00); }

}  // namespace

// An unchanged value is stored and answered without a line; a change in the
// last compared byte of the last channel writes one line of the type's text.
TEST(SetParam, OnlyAChangedValueWritesAnAuditLineBothAreStoredAndAnsweredOk) {
    for (const Audited& a : kAudited) {
        for (bool changed : {false, true}) {
            SCOPED_TRACE(testing::Message() << "type " << a.type << (changed ? " changed" : " same"));
            fake_host::reset();
            PairedSession ps(4, "10.0.0.5");
            std::strcpy(ps.session->userName, "u1");
            Bytes value = storedValueFor(a.type, a.payloadSize);
            if (changed) value.back() ^= 0x40;
            dispatch(ps, request(SET_PARAM, value, a.type));
            EXPECT_EQ(ps.read(16), okReply(SET_PARAM, a.type));
            EXPECT_TRUE(ps.nothingPending());
            const std::vector<std::string> expected = {std::string("u1 10.0.0.5 ") + a.text};
            EXPECT_EQ(fake_host::logLines(), changed ? expected : std::vector<std::string>{});
            EXPECT_EQ(fake_host::logCategories(), changed ? std::vector<int>{4} : std::vector<int>{});
            ASSERT_EQ(fake_host::callCount("st_app_netSetParam"), 1);
            fh::Call set = fh::last("st_app_netSetParam");
            EXPECT_EQ(set.args.at(0), a.type);
            EXPECT_EQ(Bytes(set.data.begin(), set.data.begin() + 16), Bytes(value.begin(), value.begin() + 16));
        }
    }
}

TEST(SetParam, PerChannelBuffersComeFromMyMallocAndAreFreed) {
    PairedSession ps;
    fake_host::reset();
    dispatch(ps, request(SET_PARAM, pattern(4 * 560), 12));
    ps.read(16);
    EXPECT_EQ(fake_host::callCount("my_malloc"), 1);
    EXPECT_EQ(fh::freedBlocks().size(), 1u);
    // Seven entries per channel, every channel.
    EXPECT_EQ(fh::calls("st_param_getVideoMoveStruct").size(), 28u);
    EXPECT_EQ(fh::last("st_param_getVideoMoveStruct").args, (std::vector<int64_t>{3, 6}));
}

TEST(SetParam, OsdBlockHoldsTimeThenLogo) {
    fake_host::reset();
    PairedSession ps;
    Bytes stored = pattern(4 * 64, 9);
    fh::setStoredParam(17, stored);
    dispatch(ps, request(SET_PARAM, stored, 17));
    ps.read(16);
    EXPECT_TRUE(fake_host::logLines().empty());
    // Logo first, then time, per channel.
    auto all = fake_host::calls();
    std::vector<std::string> osd;
    for (const auto& c : all)
        if (c.rfind("st_param_getOsd", 0) == 0) osd.push_back(c);
    ASSERT_EQ(osd.size(), 8u);
    EXPECT_EQ(osd[0], "st_param_getOsdLogoStruct");
    EXPECT_EQ(osd[1], "st_param_getOsdTimeStruct");
}

TEST(SetParam, PppoeComparesOnlyItsRanges) {
    struct Case {
        size_t byte;
        bool audited;
    };
    const Case cases[] = {{0, true},    {63, true},   {87, true},   {88, false}, {95, false},
                          {103, false}, {104, true},  {105, false}, {106, false}, {107, true},
                          {108, true},  {363, true},  {491, true},  {619, true}};
    for (const Case& c : cases) {
        fake_host::reset();
        PairedSession ps;
        Bytes value = storedValueFor(20, 620);
        value[c.byte] ^= 0xFF;
        dispatch(ps, request(SET_PARAM, value, 20));
        ps.read(16);
        EXPECT_EQ(fake_host::logLines().size(), c.audited ? 1u : 0u) << "byte " << c.byte;
        EXPECT_EQ(fake_host::callCount("st_app_netSetParam"), 1);
    }
}

TEST(SetParam, AuditLineIsCutAt47Characters) {
    fake_host::reset();
    PairedSession ps(4, "192.168.100.200");
    std::strcpy(ps.session->userName, "operator");
    dispatch(ps, request(SET_PARAM, pattern(4 * 12), 13));
    ps.read(16);
    // "operator 192.168.100.200 modify video config param" is 50 characters.
    EXPECT_EQ(fake_host::logLines().at(0), "operator 192.168.100.200 modify video config pa");
    EXPECT_EQ(fake_host::logLines()[0].size(), 47u);
}

TEST(SetParam, OtherTypesGoToTheHostWithoutComparison) {
    for (uint16_t type : {0, 6, 8, 15, 16, 19, 22, 64, 66, 143, 145, 200}) {
        PairedSession ps;
        fake_host::reset();
        dispatch(ps, request(SET_PARAM, pattern(64), type));
        EXPECT_EQ(ps.read(16), okReply(SET_PARAM, type));
        auto calls = fake_host::calls();
        // The dispatcher's and the handler's reads of the channel count, the
        // set, the reply: nothing else.
        EXPECT_EQ(calls, (std::vector<std::string>{"st_param_getSysConfig", "st_param_getSysConfig",
                                                   "st_app_netSetParam", "writen"}))
            << type;
        EXPECT_TRUE(fake_host::logLines().empty());
    }
}

TEST(SetParam, DeclaredLengthAboveThePayloadAreaIsDroppedWithoutHostCall) {
    PairedSession ps;
    fake_host::reset();
    auto buf = buffer(testnet::messageWithLength(SET_PARAM, 102401, pattern(64)));
    buf[6] = 5;  // net config
    dispatch(ps, buf.get());
    EXPECT_TRUE(ps.nothingPending());
    // Only the dispatcher's channel count, read for every message.
    EXPECT_EQ(fake_host::calls(), (std::vector<std::string>{"st_param_getSysConfig"}));
}

TEST(SetParam, ChannelCountIsReadAnewForEveryMessage) {
    fake_host::reset();
    PairedSession ps;
    fake_host::setChannels(2);
    Bytes value = storedValueFor(13, 4 * 12);
    value[30] ^= 1;  // channel 2: not compared with two channels
    dispatch(ps, request(SET_PARAM, value, 13));
    ps.read(16);
    EXPECT_TRUE(fake_host::logLines().empty());
    EXPECT_EQ(fh::calls("st_param_getVideoConfigParam").size(), 2u);
}

TEST(SetParam, ManyChannelsOfALargeRecordCompareOnlyThePayloadArea) {
    fake_host::reset();
    fake_host::setChannels(200);  // 200 x 560 bytes: more than a payload holds
    PairedSession ps(200);
    Bytes full = pattern(200 * 560, 3);
    fh::setStoredParam(12, full);
    dispatch(ps, request(SET_PARAM, Bytes(full.begin(), full.begin() + 102400), 12));
    EXPECT_EQ(ps.read(16), okReply(SET_PARAM, 12));
    EXPECT_TRUE(fake_host::logLines().empty());
    EXPECT_EQ(fh::calls("st_param_getVideoMoveStruct").size(), 1400u);
}

TEST(GetParam, AnswersTheHostsBytesUpToAFullPayloadArea) {
    for (size_t size : {size_t{0}, size_t{100}, size_t{102400}}) {
        fake_host::reset();
        PairedSession ps;
        fh::setOutput("st_app_netGetParam", pattern(size, 0x30));
        Bytes got = dispatchRead(ps, request(GET_PARAM, pattern(8), 13), 16 + size);
        EXPECT_EQ(got, concat(replyHeader(GET_PARAM, 13, static_cast<uint32_t>(size), 0x00), pattern(size, 0x30)))
            << size;
        EXPECT_EQ(fh::last("st_app_netGetParam").args.at(0), 13);
        EXPECT_TRUE(ps.nothingPending());
    }
}

TEST(ResetVideoConfig, ChannelsNineAndZeroGetTheNamesCh10AndCh01) {
    for (uint8_t channel : {9, 0}) {
        fake_host::reset();
        fake_host::setChannels(10);
        PairedSession ps(10);
        auto buf = buffer(request(RESET_VIDEO, {channel, 0xAA}));
        dispatch(ps, buf.get());
        EXPECT_EQ(ps.read(16), replyHeader(RESET_VIDEO, 0, 0, 0x00));
        fh::Call set = fh::last("st_param_setVideoConfigParam");
        EXPECT_EQ(set.args.at(0), channel);
        const uint8_t tens = channel == 9 ? '1' : '0', ones = channel == 9 ? '0' : '1';
        EXPECT_EQ(set.data, (Bytes{'C', 'H', tens, ones, 0, 0, 0, 0, 0x80, 0x80, 0x80, 0x80}));
        // In place: the caller's buffer carries the reply header.
        EXPECT_EQ(buf[8], 0);
        EXPECT_EQ(buf[12], 0);
    }
}

TEST(ResetVideoConfig, ChannelOutOfRangeOrNegativeIsRefused) {
    for (uint8_t channel : {4, 5, 0x7F, 0x80, 0xFF}) {  // 4 channels; 0x80.. are negative
        fake_host::reset();
        PairedSession ps;
        dispatch(ps, request(RESET_VIDEO, {channel}));
        EXPECT_EQ(ps.read(16), replyHeader(RESET_VIDEO, 0, 0, 0xFF)) << int(channel);
        EXPECT_EQ(fake_host::callCount("st_param_setVideoConfigParam"), 0);
    }
}
