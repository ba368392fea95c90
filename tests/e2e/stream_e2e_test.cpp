// Live video end to end: the real device plays its sample clip, the real CLI
// records a channel to a file, and ffprobe (an independent decoder) must count
// as many frames in that file as the CLI reports.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>

#include "device_fixture.h"

using e2e::Device;

namespace {

/* The frame count ffprobe decodes from `file`, or nullopt with `err` set. */
std::optional<long> ffprobeFrames(const std::string& ffprobe, const std::string& file,
                                  std::string& err) {
    auto r = testproc::run(ffprobe, {"-v", "error", "-count_frames", "-select_streams", "v:0",
                                     "-show_entries", "stream=nb_read_frames", "-of", "csv=p=0",
                                     file},
                           30000);
    err = r.err;
    long n = -1;
    char tail = 0;
    if (r.exitCode != 0 || std::sscanf(r.out.c_str(), "%ld%c", &n, &tail) < 1) {
        err += " (exit " + std::to_string(r.exitCode) + ", output '" + r.out + "')";
        return std::nullopt;
    }
    return n;
}

/* The summary line "frames N lost L bytes B seconds S". */
struct Summary {
    long frames = -1, lost = -1, bytes = -1;
    double seconds = -1;
};
std::optional<Summary> parseSummary(const std::string& out) {
    Summary s;
    if (std::sscanf(out.c_str(), "frames %ld lost %ld bytes %ld seconds %lf", &s.frames, &s.lost,
                    &s.bytes, &s.seconds) != 4) {
        return std::nullopt;
    }
    return s;
}

class StreamE2E : public ::testing::Test {
protected:
    void SetUp() override {
        if (access(ffprobe_.c_str(), X_OK) != 0) GTEST_SKIP() << "ffprobe is not installed (apt-get install ffmpeg)";
        dir_ = e2e::tempDir();
        ASSERT_FALSE(dir_.empty());
    }
    void TearDown() override {
        std::error_code ec;
        if (!dir_.empty()) std::filesystem::remove_all(dir_, ec);
    }

    /* Records with the CLI and checks the file against ffprobe. */
    void recordAndDecode(const Device& device, std::vector<std::string> args, long minFrames) {
        std::string file = dir_ + "/out.h264";
        args.insert(args.end(), {"--out", file});
        auto r = device.cli(args);
        ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
        auto s = parseSummary(r.out);
        ASSERT_TRUE(s) << "no summary line in '" << r.out << "'";
        EXPECT_GE(s->frames, minFrames) << r.out;
        EXPECT_EQ(s->lost, 0) << r.out;
        EXPECT_EQ(static_cast<long>(std::filesystem::file_size(file)), s->bytes);
        std::string err;
        auto decoded = ffprobeFrames(ffprobe_, file, err);
        ASSERT_TRUE(decoded) << err;
        EXPECT_EQ(*decoded, s->frames) << "ffprobe: " << err;
        // The live line went to stderr, one line per second when not a terminal.
        EXPECT_NE(r.err.find("fps"), std::string::npos) << r.err;
    }

    std::string ffprobe_ = "/usr/bin/ffprobe";
    std::string dir_;
};

}  // namespace

TEST_F(StreamE2E, TcpRecordingDecodesWithTheReportedFrameCount) {
    Device device;
    ASSERT_FALSE(device.ready.empty()) << device.child->err();
    recordAndDecode(device, {"stream", "--channel", "2", "--frames", "50"}, 50);
}

TEST_F(StreamE2E, UdpRecordingDecodesWithTheReportedFrameCount) {
    Device device;
    ASSERT_FALSE(device.ready.empty()) << device.child->err();
    // About 25 frames a second for 3 s, less the wait for the first key frame.
    recordAndDecode(device, {"stream", "--channel", "2", "--transport", "udp", "--seconds", "3"},
                    25);
}

TEST_F(StreamE2E, SubStreamOverTcpWithJsonSummary) {
    Device device;
    ASSERT_FALSE(device.ready.empty()) << device.child->err();
    std::string file = dir_ + "/sub.h264";
    auto r = device.cli({"stream", "--channel", "0", "--kind", "1", "--out", file, "--frames", "30"},
                        {"--json"});
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    long frames = -1, lost = -1;
    ASSERT_EQ(std::sscanf(r.out.c_str(), "{\"frames\":%ld,\"lost\":%ld,", &frames, &lost), 2) << r.out;
    EXPECT_EQ(frames, 30);
    EXPECT_EQ(lost, 0);
    auto p = testproc::run(ffprobe_, {"-v", "error", "-select_streams", "v:0", "-show_entries",
                                      "stream=width,height", "-of", "csv=p=0", file});
    EXPECT_EQ(p.out, "320,180\n") << p.err;
}

TEST_F(StreamE2E, ChannelTourProducesADecodableFile) {
    Device device;
    ASSERT_FALSE(device.ready.empty()) << device.child->err();
    // Channels 1 and 3, one second each; the file restarts at a key frame
    // after every change of channel.
    recordAndDecode(device,
                    {"stream", "--channel", "1", "--tour-mask", "0xA", "--dwell", "1", "--seconds",
                     "4"},
                    10);
}

TEST_F(StreamE2E, MulticastInItsOwnNetworkNamespace) {
    // Multicast over loopback needs the multicast flag and a route on lo. The
    // test never touches the machine's interfaces: device and CLI run in a
    // fresh user and network namespace whose lo it configures.
    const std::string unshare = "/usr/bin/unshare", ip = "/usr/sbin/ip";  // util-linux, iproute2
    if (access(unshare.c_str(), X_OK) != 0 || access(ip.c_str(), X_OK) != 0) GTEST_SKIP() << "unshare or ip is not installed";
    auto probe = testproc::run(unshare, {"--user", "--map-root-user", "--net", "true"}, 10000);
    if (probe.exitCode != 0) {
        GTEST_SKIP() << "cannot create a user and network namespace here: " << probe.err;
    }
    std::string script = dir_ + "/multicast.sh";
    std::string state = dir_ + "/state";
    std::string file = dir_ + "/mc.h264";
    std::filesystem::create_directories(state);
    {
        std::ofstream s(script);
        s << "ip link set lo up || exit 96\n"
             "ip link set lo multicast on || exit 96\n"
             "ip route add 224.0.0.0/4 dev lo || exit 96\n"
             "\"$1\" --base-port 5500 --state \"$3\" --address 127.0.0.1 >\"$3/device.out\" "
             "2>\"$3/device.err\" &\n"
             "dev=$!\n"
             "i=0\n"
             "until grep -q '^ready' \"$3/device.out\" 2>/dev/null; do\n"
             "  i=$((i+1)); if [ $i -gt 150 ]; then kill $dev; cat \"$3/device.err\" >&2; exit 97; fi\n"
             "  sleep 0.1\n"
             "done\n"
             "rc=0\n"
             "\"$2\" --port 5500 --timeout 5 stream --channel 2 --transport multicast --out \"$4\" "
             "--frames 50 || rc=$?\n"
             "kill -TERM $dev; wait $dev\n"
             "exit $rc\n";
    }
    auto r = testproc::run(unshare,
                           {"--user", "--map-root-user", "--net", "sh", script, RECNET_DEVICE_PATH,
                            RECNET_CLI_PATH, state, file},
                           40000);
    if (r.exitCode == 96) GTEST_SKIP() << "cannot set up multicast on lo in the namespace: " << r.err;
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    auto s = parseSummary(r.out);
    ASSERT_TRUE(s) << r.out;
    EXPECT_EQ(s->frames, 50);
    EXPECT_EQ(s->lost, 0);
    std::string err;
    auto decoded = ffprobeFrames(ffprobe_, file, err);
    ASSERT_TRUE(decoded) << err;
    EXPECT_EQ(*decoded, s->frames) << err;
}

TEST(StreamCli, ProbePrintsTheLoopbackAddressAndAPort) {
    Device device;
    ASSERT_FALSE(device.ready.empty()) << device.child->err();
    auto r = device.cli({"probe"});
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    char address[32] = {};
    unsigned port = 0;
    char tail = 0;
    ASSERT_EQ(std::sscanf(r.out.c_str(), "address %31s port %u%c", address, &port, &tail), 3)
        << r.out;
    EXPECT_STREQ(address, "127.0.0.1");
    EXPECT_GT(port, 0u);
    EXPECT_LT(port, 65536u);
    EXPECT_EQ(tail, '\n');
}

TEST(StreamCli, BadCommandLinesAreRefusedBeforeConnecting) {
    Device device;
    ASSERT_FALSE(device.ready.empty()) << device.child->err();
    for (std::vector<std::string> args : std::vector<std::vector<std::string>>{
             {"stream", "--out", "/tmp/x.h264"},
             {"stream", "--channel", "1"},
             {"stream", "--channel", "1", "--out", "x", "--transport", "sctp"},
             {"stream", "--channel", "1", "--out", "x", "--frames", "5", "--seconds", "2"},
             {"probe", "extra"}}) {
        auto r = device.cli(args);
        EXPECT_EQ(r.exitCode, 2) << args[0] << " " << args[1] << ": " << r.err;
        EXPECT_EQ(r.err.rfind("recnet: ", 0), 0u) << r.err;
    }
}
