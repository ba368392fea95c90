/*
 * gateway_unit_test.cpp - the gateway's pure parts: path names, SPS parsing,
 * fragmented MP4 bytes (written out from the ISO BMFF box layouts), and the
 * viewer timeline.
 */
#include <gtest/gtest.h>

#include <vector>

#include "fmp4.h"
#include "registry.h"
#include "timeline.h"

namespace {

using Bytes = std::vector<uint8_t>;

// The SPS and PPS of device/media/main.h264 (640x360, constrained baseline 3.0).
const Bytes MAIN_SPS = {0x67, 0x42, 0xc0, 0x1e, 0xda, 0x02, 0x80, 0xbf, 0xe5, 0xc0, 0x44, 0x00, 0x00,
                        0x03, 0x00, 0x04, 0x00, 0x00, 0x03, 0x00, 0xca, 0x3c, 0x58, 0xba, 0x80};
const Bytes MAIN_PPS = {0x68, 0xce, 0x3c, 0x80};
// The SPS of device/media/sub.h264 (320x180).
const Bytes SUB_SPS = {0x67, 0x42, 0xc0, 0x0c, 0xda, 0x05, 0x06, 0x7e, 0x7c, 0x04, 0x40, 0x00,
                       0x00, 0x00, 0x30, 0x04, 0x00, 0x00, 0x00, 0xca, 0x3c, 0x50, 0xaa, 0x80};

TEST(GatewayPaths, ParsesChannelAndKind) {
    gateway::PathName p;
    ASSERT_TRUE(gateway::parsePathName("/dev/ch2", p));
    EXPECT_TRUE(p.device == "dev" && p.channel == 2u && p.kind == 0);
    ASSERT_TRUE(gateway::parsePathName("yard-2/ch15/sub", p));
    EXPECT_TRUE(p.device == "yard-2" && p.channel == 15u && p.kind == 1);
    for (const char* bad : {"", "/", "/dev", "/dev/", "/dev/ch", "/dev/chx", "/dev/ch256", "/dev/ch2/main",
                            "/dev/ch2/sub/x", "//ch1", "/dev/ch-1", "/dev/ch99999"}) {
        EXPECT_FALSE(gateway::parsePathName(bad, p)) << bad;
    }
}

TEST(GatewayFmp4, SpsGivesThePictureSize) {
    gateway::SpsInfo s;
    ASSERT_TRUE(gateway::parseSps(MAIN_SPS.data(), MAIN_SPS.size(), s));
    EXPECT_TRUE(s.width == 640u && s.height == 360u && s.profile == 0x42);
    ASSERT_TRUE(gateway::parseSps(SUB_SPS.data(), SUB_SPS.size(), s));
    EXPECT_TRUE(s.width == 320u && s.height == 180u);
    // A cut SPS is refused, unless the cut spares every field up to the
    // cropping (the VUI after it is not needed); nothing past it is read.
    for (size_t n = 0; n < MAIN_SPS.size(); ++n) {
        Bytes cut(MAIN_SPS.begin(), MAIN_SPS.begin() + static_cast<long>(n));
        gateway::SpsInfo c;
        if (gateway::parseSps(cut.data(), cut.size(), c)) {
            EXPECT_TRUE(n >= 9 && c.width == 640u && c.height == 360u) << n;
        }
    }
}

TEST(GatewayFmp4, InitSegmentAndFragmentBytes) {
    Bytes key = {0, 0, 0, 1};
    key.insert(key.end(), MAIN_SPS.begin(), MAIN_SPS.end());
    key.insert(key.end(), {0, 0, 0, 1});
    key.insert(key.end(), MAIN_PPS.begin(), MAIN_PPS.end());
    key.insert(key.end(), {0, 0, 1, 0x65, 0x88, 0x84});
    gateway::Fmp4Muxer mux;
    ASSERT_TRUE(mux.start(key.data(), key.size()));
    EXPECT_EQ(mux.codec(), "avc1.42c01e");
    const Bytes& init = mux.initSegment();
    const Bytes ftyp = {0, 0, 0, 0x20, 'f', 't', 'y', 'p', 'i', 's', 'o', 'm', 0, 0, 2, 0,
                        'i', 's', 'o', 'm', 'i', 's', 'o', '6', 'a', 'v', 'c', '1', 'm', 'p', '4', '1'};
    ASSERT_GE(init.size(), ftyp.size());
    EXPECT_EQ(Bytes(init.begin(), init.begin() + 32), ftyp);
    // avcC: version 1, profile, compatibility, level, 4-byte lengths, one
    // SPS (25 bytes), one PPS (4 bytes).
    Bytes avcc = {0, 0, 0, 0x30, 'a', 'v', 'c', 'C', 1, 0x42, 0xc0, 0x1e, 0xff, 0xe1, 0, 25};
    avcc.insert(avcc.end(), MAIN_SPS.begin(), MAIN_SPS.end());
    avcc.insert(avcc.end(), {1, 0, 4});
    avcc.insert(avcc.end(), MAIN_PPS.begin(), MAIN_PPS.end());
    EXPECT_NE(std::search(init.begin(), init.end(), avcc.begin(), avcc.end()), init.end());
    // The moov box holds the rest: its size covers the segment exactly.
    EXPECT_EQ(init[32 + 4], 'm');
    EXPECT_EQ((init[32] << 24 | init[33] << 16 | init[34] << 8 | init[35]) + 32u, init.size());

    const Bytes au = {0, 0, 0, 1, 0x41, 0x9a, 0x02};
    const Bytes frag = mux.fragment(au.data(), au.size(), false, 1000000, 40000);
    const Bytes expected = {
        0, 0, 0, 100, 'm', 'o', 'o', 'f',                                  //
        0, 0, 0, 16, 'm', 'f', 'h', 'd', 0, 0, 0, 0, 0, 0, 0, 1,            // sequence 1
        0, 0, 0, 76, 't', 'r', 'a', 'f',                                   //
        0, 0, 0, 16, 't', 'f', 'h', 'd', 0, 2, 0, 0, 0, 0, 0, 1,            // base is moof, track 1
        0, 0, 0, 20, 't', 'f', 'd', 't', 1, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0x5f, 0x90,  // 90000
        0, 0, 0, 32, 't', 'r', 'u', 'n', 0, 0, 7, 1, 0, 0, 0, 1,            // one sample
        0, 0, 0, 108,                                                      // data offset
        0, 0, 0x0e, 0x10,                                                  // 3600 = 40 ms
        0, 0, 0, 7,                                                        // size
        1, 1, 0, 0,                                                        // not a sync sample
        0, 0, 0, 15, 'm', 'd', 'a', 't', 0, 0, 0, 3, 0x41, 0x9a, 0x02};
    EXPECT_EQ(frag, expected);

    Bytes noPps = {0, 0, 1};
    noPps.insert(noPps.end(), MAIN_SPS.begin(), MAIN_SPS.end());
    EXPECT_FALSE(gateway::Fmp4Muxer().start(noPps.data(), noPps.size()));
}

TEST(GatewayTimeline, KeptFramesCloseUpThenCaptureTimesRule) {
    gateway::Timeline t;
    EXPECT_EQ(t.next(10'000'000, true), 0u);
    EXPECT_EQ(t.next(10'040'000, true), 1000u);
    EXPECT_EQ(t.next(10'080'000, true), 2000u);
    EXPECT_EQ(t.next(10'120'000, false), 42000u);
    EXPECT_EQ(t.next(10'160'000, false), 82000u);
    // A capture clock that steps back or leaps (a restarted device) goes on 1 ms later.
    EXPECT_EQ(t.next(5'000'000, false), 83000u);
    EXPECT_EQ(t.next(5'040'000, false), 123000u);
    EXPECT_EQ(t.next(60'000'000, false), 124000u);
}

}  // namespace
