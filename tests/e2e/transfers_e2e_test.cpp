// Firmware upgrade, snapshots and the serial channel, as a user runs them:
// the real CLI against the real device, pictures opened by ffprobe, serial
// bytes typed at the device's pseudo-terminal.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "device_fixture.h"

using e2e::contains;
using e2e::Device;

namespace {

namespace fs = std::filesystem;

void writeFile(const std::string& path, size_t size, uint8_t seed) {
    std::ofstream out(path, std::ios::binary);
    for (size_t i = 0; i < size; ++i) out.put(static_cast<char>((seed + i * 7) & 0xff));
}

// The device's firmware text as `info version` prints it, retried while the
// server restarts after an upgrade.
std::string firmwareVersion(const Device& d) {
    for (int i = 0; i < 50; ++i) {
        auto r = d.cli({"info", "version"});
        if (r.exitCode == 0) {
            const size_t at = r.out.find("firmware: ");
            if (at != std::string::npos) return r.out.substr(at + 10, r.out.find('\n', at) - at - 10);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    return "";
}

// Waits up to 15 s for the device's log line of a finished server restart.
bool serverRestarted(Device& d) {
    for (int i = 0; i < 150; ++i) {
        if (contains(d.child->err(), "log: server restarted")) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
}

// What ffprobe makes of a picture: "mjpeg,704,576" for a good snapshot.
std::string probe(const std::string& path) {
    auto r = testproc::run("/usr/bin/ffprobe", {"-v", "error", "-select_streams", "v:0", "-show_entries",
                                       "stream=codec_name,width,height", "-of", "csv=p=0", path});
    return r.exitCode == 0 ? r.out.substr(0, r.out.find('\n')) : "ffprobe failed: " + r.err;
}


}  // namespace

TEST(E2eUpgrade, BuiltImageIsWrittenAndTheNewVersionReported) {
    // 1 MiB at 512 KiB/s: the write takes about 2 s, so progress is polled
    // while it runs.
    Device d({"--flash-size", "2097152", "--flash-speed", "524288"});
    ASSERT_FALSE(d.ready.empty());
    const std::string payload = d.state + "/payload.bin";
    const std::string image = d.state + "/fw.img";
    writeFile(payload, 1 << 20, 3);

    auto make = d.cli({"make-image", "--version", "recnet-device 2.1.0", payload, "-o", image});
    ASSERT_EQ(make.exitCode, 0) << make.err;
    EXPECT_EQ(fs::file_size(image), (1u << 20) + 64);

    auto up = d.cli({"upgrade", image});
    ASSERT_EQ(up.exitCode, 0) << up.out << up.err;
    EXPECT_TRUE(contains(up.out, "upload")) << up.out;
    EXPECT_TRUE(contains(up.out, "flash write")) << up.out;
    EXPECT_TRUE(contains(up.out, "100%")) << up.out;
    // The device restarts its server once the upload has ended; a session
    // begun before that would be cut by the restart.
    EXPECT_TRUE(serverRestarted(d)) << d.child->err();
    EXPECT_EQ(firmwareVersion(d), "recnet-device 2.1.0");

    // The flash holds the payload.
    std::ifstream flash(d.state + "/flash.bin", std::ios::binary);
    std::vector<char> head(1 << 20);
    flash.read(head.data(), static_cast<std::streamsize>(head.size()));
    std::ifstream in(payload, std::ios::binary);
    std::vector<char> want(1 << 20);
    in.read(want.data(), static_cast<std::streamsize>(want.size()));
    EXPECT_TRUE(head == want);

    // Live video is back after the upload stopped the encoders.
    const std::string video = d.state + "/after.h264";
    auto stream = d.cli({"stream", "--channel", "0", "--out", video, "--frames", "10"});
    EXPECT_EQ(stream.exitCode, 0) << stream.err;
    EXPECT_GT(fs::exists(video) ? fs::file_size(video) : 0, 0u);
}

TEST(E2eUpgrade, BadImageFailsTheWriteAndKeepsTheVersion) {
    Device d({"--flash-size", "65536"});
    ASSERT_FALSE(d.ready.empty());
    const std::string before = firmwareVersion(d);
    const std::string payload = d.state + "/payload.bin";
    const std::string image = d.state + "/fw.img";
    writeFile(payload, 3000, 9);
    ASSERT_EQ(d.cli({"make-image", "--version", "broken", payload, "-o", image}).exitCode, 0);
    {
        // One payload byte changed: the CRC no longer matches.
        std::fstream f(image, std::ios::in | std::ios::out | std::ios::binary);
        f.seekp(100);
        f.put('\x55');
    }
    auto up = d.cli({"upgrade", "--no-check", image});
    EXPECT_EQ(up.exitCode, 1);
    EXPECT_TRUE(contains(up.err, "could not write the image")) << up.err;
    EXPECT_EQ(firmwareVersion(d), before);
}

TEST(E2eUpgrade, RefusalsNameTheirCause) {
    Device d({"--flash-size", "4096", "--format-seconds", "6"});
    ASSERT_FALSE(d.ready.empty());
    const std::string payload = d.state + "/payload.bin";
    const std::string image = d.state + "/fw.img";
    // 4096 + 64 is the largest image the flash takes; this one is 1 byte more.
    writeFile(payload, 4097, 1);
    ASSERT_EQ(d.cli({"make-image", "--version", "too-big", payload, "-o", image}).exitCode, 0);
    auto big = d.cli({"upgrade", image});
    EXPECT_EQ(big.exitCode, 1);
    EXPECT_TRUE(contains(big.err, "larger than the device's flash")) << big.err;

    // While a format runs, the device is busy.
    writeFile(payload, 100, 1);
    ASSERT_EQ(d.cli({"make-image", "--version", "small", payload, "-o", image}).exitCode, 0);
    auto format = d.cli({"disk", "format", "0", "0", "3", "--no-wait"});
    ASSERT_EQ(format.exitCode, 0) << format.err;
    auto busy = d.cli({"upgrade", image});
    EXPECT_EQ(busy.exitCode, 4) << busy.err;
    EXPECT_TRUE(contains(busy.err, "busy")) << busy.err;
}

TEST(E2eSnapshot, PictureOpensInAnImageDecoder) {
    Device d;
    ASSERT_FALSE(d.ready.empty());
    const std::string file = d.state + "/snap.jpg";
    auto snap = d.cli({"snapshot", "--channel", "2", "-o", file});
    ASSERT_EQ(snap.exitCode, 0) << snap.err;
    EXPECT_EQ(probe(file), "mjpeg,704,576");
    EXPECT_LE(fs::file_size(file), 311040u);

    auto none = d.cli({"snapshot", "--channel", "9", "-o", d.state + "/none.jpg"});
    EXPECT_NE(none.exitCode, 0);
    EXPECT_FALSE(fs::exists(d.state + "/none.jpg"));
}

TEST(E2eSnapshot, StreamSavesTheRequestedCount) {
    Device d;
    ASSERT_FALSE(d.ready.empty());
    const std::string dir = d.state + "/pictures";
    auto stream = d.cli({"snapshot", "--stream", "--channel", "1", "--rate", "5", "--quality", "30",
                         "--count", "3", "--out-dir", dir});
    ASSERT_EQ(stream.exitCode, 0) << stream.err;
    for (const char* name : {"snapshot-0001.jpg", "snapshot-0002.jpg", "snapshot-0003.jpg"})
        EXPECT_EQ(probe(dir + "/" + name), "mjpeg,704,576") << name;
    EXPECT_FALSE(fs::exists(dir + "/snapshot-0004.jpg"));
    // The session the stream held has gone: the device serves the next one.
    EXPECT_EQ(d.cli({"echo"}).exitCode, 0);
}

TEST(E2eSerial, AttachShowsWhatIsTypedAtTheTerminal) {
    Device d({"--serial-ports", "1"});
    ASSERT_FALSE(d.ready.empty());
    const int pty = d.openSerial(0);
    ASSERT_GE(pty, 0) << d.child->out();

    // The terminal types while the CLI is attached; the CLI's input stays
    // open for 3 s, then ends, which detaches it.
    std::thread terminal([pty] {
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        const char text[] = "typed at the terminal\n";
        EXPECT_EQ(::write(pty, text, sizeof text - 1), static_cast<ssize_t>(sizeof text - 1));
    });
    const std::string cli = std::string(RECNET_CLI_PATH) + " --port " + std::to_string(d.port) +
                            " --timeout 5 serial attach";
    auto attach = testproc::run("/bin/sh", {"-c", "sleep 3 | " + cli});
    terminal.join();
    ::close(pty);
    EXPECT_EQ(attach.exitCode, 0) << attach.err;
    EXPECT_TRUE(contains(attach.out, "typed at the terminal")) << attach.out;
}
