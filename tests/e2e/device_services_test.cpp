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


TEST(DeviceDisks, FormatReportsProgressAndPartitioningReshapesTheDisk) {
    Device d({"--format-seconds", "2", "--disks", "2"});
    Session s(d.port);
    ASSERT_TRUE(s.loggedIn()) << d.child->err();
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
