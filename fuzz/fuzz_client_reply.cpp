/*
 * fuzz_client_reply - the client library's answer parsing fed with hostile
 * device bytes.
 *
 * A fake device listens on 127.0.0.1 (and answers address probes on the
 * port 4 above, by UDP). Each input picks one client call; the call connects,
 * sends its request, and reads whatever the input makes the device say. The
 * device writes the bytes and then closes its sending side, so every call
 * ends at once instead of waiting out its time-out.
 *
 * Input: u8 call, u32 argument, then the device's bytes. For the address
 * probe the device's bytes are datagrams instead: u8 flags (bit 0: keep the
 * bytes as they are instead of echoing the client's words), u8 length, then
 * that many bytes, repeated.
 *
 * Every call may throw recnet::Error (and the image checks
 * std::invalid_argument, as documented); anything else escaping is a fault.
 */
#include <arpa/inet.h>
#include <poll.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "commands.h"
#include "connection.h"
#include "errors.h"
#include "fuzz_support.h"
#include "probe.h"
#include "session.h"
#include "stream.h"
#include "transfers.h"
#include "netserver/records.h"

namespace {

using namespace std::chrono_literals;
using recnet::Connection;
using recnet::Duration;

constexpr Duration kTimeout = 300ms;

struct Device {
    int listenFd = -1;
    int probeFd = -1;
    uint16_t port = 0;
};

Device g_device;

void openDevice() {
    for (int attempt = 0; attempt < 200; ++attempt) {
        int l = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a = fuzz::loopbackPeer(0);
        if (bind(l, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(l, 16) != 0) {
            close(l);
            continue;
        }
        socklen_t len = sizeof a;
        getsockname(l, reinterpret_cast<sockaddr*>(&a), &len);
        const uint16_t port = ntohs(a.sin_port);
        int u = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in b = fuzz::loopbackPeer(static_cast<uint16_t>(port + wire::UDP_RESPONDER_PORT_OFFSET));
        if (port < 65000 && bind(u, reinterpret_cast<sockaddr*>(&b), sizeof b) == 0) {
            g_device = {l, u, port};
            return;
        }
        close(u);
        close(l);
    }
    std::fprintf(stderr, "fuzz_client_reply: no ports\n");
    std::abort();
}

void drainProbeSocket() {
    uint8_t buf[2048];
    while (recv(g_device.probeFd, buf, sizeof buf, MSG_DONTWAIT) > 0) {
    }
}

/* Answers one probe with the input's datagrams. */
void answerProbe(std::vector<uint8_t> script) {
    pollfd p{g_device.probeFd, POLLIN, 0};
    if (poll(&p, 1, 1000) <= 0) return;
    uint8_t req[64];
    sockaddr_in from{};
    socklen_t len = sizeof from;
    ssize_t n = recvfrom(g_device.probeFd, req, sizeof req, 0, reinterpret_cast<sockaddr*>(&from), &len);
    if (n < static_cast<ssize_t>(wire::PROBE_SIZE)) return;
    fuzz::Input in(script.data(), script.size());
    while (in.left() > 0) {
        const uint8_t flags = in.u8();
        std::vector<uint8_t> d = in.take(in.u8());
        if (!(flags & 1) && d.size() == wire::PROBE_SIZE) {
            std::memcpy(d.data() + wire::PROBE_WORD_A, req + wire::PROBE_WORD_A, 8);
            std::memcpy(d.data() + wire::PROBE_WORD_C, req + wire::PROBE_WORD_C, 4);
        }
        sendto(g_device.probeFd, d.data(), d.size(), 0, reinterpret_cast<sockaddr*>(&from), len);
    }
}

void decoders(const std::vector<uint8_t>& bytes, uint32_t arg) {
    switch (arg % 10) {
    case 0: recnet::decodeUserList(bytes); break;
    case 1: recnet::decodeLogList(bytes); break;
    case 2: recnet::decodeVersion(bytes); break;
    case 3: recnet::decodeHardDisk(bytes); break;
    case 4: recnet::decodeSystemStatus(bytes); break;
    case 5: recnet::decodeSerialData(bytes); break;
    case 6:
        if (bytes.size() >= wire::TIME_RECORD_SIZE) recnet::decodeTimeRecord(bytes.data());
        break;
    case 7: recnet::parseFirmwareImageHeader(bytes.data(), bytes.size()); break;
    case 8: recnet::checkFirmwareImage(bytes); break;
    default: {
        const recnet::ParamLayout* layout = recnet::paramLayout(static_cast<uint16_t>(arg >> 8));
        if (layout == nullptr) break;
        // The record in a buffer of exactly its size.
        std::vector<uint8_t> record(layout->recordSize);
        if (!bytes.empty() && !record.empty())
            std::memcpy(record.data(), bytes.data(), std::min(bytes.size(), record.size()));
        for (const recnet::ParamField& f : layout->fields) recnet::fieldText(record.data(), f);
        break;
    }
    }
}

void clientCall(uint8_t call, uint32_t arg, Connection& conn) {
    switch (call % 32) {
    case 0: recnet::login(conn, "admin", "admin", kTimeout); break;
    case 1: recnet::logout(conn, kTimeout); break;
    case 2: recnet::echo(conn, kTimeout); break;
    case 3: recnet::timeInfo(conn, kTimeout); break;
    case 4: {
        recnet::RawRequest r;
        r.type = static_cast<uint16_t>(arg);
        recnet::rawRequest(conn, r, kTimeout);
        break;
    }
    case 5: recnet::listUsers(conn, kTimeout); break;
    case 6: recnet::listLog(conn, recnet::LogQuery{}, kTimeout); break;
    case 7: {
        std::vector<uint8_t> v = recnet::getParam(conn, static_cast<uint16_t>(arg), kTimeout);
        if (const recnet::ParamLayout* layout = recnet::paramLayout(static_cast<uint16_t>(arg))) {
            // As the CLI shows a parameter: every field of every whole record.
            for (size_t off = 0; layout->recordSize > 0 && off + layout->recordSize <= v.size();
                 off += layout->recordSize)
                for (const recnet::ParamField& f : layout->fields) recnet::fieldText(v.data() + off, f);
        }
        break;
    }
    case 8: recnet::getTime(conn, kTimeout); break;
    case 9: recnet::getVersion(conn, kTimeout); break;
    case 10: recnet::getHardDisk(conn, kTimeout); break;
    case 11: recnet::getSystemStatus(conn, kTimeout); break;
    case 12: recnet::getUpdateInfo(conn, kTimeout); break;
    case 13: recnet::getPlatformType(conn, kTimeout); break;
    case 14: recnet::getAccessPoints(conn, kTimeout); break;
    case 15: recnet::fdiskStatus(conn, kTimeout); break;
    case 16: recnet::formatPercent(conn, 0, 1, kTimeout); break;
    case 17: recnet::startWorker(conn, kTimeout); break;
    case 18: recnet::forceKeyFrame(conn, arg & 3, kTimeout); break;
    case 19: recnet::takeSnapshot(conn, arg & 3, kTimeout); break;
    case 20: recnet::readSnapshotFragments(conn, arg % (recnet::SNAPSHOT_PICTURE_MAX + 4096), kTimeout); break;
    case 21: {
        recnet::SnapshotStreamSettings s;
        int pictures = 0;
        recnet::snapshotStream(
            conn, s, [&](const recnet::StreamPicture&) { return ++pictures < 8; }, {}, kTimeout);
        break;
    }
    case 22: {
        std::vector<uint8_t> payload(arg % 3000, 0x5a);
        recnet::upgradeFirmware(conn, recnet::buildFirmwareImage("fuzz 1.0", payload), {}, kTimeout);
        break;
    }
    case 23: {
        recnet::SerialChannel serial(conn, [](const uint8_t*, size_t) {}, kTimeout);
        serial.start();
        const uint8_t bytes[3] = {1, 2, 3};
        serial.send(bytes, sizeof bytes);
        while (serial.pump(10ms)) {
        }
        serial.stop();
        break;
    }
    case 24: recnet::setParam(conn, static_cast<uint16_t>(arg), std::vector<uint8_t>(16, 1), kTimeout); break;
    case 25: recnet::addUser(conn, "operator", "secret", 1, kTimeout); break;
    case 26: recnet::startFdisk(conn, 0, 2, kTimeout); break;
    case 27: recnet::startFormat(conn, 0, 1, 2, kTimeout); break;
    case 28: recnet::serialSend(conn, std::vector<uint8_t>(arg % 1100, 7), kTimeout); break;
    case 29: recnet::deleteRecordFile(conn, "rec-0001.264", kTimeout); break;
    case 30: recnet::setVersion(conn, "fuzz 2.0", kTimeout); break;
    default: recnet::reboot(conn, kTimeout); break;
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    openDevice();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Input in(data, size);
    const uint8_t call = in.u8();
    const uint32_t arg = in.u32();
    std::vector<uint8_t> bytes = in.take(in.left());

    if (call >= 0xf0) {  // the decoders alone, on the bytes as a payload
        try {
            decoders(bytes, arg);
        } catch (const recnet::Error&) {
        } catch (const std::invalid_argument&) {
        }
        return 0;
    }

    const bool probe = call % 32 == 31 && (arg & 0x80000000u);
    Connection conn;
    conn.connect("127.0.0.1", g_device.port, 1000ms);
    int device = accept4(g_device.listenFd, nullptr, nullptr, SOCK_CLOEXEC);
    if (device < 0) std::abort();
    fuzz::setTimeouts(device, 5);
    std::thread writer;
    std::thread responder;
    if (probe) {
        drainProbeSocket();
        shutdown(device, SHUT_WR);
        responder = std::thread(answerProbe, bytes);
    } else {
        writer = std::thread([device, b = std::move(bytes)] {
            size_t done = 0;
            while (done < b.size()) {
                ssize_t n = send(device, b.data() + done, b.size() - done, MSG_NOSIGNAL);
                if (n <= 0) break;
                done += static_cast<size_t>(n);
            }
            shutdown(device, SHUT_WR);
        });
    }
    try {
        if (probe)
            recnet::probeAddress(conn, 100ms);
        else
            clientCall(call, arg, conn);
    } catch (const recnet::Error&) {
    }
    conn.shutdown();
    if (writer.joinable()) writer.join();
    if (responder.joinable()) responder.join();
    close(device);
    return 0;
}
