// Device information and time: the clock, the identity and status records,
// the Wi-Fi list, the version record, the session flag, the camera resets.
#include <gtest/gtest.h>

#include "handlers/maintenance_state.h"
#include "handlers_test_support.h"

using namespace ht;

namespace {

struct Getter {
    uint16_t type;
    const char* host;
    size_t size;
};

const Getter kGetters[] = {
    {0x803, "st_app_netGetTime", 24},
    {0x804, "st_app_netGetVersionInfo", 160},
    {0x805, "st_app_netGetHardDiskData", 968},
    {0x806, "st_app_netGetSystemStatusInfo", 1244},
    {0x80b, "st_app_netGetUpdateSystemInfo", 4},
};

}  // namespace

TEST(DeviceInfo, GettersAnswerTheirRecordWhole) {
    for (const Getter& g : kGetters) {
        fake_host::reset();
        PairedSession ps;
        fh::setOutput(g.host, pattern(g.size, 0x21));
        Bytes got = dispatchRead(ps, request(g.type, pattern(30)), 16 + g.size);
        EXPECT_EQ(got, concat(replyHeader(g.type, 0, static_cast<uint32_t>(g.size), 0x00),
                              pattern(g.size, 0x21)))
            << g.host;
        EXPECT_TRUE(ps.nothingPending()) << g.host;
    }
}

TEST(DeviceInfo, SetTimePassesTheSixWordsInOrder) {
    fake_host::reset();
    PairedSession ps;
    Bytes payload;
    for (uint32_t w : {2026u, 3u, 14u, 15u, 9u, 26u}) payload = concat(payload, u32le(w));
    dispatch(ps, request(0x802, payload));
    EXPECT_EQ(ps.read(16), replyHeader(0x802, 0, 0, 0x00));
    EXPECT_EQ(fh::last("st_app_netSetTime").args, (std::vector<int64_t>{2026, 3, 14, 15, 9, 26}));
}

TEST(DeviceInfo, SessionFlagTakesOnlyZeroAndOne) {
    fake_host::reset();
    PairedSession ps;
    ASSERT_EQ(ps.session->sessionFlag.load(), 1u);
    dispatch(ps, request(0x80a, u32le(2)));
    EXPECT_EQ(ps.read(16), replyHeader(0x80a, 0, 0, 0x00));
    EXPECT_EQ(ps.session->sessionFlag.load(), 1u);
    // Length 0: the zeroed payload reads 0 and clears the flag.
    dispatch(ps, request(0x80a));
    EXPECT_EQ(ps.read(16), replyHeader(0x80a, 0, 0, 0x00));
    EXPECT_EQ(ps.session->sessionFlag.load(), 0u);
    dispatch(ps, request(0x80a, u32le(1)));
    EXPECT_EQ(ps.read(16), replyHeader(0x80a, 0, 0, 0x00));
    EXPECT_EQ(ps.session->sessionFlag.load(), 1u);
}

TEST(DeviceInfo, FlatTypeIsTheValueThenZero) {
    fake_host::reset();
    PairedSession ps;
    fh::setResult("st_param_getFlatType", 0x1234);
    Bytes got = dispatchRead(ps, request(0x812, pattern(12)), 24);
    EXPECT_EQ(got, concat(replyHeader(0x812, 0, 8, 0x00), Bytes{0x34, 0x12, 0, 0, 0, 0, 0, 0}));
    EXPECT_TRUE(ps.nothingPending());
}

TEST(DeviceInfo, ApInfoAnswersTheScanUpToTheScratchArea) {
    for (size_t size : {size_t{0}, size_t{300}, size_t{51200}}) {
        fake_host::reset();
        PairedSession ps;
        fh::setOutput("st_iwlist_getApInfo", pattern(size, 7));
        Bytes got = dispatchRead(ps, request(0x815), 16 + size);
        EXPECT_EQ(got, concat(replyHeader(0x815, 0, static_cast<uint32_t>(size), 0x00), pattern(size, 7)));
        EXPECT_EQ(fh::last("st_iwlist_getApInfo").args.at(0), ps.session->sock.load());
        EXPECT_EQ(fake_host::callCount("st_iwlist_getIwprivApInfo"), 0);
        EXPECT_TRUE(ps.nothingPending()) << size;
    }
}

TEST(DeviceInfo, SetVersionInfoStoresTheRecordAndAnswersOnce) {
    fake_host::reset();
    PairedSession ps;
    dispatch(ps, request(0x854, pattern(170, 0x41)));
    EXPECT_EQ(ps.read(16), replyHeader(0x854, 0, 0, 0x00));
    EXPECT_TRUE(ps.nothingPending());
    EXPECT_EQ(fh::last("st_param_setVersionInfo").data, pattern(160, 0x41));
}

