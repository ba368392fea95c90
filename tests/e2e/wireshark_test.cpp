// tools/wireshark/recnet.lua decodes a capture of real device and CLI traffic;
// its fields must match what the CLI sent and received (the password masked).
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>
#include <sstream>

#include <nlohmann/json.hpp>

#include "device_fixture.h"

using e2e::Device;

namespace {

const std::vector<std::string> FIELDS = {
    "tcp.stream", "tcp.srcport", "tcp.dstport", "udp.srcport", "udp.dstport",
    "tcp.reassembled.length", "recnet.type", "recnet.status_name",
    "recnet.length", "recnet.login.user", "recnet.login.password", "recnet.session_id",
    "recnet.param_type", "recnet.start.transport", "recnet.start.dest_port", "recnet.channel",
    "recnet.frag.seq", "recnet.frag.count", "recnet.frag.index", "recnet.frag.len",
    "recnet.frag.data_len", "recnet.frag.frame_type", "recnet.frame.channel", "recnet.probe.port",
    "_ws.expert.message"};

const char* const USER = "wsuser";
const char* const PASSWORD = "Pw-77x9";

/* One decoded packet: every field's values, in the order of the messages. */
struct Packet {
    std::map<std::string, std::vector<std::string>> values;

    const std::vector<std::string>& all(const std::string& field) const {
        static const std::vector<std::string> none;
        auto it = values.find(field);
        return it == values.end() ? none : it->second;
    }
    bool has(const std::string& field, const std::string& value) const {
        for (const auto& v : all(field))
            if (v == value) return true;
        return false;
    }
    bool has(const std::string& field, long value) const {
        for (const auto& v : all(field))
            if (std::stol(v, nullptr, 0) == value) return true;
        return false;
    }
    long first(const std::string& field) const {
        return all(field).empty() ? -1 : std::stol(all(field).front(), nullptr, 0);
    }
};

/* tshark's "-T fields" lines: tab between fields, comma between values. */
std::vector<Packet> parseFields(const std::string& out) {
    std::vector<Packet> packets;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) {
        Packet p;
        std::istringstream cols(line);
        std::string col;
        for (size_t i = 0; i < FIELDS.size() && std::getline(cols, col, '\t'); ++i) {
            std::istringstream vals(col);
            for (std::string v; std::getline(vals, v, ',');)
                if (!v.empty()) p.values[FIELDS[i]].push_back(v);
        }
        packets.push_back(std::move(p));
    }
    return packets;
}

/* The number `key` of the CLI's JSON output, or -1. */
long jsonNumber(const std::string& json, const char* key) {
    const auto j = nlohmann::json::parse(json, nullptr, false);
    return j.is_object() ? j.value(key, -1L) : -1;
}

/* A shell command's result; PATH is searched and stderr kept apart. */
testproc::Result sh(const std::string& command, int timeoutMs) {
    return testproc::run("/bin/sh", {"-c", command}, timeoutMs);
}

/* Walks the fragments of one stream in capture order and checks each against
 * the wire rules: count from the data length, payload lengths, indexes in
 * turn, whole frames with rising sequence numbers, all of `channel`. Only
 * the last frame may stop short (the stream was stopped in it). The capture
 * must hold at least the fragments and frames that the CLI's JSON counts. */
void checkStream(const std::vector<const Packet*>& packets, const std::string& cli, long channel) {
    long fragments = 0, completeFrames = 0, seq = -1, next = 0, expected = 0, lastComplete = -1;
    for (const Packet* p : packets) {
        const auto& seqs = p->all("recnet.frag.seq");
        for (size_t i = 0; i < seqs.size(); ++i) {
            const long s = std::stol(seqs[i]);
            const long count = std::stol(p->all("recnet.frag.count").at(i));
            const long index = std::stol(p->all("recnet.frag.index").at(i));
            const long len = std::stol(p->all("recnet.frag.len").at(i));
            const long total = std::stol(p->all("recnet.frag.data_len").at(i)) + 32;
            ++fragments;
            if (index == 0) {
                EXPECT_EQ(next, expected) << "frame " << seq << " stopped at fragment " << next;
                EXPECT_GT(s, lastComplete) << "frame numbers must rise";
                seq = s;
                next = 0;
                expected = (total + 1399) / 1400;
            }
            ASSERT_EQ(s, seq) << "fragment of another frame in the middle of frame " << seq;
            ASSERT_EQ(index, next) << "frame " << s;
            EXPECT_EQ(count, expected % 256) << "frame " << s;
            EXPECT_EQ(len, std::min<long>(1400, total - index * 1400))
                << "frame " << s << " fragment " << index;
            if (++next == expected) {
                ++completeFrames;
                lastComplete = s;
            }
        }
        for (const auto& c : p->all("recnet.frame.channel")) EXPECT_EQ(std::stol(c), channel);
    }
    EXPECT_GE(fragments, jsonNumber(cli, "fragments")) << cli;
    EXPECT_GE(completeFrames, jsonNumber(cli, "frames") + jsonNumber(cli, "skipped")) << cli;
}

class WiresharkDissector : public ::testing::Test {
protected:
    void SetUp() override {
        if (sh("command -v tshark && command -v dumpcap", 5000).exitCode != 0)
            GTEST_SKIP() << "tshark is not installed (apt-get install tshark)";
    }
};

TEST_F(WiresharkDissector, DecodesLoginParameterReadStreamsAndProbe) {
    // Large frames, so that fragments straddle TCP segments on the data connection.
    Device device({"--source", "synthetic", "--frame-size", "200000", "--fps", "10"});
    ASSERT_FALSE(device.ready.empty()) << device.child->err();
    const long base = device.port;
    const std::string capture = device.state + "/capture.pcapng";
    const std::string filter = "tcp port " + std::to_string(base) + " or tcp port " +
                               std::to_string(base + 1) + " or udp";
    testproc::Child dumpcap("/bin/sh", {"-c", "exec dumpcap -i lo -q -B 64 -w '" + capture + "' -f '" +
                                                  filter + "' 2>&1"});
    ASSERT_FALSE(dumpcap.waitForLine("File: ", 15000).empty()) << dumpcap.out();

    const std::vector<std::string> as = {"--user", USER, "--password", PASSWORD, "--json"};
    ASSERT_EQ(device.cli({"user", "add", USER, PASSWORD, "--rights", "1"}).exitCode, 0);
    const auto login = device.cli({"login"}, as);
    const auto param = device.cli({"param", "get", "record-type"}, as);
    const auto tcp = device.cli({"stream", "--channel", "1", "--transport", "tcp", "--frames", "4",
                                 "--out", device.state + "/tcp.h264"}, as);
    const auto udp = device.cli({"stream", "--channel", "2", "--transport", "udp", "--frames", "4",
                                 "--out", device.state + "/udp.h264"}, as);
    const auto probe = device.cli({"probe"}, as);
    for (const auto* r : {&login, &param, &tcp, &udp, &probe})
        ASSERT_EQ(r->exitCode, 0) << r->out << r->err;
    usleep(300 * 1000);  // the last packets reach the capture
    dumpcap.signal(SIGINT);
    ASSERT_EQ(dumpcap.wait(15000), 0) << dumpcap.out();

    std::string command = "exec tshark -r '" + capture +
                          "' -X lua_script:" RECNET_DISSECTOR_PATH " -o recnet.base_port:" +
                          std::to_string(base) + " -Y recnet -T fields -E occurrence=a";
    for (const auto& f : FIELDS) command += " -e " + f;
    const auto decoded = sh(command, 90000);
    ASSERT_EQ(decoded.exitCode, 0) << decoded.err;
    EXPECT_EQ(decoded.err.find("Lua"), std::string::npos) << decoded.err;
    const size_t luaError = decoded.out.find("Lua Error");
    EXPECT_EQ(luaError, std::string::npos) << decoded.out.substr(luaError, 300);
    // Neither the password nor its bytes in hex appear in what is decoded.
    EXPECT_EQ(decoded.out.find(PASSWORD), std::string::npos);
    EXPECT_EQ(decoded.out.find("50772d37377839"), std::string::npos);
    const std::vector<Packet> packets = parseFields(decoded.out);

    auto fromClient = [&](const Packet& p, long port) { return p.first("tcp.dstport") == port; };
    auto inStream = [&](long stream, long srcPort) {
        std::vector<const Packet*> out;
        for (const auto& p : packets)
            if (p.first("tcp.stream") == stream && p.first("tcp.srcport") == srcPort) out.push_back(&p);
        return out;
    };
    auto sessionIdOf = [&](long stream) {
        for (const Packet* p : inStream(stream, base))
            if (p->has("recnet.type", 0x9)) return p->first("recnet.session_id");
        return -1L;
    };

    // Login: the user's name, the password masked, and the id the CLI printed.
    const long sessionId = jsonNumber(login.out, "session");
    std::set<long> loginSessions;
    for (const auto& p : packets) {
        if (!fromClient(p, base) || !p.has("recnet.type", 0x1) || !p.has("recnet.login.user", USER)) continue;
        EXPECT_TRUE(p.has("recnet.login.password", "********"));
        loginSessions.insert(sessionIdOf(p.first("tcp.stream")));
    }
    EXPECT_EQ(loginSessions.count(sessionId), 1u) << "no login of " << USER << " got session " << sessionId;

    // Parameter read: type 21 asked, 16 bytes answered.
    bool paramSeen = false;
    for (const auto& p : packets) {
        if (!fromClient(p, base) || !p.has("recnet.type", 0x402) || !p.has("recnet.param_type", 21)) continue;
        for (const Packet* r : inStream(p.first("tcp.stream"), base)) {
            if (!r->has("recnet.type", 0x402)) continue;
            paramSeen = true;
            EXPECT_TRUE(r->has("recnet.status_name", "STATUS_OK"));
            EXPECT_TRUE(r->has("recnet.length", jsonNumber(param.out, "length")));
        }
    }
    EXPECT_TRUE(paramSeen) << param.out;

    // TCP stream: the data connection names the session that started channel 1.
    long dataStream = -1;
    for (const auto& p : packets) {
        if (!fromClient(p, base) || !p.has("recnet.type", 0x3) || !p.has("recnet.start.transport", 1))
            continue;
        EXPECT_TRUE(p.has("recnet.channel", 1));
        const long id = sessionIdOf(p.first("tcp.stream"));
        for (const auto& d : packets)
            if (fromClient(d, base + 1) && d.has("recnet.session_id", id)) dataStream = d.first("tcp.stream");
    }
    ASSERT_GE(dataStream, 0) << "no data connection presented the stream's session id";
    bool subscribed = false, reassembled = false;
    for (const auto& p : packets) {
        if (p.first("tcp.stream") != dataStream) continue;
        subscribed |= fromClient(p, base + 1) && p.has("recnet.channel", 1);
        reassembled |= !p.all("tcp.reassembled.length").empty() && !p.all("recnet.frag.seq").empty();
    }
    EXPECT_TRUE(subscribed);
    EXPECT_TRUE(reassembled) << "no fragment spanned TCP segments";
    checkStream(inStream(dataStream, base + 1), tcp.out, 1);

    // UDP stream: the datagrams to the destination of the start request.
    long udpPort = -1;
    for (const auto& p : packets)
        if (fromClient(p, base) && p.has("recnet.start.transport", 2) && p.has("recnet.channel", 2))
            udpPort = p.first("recnet.start.dest_port");
    ASSERT_GT(udpPort, 0);
    // All of them leave the device's one sending socket: its port tells them
    // from datagrams that another test's device might send to a reused port.
    long udpSource = -1;
    std::vector<const Packet*> datagrams;
    for (const auto& p : packets) {
        if (p.first("udp.dstport") != udpPort) continue;
        if (udpSource < 0) udpSource = p.first("udp.srcport");
        if (p.first("udp.srcport") == udpSource) datagrams.push_back(&p);
    }
    ASSERT_FALSE(datagrams.empty());
    EXPECT_TRUE(datagrams.front()->has("recnet.frag.index", 0L));
    EXPECT_TRUE(datagrams.front()->has("recnet.frag.frame_type", 1L))
        << "a UDP stream begins with a key frame";
    checkStream(datagrams, udp.out, 2);

    // Address probe: the answer names the port the CLI reported and sent from.
    const long probePort = jsonNumber(probe.out, "port");
    bool asked = false, answered = false;
    for (const auto& p : packets) {
        asked |= p.first("udp.dstport") == base + 4 && p.first("udp.srcport") == probePort;
        answered |= p.first("udp.srcport") == base + 4 && p.has("recnet.probe.port", probePort);
    }
    EXPECT_TRUE(asked && answered) << probe.out;
}

}  // namespace
