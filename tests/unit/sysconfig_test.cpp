// NUGetSysConfig reads single fields of the host's system configuration,
// asked anew on every call.
#include <gtest/gtest.h>

#include "fake_host.h"
#include "netserver/netserver.h"

TEST(SysConfig, SelectorsReadTheirFieldsAnewOnEveryCall) {
    fake_host::reset();
    fake_host::setChannels(0xFF);
    EXPECT_EQ(NUGetSysConfig(1), 255u);  // zero-extended
    fake_host::setChannels(9);
    fake_host::setSerialPorts(3);
    for (size_t i = 0; i < 8; ++i) fake_host::setSysConfigByte(i, static_cast<uint8_t>(0x10 + i));
    fake_host::setSysConfigByte(10, 0x77);
    EXPECT_EQ(NUGetSysConfig(1), 9u);
    EXPECT_EQ(NUGetSysConfig(2), 0u);  // byte 8
    EXPECT_EQ(NUGetSysConfig(3), 3u);
    EXPECT_EQ(NUGetSysConfig(4), 0x13121110u);
    EXPECT_EQ(NUGetSysConfig(5), 0x77u);
    EXPECT_EQ(NUGetSysConfig(6), 0x17161514u);
    EXPECT_EQ(fake_host::callCount("st_param_getSysConfig"), 7);
}

TEST(SysConfigDeathTest, UnknownSelectorStopsTheProcess) {
    fake_host::reset();
    EXPECT_DEATH(NUGetSysConfig(7), "NUGetSysConfig: Assertion `0' failed");
    EXPECT_DEATH(NUGetSysConfig(0), "netserver:32");
}
