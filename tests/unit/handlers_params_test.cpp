// Parameter commands: MSG_SET_PARAM with its audit line and
// MSG_RESET_VIDEO_CONFIG's refusals (MSG_GET_PARAM and the reset's answer:
// handlers_answers_test.cpp).
#include "handlers_test_support.h"

using namespace ht;

namespace {

constexpr uint16_t SET_PARAM = 0x401, RESET_VIDEO = 0x403;

// Payload sizes for four channels (the fake host's default) where per channel.
const struct Audited {
    uint16_t type;
    size_t payloadSize;
    const char* text;
} kAudited[] = {
    {5, 92, "modify net config param"},         {7, 4 * 396, "modify prober alarm param"},
    {9, 4 * 16, "modify PTZ config param"},     {10, 4 * 252, "modify timer record param"},
    {11, 4 * 20, "modify lost alarm param"},    {12, 4 * 560, "modify move alarm param"},
    {13, 4 * 12, "modify video config param"},  {14, 4 * 36, "modify video encode param"},
    {17, 4 * 64, "modify OSD param"},           {18, 4 * 196, "modify video overlay param"},
    {20, 620, "modify PPPOE param"},            {21, 16, "modify record type param"},
    {65, 24, "modify record type param"},       {144, 88, "modify sys config"},
};

/* The value the fake host holds for `type`, as a payload lays it out; the
 * fake stores it when the row starts. */
Bytes storedValueFor(uint16_t type, size_t size) {
    Bytes v(size, 0);
    if (type == 144) v[9] = 4, v[12] = 2;  // the fake's system configuration: 4 channels, 2 ports
    else if (type != 5) v = pattern(size, static_cast<uint8_t>(type));  // 5: the network record, all zero
    return v;
}
Fn store(uint16_t type, Bytes v) { return [=](Ctx&) { if (type != 5 && type != 144) fh::setStoredParam(type, v); }; }
/* A MSG_SET_PARAM that the host stores and that is answered OK. */
Row set(uint16_t type, Bytes value, std::string kind) {
    Bytes kept = value;  // the fake keeps the first 1024 bytes of the payload area
    kept.resize(1024, 0);
    return D(SET_PARAM, value, type).as(std::string("SetParam") + std::to_string(type)).on("st_app_netSetParam", kind)
        .reply(0).then(both(called("st_app_netSetParam", 1), hostGot("st_app_netSetParam", {type}, kept)));
}

std::vector<Row> rows() {
    std::vector<Row> t;
    // An unchanged value is stored and answered without a line; a change in the
    // last compared byte of the last channel writes one line of the type's text.
    for (const Audited& a : kAudited) {
        Bytes value = storedValueFor(a.type, a.payloadSize), changed = value;
        changed.back() ^= 0x40;
        t.push_back(set(a.type, value, "Same").given(store(a.type, value)).audit(0));
        const std::string line = std::string("u1 192.0.2.7 ") + a.text;
        t.push_back(set(a.type, changed, "Changed").audit(1).given(both(store(a.type, value), [](Ctx& c) {
            std::strcpy(c.ps.session->userName, "u1");
        })).also([=](Ctx&) {
            EXPECT_EQ(fake_host::logLines(), std::vector<std::string>{line});
            EXPECT_EQ(fake_host::logCategories(), std::vector<int>{4});
        }));
    }
    // Only the ranges of the PPPoE record that it holds are compared.
    const Bytes pppoe = storedValueFor(20, 620);
    for (auto [byte, audited] : {std::pair<size_t, bool>{0, true}, {63, true}, {87, true}, {88, false}, {95, false},
                                 {103, false}, {104, true}, {105, false}, {106, false}, {107, true}, {108, true},
                                 {363, true}, {491, true}, {619, true}}) {
        Bytes v = pppoe;
        v[byte] ^= 0xFF;
        t.push_back(set(20, v, std::string("Byte") + std::to_string(byte)).given(store(20, pppoe)).audit(audited ? 1 : 0));
    }
    // The move alarm: seven entries per channel, every channel, read into a
    // buffer from my_malloc that is freed.
    t.push_back(set(12, pattern(4 * 560), "MovePerEntry").also(both(called("st_param_getVideoMoveStruct", 28), [](Ctx&) {
        EXPECT_EQ(fh::last("st_param_getVideoMoveStruct").args, (std::vector<int64_t>{3, 6}));
        EXPECT_EQ(fake_host::callCount("my_malloc"), 1);
        EXPECT_EQ(fh::freedBlocks().size(), 1u);
    })));
    // The OSD block holds time, then logo: the logo is read first, per channel.
    t.push_back(set(17, pattern(4 * 64, 9), "OsdLogoFirst").given(store(17, pattern(4 * 64, 9))).audit(0).also([](Ctx&) {
        std::vector<std::string> osd;
        for (const auto& c : fake_host::calls())
            if (c.rfind("st_param_getOsd", 0) == 0) osd.push_back(c);
        ASSERT_EQ(osd.size(), 8u);
        EXPECT_EQ(osd[0], "st_param_getOsdLogoStruct");
        EXPECT_EQ(osd[1], "st_param_getOsdTimeStruct");
    }));
    // The channel count is read anew for every message: with two, channel 2 is
    // not compared.
    Bytes config = storedValueFor(13, 4 * 12), third = config;
    third[30] ^= 1;
    t.push_back(set(13, third, "TwoChannels").audit(0).also(called("st_param_getVideoConfigParam", 2))
        .given(both(store(13, config), [](Ctx&) { fake_host::setChannels(2); })));
    // 200 channels of 560 bytes: more than a payload holds; only the payload area is compared.
    const Bytes full = pattern(200 * 560, 3);
    t.push_back(set(12, Bytes(full.begin(), full.begin() + 102400), "ManyChannels").audit(0)
        .given(both(store(12, full), [](Ctx&) { fake_host::setChannels(200); })).also(called("st_param_getVideoMoveStruct", 1400)));
    // Other types go to the host without comparison: the dispatcher's and the
    // handler's reads of the channel count, the set, the reply, nothing else.
    for (uint16_t type : {0, 6, 8, 15, 16, 19, 22, 64, 66, 143, 145, 200})
        t.push_back(set(type, pattern(64), "Uncompared").audit(0).also([](Ctx&) {
            EXPECT_EQ(fake_host::calls(), (std::vector<std::string>{"st_param_getSysConfig", "st_param_getSysConfig", "st_app_netSetParam", "writen"}));
        }));
    return t;
}

class SetParamRow : public RowTest {};

}  // namespace

TEST_P(SetParamRow, AnsweredAndAuditedAsDocumented) { run(GetParam()); }

INSTANTIATE_TEST_SUITE_P(Rows, SetParamRow, ::testing::ValuesIn(rows()), rowName);

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

TEST(SetParam, DeclaredLengthAboveThePayloadAreaIsDroppedWithoutHostCall) {
    PairedSession ps;
    fake_host::reset();
    auto buf = buffer(testnet::messageWithLength(SET_PARAM, 102401, pattern(64)));
    buf[6] = 5;  // net config
    DefaultMessageHandler(ps.session, buf.get());
    EXPECT_TRUE(ps.nothingPending());
    // Only the dispatcher's channel count, read for every message.
    EXPECT_EQ(fake_host::calls(), (std::vector<std::string>{"st_param_getSysConfig"}));
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
