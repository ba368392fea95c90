// recnet-gateway against the real device and its sample clip.
#include <gtest/gtest.h>
#include <httplib.h>
#include <signal.h>
#include <turbojpeg.h>

#include <chrono>
#include <filesystem>
#include <future>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "net.h"
#include "process.h"

namespace {

// The main clip's picture; the snapshot function draws its own picture size.
constexpr int CLIP_WIDTH = 640, CLIP_HEIGHT = 360;
constexpr int SNAPSHOT_WIDTH = 704, SNAPSHOT_HEIGHT = 576;

std::string tempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "recnet-gw-XXXXXX").string();
    return mkdtemp(tmpl.data()) ? tmpl : std::string();
}

std::unique_ptr<testproc::Child> startDevice(uint16_t port, const std::string& state) {
    auto child = std::make_unique<testproc::Child>(
        RECNET_DEVICE_PATH, std::vector<std::string>{"--base-port", std::to_string(port), "--state", state});
    EXPECT_NE(child->waitForLine("ready", 15000), "");
    return child;
}

void stop(std::unique_ptr<testproc::Child>& child) {
    if (!child) return;
    child->signal(SIGTERM);
    EXPECT_EQ(child->wait(10000), 0);
    child.reset();
}

struct Rig {
    std::string state = tempDir();
    uint16_t devicePort = testnet::pickBasePort();
    uint16_t rtspPort = testnet::pickSparePort();  // and rtspPort + 1: out of every device's reach
    uint16_t httpPort = static_cast<uint16_t>(rtspPort + 1);
    std::unique_ptr<testproc::Child> device = startDevice(devicePort, state);
    std::unique_ptr<testproc::Child> gateway;

    explicit Rig(std::vector<std::string> extra = {}) { startGateway(extra); }
    // Starts the gateway with device "dev" and `extra` options.
    void startGateway(const std::vector<std::string>& extra) {
        std::vector<std::string> args = {"--device", "dev=127.0.0.1:" + std::to_string(devicePort),
                                         "--rtsp-port", std::to_string(rtspPort), "--http-port",
                                         std::to_string(httpPort), "--bind", "127.0.0.1", "--linger", "1"};
        args.insert(args.end(), extra.begin(), extra.end());
        gateway = std::make_unique<testproc::Child>(RECNET_GATEWAY_PATH, args);
        EXPECT_NE(gateway->waitForLine("ready", 15000), "");
    }
    ~Rig() {
        stop(gateway);
        stop(device);
        std::error_code ec;
        std::filesystem::remove_all(state, ec);
    }
    std::string rtsp(const std::string& path) const {
        return "rtsp://127.0.0.1:" + std::to_string(rtspPort) + "/" + path;
    }
    httplib::Result get(const std::string& path) const {
        httplib::Client c("127.0.0.1", httpPort);
        c.set_read_timeout(10, 0);
        return c.Get(path.c_str());
    }
    nlohmann::json status() const {
        auto r = get("/status.json");
        return r && r->status == 200 ? nlohmann::json::parse(r->body) : nlohmann::json();
    }
};

struct Probe {
    int exitCode = -1;
    int width = 0, height = 0, frames = 0;
    std::string err;
};

Probe probe(const std::string& url, const std::string& transport, int seconds) {
    testproc::Result r = testproc::run(
        "/usr/bin/ffprobe",
        {"-v", "error", "-rtsp_transport", transport, "-select_streams", "v", "-count_frames",
         "-read_intervals", "%+" + std::to_string(seconds), "-show_entries",
         "stream=width,height,nb_read_frames", "-of", "csv=p=0", url},
        (seconds + 20) * 1000);
    Probe p{r.exitCode, 0, 0, 0, r.err};
    std::sscanf(r.out.c_str(), "%d,%d,%d", &p.width, &p.height, &p.frames);
    return p;
}

TEST(Gateway, RtspPlaysOverUdpAndTcp) {
    Rig rig;
    for (const char* transport : {"udp", "tcp"}) {
        const Probe p = probe(rig.rtsp("dev/ch2"), transport, 3);
        EXPECT_EQ(p.exitCode, 0) << transport << ": " << p.err;
        EXPECT_EQ(p.width, CLIP_WIDTH) << transport;
        EXPECT_EQ(p.height, CLIP_HEIGHT) << transport;
        // 3 s at 25 frames a second, and the kept frames given at once.
        EXPECT_GE(p.frames, 60) << transport;
    }
}

TEST(Gateway, ViewersShareOneDeviceStreamWhichStopsAfterTheLast) {
    Rig rig;
    // The gateway's own command session logs in here, before the count starts.
    ASSERT_TRUE(rig.status()["devices"][0]["online"].get<bool>());
    const uint32_t loginsBefore = rig.status()["devices"][0]["sessions"];
    auto a = std::async(std::launch::async, [&] { return probe(rig.rtsp("dev/ch1"), "tcp", 5); });
    auto b = std::async(std::launch::async, [&] { return probe(rig.rtsp("dev/ch1"), "udp", 5); });
    std::this_thread::sleep_for(std::chrono::seconds(3));
    const nlohmann::json during = rig.status();
    EXPECT_EQ(during["deviceStreams"], 1);
    // One login for the shared stream, none for the second viewer.
    EXPECT_EQ(during["devices"][0]["sessions"].get<uint32_t>(), loginsBefore + 1);
    EXPECT_GE(a.get().frames, 100);
    EXPECT_GE(b.get().frames, 100);
    // Linger 1 s after the last viewer; then the device stream is gone.
    int streams = -1;
    for (int i = 0; i < 50 && streams != 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        streams = rig.status()["deviceStreams"];
    }
    EXPECT_EQ(streams, 0);
}

TEST(Gateway, SurvivesADeviceRestartMidStream) {
    Rig rig;
    auto viewer = std::async(std::launch::async, [&] { return probe(rig.rtsp("dev/ch0"), "tcp", 9); });
    std::this_thread::sleep_for(std::chrono::seconds(3));
    stop(rig.device);
    rig.device = startDevice(rig.devicePort, rig.state);
    const Probe p = viewer.get();
    EXPECT_EQ(p.exitCode, 0) << p.err;
    // Frames from before the restart alone would be fewer than 80.
    EXPECT_GE(p.frames, 130);
    const std::string log = rig.gateway->err();
    EXPECT_NE(log.find("dev/ch0: device stream started"), log.rfind("dev/ch0: device stream started"));
}

TEST(Gateway, ErrorsMapToStatusCodes) {
    const uint16_t nobody = testnet::pickBasePort();
    Rig rig;
    // "locked" is the same device with a wrong password; nobody listens at "gone".
    stop(rig.gateway);
    rig.startGateway({"--device", "locked=127.0.0.1:" + std::to_string(rig.devicePort), "--password",
                      "locked=wrong", "--device", "gone=127.0.0.1:" + std::to_string(nobody)});
    const std::pair<const char*, const char*> rtspCases[] = {
        {"dev/ch9", "404 Not Found"}, {"nobody/ch0", "404 Not Found"}, {"dev/main", "404 Not Found"},
        {"locked/ch0", "401 Unauthorized"}, {"gone/ch0", "503 Service Unavailable"}};
    for (const auto& [path, expected] : rtspCases) {
        const Probe p = probe(rig.rtsp(path), "tcp", 1);
        EXPECT_NE(p.exitCode, 0) << path;
        EXPECT_NE(p.err.find(expected), std::string::npos) << path << ": " << p.err;
    }
    const std::pair<const char*, int> httpCases[] = {
        {"/dev/ch9.jpg", 404}, {"/nobody/ch0.mp4", 404}, {"/locked/ch0.jpg", 401}, {"/gone/ch0.mp4", 503}};
    for (const auto& [path, expected] : httpCases) {
        auto r = rig.get(path);
        ASSERT_TRUE(r) << path;
        EXPECT_EQ(r->status, expected) << path;
    }
    EXPECT_NE(rig.gateway->err().find("login refused: wrong password"), std::string::npos);
    const nlohmann::json s = rig.status();
    EXPECT_TRUE(s["devices"][0]["online"].get<bool>());
    EXPECT_EQ(s["devices"][1]["status"], 401);
    EXPECT_EQ(s["devices"][2]["status"], 503);
}

TEST(Gateway, SnapshotIsAJpegAtThePictureSize) {
    Rig rig;
    auto r = rig.get("/dev/ch3.jpg");
    ASSERT_TRUE(r);
    ASSERT_EQ(r->status, 200);
    EXPECT_EQ(r->get_header_value("Content-Type"), "image/jpeg");
    // The whole picture decodes, at the size the device draws.
    const auto* jpeg = reinterpret_cast<const unsigned char*>(r->body.data());
    const auto size = static_cast<unsigned long>(r->body.size());
    tjhandle tj = tjInitDecompress();
    int w = 0, h = 0, sub = 0, colours = 0;
    ASSERT_EQ(tjDecompressHeader3(tj, jpeg, size, &w, &h, &sub, &colours), 0);
    std::vector<unsigned char> pixels(static_cast<size_t>(w) * h * 3);
    EXPECT_EQ(tjDecompress2(tj, jpeg, size, pixels.data(), w, 0, h, TJPF_RGB, 0), 0);
    tjDestroy(tj);
    EXPECT_EQ(w, SNAPSHOT_WIDTH);
    EXPECT_EQ(h, SNAPSHOT_HEIGHT);
}

TEST(Gateway, BrowserPagePlaysLiveVideo) {
    Rig rig;
    testproc::Result r = testproc::run(
        "/usr/bin/python3",
        {RECNET_BROWSER_CHECK, "http://127.0.0.1:" + std::to_string(rig.httpPort) + "/",
         std::to_string(CLIP_WIDTH), std::to_string(CLIP_HEIGHT)},
        90000);
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
}

}  // namespace
