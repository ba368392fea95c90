/*
 * soak_support.cpp - the shared helpers of the soak run.
 */
#include "soak_support.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <stdexcept>
#include <thread>

#include "bench_device.h"
#include "connection.h"
#include "netserver/wire.h"
#include "session.h"

namespace soak {

void sleepMs(int ms) {
    // In short steps, so that an interrupt is seen soon.
    auto end = Clock::now() + milliseconds(ms);
    while (!g_interrupted.load() && Clock::now() < end)
        std::this_thread::sleep_for(std::min<Clock::duration>(milliseconds(50), end - Clock::now()));
}

ProcStats readProc(pid_t pid) {
    ProcStats s;
    s.rssMiB = static_cast<double>(bench::readMemory(pid).rssKiB) / 1024.0;
    s.fds = bench::countDescriptors(pid);
    s.threads = bench::countThreads(pid);
    s.ok = s.rssMiB > 0 && s.fds >= 0 && s.threads >= 0;
    return s;
}

std::vector<uint8_t> rawHeader(uint16_t type, uint32_t length, uint8_t status) {
    std::vector<uint8_t> h(wire::HEADER_SIZE, 0);
    wire::putU32(h.data(), wire::HDR_MAGIC, wire::MSG_MAGIC);
    wire::putU16(h.data(), wire::HDR_TYPE, type);
    wire::putU32(h.data(), wire::HDR_LENGTH, length);
    wire::putU8(h.data(), wire::HDR_STATUS, status);
    return h;
}

RoundTrip measureEcho(uint16_t port, int count) {
    RoundTrip r;
    try {
        recnet::Connection conn;
        auto t0 = Clock::now();
        conn.connect("127.0.0.1", port, milliseconds(5000));
        recnet::login(conn, "admin", "admin", milliseconds(LOGIN_TIMEOUT_MS));
        r.loginMs = secondsSince(t0) * 1000;
        // A few untimed echoes first: the first ones after the login meet
        // cold caches on both sides.
        for (int i = 0; i < 20; ++i) recnet::echo(conn, milliseconds(5000));
        std::vector<double> us;
        us.reserve(static_cast<size_t>(count));
        for (int i = 0; i < count && !g_interrupted.load(); ++i) {
            auto t = Clock::now();
            recnet::echo(conn, milliseconds(5000));
            us.push_back(secondsSince(t) * 1e6);
        }
        if (us.empty()) throw std::runtime_error("no echo measured");
        std::sort(us.begin(), us.end());
        r.medianUs = us.size() % 2 ? us[us.size() / 2] : (us[us.size() / 2 - 1] + us[us.size() / 2]) / 2;
        size_t i99 = static_cast<size_t>(std::ceil(0.99 * static_cast<double>(us.size()))) - 1;
        r.p99Us = us[std::min(i99, us.size() - 1)];
        r.ok = true;
    } catch (const std::exception& e) {
        r.error = e.what();
    }
    return r;
}

void printRoundTrip(const char* label, const RoundTrip& r) {
    if (r.ok)
        std::printf("echo round trip, %-22s median %8.1f us  p99 %8.1f us  (login %.0f ms)\n", label,
                    r.medianUs, r.p99Us, r.loginMs);
    else
        std::printf("echo round trip, %-22s FAILED: %s\n", label, r.error.c_str());
    std::fflush(stdout);
}

}  // namespace soak
