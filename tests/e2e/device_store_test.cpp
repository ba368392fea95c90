// The reference device's state behind the command handlers, as raw bytes
// against the real recnet-device: the store across restarts, refusals, users,
// the clock and the log.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <thread>

#include "device_session.h"

using namespace e2e;

TEST(DeviceStore, ARestartKeepsParametersUsersAndTheLog) {
    const std::string state = e2e::tempDir();
    {
        Device d({"--state", state});
        Session s(d.port);
        ASSERT_TRUE(s.loggedIn()) << d.child->err();
        Reply video = s.request(kGetParam, {}, 13);
        ASSERT_TRUE(video.ok);
        ASSERT_EQ(video.payload.size(), 4u * 12);  // four channels of 12 bytes
        EXPECT_EQ(textAt(video.payload, 12, 8), "CH02");
        EXPECT_EQ(video.payload[12 + 8], 128);
        Bytes changed = video.payload;
        std::fill(changed.begin() + 12, changed.begin() + 20, 0);
        std::copy_n("Gate", 4, changed.begin() + 12);
        EXPECT_EQ(s.request(kSetParam, changed, 13).status, 0);
        EXPECT_EQ(s.request(kAddUser, userRecord("bob", "pw-bob")).status, 0);
        EXPECT_TRUE(contains(logTexts(s), "admin 127.0.0.1 modify video config param"));
        stop(d);
    }
    Device again({"--state", state});
    Session s(again.port);
    ASSERT_TRUE(s.loggedIn()) << again.child->err();
    Reply video = s.request(kGetParam, {}, 13);
    ASSERT_TRUE(video.ok);
    EXPECT_EQ(textAt(video.payload, 12, 8), "Gate");
    EXPECT_EQ(textAt(video.payload, 24, 8), "CH03");
    EXPECT_TRUE(contains(logTexts(s), "admin 127.0.0.1 modify video config param"));
    EXPECT_TRUE(Session(again.port, "bob", "pw-bob").loggedIn());
    stop(again);
    std::filesystem::remove_all(state);
}

TEST(DeviceStore, CommandLineCountsWinAndCannotBeChangedBySets) {
    Device d({"--channels", "2", "--serial-ports", "3"});
    Session s(d.port);
    ASSERT_TRUE(s.loggedIn()) << d.child->err();
    Reply sys = s.request(kGetParam, {}, 144);
    ASSERT_TRUE(sys.ok);
    ASSERT_EQ(sys.payload.size(), 88u);
    EXPECT_EQ(sys.payload[9], 2);
    EXPECT_EQ(sys.payload[12], 3);

    Bytes same = sys.payload;
    same[8] = 1;  // video standard: may change
    EXPECT_EQ(s.request(kSetParam, same, 144).status, 0);
    Bytes moreChannels = same;
    moreChannels[9] = 3;
    EXPECT_EQ(s.request(kSetParam, moreChannels, 144).status, kFailed);
    Bytes morePorts = same;
    morePorts[12] = 1;
    EXPECT_EQ(s.request(kSetParam, morePorts, 144).status, kFailed);
    EXPECT_EQ(s.request(kGetParam, {}, 144).payload, same);

    Reply net = s.request(kGetParam, {}, 5);
    ASSERT_EQ(net.payload.size(), 92u);
    EXPECT_EQ(testnet::u16At(net.payload, 0), d.port);
    Bytes otherPort = net.payload;
    otherPort[0] ^= 1;
    EXPECT_EQ(s.request(kSetParam, otherPort, 5).status, kFailed);

    // Unknown parameter types are refused both ways.
    EXPECT_EQ(s.request(kSetParam, Bytes(64, 1), 200).status, kFailed);
    EXPECT_EQ(s.request(kGetParam, {}, 200).status, kFailed);
    EXPECT_EQ(s.request(kGetParam, {}, 6).status, kFailed);
    // Per-channel types answer one record per channel.
    EXPECT_EQ(s.request(kGetParam, {}, 12).payload.size(), 2u * 560);
    EXPECT_EQ(s.request(kGetParam, {}, 22).payload.size(), 3u * 32);
    stop(d);
}

TEST(DeviceStore, RecordsThatCannotFitThePayloadAreRefused) {
    Device d({"--channels", "200"});
    Session s(d.port);
    ASSERT_TRUE(s.loggedIn()) << d.child->err();
    // 200 channels of 560 bytes are more than a 102400-byte payload.
    EXPECT_EQ(s.request(kGetParam, {}, 12).status, kFailed);
    EXPECT_EQ(s.request(kSetParam, Bytes(1000, 0), 12).status, kFailed);
    EXPECT_EQ(s.request(kGetParam, {}, 13).payload.size(), 200u * 12);
    stop(d);
}

TEST(DeviceStore, UsersKeepNoPasswordsAndGuardTheLastAccount) {
    Device d;
    Session s(d.port);
    ASSERT_TRUE(s.loggedIn()) << d.child->err();
    EXPECT_EQ(s.request(kAddUser, userRecord("carol", "s3cret-pw", 5)).status, 0);
    EXPECT_EQ(s.request(kAddUser, userRecord("carol", "other")).status, kFailed);
    EXPECT_EQ(s.request(kAddUser, userRecord("", "x")).status, kFailed);

    Reply list = s.request(kGetUsers);
    ASSERT_TRUE(list.ok);
    ASSERT_EQ(testnet::u32At(list.payload, 0), 2u);
    ASSERT_EQ(list.payload.size(), 4u + 2 * 56);
    EXPECT_EQ(textAt(list.payload, 4, 24), "admin");
    EXPECT_EQ(textAt(list.payload, 60, 24), "carol");
    EXPECT_EQ(testnet::u32At(list.payload, 60 + 48), 5u);
    for (size_t rec = 0; rec < 2; ++rec)
        for (size_t i = 24; i < 48; ++i) EXPECT_EQ(list.payload[4 + rec * 56 + i], 0) << rec << ":" << i;

    // Not in clear text anywhere in the state folder.
    for (const auto& f : std::filesystem::directory_iterator(d.state)) {
        if (!f.is_regular_file()) continue;
        std::ifstream in(f.path(), std::ios::binary);
        const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        EXPECT_EQ(bytes.find("s3cret-pw"), std::string::npos) << f.path();
    }

    EXPECT_TRUE(Session(d.port, "carol", "s3cret-pw").loggedIn());
    EXPECT_EQ(Session(d.port, "carol", "wrong").loginStatus(), 2);
    // Modify with an empty password keeps it and changes the rights.
    EXPECT_EQ(s.request(kModifyUser, userRecord("carol", "", 9)).status, 0);
    EXPECT_TRUE(Session(d.port, "carol", "s3cret-pw").loggedIn());
    EXPECT_EQ(s.request(kModifyUser, userRecord("carol", "new-pw", 9)).status, 0);
    EXPECT_TRUE(Session(d.port, "carol", "new-pw").loggedIn());
    EXPECT_EQ(s.request(kModifyUser, userRecord("nobody", "x")).status, kFailed);

    EXPECT_EQ(s.request(kDeleteUser, userRecord("nobody", "")).status, kFailed);
    EXPECT_EQ(s.request(kDeleteUser, userRecord("admin", "")).status, 0);
    EXPECT_EQ(s.request(kDeleteUser, userRecord("carol", "")).status, kFailed);  // the last one
    EXPECT_EQ(Session(d.port).loginStatus(), 1);                                 // admin is gone
    stop(d);
}

TEST(DeviceStore, TheClockIsTheDevicesOwnOffset) {
    const std::string state = e2e::tempDir();
    {
        Device d({"--state", state});
        Session s(d.port);
        ASSERT_TRUE(s.loggedIn()) << d.child->err();
        EXPECT_EQ(s.request(kSetTime, words({2031, 2, 30, 7, 8, 9})).status, kFailed);
        EXPECT_EQ(s.request(kSetTime, words({2031, 5, 6, 7, 8, 9})).status, 0);
        Reply t = s.request(kGetTime);
        ASSERT_EQ(t.payload.size(), 24u);
        EXPECT_EQ(testnet::u32At(t.payload, 0), 2031u);
        EXPECT_EQ(testnet::u32At(t.payload, 4), 5u);
        EXPECT_EQ(testnet::u32At(t.payload, 8), 6u);
        EXPECT_EQ(testnet::u32At(t.payload, 12), 7u);
        EXPECT_EQ(testnet::u32At(t.payload, 16), 8u);
        EXPECT_LE(testnet::u32At(t.payload, 20), 12u);
        // MSG_TIME_INFO reads the same clock; the machine's clock did not move.
        Reply info = s.request(kTimeInfo);
        ASSERT_EQ(info.payload.size(), 24u);
        EXPECT_EQ(testnet::u32At(info.payload, 0), 2031u);
        std::time_t now = std::time(nullptr);
        std::tm local{};
        localtime_r(&now, &local);
        EXPECT_NE(local.tm_year + 1900, 2031);
        stop(d);
    }
    Device again({"--state", state});
    ASSERT_FALSE(again.ready.empty()) << again.child->err();
    Session s(again.port);
    ASSERT_TRUE(s.loggedIn()) << again.child->err();
    Reply t = s.request(kGetTime);
    ASSERT_EQ(t.payload.size(), 24u);
    EXPECT_EQ(testnet::u32At(t.payload, 0), 2031u);
    // Log lines carry the device clock: 2031-05-06 is after 1.9e9 s since 1970.
    Reply log = s.request(kGetLog, Bytes(52, 0));
    ASSERT_GE(log.payload.size(), 4u + 76);
    const uint32_t n = testnet::u32At(log.payload, 0);
    EXPECT_GT(testnet::u32At(log.payload, 4 + (n - 1) * 76 + 4), 1900000000u);
    stop(again);
    std::filesystem::remove_all(state);
}

TEST(DeviceStore, LogQueriesSelectByTimeCategoryAndCount) {
    Device d({"--channels", "2"});
    Session s(d.port);
    ASSERT_TRUE(s.loggedIn()) << d.child->err();
    for (uint32_t ch = 0; ch < 2; ++ch) {
        Bytes cmd = words({ch, 5, 0, 0, 0, 0, 0, 0});
        EXPECT_EQ(s.request(kPtz, cmd, 4).status, 0);  // right
    }
    EXPECT_EQ(s.request(kPtz, words({0, 0, 7, 0, 0, 0, 0, 0}), 13).status, kFailed);  // unset preset
    EXPECT_EQ(s.request(kPtz, words({2, 5, 0, 0, 0, 0, 0, 0}), 4).status, kFailed);   // no channel 2
    Bytes query(52, 0);
    put32(query, 8, 3);  // category 3: PTZ, recording, camera
    Reply r = s.request(kGetLog, query);
    ASSERT_TRUE(r.ok);
    ASSERT_EQ(testnet::u32At(r.payload, 0), 2u);
    EXPECT_EQ(textAt(r.payload, 4 + 12, 48), "ptz ch1 right pan 5 tilt 0 zoom 1");
    EXPECT_EQ(textAt(r.payload, 80 + 12, 48), "ptz ch2 right pan 5 tilt 0 zoom 1");
    EXPECT_LT(testnet::u32At(r.payload, 4), testnet::u32At(r.payload, 80));  // ids rise
    put32(query, 12, 1);  // at most one: the oldest
    r = s.request(kGetLog, query);
    ASSERT_EQ(testnet::u32At(r.payload, 0), 1u);
    EXPECT_EQ(textAt(r.payload, 4 + 12, 48), "ptz ch1 right pan 5 tilt 0 zoom 1");
    EXPECT_EQ(s.request(0x808, query).status, 0);  // deletes what it lists
    put32(query, 12, 0);
    r = s.request(kGetLog, query);
    ASSERT_EQ(testnet::u32At(r.payload, 0), 1u);
    EXPECT_EQ(textAt(r.payload, 4 + 12, 48), "ptz ch2 right pan 5 tilt 0 zoom 1");
    put32(query, 0, 4000000000u);  // nothing starts that late
    EXPECT_EQ(s.request(kGetLog, query).payload, words({0}));

    // Manual recording is stored per channel and shows in the status record.
    EXPECT_EQ(s.request(kSetHandRecord, Bytes{1, 0, 0, 0, 1, 0, 30}).status, 0);
    Reply hand = s.request(kGetParam, {}, 24);
    EXPECT_EQ(hand.payload, (Bytes{0, 0, 0, 1, 0, 30}));
    Reply status = s.request(kGetStatus);
    ASSERT_EQ(status.payload.size(), 1244u);
    EXPECT_EQ(testnet::u32At(status.payload, 44), 2u);
    EXPECT_EQ(testnet::u32At(status.payload, 8), 2u);
    stop(d);
}

TEST(DeviceStore, DefaultSettingRestoresTheStoresDefaults) {
    Device d;
    Session s(d.port);
    ASSERT_TRUE(s.loggedIn()) << d.child->err();
    const Bytes original = s.request(kGetParam, {}, 21).payload;
    ASSERT_EQ(original.size(), 16u);
    EXPECT_EQ(s.request(kSetParam, words({0, 9, 9, 0}), 21).status, 0);
    EXPECT_EQ(s.request(kGetParam, {}, 21).payload, words({0, 9, 9, 0}));
    EXPECT_EQ(s.request(kDefaultSetting).status, 0);
    EXPECT_EQ(s.request(kGetParam, {}, 21).payload, original);
    EXPECT_EQ(s.request(kGetParam, {}, 144).payload[9], 4);  // the running channel count stays
    stop(d);
}
