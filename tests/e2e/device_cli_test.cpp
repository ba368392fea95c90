// recnet-device as a process (not the recnet CLI): its start, stop, --help and own answers.
#include <sys/socket.h>

#include <algorithm>
#include <fstream>

#include "device_fixture.h"

using e2e::contains;
using e2e::Device;
using testnet::Bytes;

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
    const uint16_t port = testnet::pickBasePort();
    const int held = testnet::bindAny(SOCK_STREAM, port);  // the command port is taken
    ASSERT_EQ(listen(held, 1), 0);
    const std::string state = e2e::tempDir();
    const struct {
        std::vector<std::string> args;
        std::string says;
    } cases[] = {{{"--base-port", std::to_string(port), "--state", state}, "port " + std::to_string(port)},
                 {{"--module", "/nonexistent/libnetserver.so"}, "/nonexistent/libnetserver.so"},
                 {{"--channels", "many"}, "--channels"}};
    for (const auto& c : cases) {
        auto r = testproc::run(RECNET_DEVICE_PATH, c.args);
        EXPECT_NE(r.exitCode, 0) << c.says;
        EXPECT_TRUE(contains(r.err, c.says)) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        EXPECT_FALSE(contains(r.out, "ready")) << r.out;
    }
    close(held);
    std::filesystem::remove_all(state);
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
               !(contains(" ,", help.out.substr(at - 1, 1)) && contains(" \n", help.out.substr(at + name.size(), 1)))) {
        }
        ASSERT_NE(at, std::string::npos) << name << " is not in the help:\n" << help.out;
        const std::string line = help.out.substr(at, help.out.find('\n', at) - at) + " ";
        // A plain number as the default must be the help's default too.
        const bool number = !def.empty() && def.find_first_not_of("0123456789") == std::string::npos;
        EXPECT_TRUE(!number || contains(line, std::string(1, '=') + def + ' ')) << line;
    }
    EXPECT_GE(rows, 20);
}

TEST(DeviceWire, LoginAnswerCarriesNoPasswordAndTimeInfoIsTheHostsAnswer) {
    Device device;
    testnet::RawClient c(device.port);
    const Bytes answer = e2e::logIn(c);
    ASSERT_EQ(answer.size(), 100u);
    EXPECT_EQ(testnet::u32At(answer, 8), 84u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&answer[16])), "admin");
    EXPECT_EQ(Bytes(answer.begin() + 16 + 24, answer.begin() + 16 + 48), Bytes(24, 0)) << "the password";

    const uint8_t rest[3] = {0xAA, 0xBB, 0xCC};
    c.send(testnet::message(0x103, {}, 0x0042, 0x77, 0x504C4C4C, rest));
    Bytes time = c.recv(40);
    ASSERT_EQ(time.size(), 40u);
    EXPECT_EQ(Bytes(time.begin(), time.begin() + 16),
              (Bytes{0x4C, 0x4C, 0x4C, 0x50, 0x03, 0x01, 0x42, 0x00, 24, 0, 0, 0, 0, 0xAA, 0xBB, 0xCC}));
    EXPECT_LE(testnet::u32At(time, 28), 23u);  // the hour; DeviceStore checks the date
    EXPECT_TRUE(c.silentFor(200));
}
