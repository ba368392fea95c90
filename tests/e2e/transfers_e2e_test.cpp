// Firmware upgrade and snapshots as a user runs them: the real CLI against the
// real device, pictures opened by ffprobe.

#include <chrono>
#include <fstream>
#include <iterator>
#include <thread>

#include "device_fixture.h"

using e2e::contains;
using e2e::Device;
namespace fs = std::filesystem;

namespace {

// Writes a payload of `size` bytes and builds an image of it with make-image.
bool makeImage(const Device& d, const std::string& version, size_t size, const std::string& image) {
    const std::string payload = d.state + "/payload.bin";
    std::ofstream out(payload, std::ios::binary);
    for (size_t i = 0; i < size; ++i) out.put(static_cast<char>((i * 7 + 3) & 0xff));
    out.close();
    return d.cli({"make-image", "--version", version, payload, "-o", image}).exitCode == 0;
}

}  // namespace

TEST(E2eUpgrade, BuiltImageIsWrittenAndTheNewVersionReported) {
    // 1 MiB at 512 KiB/s: the write takes about 2 s, so progress is polled while it runs.
    Device d({"--flash-size", "2097152", "--flash-speed", "524288"});
    const std::string image = d.state + "/fw.img";
    ASSERT_TRUE(makeImage(d, "recnet-device 2.1.0", 1 << 20, image));
    EXPECT_EQ(fs::file_size(image), (1u << 20) + 64);

    auto up = d.cli({"upgrade", image});
    ASSERT_EQ(up.exitCode, 0) << up.out << up.err;
    EXPECT_TRUE(contains(up.out, "upload") && contains(up.out, "flash write") && contains(up.out, "100%")) << up.out;
    // The device restarts its server once the upload has ended; a session
    // begun before that would be cut by the restart.
    for (int i = 0; i < 150 && !contains(d.child->err(), "log: server restarted"); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_TRUE(contains(d.child->err(), "log: server restarted")) << d.child->err();
    EXPECT_TRUE(contains(d.ok({"info", "version"}), "firmware: recnet-device 2.1.0\n"));
    std::ifstream flash(d.state + "/flash.bin", std::ios::binary), payload(d.state + "/payload.bin", std::ios::binary);
    const std::string want(std::istreambuf_iterator<char>(payload), {});
    EXPECT_TRUE(std::string(std::istreambuf_iterator<char>(flash), {}).substr(0, want.size()) == want);

    // Live video is back after the upload stopped the encoders.
    auto stream = d.cli({"stream", "--channel", "0", "--out", d.state + "/after.h264", "--frames", "10"});
    EXPECT_EQ(stream.exitCode, 0) << stream.err;
    EXPECT_GT(fs::exists(d.state + "/after.h264") ? fs::file_size(d.state + "/after.h264") : 0, 0u);
}

TEST(E2eUpgrade, BadImageFailsTheWriteAndKeepsTheVersion) {
    Device d({"--flash-size", "4096", "--format-seconds", "6"});
    const std::string before = d.ok({"info", "version"}), image = d.state + "/fw.img";
    ASSERT_TRUE(makeImage(d, "broken", 3000, image));
    {
        // One payload byte changed: the CRC no longer matches.
        std::fstream f(image, std::ios::in | std::ios::out | std::ios::binary);
        f.seekp(100);
        f.put('\x55');
    }
    auto up = d.cli({"upgrade", "--no-check", image});
    EXPECT_EQ(up.exitCode, 1);
    EXPECT_TRUE(contains(up.err, "could not write the image")) << up.err;
    EXPECT_EQ(d.ok({"info", "version"}), before);

    // 4096 + 64 is the largest image the flash takes; this one is 1 byte more.
    ASSERT_TRUE(makeImage(d, "too-big", 4097, image));
    auto big = d.cli({"upgrade", image});
    EXPECT_EQ(big.exitCode, 1);
    EXPECT_TRUE(contains(big.err, "larger than the device's flash")) << big.err;
    // While a format runs, the device is busy.
    ASSERT_TRUE(makeImage(d, "small", 100, image));
    ASSERT_EQ(d.cli({"disk", "format", "0", "0", "3", "--no-wait"}).exitCode, 0);
    auto busy = d.cli({"upgrade", image});
    EXPECT_EQ(busy.exitCode, 4) << busy.err;
    EXPECT_TRUE(contains(busy.err, "busy")) << busy.err;
}

TEST(E2eSnapshot, PicturesOpenInAnImageDecoder) {
    Device d;
    const std::string file = d.state + "/snap.jpg", dir = d.state + "/pictures";
    auto snap = d.cli({"snapshot", "--channel", "2", "-o", file});
    ASSERT_EQ(snap.exitCode, 0) << snap.err;
    EXPECT_EQ(e2e::ffprobe(file, "stream=codec_name,width,height"), "mjpeg,704,576\n");
    EXPECT_LE(fs::file_size(file), 311040u);

    auto stream = d.cli({"snapshot", "--stream", "--channel", "1", "--rate", "5", "--quality", "30", "--count", "3",
                         "--out-dir", dir});
    ASSERT_EQ(stream.exitCode, 0) << stream.err;
    for (const char* name : {"snapshot-0001.jpg", "snapshot-0002.jpg", "snapshot-0003.jpg"})
        EXPECT_EQ(e2e::ffprobe(dir + "/" + name, "stream=codec_name,width,height"), "mjpeg,704,576\n") << name;
    EXPECT_FALSE(fs::exists(dir + "/snapshot-0004.jpg"));
    // The session the stream held has gone: the device serves the next one.
    EXPECT_EQ(d.cli({"echo"}).exitCode, 0);
}
