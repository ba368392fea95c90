/*
 * soak_support.h - what the soak run's parts share: the clock, the interrupt
 * flag, the device's /proc figures, raw message headers, the failure tally
 * and the echo round trip of a fresh session.
 */
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace soak {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr int KEEPALIVE_MS = 5000;
constexpr int LOGIN_TIMEOUT_MS = 20000;  // per login while many are queued on the hash
constexpr int OPEN_IN_FLIGHT = 4;        // logins in flight while opening idle sessions
constexpr int OPEN_LIMIT_S = 900;        // opening all sessions gives up after this
constexpr uint16_t MSG_GET_TIME = 0x803;

/* Set by SIGINT/SIGTERM; every loop of the run watches it. */
inline std::atomic<bool> g_interrupted{false};

/* Seconds from t to now. */
inline double secondsSince(Clock::time_point t) {
    return std::chrono::duration<double>(Clock::now() - t).count();
}

/* Sleeps ms milliseconds, or less once g_interrupted is set. */
void sleepMs(int ms);

/* ---- what /proc says about the device ------------------------------------ */

struct ProcStats {
    bool ok = false;
    double rssMiB = 0;
    int fds = 0;
    int threads = 0;
};

/* RSS, open descriptors and threads of pid; ok is false when any is missing. */
ProcStats readProc(pid_t pid);

/* A message header with the given type, payload length and status. */
std::vector<uint8_t> rawHeader(uint16_t type, uint32_t length, uint8_t status = 0);

/* ---- failures, by kind ---------------------------------------------------- */

class Failures {
public:
    void add(const std::string& kind, const std::string& detail = {}) {
        std::lock_guard<std::mutex> lock(mutex_);
        ++total_;
        auto& e = kinds_[kind];
        if (e.count++ == 0) e.first = detail;
    }
    int total() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return total_;
    }
    void print() const {
        std::lock_guard<std::mutex> lock(mutex_);
        if (kinds_.empty()) {
            std::printf("failures: none\n");
            return;
        }
        std::printf("failures: %d\n", total_);
        for (const auto& [kind, e] : kinds_)
            std::printf("  %-28s %6d  first: %s\n", kind.c_str(), e.count, e.first.c_str());
    }

private:
    struct Entry {
        int count = 0;
        std::string first;
    };
    mutable std::mutex mutex_;
    int total_ = 0;
    std::map<std::string, Entry> kinds_;
};

/* ---- the echo round trip of a fresh session ------------------------------ */

struct RoundTrip {
    bool ok = false;
    double medianUs = 0, p99Us = 0, loginMs = 0;
    std::string error;
};

/* Connects, logs in and times count echoes after a few untimed ones. */
RoundTrip measureEcho(uint16_t port, int count);
/* Prints one round-trip line under label. */
void printRoundTrip(const char* label, const RoundTrip& r);

}  // namespace soak
