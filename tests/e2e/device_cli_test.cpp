// The real device and the real CLI, end to end over loopback.
#include <gtest/gtest.h>
#include <signal.h>
#include <arpa/inet.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstdio>
#include <fstream>

#include "device_fixture.h"

using e2e::Device;
using testnet::Bytes;

namespace {

/* "session N\n" with N a number. */
bool isSessionLine(const std::string& s, const char* format) {
    unsigned id = 0;
    char tail = 0;
    return std::sscanf(s.c_str(), format, &id, &tail) == 2 && tail == '\n';
}

}  // namespace

TEST(DeviceStart, PrintsItsReadyLineAndStopsCleanlyOnSignals) {
    for (int sig : {SIGTERM, SIGINT}) {
        Device device({"--channels", "6"});
        ASSERT_EQ(device.ready, "ready base-port=" + std::to_string(device.port) + " channels=6");
        // A session that is still open does not hold the stop up.
        testnet::RawClient open(device.port);
        ASSERT_TRUE(open.connected());
        device.child->signal(sig);
        EXPECT_EQ(device.child->wait(10000), 0) << device.child->err();
        EXPECT_TRUE(open.closedWithin(2000));
        device.child.reset();
    }
}

TEST(DeviceStart, StartupProblemsGiveOneClearMessage) {
    {
        // The command port is taken.
        uint16_t port = testnet::pickBasePort();
        int held = testnet::bindAny(SOCK_STREAM, port);
        ASSERT_EQ(listen(held, 1), 0);
        auto r = testproc::run(RECNET_DEVICE_PATH, {"--base-port", std::to_string(port), "--state", e2e::tempDir()});
        close(held);
        EXPECT_NE(r.exitCode, 0);
        EXPECT_NE(r.err.find("port " + std::to_string(port)), std::string::npos) << r.err;
        EXPECT_EQ(r.out.find("ready"), std::string::npos);
    }
    {
        auto r = testproc::run(RECNET_DEVICE_PATH, {"--module", "/nonexistent/libnetserver.so"});
        EXPECT_NE(r.exitCode, 0);
        EXPECT_NE(r.err.find("/nonexistent/libnetserver.so"), std::string::npos) << r.err;
    }
    {
        auto r = testproc::run(RECNET_DEVICE_PATH, {"--channels", "many"});
        EXPECT_NE(r.exitCode, 0);
        EXPECT_NE(r.err.find("--channels"), std::string::npos) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    }
}

TEST(DeviceStart, HelpListsEveryDocumentedOptionWithItsDefault) {
    auto help = testproc::run(RECNET_DEVICE_PATH, {"--help"});
    ASSERT_EQ(help.exitCode, 0) << help.err;
    // The option table of docs/device.md: | `--name VALUE` | default | meaning |
    std::ifstream doc(std::string(RECNET_SOURCE_DIR) + "/docs/device.md");
    ASSERT_TRUE(doc) << "docs/device.md";
    int rows = 0;
    for (std::string row; std::getline(doc, row);) {
        if (row.rfind("| `--", 0) != 0) continue;
        ++rows;
        const std::string name = row.substr(3, row.find_first_of(" `", 3) - 3);
        const size_t cell = row.find("| ", 3) + 2;
        const std::string def = row.substr(cell, row.find(" |", cell) - cell);
        // The name as a whole word of the help ("-h,--help", "--fail NAME=RESULT").
        size_t at = 0;
        while ((at = help.out.find(name, at + 1)) != std::string::npos &&
               !(std::string(" ,").find(help.out[at - 1]) != std::string::npos &&
                 std::string(" \n").find(help.out[at + name.size()]) != std::string::npos)) {
        }
        ASSERT_NE(at, std::string::npos) << name << " is not in the help:\n" << help.out;
        const std::string line = help.out.substr(at, help.out.find('\n', at) - at) + " ";
        // A plain number as the default must be the help's default too.
        if (!def.empty() && def.find_first_not_of("0123456789") == std::string::npos) {
            EXPECT_NE(line.find("=" + def + " "), std::string::npos) << line;
        }
    }
    EXPECT_GE(rows, 20);
}

TEST(DeviceCli, LoginEchoAndTime) {
    Device device;
    ASSERT_FALSE(device.ready.empty());
    auto login = device.cli({"login"});
    EXPECT_EQ(login.exitCode, 0) << login.err;
    EXPECT_TRUE(isSessionLine(login.out, "session %u%c")) << login.out;

    auto json = device.cli({"login"}, {"--json"});
    EXPECT_TRUE(isSessionLine(json.out, "{\"session\":%u}%c")) << json.out;

    auto echo = device.cli({"echo"});
    EXPECT_EQ(echo.exitCode, 0) << echo.err;
    EXPECT_EQ(echo.out, "echo ok\n");

    auto time = device.cli({"time-info"});
    EXPECT_EQ(time.exitCode, 0) << time.err;
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    char tail = 0;
    ASSERT_EQ(std::sscanf(time.out.c_str(), "%4d-%2d-%2d %2d:%2d:%2d%c", &year, &month, &day, &hour, &minute,
                          &second, &tail), 7)
        << time.out;
    EXPECT_EQ(tail, '\n');
}

TEST(DeviceCli, RefusedLoginsSayWhy) {
    Device device;
    auto wrong = device.cli({"login"}, {"--password", "nope"});
    EXPECT_NE(wrong.exitCode, 0);
    EXPECT_NE(wrong.err.find("wrong password"), std::string::npos) << wrong.err;
    auto unknown = device.cli({"login"}, {"--user", "nobody"});
    EXPECT_NE(unknown.exitCode, 0);
    EXPECT_NE(unknown.err.find("unknown user"), std::string::npos) << unknown.err;
}

TEST(DeviceCli, ForcedHostFailuresReachTheClient) {
    Device device({"--fail", "st_app_netAuthUser=-1"});
    auto r = device.cli({"login"});
    EXPECT_NE(r.exitCode, 0);
    EXPECT_NE(r.err.find("unknown user"), std::string::npos) << r.err;

    // A connection the module cannot serve is closed at once.
    Device starved({"--fail", "my_malloc=0"});
    ASSERT_FALSE(starved.ready.empty());
    auto closed = starved.cli({"echo"});
    EXPECT_NE(closed.exitCode, 0);
    EXPECT_NE(closed.err.find("closed"), std::string::npos) << closed.err;
}

TEST(DeviceCli, NoReplyAndRawMessages) {
    Device device;
    auto colliery = device.cli({"raw", "0x104"});
    EXPECT_EQ(colliery.exitCode, 0) << colliery.err;
    EXPECT_NE(colliery.out.find("72"), std::string::npos) << colliery.out;

    auto silent = device.cli({"raw", "0x809"}, {"--timeout", "1"});
    EXPECT_NE(silent.exitCode, 0);
    EXPECT_NE(silent.err.find("no reply"), std::string::npos) << silent.err;
}

TEST(DeviceWire, LoginAnswerCarriesNoPasswordAndTimeInfoIsTheHostsAnswer) {
    Device device;
    testnet::RawClient c(device.port);
    ASSERT_TRUE(c.connected());
    c.send(testnet::message(1, testnet::loginRecord("admin", "admin")));
    Bytes answer = c.recv(100);
    ASSERT_EQ(answer.size(), 100u);
    EXPECT_EQ(testnet::u32At(answer, 8), 84u);
    EXPECT_EQ(answer[12], 0);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(&answer[16])), "admin");
    for (size_t i = 16 + 24; i < 16 + 48; ++i) EXPECT_EQ(answer[i], 0) << "password byte " << i;
    Bytes id = c.recv(20);
    ASSERT_EQ(id.size(), 20u);
    EXPECT_EQ(testnet::u16At(id, 4), 9);

    const uint8_t rest[3] = {0xAA, 0xBB, 0xCC};
    c.send(testnet::message(0x103, {}, 0x0042, 0x77, 0x504C4C4C, rest));
    Bytes time = c.recv(40);
    ASSERT_EQ(time.size(), 40u);
    Bytes header(time.begin(), time.begin() + 16);
    Bytes expected = {0x4C, 0x4C, 0x4C, 0x50, 0x03, 0x01, 0x42, 0x00, 24, 0, 0, 0, 0, 0xAA, 0xBB, 0xCC};
    EXPECT_EQ(header, expected);
    // The date itself is the device clock's (DeviceStore checks it); here only the layout.
    EXPECT_LE(testnet::u32At(time, 28), 23u);
    EXPECT_TRUE(c.silentFor(200));
}
