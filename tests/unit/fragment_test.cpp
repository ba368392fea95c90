// Fragmenting frames and stepping the channel tour, judged on bytes alone.
#include <gtest/gtest.h>

#include <vector>

#include "netserver/wire.h"
#include "stream/frame_loop.h"

namespace {

struct Frame {
    uint8_t header[32] = {};
    std::vector<uint8_t> data;
    Frame(uint32_t length, uint32_t sequence, uint8_t type) : data(length) {
        wire::putU32(header, 4, length);
        wire::putU32(header, 8, sequence);
        header[13] = type;
        header[31] = 0xEE;
        for (uint32_t i = 0; i < length; ++i) data[i] = static_cast<uint8_t>(i * 7);
    }
};

struct Fragment {
    uint32_t seq, length, payload;
    uint8_t count, index, type, pad;
    std::vector<uint8_t> bytes;
};

Fragment build(const Frame& f, uint32_t index) {
    uint8_t out[wire::FRAGMENT_SIZE_MAX];
    size_t n = fragment_build(f.header, f.data.data(), static_cast<uint32_t>(f.data.size()), index, out);
    Fragment r{wire::getU32(out, 0), wire::getU32(out, 4), wire::getU32(out, 8), out[12], out[13], out[14], out[15],
               std::vector<uint8_t>(out + 16, out + n)};
    EXPECT_EQ(n, 16 + r.payload);
    return r;
}

}  // namespace

TEST(Fragments, ReassemblyGivesTheFrameBack) {
    Frame f(5000, 9, 2);
    std::vector<uint8_t> joined;
    for (uint32_t i = 0; i < wire::fragmentCount(5000); ++i) {
        Fragment g = build(f, i);
        joined.insert(joined.end(), g.bytes.begin(), g.bytes.end());
    }
    ASSERT_EQ(joined.size(), 5032u);
    EXPECT_EQ(std::vector<uint8_t>(joined.begin() + 32, joined.end()), f.data);
}

TEST(Tour, AlternatesOverTheMaskedChannels) {
    const uint32_t mask = (1u << 1) | (1u << 3);
    EXPECT_EQ(tour_next(1, mask, 4), 3);
    EXPECT_EQ(tour_next(3, mask, 4), 1);
    // The first step counts from the sender's own channel.
    EXPECT_EQ(tour_next(0, mask, 4), 1);
    EXPECT_EQ(tour_next(2, mask, 4), 3);
    // A single masked channel: the tour stays there.
    EXPECT_EQ(tour_next(2, 1u << 2, 4), 2);
}

TEST(Tour, NoUsableChannelKeepsTheCurrentOne) {
    EXPECT_EQ(tour_next(2, 0, 4), 2);
    EXPECT_EQ(tour_next(2, 1u << 9, 4), 2);  // bit of a channel that does not exist
    EXPECT_EQ(tour_next(0, 0xFFFFFFFFu, 0), 0);
    // Channels from 32 up are never chosen; 0..31 are.
    EXPECT_EQ(tour_next(31, 0xFFFFFFFFu, 40), 0);
    EXPECT_EQ(tour_next(33, 1u << 5, 40), 5);
}

// The multicast group of a channel, by the host's addresses and the base port.
#include <arpa/inet.h>

#include "core/module_state.h"
#include "fake_host.h"
#include "fake_host_stream.h"
#include "stream/stream_control.h"

TEST(MulticastGroup, FourthNumberAndPortFollowChannelAndKind) {
    fake_host::reset();
    fake_host::setMulticastBase("239.1.2.200");
    fake_host::setOwnAddress("127.0.0.1");
    g_module.basePort = 5500;
    in_addr own{};
    sockaddr_in group{};
    ASSERT_TRUE(multicast_group(0, 0, own, group));
    EXPECT_EQ(std::string(inet_ntoa(group.sin_addr)), "239.1.2.0");
    EXPECT_EQ(ntohs(group.sin_port), 5499);
    EXPECT_EQ(own.s_addr, htonl(INADDR_LOOPBACK));
    ASSERT_TRUE(multicast_group(2, 1, own, group));
    EXPECT_EQ(std::string(inet_ntoa(group.sin_addr)), "239.1.2.18");
    EXPECT_EQ(ntohs(group.sin_port), 5500 - 19);
    g_module.basePort = 10;  // wraps modulo 65536
    ASSERT_TRUE(multicast_group(15, 1, own, group));
    EXPECT_EQ(ntohs(group.sin_port), (10u - 1 - 15 - 16 + 65536) % 65536);
    g_module.basePort = 0;
}

TEST(MulticastGroup, UnusableHostAddressesEndTheSender) {
    fake_host::reset();
    in_addr own{};
    sockaddr_in group{};
    fake_host::setMulticastBase("not an address");
    EXPECT_FALSE(multicast_group(0, 0, own, group));
    fake_host::reset();
    fake_host::force("st_comm_getIpAddr", -1);
    EXPECT_FALSE(multicast_group(0, 0, own, group));
}
