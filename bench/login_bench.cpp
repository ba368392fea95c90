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
 * failed check: it measures what failed logins cost.
 */
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "connection.h"
#include "errors.h"
#include "fd.h"
#include "session.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kSampleInterval = std::chrono::milliseconds(50);
// Generous: with C clients and few checks at once a login waits its turn.
constexpr recnet::Duration kLoginTimeout{30000};
constexpr recnet::Duration kConnectTimeout{5000};

bool canBind(int type, uint16_t port) {
    recnet::Fd fd(::socket(AF_INET, type, 0));
    int one = 1;
    ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    return ::bind(fd.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
}

// A base port whose command, data and UDP ports are all free, or 0.
uint16_t pickBasePort() {
    std::mt19937 rng(std::random_device{}());
    std::uniform_int_distribution<int> dist(20000, 59000);
    for (int i = 0; i < 200; ++i) {
        auto base = static_cast<uint16_t>(dist(rng));
        if (canBind(SOCK_STREAM, base) && canBind(SOCK_STREAM, base + 1) &&
            canBind(SOCK_DGRAM, base + 4))
            return base;
    }
    return 0;
}

/* The device as a child process; stopped with SIGTERM (then SIGKILL) at the end. */
class DeviceProcess {
public:
    DeviceProcess(const std::string& path, const std::vector<std::string>& args) {
        int out[2];
        if (::pipe2(out, O_CLOEXEC) != 0) return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        std::vector<char*> argv{const_cast<char*>(path.c_str())};
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        if (posix_spawn(&pid_, path.c_str(), &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        ::close(out[1]);
        out_.reset(out[0]);
    }
    ~DeviceProcess() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGTERM);
        for (int i = 0; i < 100; ++i) {
            if (::waitpid(pid_, nullptr, WNOHANG) == pid_) return;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    DeviceProcess(const DeviceProcess&) = delete;
    DeviceProcess& operator=(const DeviceProcess&) = delete;

    // Waits (bounded) for the "ready" line.
    bool waitReady(int timeoutMs) {
        std::string text;
        auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        while (pid_ > 0 && Clock::now() < deadline) {
            pollfd p{out_.get(), POLLIN, 0};
            if (::poll(&p, 1, 100) <= 0) continue;
            char buf[512];
            ssize_t n = ::read(out_.get(), buf, sizeof buf);
            if (n <= 0) return false;
            text.append(buf, static_cast<size_t>(n));
            if (text.find("ready") != std::string::npos) return true;
        }
        return false;
    }
    pid_t pid() const { return pid_; }

private:
    pid_t pid_ = -1;
    recnet::Fd out_;
};

// VmRSS and VmHWM of a process, in KiB; zero when unreadable.
struct MemorySample {
    long rssKiB = 0;
    long hwmKiB = 0;
};

// Reads /proc/PID/status once.
MemorySample readMemory(pid_t pid) {
    MemorySample s;
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) s.rssKiB = std::atol(line.c_str() + 6);
        if (line.rfind("VmHWM:", 0) == 0) s.hwmKiB = std::atol(line.c_str() + 6);
    }
    return s;
}

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
    MemorySample peak() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return peak_;
    }

private:
    void run() {
        std::unique_lock<std::mutex> lock(mutex_);
        while (!stop_) {
            lock.unlock();
            const MemorySample s = readMemory(pid_);
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
    MemorySample peak_;      // under mutex_
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
    const MemorySample idle = readMemory(pid);
    Tally tally;
    const std::string password = o.wrongPassword ? "not-the-password" : "admin";
    const auto start = Clock::now();
    const auto deadline = start + std::chrono::duration_cast<Clock::duration>(
                                      std::chrono::duration<double>(o.seconds));
    MemorySample peak;
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

    const uint16_t port = pickBasePort();
    std::string state = o.state;
    std::string tmpl = (std::filesystem::temp_directory_path() / "login-bench-XXXXXX").string();
    if (state.empty() && ::mkdtemp(tmpl.data()) != nullptr) state = tmpl;
    if (port == 0 || state.empty()) {
        std::fprintf(stderr, "login_bench: no free port or temporary directory\n");
        return 1;
    }
    int status = 0;
    {
        // One channel of small synthetic frames and no serial ports: the
        // device's own background work stays out of the figures.
        DeviceProcess dev(o.device, {"--base-port", std::to_string(port), "--state", state,
                                     "--channels", "1", "--serial-ports", "0", "--source",
                                     "synthetic", "--frame-size", "1024"});
        if (!dev.waitReady(15000)) {
            std::fprintf(stderr, "login_bench: %s did not start\n", o.device.c_str());
            status = 1;
        } else {
            measure(o, port, dev.pid());
        }
    }
    if (o.state.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(state, ec);
    }
    return status;
}
