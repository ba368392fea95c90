/*
 * login_bench.cpp - what concurrent logins cost the device: logins per second
 * and the device's memory while they run.
 *
 * Starts recnet-device on a free base port with a temporary state directory
 * (or --state DIR, kept afterwards), then C clients (32 by default) each
 * connect, log in as admin and log out again, over and over, for S seconds
 * (5 by default), through the client library. A sampler reads the device's
 * VmRSS and VmHWM from /proc/PID/status every 50 ms.
 *
 *   login_bench [--clients C] [--seconds S] [--wrong-password] [--state DIR]
 *               [--device PATH]
 *
 * --wrong-password sends a wrong password instead, so every login is a
 * failed check: it measures what failed logins cost. The module slows failed
 * logins from one address (after 5 within a minute, one check a second, each
 * waiting its turn), so that rate is low on purpose, and a run can last up to
 * the 30 s login time-out longer than asked while the queued logins end.
 */
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench_device.h"
#include "connection.h"
#include "errors.h"
#include "session.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kSampleInterval = std::chrono::milliseconds(50);
// Generous: with C clients and few checks at once a login waits its turn.
constexpr recnet::Duration kLoginTimeout{30000};
constexpr recnet::Duration kConnectTimeout{5000};

/* Samples the device's memory every 50 ms on its own thread until destroyed;
 * keeps the highest VmRSS seen and the last VmHWM read. */
class MemorySampler {
public:
    explicit MemorySampler(pid_t pid) : pid_(pid), thread_([this] { run(); }) {}
    ~MemorySampler() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stop_ = true;
        }
        wake_.notify_all();
        thread_.join();
    }
    MemorySampler(const MemorySampler&) = delete;
    MemorySampler& operator=(const MemorySampler&) = delete;

    // The highest VmRSS sampled and the latest VmHWM, in KiB.
    bench::ProcMemory peak() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return peak_;
    }

private:
    void run() {
        std::unique_lock<std::mutex> lock(mutex_);
        while (!stop_) {
            lock.unlock();
            const bench::ProcMemory s = bench::readMemory(pid_);
            lock.lock();
            peak_.rssKiB = std::max(peak_.rssKiB, s.rssKiB);
            peak_.hwmKiB = std::max(peak_.hwmKiB, s.hwmKiB);
            wake_.wait_for(lock, kSampleInterval, [this] { return stop_; });
        }
    }

    const pid_t pid_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    bool stop_ = false;      // under mutex_
    bench::ProcMemory peak_;      // under mutex_
    std::thread thread_;     // last: starts once the members above exist
};

/* What the clients did, summed over all of them. */
struct Tally {
    std::atomic<uint64_t> accepted{0};
    std::atomic<uint64_t> refused{0};  // the device answered the login with a refusal
    std::atomic<uint64_t> failed{0};   // connect, time-out, closed connection, protocol
    std::mutex mutex;
    std::vector<double> latencies;     // seconds per login answer, under mutex
    std::string firstFailure;          // under mutex
};

// One client: connect, log in, log out, until `deadline`.
void runClient(uint16_t port, const std::string& password, Clock::time_point deadline,
               Tally& tally) {
    std::vector<double> latencies;
    while (Clock::now() < deadline) {
        try {
            recnet::Connection conn;
            conn.connect("127.0.0.1", port, kConnectTimeout);
            const auto t0 = Clock::now();
            try {
                recnet::login(conn, "admin", password, kLoginTimeout);
                latencies.push_back(std::chrono::duration<double>(Clock::now() - t0).count());
                tally.accepted.fetch_add(1, std::memory_order_relaxed);
                recnet::logout(conn, kLoginTimeout);
            } catch (const recnet::Error& e) {
                if (e.kind() != recnet::Error::Kind::LoginRefused) throw;
                latencies.push_back(std::chrono::duration<double>(Clock::now() - t0).count());
                tally.refused.fetch_add(1, std::memory_order_relaxed);
            }
        } catch (const std::exception& e) {
            tally.failed.fetch_add(1, std::memory_order_relaxed);
            std::lock_guard<std::mutex> lock(tally.mutex);
            if (tally.firstFailure.empty()) tally.firstFailure = e.what();
        }
    }
    std::lock_guard<std::mutex> lock(tally.mutex);
    tally.latencies.insert(tally.latencies.end(), latencies.begin(), latencies.end());
}

// The q-quantile of sorted values, or 0 when there are none.
double quantile(const std::vector<double>& sorted, double q) {
    if (sorted.empty()) return 0;
    return sorted[static_cast<size_t>(q * static_cast<double>(sorted.size() - 1))];
}

struct BenchOptions {
    int clients = 32;
    double seconds = 5;
    bool wrongPassword = false;
    std::string state;  // empty: a temporary directory, removed afterwards
    std::string device = RECNET_DEVICE_PATH;
};

// Runs the clients against a started device and prints the figures.
void measure(const BenchOptions& o, uint16_t port, pid_t pid) {
    const bench::ProcMemory idle = bench::readMemory(pid);
    Tally tally;
    const std::string password = o.wrongPassword ? "not-the-password" : "admin";
    const auto start = Clock::now();
    const auto deadline = start + std::chrono::duration_cast<Clock::duration>(
                                      std::chrono::duration<double>(o.seconds));
    bench::ProcMemory peak;
    {
        MemorySampler sampler(pid);
        std::vector<std::thread> clients;
        for (int i = 0; i < o.clients; ++i)
            clients.emplace_back(runClient, port, std::cref(password), deadline, std::ref(tally));
        for (auto& t : clients) t.join();
        peak = sampler.peak();
    }
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    std::sort(tally.latencies.begin(), tally.latencies.end());
    const uint64_t answered = tally.accepted.load() + tally.refused.load();
    std::printf("%s logins, %d clients, %.1f s, base port %u\n",
                o.wrongPassword ? "wrong-password" : "good", o.clients, elapsed, port);
    std::printf("  logins/s          %.1f (accepted %llu, refused %llu, failed %llu)\n",
                static_cast<double>(answered) / elapsed,
                static_cast<unsigned long long>(tally.accepted.load()),
                static_cast<unsigned long long>(tally.refused.load()),
                static_cast<unsigned long long>(tally.failed.load()));
    std::printf("  answer time       median %.3f s, p99 %.3f s, max %.3f s\n",
                quantile(tally.latencies, 0.5), quantile(tally.latencies, 0.99),
                quantile(tally.latencies, 1.0));
    std::printf("  device memory     idle RSS %.1f MiB, peak RSS sampled %.1f MiB, VmHWM %.1f MiB\n",
                idle.rssKiB / 1024.0, peak.rssKiB / 1024.0, peak.hwmKiB / 1024.0);
    if (!tally.firstFailure.empty())
        std::printf("  first failure     %s\n", tally.firstFailure.c_str());
}

bool parseArgs(int argc, char** argv, BenchOptions& o) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--clients" && i + 1 < argc) {
            o.clients = std::atoi(argv[++i]);
        } else if (a == "--seconds" && i + 1 < argc) {
            o.seconds = std::atof(argv[++i]);
        } else if (a == "--wrong-password") {
            o.wrongPassword = true;
        } else if (a == "--state" && i + 1 < argc) {
            o.state = argv[++i];
        } else if (a == "--device" && i + 1 < argc) {
            o.device = argv[++i];
        } else {
            return false;
        }
    }
    return o.clients >= 1 && o.clients <= 256 && o.seconds > 0 && o.seconds <= 60;
}

}  // namespace

int main(int argc, char** argv) {
    BenchOptions o;
    if (!parseArgs(argc, argv, o)) {
        std::fprintf(stderr, "usage: login_bench [--clients 1..256] [--seconds S (up to 60)] "
                             "[--wrong-password] [--state DIR] [--device PATH]\n");
        return 2;
    }
    ::signal(SIGPIPE, SIG_IGN);

    // The device's output goes to a temporary folder; so does its state unless --state is given.
    const uint16_t port = bench::pickBasePort();
    const std::string tmp = bench::makeTempDir("login-bench");
    const std::string state = o.state.empty() ? tmp : o.state;
    if (port == 0 || tmp.empty()) {
        std::fprintf(stderr, "login_bench: no free port or temporary directory\n");
        return 1;
    }
    int status = 0;
    {
        // One channel of small synthetic frames and no serial ports: the
        // device's own background work stays out of the figures.
        bench::DeviceProcess dev(o.device, {"--base-port", std::to_string(port), "--state", state,
                                            "--channels", "1", "--serial-ports", "0", "--source",
                                            "synthetic", "--frame-size", "1024"},
                                 tmp + "/device.log");
        if (!dev.waitReady(15000)) {
            std::fprintf(stderr, "login_bench: %s did not start %s\n", o.device.c_str(),
                         dev.exitText().c_str());
            status = 1;
        } else {
            measure(o, port, dev.pid());
        }
    }
    std::error_code ec;
    std::filesystem::remove_all(tmp, ec);
    return status;
}
