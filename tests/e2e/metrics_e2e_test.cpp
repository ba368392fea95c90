// The device's /metrics page end to end: the real device with --metrics-port,
// known traffic from the real CLI, and the page scraped with an HTTP client
// of its own. Expected names, labels and sizes come from the documented
// tables (MSG_LOGIN 0x1, MSG_LOGOUT 0x2, MSG_START_STREAM 0x3, MSG_ECHO
// 0x80c, bad password status 2; a frame is its 32-byte header and data in
// fragments of 1400 bytes behind 16-byte headers).
#include <gtest/gtest.h>
#include <httplib.h>

#include <chrono>
#include <cstdlib>
#include <map>
#include <sstream>
#include <thread>

#include "device_fixture.h"

using e2e::Device;

namespace {

using Page = std::map<std::string, double>;  // "recnet_name{labels}" -> value

Page scrape(uint16_t port, std::string* contentType = nullptr) {
    httplib::Client client("127.0.0.1", port);
    client.set_connection_timeout(std::chrono::seconds(5));
    client.set_read_timeout(std::chrono::seconds(5));
    httplib::Result r = client.Get("/metrics");
    Page page;
    if (!r || r->status != 200) return page;
    if (contentType) *contentType = r->get_header_value("Content-Type");
    std::istringstream lines(r->body);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.empty() || line[0] == '#') continue;
        const size_t space = line.rfind(' ');
        page[line.substr(0, space)] = std::strtod(line.c_str() + space + 1, nullptr);
    }
    return page;
}

double at(const Page& page, const std::string& key) { return page.count(key) ? page.at(key) : -1; }

// Scrapes until `key` reads `value`, at most 5 s; the last page.
Page waitFor(uint16_t port, const std::string& key, double value) {
    Page page;
    for (int i = 0; i < 100; ++i) {
        page = scrape(port);
        if (at(page, key) == value) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return page;
}

}  // namespace

TEST(MetricsE2E, CountersMoveByExactlyTheTrafficDriven) {
    const uint16_t metricsPort = testnet::pickSparePort();
    // Synthetic frames of 16384 bytes: 16416 with their header, 12 fragments,
    // so 16608 bytes on the wire per frame.
    Device device({"--metrics-port", std::to_string(metricsPort), "--source", "synthetic", "--frame-size", "16384"});
    ASSERT_FALSE(device.ready.empty()) << device.child->err();
    constexpr double kFrameOnWire = 16384 + 32 + 12 * 16;

    std::string contentType;
    const Page before = scrape(metricsPort, &contentType);
    EXPECT_EQ(contentType.rfind("text/plain; version=0.0.4", 0), 0u) << contentType;
    // The device's readiness check opened no session.
    EXPECT_EQ(at(before, "recnet_sessions_total"), 0);
    EXPECT_EQ(at(before, "recnet_sessions_open"), 0);
    EXPECT_EQ(at(before, "recnet_serial_bytes_total{port=\"1\",direction=\"sent\"}"), 0);

    constexpr int kEchos = 3;
    for (int i = 0; i < kEchos; ++i) ASSERT_EQ(device.cli({"echo"}).exitCode, 0);
    EXPECT_NE(device.cli({"login"}, {"--password", "wrong"}).exitCode, 0);
    // An echo without a login, and a close without a logout.
    ASSERT_EQ(device.cli({"raw", "0x80c", "--no-login"}).exitCode, 0);
    auto stream = device.cli({"stream", "--channel", "1", "--out", "/dev/null", "--frames", "10"});
    ASSERT_EQ(stream.exitCode, 0) << stream.err;

    const Page after = waitFor(metricsPort, "recnet_sessions_open", 0);
    EXPECT_EQ(at(after, "recnet_sessions_open"), 0);
    EXPECT_EQ(at(after, "recnet_sessions_total"), kEchos + 3);
    EXPECT_EQ(at(after, "recnet_logins_total{result=\"accepted\"}"), kEchos + 1);
    EXPECT_EQ(at(after, "recnet_logins_total{result=\"refused\"}"), 1);
    EXPECT_EQ(at(after, "recnet_commands_total{type=\"0x0001\",status=\"0\"}"), kEchos + 1);
    EXPECT_EQ(at(after, "recnet_commands_total{type=\"0x0001\",status=\"2\"}"), 1);
    // The CLI's echo marks its request with status 0x5a; raw sends status 0.
    EXPECT_EQ(at(after, "recnet_commands_total{type=\"0x080c\",status=\"90\"}"), kEchos);
    EXPECT_EQ(at(after, "recnet_commands_total{type=\"0x080c\",status=\"0\"}"), 1);
    EXPECT_EQ(at(after, "recnet_commands_total{type=\"0x0003\",status=\"0\"}"), 1);
    // MSG_SESSION_ID follows a login unasked: it is no answered command.
    EXPECT_EQ(at(after, "recnet_commands_total{type=\"0x0009\",status=\"0\"}"), -1);

    const double frames = at(after, "recnet_stream_frames_sent_total{transport=\"tcp\"}");
    const double bytes = at(after, "recnet_stream_bytes_sent_total{transport=\"tcp\"}");
    const double dropped = at(after, "recnet_stream_frames_dropped_total{transport=\"tcp\",reason=\"send_failed\"}") +
                           at(after, "recnet_stream_frames_dropped_total{transport=\"tcp\",reason=\"slot_rewritten\"}");
    EXPECT_GE(frames, 10);
    // Whole frames, plus at most all but the last fragment of each given up.
    EXPECT_GE(bytes, frames * kFrameOnWire);
    EXPECT_LE(bytes, frames * kFrameOnWire + dropped * (kFrameOnWire - 1));
    EXPECT_EQ(at(after, "recnet_stream_frames_sent_total{transport=\"udp\"}"), 0);
    const Page ended = waitFor(metricsPort, "recnet_streams_live{transport=\"tcp\",channel=\"1\"}", 0);
    EXPECT_EQ(at(ended, "recnet_streams_live{transport=\"tcp\",channel=\"1\"}"), 0);

    auto top = device.cli({"top", "--once", "--metrics-port", std::to_string(metricsPort)});
    ASSERT_EQ(top.exitCode, 0) << top.err;
    EXPECT_NE(top.out.find("sessions   open 0  total 6\n"), std::string::npos) << top.out;
    EXPECT_NE(top.out.find("logins     accepted 4  refused 1\n"), std::string::npos) << top.out;

    // Clean closes and the readiness check printed nothing; a refused login
    // is the device log's business only.
    device.child->signal(SIGTERM);
    EXPECT_EQ(device.child->wait(20000), 0);
    EXPECT_EQ(device.child->err().find("MessageThread"), std::string::npos) << device.child->err();
    EXPECT_EQ(device.child->out().find("MessageThread"), std::string::npos) << device.child->out();
    device.child.reset();
}
