// Stepping the channel tour and choosing a multicast group.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include "core/module_state.h"
#include "fake_host.h"
#include "fake_host_stream.h"
#include "netserver/wire.h"
#include "stream/frame_loop.h"
#include "stream/stream_control.h"

TEST(Tour, StepsToTheNextMaskedChannelOrStays) {
    struct Row { int32_t current; uint32_t mask; int32_t channels, next; };
    const uint32_t oneAndThree = (1u << 1) | (1u << 3);
    for (const Row& r : {
             Row{1, oneAndThree, 4, 3}, Row{3, oneAndThree, 4, 1},
             Row{0, oneAndThree, 4, 1}, Row{2, oneAndThree, 4, 3},  // the first step counts from the own channel
             Row{2, 1u << 2, 4, 2},                                // a single masked channel: the tour stays
             Row{2, 0, 4, 2}, Row{2, 1u << 9, 4, 2},               // no usable channel keeps the current one
             Row{0, 0xFFFFFFFFu, 0, 0},
             Row{31, 0xFFFFFFFFu, 40, 0}, Row{33, 1u << 5, 40, 5},  // 0..31 are chosen, 32 up never
         }) {
        EXPECT_EQ(tour_next(r.current, r.mask, r.channels), r.next)
            << "from " << r.current << " mask " << std::hex << r.mask << std::dec << " of " << r.channels;
    }
}

// The multicast group of a channel, by the host's addresses and the base port.
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
