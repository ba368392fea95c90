/*
 * make_corpus - writes the fuzz targets' seed corpus from real traffic.
 *
 * The module runs in this process against the fake host (answering the time
 * request and the firmware transfer as the reference device does). The
 * client library talks to it through a recording relay on 127.0.0.1, so the
 * seeds are the bytes that the client really sends and the module really
 * answers: command conversations, the data connection's handshake and its
 * fragments, a firmware upload and an address probe.
 *
 *   make_corpus OUT_DIR      (writes OUT_DIR/<target>/<name>)
 */
#include <arpa/inet.h>
#include <poll.h>
#include <sys/stat.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <thread>

#include "commands.h"
#include "connection.h"
#include "fake_host_stream.h"
#include "fuzz_support.h"
#include "netserver/records.h"
#include "probe.h"
#include "session.h"
#include "stream.h"
#include "transfers.h"

namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;

std::string g_out;
uint16_t g_base = 0;

void put(const std::string& target, const std::string& name, const Bytes& bytes) {
    const std::string dir = g_out + "/" + target;
    mkdir(g_out.c_str(), 0755);
    mkdir(dir.c_str(), 0755);
    std::ofstream(dir + "/" + name, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

Bytes le32(uint32_t v) {
    Bytes b(4);
    wire::putU32(b.data(), 0, v);
    return b;
}

/* A relay between one client and the module that records both directions. */
class Tap {
public:
    explicit Tap(uint16_t upstream) {
        listen_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a = fuzz::loopbackPeer(0);
        if (bind(listen_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(listen_, 1) != 0)
            std::abort();
        socklen_t len = sizeof a;
        getsockname(listen_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
        thread_ = std::thread([this, upstream] { run(upstream); });
    }
    ~Tap() { finish(); }
    uint16_t port() const { return port_; }
    // Waits until both sides have closed.
    void finish() {
        if (thread_.joinable()) thread_.join();
        if (listen_ >= 0) close(listen_);
        listen_ = -1;
    }
    Bytes toServer, toClient;

private:
    void run(uint16_t upstream) {
        int c = accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
        int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a = fuzz::loopbackPeer(upstream);
        if (c < 0 || connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) std::abort();
        bool open[2] = {true, true};  // client->server, server->client
        while (open[0] || open[1]) {
            pollfd p[2] = {{c, static_cast<short>(open[0] ? POLLIN : 0), 0},
                           {s, static_cast<short>(open[1] ? POLLIN : 0), 0}};
            if (poll(p, 2, 10000) <= 0) break;
            uint8_t buf[65536];
            for (int i = 0; i < 2; ++i) {
                if (!open[i] || p[i].revents == 0) continue;
                int from = i == 0 ? c : s, to = i == 0 ? s : c;
                ssize_t n = recv(from, buf, sizeof buf, 0);
                if (n <= 0) {
                    shutdown(to, SHUT_WR);
                    open[i] = false;
                    continue;
                }
                (i == 0 ? toServer : toClient).insert((i == 0 ? toServer : toClient).end(), buf, buf + n);
                send(to, buf, static_cast<size_t>(n), MSG_NOSIGNAL);
            }
        }
        close(c);
        close(s);
    }
    int listen_ = -1;
    uint16_t port_ = 0;
    std::thread thread_;
};

/* One conversation on a fresh command connection through a tap. */
struct Recorded {
    Bytes toServer, toClient;
};
Recorded converse(const std::function<void(recnet::Connection&)>& talk) {
    Tap tap(g_base);
    {
        recnet::Connection conn;
        conn.connect("127.0.0.1", tap.port(), 2000ms);
        try {
            talk(conn);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "make_corpus: %s\n", e.what());
        }
        std::this_thread::sleep_for(50ms);  // late answers
    }
    tap.finish();
    return {tap.toServer, tap.toClient};
}

/* The messages of a recorded client stream. */
std::vector<Bytes> messages(const Bytes& stream) {
    std::vector<Bytes> out;
    size_t off = 0;
    while (off + wire::HEADER_SIZE <= stream.size()) {
        size_t n = wire::HEADER_SIZE + wire::getU32(stream.data(), off + wire::HDR_LENGTH);
        if (off + n > stream.size()) break;
        out.emplace_back(stream.begin() + static_cast<long>(off), stream.begin() + static_cast<long>(off + n));
        off += n;
    }
    return out;
}

/* A request in fuzz_dispatcher's form. */
Bytes dispatcherSeed(const Bytes& m) {
    const auto& known = fuzz::knownTypes();
    const uint16_t type = wire::getU16(m.data(), wire::HDR_TYPE);
    size_t index = 0;
    while (index < known.size() && known[index] != type) ++index;
    Bytes out;
    if (index < known.size()) {
        out.push_back(static_cast<uint8_t>(index));
    } else {
        out = {0xf0, static_cast<uint8_t>(type), static_cast<uint8_t>(type >> 8)};
    }
    const uint32_t length = static_cast<uint32_t>(m.size() - wire::HEADER_SIZE);
    out.insert(out.end(), m.begin() + wire::HDR_SUBTYPE, m.begin() + wire::HDR_SUBTYPE + 2);
    out.push_back(m[wire::HDR_STATUS]);
    out.push_back(0);  // flags
    out.push_back(static_cast<uint8_t>(length));
    out.push_back(static_cast<uint8_t>(length >> 8));
    out.insert(out.end(), m.begin() + wire::HEADER_SIZE, m.end());
    return out;
}

/* The device's answer to the time request and its firmware transfer. */
int deviceTimeInfo(CommandSession* session, void* message) {
    auto* m = static_cast<uint8_t*>(message);
    if (wire::getU16(m, wire::HDR_SUBTYPE) == records::TRANSFER_FIRMWARE) {
        auto request = std::make_unique<NetMessage>();
        std::memcpy(request->bytes, m, sizeof request->bytes);
        return recvUpdateFile(session, st_net_sessionSocket(session), *request);
    }
    uint8_t answer[wire::HEADER_SIZE + wire::TIME_RECORD_SIZE] = {};
    std::memcpy(answer, m, wire::HEADER_SIZE);
    wire::putU32(answer, wire::HDR_LENGTH, wire::TIME_RECORD_SIZE);
    wire::putU8(answer, wire::HDR_STATUS, 0);
    const uint32_t t[6] = {2026, 12, 6, 19, 48, 33};
    for (int i = 0; i < 6; ++i) wire::putU32(answer, wire::HEADER_SIZE + 4 * i, t[i]);
    return st_net_sessionWrite(session, answer, sizeof answer);
}

void scriptHost() {
    using namespace fake_host::handlers;
    fake_host::setTimeInfo(deviceTimeInfo);
    Bytes recordType(16);
    for (int i = 0; i < 4; ++i) wire::putU32(recordType.data(), 4 * i, static_cast<uint32_t>(i + 1));
    setOutput("st_app_netGetParam", recordType);
    Bytes admin(wire::USER_RECORD_SIZE, 0), op(wire::USER_RECORD_SIZE, 0);
    std::memcpy(admin.data(), "admin", 5);
    wire::putU32(admin.data(), 48, 0xffffffffu);
    std::memcpy(op.data(), "operator", 8);
    wire::putU32(op.data(), 48, 1);
    setUserList({admin, op});
    Bytes log(wire::LOG_RECORD_SIZE, 0);
    wire::putU32(log.data(), 0, 1);
    wire::putU32(log.data(), 4, 1780000000u);
    wire::putU32(log.data(), 8, 4);
    std::memcpy(log.data() + 12, "admin 127.0.0.1 modify record type param", 40);
    setLogList({log});
    Bytes version(wire::VERSION_RECORD_SIZE, 0);
    std::memcpy(version.data(), "recnet-device 1.0.0", 19);
    setOutput("st_app_netGetVersionInfo", version);
    setResult("st_app_getFormatPercent", 100);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_corpus OUT_DIR\n");
        return 2;
    }
    g_out = argv[1];
    std::srand(static_cast<unsigned>(getpid()));
    fake_host::reset();
    g_base = fuzz::freeBasePort();
    fake_host::setBasePort(g_base);
    scriptHost();
    if (st_net_startNetServer() != 0) return 1;

    // ---- command conversations: requests and answers ------------------------
    struct Call {
        const char* name;
        uint8_t call;  // fuzz_client_reply's call number
        uint32_t arg;
        std::function<void(recnet::Connection&)> talk;
    };
    const auto t = 2000ms;
    const std::vector<Call> calls = {
        {"login", 0, 0, [&](auto& c) { recnet::login(c, "admin", "admin", t); }},
        {"login-wrong-password", 0, 0, [&](auto& c) { recnet::login(c, "admin", "nope", t); }},
        {"logout", 1, 0, [&](auto& c) { recnet::logout(c, t); }},
        {"echo", 2, 0, [&](auto& c) { recnet::echo(c, t); }},
        {"time-info", 3, 0, [&](auto& c) { recnet::timeInfo(c, t); }},
        {"keepalive", 4, wire::MSG_KEEPALIVE,
         [&](auto& c) { c.sendMessage(wire::MSG_KEEPALIVE, 0, {}); }},
        {"user-list", 5, 0, [&](auto& c) { recnet::listUsers(c, t); }},
        {"log-list", 6, 0, [&](auto& c) { recnet::listLog(c, recnet::LogQuery{}, t); }},
        {"get-param", 7, wire::PARAM_RECORD_TYPE,
         [&](auto& c) { recnet::getParam(c, wire::PARAM_RECORD_TYPE, t); }},
        {"get-time", 8, 0, [&](auto& c) { recnet::getTime(c, t); }},
        {"version", 9, 0, [&](auto& c) { recnet::getVersion(c, t); }},
        {"harddisk", 10, 0, [&](auto& c) { recnet::getHardDisk(c, t); }},
        {"system-status", 11, 0, [&](auto& c) { recnet::getSystemStatus(c, t); }},
        {"fdisk-status", 15, 0, [&](auto& c) { recnet::fdiskStatus(c, t); }},
        {"format-percent", 16, 0, [&](auto& c) { recnet::formatPercent(c, 0, 1, t); }},
        {"set-param", 24, wire::PARAM_RECORD_TYPE,
         [&](auto& c) { recnet::setParam(c, wire::PARAM_RECORD_TYPE, Bytes(16, 1), t); }},
        {"add-user", 25, 0, [&](auto& c) { recnet::addUser(c, "operator", "secret", 1, t); }},
        {"serial-send", 28, 3, [&](auto& c) { recnet::serialSend(c, Bytes(3, 7), t); }},
        {"set-time", 8, 0,
         [&](auto& c) { recnet::setTime(c, recnet::TimeInfo{2030, 1, 2, 3, 4, 5}, t); }},
        {"start-stream", 4, wire::MSG_START_STREAM,
         [&](auto& c) {
             Bytes req(28, 0);
             wire::putU32(req.data(), wire::START_TRANSPORT, wire::TRANSPORT_TCP);
             c.sendMessage(wire::MSG_START_STREAM, 0, req);
             c.readMessage(t);
         }},
        {"poll-config", 4, wire::MSG_SET_POLL_CONFIG,
         [&](auto& c) {
             Bytes poll(16, 0);
             wire::putU32(poll.data(), wire::POLL_ENABLED, 1);
             wire::putU32(poll.data(), wire::POLL_DWELL, 5);
             wire::putU32(poll.data(), wire::POLL_MASK, 0xf);
             c.sendMessage(wire::MSG_SET_POLL_CONFIG, 0, poll);
             c.readMessage(t);
         }},
    };
    Bytes session;  // every request of the calls above, one after the other
    for (const Call& call : calls) {
        Recorded r = converse(call.talk);
        put("fuzz_message_stream", call.name, cat({{0}, r.toServer}));
        put("fuzz_client_reply", call.name, cat({{call.call}, le32(call.arg), r.toClient}));
        for (const Bytes& m : messages(r.toServer)) put("fuzz_dispatcher", call.name, dispatcherSeed(m));
        if (std::string(call.name) != "logout") session.insert(session.end(), r.toServer.begin(), r.toServer.end());
    }
    put("fuzz_message_stream", "session", cat({{0}, session}));
    // The same, arriving in pieces of 1, 5, 16 and 100 bytes.
    put("fuzz_message_stream", "session-split", cat({{4, 0, 4, 15, 99}, session}));
    put("fuzz_client_reply", "decode-user-list", cat({{0xf0}, le32(0), {}}));

    // ---- a firmware upload -------------------------------------------------------
    {
        Bytes payload(200);
        for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<uint8_t>(i * 7);
        Bytes image = recnet::buildFirmwareImage("recnet-device 2.0.0", payload);
        Recorded r = converse([&](auto& c) { recnet::upgradeFirmware(c, image, {}, t); });
        std::vector<Bytes> ms = messages(r.toServer);
        // After the request (size word) come the chunks.
        Bytes chunks(r.toServer.begin() + static_cast<long>(ms.at(0).size()), r.toServer.end());
        put("fuzz_firmware", "upload", cat({{0}, le32(static_cast<uint32_t>(image.size())), chunks}));
        put("fuzz_firmware", "upload-write-fails", cat({{2}, le32(static_cast<uint32_t>(image.size())), chunks}));
        put("fuzz_firmware", "upload-cut-short",
            cat({{0}, le32(static_cast<uint32_t>(image.size())), Bytes(chunks.begin(), chunks.begin() + 40)}));
        put("fuzz_client_reply", "upgrade", cat({{22}, le32(200), r.toClient}));
        put("fuzz_client_reply", "decode-image", cat({{0xf8}, le32(8), image}));
    }

    // ---- the data connection: handshake and fragments ----------------------------
    {
        recnet::Connection command;
        command.connect("127.0.0.1", g_base, t);
        const uint32_t id = recnet::login(command, "admin", "admin", t).value_or(0);
        Bytes req(28, 0);
        wire::putU32(req.data(), wire::START_TRANSPORT, wire::TRANSPORT_TCP);
        command.sendMessage(wire::MSG_START_STREAM, 0, req);
        command.readMessage(t);

        Tap tap(static_cast<uint16_t>(g_base + wire::DATA_PORT_OFFSET));
        {
            recnet::Connection data;
            data.connect("127.0.0.1", tap.port(), t);
            data.sendMessage(0, 0, le32(id));
            data.readMessage(t);
            Bytes sub(8, 0);
            data.sendMessage(0, 0, sub);
            data.readMessage(t);
            std::this_thread::sleep_for(100ms);
            fake_host::pushFrame(0, 0, wire::FRAME_TYPE_KEY, 3000, 0x10);
            fake_host::pushFrame(0, 0, wire::FRAME_TYPE_OTHER, 500, 0x20);
            fake_host::pushFrame(0, 0, wire::FRAME_TYPE_OTHER, 1368, 0x30);
            Bytes frames(3080 + 548 + 1416);
            data.readRaw(frames.data(), frames.size(), t);
            recnet::logout(command, t);
        }
        tap.finish();
        // The handshake as this process's first session would send it.
        Bytes handshake = tap.toServer;
        wire::putU32(handshake.data(), wire::HEADER_SIZE, 1);
        put("fuzz_data_handshake", "subscribe-channel-0", handshake);
        Bytes sub1 = handshake;
        wire::putU32(sub1.data(), wire::HEADER_SIZE + 4 + wire::HEADER_SIZE, 2);
        put("fuzz_data_handshake", "subscribe-channel-2", sub1);
        put("fuzz_data_handshake", "session-id-only", Bytes(handshake.begin(), handshake.begin() + 20));

        const size_t replies = wire::HEADER_SIZE + wire::HEADER_SIZE + 8;
        Bytes fragments(tap.toClient.begin() + static_cast<long>(replies), tap.toClient.end());
        put("fuzz_fragments", "tcp-stream", cat({{0}, fragments}));
        Bytes datagrams{1};
        size_t off = 0;
        while (off + 16 <= fragments.size()) {
            size_t n = 16 + wire::getU32(fragments.data(), off + 8);
            datagrams.push_back(static_cast<uint8_t>(n));
            datagrams.push_back(static_cast<uint8_t>(n >> 8));
            datagrams.insert(datagrams.end(), fragments.begin() + static_cast<long>(off),
                             fragments.begin() + static_cast<long>(off + n));
            off += n;
        }
        put("fuzz_fragments", "datagrams", datagrams);
    }

    // ---- an address probe, relayed to the module's responder -----------------------
    {
        recnet::Connection command;  // the responder answers hosts with a session
        command.connect("127.0.0.1", g_base, t);
        recnet::login(command, "admin", "admin", t);
        int l = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0), u = -1;
        uint16_t port = 0;
        for (;;) {
            sockaddr_in a = fuzz::loopbackPeer(0);
            l = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            bind(l, reinterpret_cast<sockaddr*>(&a), sizeof a);
            listen(l, 1);
            socklen_t len = sizeof a;
            getsockname(l, reinterpret_cast<sockaddr*>(&a), &len);
            port = ntohs(a.sin_port);
            u = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
            sockaddr_in b = fuzz::loopbackPeer(static_cast<uint16_t>(port + 4));
            if (bind(u, reinterpret_cast<sockaddr*>(&b), sizeof b) == 0) break;
            close(u);
            close(l);
        }
        recnet::Connection conn;
        conn.connect("127.0.0.1", port, t);
        Bytes request, answer;
        std::thread relay([&] {
            uint8_t buf[128];
            sockaddr_in client{};
            socklen_t len = sizeof client;
            ssize_t n = recvfrom(u, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&client), &len);
            request.assign(buf, buf + n);
            int up = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
            sockaddr_in local = fuzz::loopbackPeer(0);
            bind(up, reinterpret_cast<sockaddr*>(&local), sizeof local);
            sockaddr_in responder = fuzz::loopbackPeer(static_cast<uint16_t>(g_base + 4));
            sendto(up, buf, static_cast<size_t>(n), 0, reinterpret_cast<sockaddr*>(&responder), sizeof responder);
            n = recv(up, buf, sizeof buf, 0);
            answer.assign(buf, buf + n);
            sendto(u, buf, static_cast<size_t>(n), 0, reinterpret_cast<sockaddr*>(&client), len);
            close(up);
        });
        recnet::probeAddress(conn, 3000ms);
        relay.join();
        // Observed from 127.0.0.1:47879.
        Bytes from = {0xbb, 0x07, 127, 0, 0, 1};
        put("fuzz_probe", "probe", cat({from, request}));
        put("fuzz_probe", "short", cat({from, Bytes(request.begin(), request.begin() + 20)}));
        put("fuzz_client_reply", "probe",
            cat({{31}, le32(0x80000000u), {0, static_cast<uint8_t>(answer.size())}, answer}));
        close(u);
        close(l);
        recnet::logout(command, t);
    }
    st_net_stopNetServer();
    std::printf("corpus written to %s\n", g_out.c_str());
    return 0;
}
