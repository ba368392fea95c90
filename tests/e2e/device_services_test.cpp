// The reference device's services behind the command handlers, as raw bytes
// against the real recnet-device: serial ports, disks, reboot, record files.
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


TEST(DeviceSerial, BytesSentArriveAtThePseudoTerminal) {
    Device d({"--serial-ports", "2"});
    ASSERT_FALSE(d.ready.empty());
    // "serial 0: PATH", "serial 1: PATH", then the ready line.
    const std::string out = d.child->out();
    const size_t first = out.find("serial 0: /dev/pts/");
    const size_t second = out.find("\nserial 1: /dev/pts/");
    ASSERT_NE(first, std::string::npos) << out;
    ASSERT_NE(second, std::string::npos) << out;
    EXPECT_LT(second, out.find("\nready")) << out;
    const std::string path = out.substr(first + 10, second - first - 10);
    const int pty = ::open(path.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(pty, 0) << path;
    Session s(d.port);
    ASSERT_TRUE(s.loggedIn());
    Bytes payload = words({5});
    for (char c : std::string("hello")) payload.push_back(static_cast<uint8_t>(c));
    EXPECT_EQ(s.request(kSerialSend, payload).status, 0);
    std::string got;
    for (int i = 0; i < 20 && got.size() < 5; ++i) {
        pollfd p{pty, POLLIN, 0};
        if (::poll(&p, 1, 250) <= 0) continue;
        char buf[64];
        const ssize_t n = ::read(pty, buf, sizeof buf);
        if (n > 0) got.append(buf, static_cast<size_t>(n));
    }
    EXPECT_EQ(got, "hello");

    // With the send switch off, the reply is the same and nothing arrives.
    EXPECT_EQ(s.request(kSetParam, Bytes{0, 1, 0, 0}, 23).status, 0);
    EXPECT_EQ(s.request(kSerialSend, payload).status, 0);
    pollfd p{pty, POLLIN, 0};
    EXPECT_EQ(::poll(&p, 1, 500), 0);
    ::close(pty);
    stop(d);
}

TEST(DeviceDisks, FormatReportsProgressAndPartitioningReshapesTheDisk) {
    Device d({"--format-seconds", "2", "--disks", "2"});
    ASSERT_FALSE(d.ready.empty());
    Session s(d.port);
    ASSERT_TRUE(s.loggedIn());
    Reply hd = s.request(kGetHardDisk);
    ASSERT_EQ(hd.payload.size(), 968u);
    EXPECT_EQ(testnet::u32At(hd.payload, 0), 2u);
    EXPECT_GT(testnet::u32At(hd.payload, 8 + 12) + testnet::u32At(hd.payload, 8 + 8), 0u);  // capacity

    EXPECT_EQ(s.request(kFormat, words({1, 3, 0})).status, kFailed);  // no partition 3
    EXPECT_EQ(s.request(kFormat, words({1, 0, 7})).status, 0);
    EXPECT_EQ(s.request(kGetHardDisk).status, kDiskBusy);
    std::vector<int32_t> seen;
    for (int i = 0; i < 40; ++i) {
        Reply p = s.request(kFormatPercent, words({1, 0}));
        ASSERT_EQ(p.payload.size(), 12u);
        seen.push_back(static_cast<int32_t>(testnet::u32At(p.payload, 8)));
        if (seen.back() >= 100) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(seen.back(), 100);
    EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end()));
    EXPECT_GT(seen.size(), 3u);
    Reply busy = s.request(kGetHardDisk);
    for (int i = 0; i < 30 && busy.status == kDiskBusy; ++i) {  // the module's watcher polls each second
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        busy = s.request(kGetHardDisk);
    }
    ASSERT_EQ(busy.status, 0);
    const size_t disk1 = 8 + 120;
    EXPECT_EQ(testnet::u32At(busy.payload, disk1 + 24 + 16), 1u);  // formatted
    EXPECT_EQ(testnet::u32At(busy.payload, disk1 + 24 + 20), 7u);  // file system word

    EXPECT_EQ(s.request(kFdisk, words({1, 3})).status, 0);
    Reply after = s.request(kGetHardDisk);
    for (int i = 0; i < 50 && after.status != 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        after = s.request(kGetHardDisk);
    }
    ASSERT_EQ(after.status, 0);
    Reply fdisk = s.request(kFdiskStatus);
    ASSERT_EQ(fdisk.payload.size(), 8u);
    EXPECT_EQ(testnet::u32At(fdisk.payload, 4), 1u);
    EXPECT_EQ(testnet::u32At(after.payload, disk1 + 4), 3u);         // three partitions
    EXPECT_EQ(testnet::u32At(after.payload, disk1 + 24 + 16), 0u);   // unformatted
    EXPECT_EQ(s.request(kFormat, words({1, 2, 1})).status, 0);       // partition 2 exists now
    stop(d);
}

TEST(DeviceControl, RebootRestartsTheServer) {
    Device d;
    ASSERT_FALSE(d.ready.empty());
    Session s(d.port);
    ASSERT_TRUE(s.loggedIn());
    Reply r = s.request(kReboot);
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(s.raw().closedWithin(10000));
    std::unique_ptr<Session> again;
    for (int i = 0; i < 50; ++i) {
        again = std::make_unique<Session>(d.port);
        if (again->loggedIn()) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    ASSERT_TRUE(again->loggedIn());
    EXPECT_TRUE(contains(logTexts(*again), "server restarted"));
    Reply status = again->request(kGetStatus);
    EXPECT_EQ(testnet::u32At(status.payload, 28), 2u);  // server starts
    stop(d);
}

TEST(DeviceRecordFiles, DeletesInsideTheFolderOnly) {
    Device d;
    ASSERT_FALSE(d.ready.empty());
    const std::filesystem::path folder = std::filesystem::path(d.state) / "records";
    std::ofstream(folder / "ch01-0001.h264") << "frames";
    Session s(d.port);
    ASSERT_TRUE(s.loggedIn());
    EXPECT_EQ(s.request(kDeleteFile, text("ch01-0001.h264", 48)).status, 0);
    EXPECT_FALSE(std::filesystem::exists(folder / "ch01-0001.h264"));
    EXPECT_EQ(s.request(kDeleteFile, text("ch01-0001.h264", 48)).status, kFailed);
    EXPECT_EQ(s.request(kDeleteFile, text("../device.db", 48)).status, kFailed);
    EXPECT_EQ(s.request(kDeleteFile, text("/etc/hostname", 48)).status, kFailed);
    EXPECT_EQ(s.request(kDeleteFile, Bytes(48, 0)).status, kFailed);
    EXPECT_TRUE(std::filesystem::exists(std::filesystem::path(d.state) / "device.db"));
    stop(d);
}
