// The device's stored state through the real CLI: what survives a restart, what the command line fixes.

#include <ctime>

#include "device_fixture.h"

using e2e::contains;
using e2e::Device;

TEST(DeviceStore, ARestartKeepsParametersUsersTheLogAndTheClock) {
    Device d;
    const std::string record = "010000000a0000000f00000001000000\n";
    d.ok({"time", "set", "2031-05-06 07:08:09"});
    d.ok({"param", "set", "21", "--hex", record.substr(0, 32)});
    d.ok({"user", "add", "bob", "pw-bob"});
    d.stop();
    d.start();

    EXPECT_EQ(d.ok({"param", "get", "21", "--hex"}), record);
    d.ok({"login"}, {"--user", "bob", "--password", "pw-bob"});
    // The clock is the device's own offset: it runs on from 2031 over the
    // restart, the log lines carry it, and the machine's clock did not move.
    EXPECT_EQ(d.ok({"time", "get"}).rfind("2031-05-06 07:0", 0), 0u);
    EXPECT_TRUE(contains(d.ok({"log", "list", "--category", "operation", "--since", "2031-05-06"}),
                         "  operation  admin 127.0.0.1 modify record type param\n"));
    EXPECT_LT(std::time(nullptr), 1924992000);  // 2031-01-01
    d.stop();
}

TEST(DeviceStore, CommandLineCountsWinAndCannotBeChangedBySets) {
    Device d({"--channels", "2", "--serial-ports", "3"});
    // System configuration (144): byte 8 the video standard, which may change,
    // 9 the channels and 12 the serial ports, which may not.
    std::string sys = d.ok({"param", "get", "144", "--hex"}), net = d.ok({"param", "get", "5", "--hex"});
    ASSERT_TRUE(sys.size() == 2 * 88 + 1 && net.size() == 2 * 92 + 1) << sys << net;
    EXPECT_EQ(sys.substr(18, 2) + sys.substr(24, 2), "0203");
    sys.replace(16, 2, "01").pop_back();
    d.ok({"param", "set", "144", "--hex", sys});
    for (size_t at : {18, 24})
        EXPECT_EQ(d.cli({"param", "set", "144", "--hex", std::string(sys).replace(at, 2, "05")}).exitCode, 1) << at;
    EXPECT_EQ(d.ok({"param", "get", "144", "--hex"}), sys + "\n");
    // The network record (5) starts with the base port, fixed as well.
    net[1] = net[1] == '0' ? '1' : '0';
    EXPECT_EQ(d.cli({"param", "set", "5", "--hex", net.substr(0, 2 * 92)}).exitCode, 1);
}

TEST(DeviceStore, RecordsThatCannotFitThePayloadAreRefused) {
    Device d({"--channels", "200"});
    // 200 channels of 560 bytes are more than a 102400-byte payload.
    EXPECT_EQ(d.cli({"param", "get", "12"}).exitCode, 1);
    EXPECT_EQ(d.cli({"param", "set", "12", "--hex", std::string(2000, '0')}).exitCode, 1);
    EXPECT_EQ(d.ok({"param", "get", "13", "--hex"}).size(), 2u * 200 * 12 + 1);
}
