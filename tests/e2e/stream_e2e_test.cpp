// Live video end to end: the real device plays its sample clip, the real CLI
// records a channel to a file, and ffprobe (an independent decoder) must count
// as many frames in that file as the CLI reports.

#include <cstdio>
#include <fstream>

#include "device_fixture.h"

using e2e::contains;
using e2e::Device;
using e2e::ffprobe;

namespace {

/* The CLI's summary "frames N lost L bytes B seconds S" against the file and ffprobe. */
void checkRecording(const std::string& out, const std::string& file, long minFrames) {
    long frames = -1, lost = -1, bytes = -1;
    ASSERT_EQ(std::sscanf(out.c_str(), "frames %ld lost %ld bytes %ld seconds", &frames, &lost, &bytes), 3) << out;
    EXPECT_GE(frames, minFrames) << out;
    EXPECT_EQ(lost, 0) << out;
    EXPECT_EQ(static_cast<long>(std::filesystem::file_size(file)), bytes);
    EXPECT_EQ(ffprobe(file, "stream=nb_read_frames"), std::to_string(frames) + "\n");
}

class StreamE2E : public ::testing::Test {
protected:
    void SetUp() override {
        if (access("/usr/bin/ffprobe", X_OK) != 0) GTEST_SKIP() << "ffprobe is not installed (apt-get install ffmpeg)";
        ASSERT_FALSE(device.ready.empty()) << device.child->err();
    }
    /* Records with the CLI and checks the file against ffprobe. */
    void recordAndDecode(std::vector<std::string> args, long minFrames) {
        const std::string file = device.state + "/out.h264";
        args.insert(args.end(), {"--out", file});
        auto r = device.cli(args);
        ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
        checkRecording(r.out, file, minFrames);
        // The live line went to stderr, one line per second when not a terminal.
        EXPECT_TRUE(contains(r.err, "fps")) << r.err;
    }
    Device device;
};

}  // namespace

TEST_F(StreamE2E, TcpMainAndSubStreamsDecodeWithTheReportedFrameCount) {
    recordAndDecode({"stream", "--channel", "2", "--frames", "50"}, 50);
    // The plain probe line; WiresharkDissector checks its port against the wire.
    const std::string probe = device.ok({"probe"});
    EXPECT_TRUE(probe.rfind("address 127.0.0.1 port ", 0) == 0 && probe.back() == '\n') << probe;
    // The sub stream, with the JSON summary.
    const std::string file = device.state + "/sub.h264";
    auto r = device.cli({"stream", "--channel", "0", "--kind", "1", "--out", file, "--frames", "30"}, {"--json"});
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_EQ(r.out.rfind("{\"frames\":30,\"lost\":0,", 0), 0u) << r.out;
    EXPECT_EQ(ffprobe(file, "stream=width,height"), "320,180\n");
}

TEST_F(StreamE2E, UdpAndChannelTourRecordingsDecodeWithTheReportedFrameCount) {
    // About 25 frames a second for 3 s, less the wait for the first key frame.
    recordAndDecode({"stream", "--channel", "2", "--transport", "udp", "--seconds", "3"}, 25);
    // Channels 1 and 3, one second each; the file restarts at a key frame
    // after every change of channel.
    recordAndDecode({"stream", "--channel", "1", "--tour-mask", "0xA", "--dwell", "1", "--seconds", "4"}, 10);
}

TEST_F(StreamE2E, MulticastInItsOwnNetworkNamespace) {
    // Multicast over loopback needs the multicast flag and a route on lo. The
    // test never touches the machine's interfaces: device and CLI run in a
    // fresh user and network namespace whose lo it configures.
    const std::string unshare = "/usr/bin/unshare";  // util-linux; ip from iproute2
    if (access(unshare.c_str(), X_OK) != 0 || access("/usr/sbin/ip", X_OK) != 0) GTEST_SKIP() << "no unshare or ip";
    auto probe = testproc::run(unshare, {"--user", "--map-root-user", "--net", "true"}, 10000);
    if (probe.exitCode != 0) GTEST_SKIP() << "cannot create a user and network namespace here: " << probe.err;
    const std::string script = device.state + "/multicast.sh", state = device.state + "/ns",
                      file = device.state + "/mc.h264";
    std::filesystem::create_directories(state);
    std::ofstream(script) << "ip link set lo up && ip link set lo multicast on && "
                             "ip route add 224.0.0.0/4 dev lo || exit 96\n"
                             "\"$1\" --base-port 5500 --state \"$3\" --address 127.0.0.1 >\"$3/device.out\" "
                             "2>\"$3/device.err\" &\n"
                             "dev=$!\n"
                             "timeout 15 sh -c 'until grep -q ^ready \"$0\"; do sleep 0.1; done' \"$3/device.out\" ||\n"
                             "  { kill $dev; cat \"$3/device.err\" >&2; exit 97; }\n"
                             "rc=0\n"
                             "\"$2\" --port 5500 --timeout 5 stream --channel 2 --transport multicast --out \"$4\" "
                             "--frames 50 || rc=$?\n"
                             "kill -TERM $dev; wait $dev\n"
                             "exit $rc\n";
    auto r = testproc::run(unshare, {"--user", "--map-root-user", "--net", "sh", script, RECNET_DEVICE_PATH,
                                     RECNET_CLI_PATH, state, file}, 40000);
    if (r.exitCode == 96) GTEST_SKIP() << "cannot set up multicast on lo in the namespace: " << r.err;
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    checkRecording(r.out, file, 50);
    EXPECT_EQ(r.out.rfind("frames 50 ", 0), 0u) << r.out;
}
