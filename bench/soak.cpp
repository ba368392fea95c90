/*
 * soak.cpp - many sessions, a few streams and connection churn against the
 * device, with the device's memory, descriptors and threads over time.
 *
 *   soak [--sessions N] [--streams K] [--churn-seconds T] [--workers W]
 *        [--sample-ms MS] [--channels C] [--warmup-seconds S] [--device PATH]
 *
 * Starts recnet-device (the path built in, or --device) on a free base port
 * with a temporary state directory and its output in a log file there. Then:
 *
 *  1. the echo round trip of a fresh session on the idle device (connect, log
 *     in, 20 untimed echoes, then 200 timed; median and p99);
 *  2. N logged-in sessions: N - K idle ones, logged in by a few opener
 *     threads and then kept by one thread with poll(), each sending a
 *     keep-alive every 5 s and discarding whatever arrives; K that stream
 *     channel i % C over TCP (one thread each, frames discarded);
 *  3. the echo round trip again with the N sessions open;
 *  4. T seconds of churn by W workers: connect, log in, one command (echo or
 *     get-time), sometimes a brief stream, sometimes a connection dropped in
 *     the middle of a message;
 *  5. a few quiet seconds, a last sample and the round trip once more.
 *
 * Every sample-ms it prints the device's VmRSS, open descriptors and threads
 * with the sessions open and the churn so far. At the end it compares the
 * first and the last quarter of the churn samples (after the warm-up) and
 * the quiet samples before and after the churn.
 *
 * The device runs --max-sessions N plus room for the churn. Every login
 * checks a password hash that costs 19 MiB on purpose, at most one check per
 * core at once; opening sessions keeps a few logins in flight, and the memory
 * of the checks in flight shows in RSS samples.
 */
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bench_device.h"
#include "connection.h"
#include "errors.h"
#include "netserver/wire.h"
#include "session.h"
#include "stream.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr int KEEPALIVE_MS = 5000;
constexpr int LOGIN_TIMEOUT_MS = 20000;  // per login while many are queued on the hash
constexpr int OPEN_IN_FLIGHT = 4;        // logins in flight while opening idle sessions
constexpr int OPEN_LIMIT_S = 900;        // opening all sessions gives up after this
constexpr uint16_t MSG_GET_TIME = 0x803;

std::atomic<bool> g_interrupted{false};

void onSignal(int) { g_interrupted.store(true); }

double secondsSince(Clock::time_point t) {
    return std::chrono::duration<double>(Clock::now() - t).count();
}

void sleepMs(int ms) {
    // In short steps, so that an interrupt is seen soon.
    auto end = Clock::now() + milliseconds(ms);
    while (!g_interrupted.load() && Clock::now() < end)
        std::this_thread::sleep_for(std::min<Clock::duration>(milliseconds(50), end - Clock::now()));
}

/* ---- what /proc says about the device ------------------------------------ */

struct ProcStats {
    bool ok = false;
    double rssMiB = 0;
    int fds = 0;
    int threads = 0;
};

ProcStats readProc(pid_t pid) {
    ProcStats s;
    s.rssMiB = static_cast<double>(bench::readMemory(pid).rssKiB) / 1024.0;
    s.fds = bench::countDescriptors(pid);
    s.threads = bench::countThreads(pid);
    s.ok = s.rssMiB > 0 && s.fds >= 0 && s.threads >= 0;
    return s;
}

/* ---- raw messages --------------------------------------------------------- */

std::vector<uint8_t> rawHeader(uint16_t type, uint32_t length, uint8_t status = 0) {
    std::vector<uint8_t> h(wire::HEADER_SIZE, 0);
    wire::putU32(h.data(), wire::HDR_MAGIC, wire::MSG_MAGIC);
    wire::putU16(h.data(), wire::HDR_TYPE, type);
    wire::putU32(h.data(), wire::HDR_LENGTH, length);
    wire::putU8(h.data(), wire::HDR_STATUS, status);
    return h;
}

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

/* ---- idle sessions ----------------------------------------------------------- */

/* Logged-in sessions that stay idle. OPEN_IN_FLIGHT opener threads log them
 * in through the client library; one keeper thread polls all of them, sends
 * each a keep-alive every KEEPALIVE_MS (spread over the interval) and counts
 * and drops whatever arrives. */
class IdleSessions {
public:
    IdleSessions(uint16_t port, int target, Failures& failures)
        : port_(port), target_(target), failures_(failures), start_(Clock::now()) {
        for (int i = 0; i < OPEN_IN_FLIGHT; ++i) openers_.emplace_back([this] { openSessions(); });
        keeper_ = std::thread([this] { keep(); });
    }
    ~IdleSessions() {
        stop_.store(true);
        for (auto& t : openers_) t.join();
        keeper_.join();
    }
    int open() const { return open_.load(); }
    /* Sessions whose opening has ended, one way or the other. */
    int settled() const { return settled_.load(); }
    int dropped() const { return dropped_.load(); }
    uint64_t keepalives() const { return keepalives_.load(); }
    uint64_t unexpectedBytes() const { return unexpectedBytes_.load(); }
    double openSeconds() const { return openSeconds_.load(); }

private:
    struct Idle {
        std::unique_ptr<recnet::Connection> conn;
        Clock::time_point nextKeepalive;
    };

    /* An opener: logs in sessions until all are claimed or the time is over. */
    void openSessions() {
        const auto deadline = start_ + std::chrono::seconds(OPEN_LIMIT_S);
        while (!stop_.load() && !g_interrupted.load() && next_.fetch_add(1) < target_) {
            try {
                if (Clock::now() >= deadline) throw std::runtime_error("opening time over");
                auto conn = std::make_unique<recnet::Connection>();
                conn->connect("127.0.0.1", port_, milliseconds(5000));
                recnet::login(*conn, "admin", "admin", milliseconds(LOGIN_TIMEOUT_MS));
                std::lock_guard<std::mutex> lock(mutex_);
                fresh_.push_back(std::move(conn));
                open_.fetch_add(1);
            } catch (const std::exception& e) {
                failures_.add("idle open", e.what());
            }
            if (settled_.fetch_add(1) + 1 == target_) openSeconds_.store(secondsSince(start_));
        }
    }

    void drop(Idle& s, const std::string& detail) {
        s.conn.reset();
        open_.fetch_sub(1);
        dropped_.fetch_add(1);
        failures_.add("idle session closed", detail);
    }

    /* Reads and counts what arrived; drops the session on EOF or an error. */
    void drain(Idle& s) {
        uint8_t buf[4096];
        for (int i = 0; i < 64; ++i) {
            ssize_t n = ::recv(s.conn->nativeHandle(), buf, sizeof buf, MSG_DONTWAIT);
            if (n > 0) {
                unexpectedBytes_.fetch_add(static_cast<uint64_t>(n));
            } else {
                if (n == 0) drop(s, "EOF on a logged-in idle session");
                else if (errno != EAGAIN && errno != EWOULDBLOCK) drop(s, std::strerror(errno));
                return;
            }
        }
    }

    void keep() {
        const std::vector<uint8_t> keepalive = rawHeader(wire::MSG_KEEPALIVE, 0);
        std::vector<Idle> sessions;
        std::vector<pollfd> fds;
        auto gone = [](const Idle& s) { return !s.conn; };
        while (!stop_.load() && !g_interrupted.load()) {
            {
                std::lock_guard<std::mutex> lock(mutex_);
                for (auto& c : fresh_)
                    sessions.push_back({std::move(c), Clock::now() + milliseconds(rng_() % KEEPALIVE_MS)});
                fresh_.clear();
            }
            const auto now = Clock::now();
            for (auto& s : sessions) {
                if (now < s.nextKeepalive) continue;
                s.nextKeepalive += milliseconds(KEEPALIVE_MS);
                // 16 bytes into a send buffer that is otherwise empty: all or nothing.
                ssize_t n = ::send(s.conn->nativeHandle(), keepalive.data(), keepalive.size(),
                                   MSG_NOSIGNAL | MSG_DONTWAIT);
                if (n == static_cast<ssize_t>(keepalive.size())) keepalives_.fetch_add(1);
                else drop(s, n < 0 ? std::strerror(errno) : "keep-alive sent in part");
            }
            sessions.erase(std::remove_if(sessions.begin(), sessions.end(), gone), sessions.end());
            fds.clear();
            for (const auto& s : sessions) fds.push_back({s.conn->nativeHandle(), POLLIN, 0});
            if (::poll(fds.data(), fds.size(), 50) <= 0) continue;
            for (size_t k = 0; k < fds.size(); ++k)
                if (fds[k].revents != 0) drain(sessions[k]);
            sessions.erase(std::remove_if(sessions.begin(), sessions.end(), gone), sessions.end());
        }
    }

    const uint16_t port_;
    const int target_;
    Failures& failures_;
    const Clock::time_point start_;
    std::mutex mutex_;
    std::vector<std::unique_ptr<recnet::Connection>> fresh_;  // logged in, not yet kept; under mutex_
    std::minstd_rand rng_{12345};                             // keeper only
    std::atomic<int> next_{0}, open_{0}, settled_{0}, dropped_{0};
    std::atomic<uint64_t> keepalives_{0}, unexpectedBytes_{0};
    std::atomic<double> openSeconds_{0};
    std::atomic<bool> stop_{false};
    std::vector<std::thread> openers_;
    std::thread keeper_;
};

/* ---- streaming sessions ---------------------------------------------------- */

class Streams {
public:
    Streams(uint16_t port, int count, int channels, Failures& failures) : failures_(failures) {
        // One login at a time: each takes the device's password hash.
        for (int i = 0; i < count; ++i) ready_.push_back(std::make_unique<std::atomic<int>>(0));
        for (int i = 0; i < count && !g_interrupted.load(); ++i) {
            std::atomic<int>& ready = *ready_[static_cast<size_t>(i)];
            threads_.emplace_back([this, port, i, channels, &ready] { run(port, i % channels, ready); });
            auto deadline = Clock::now() + milliseconds(LOGIN_TIMEOUT_MS + 5000);
            while (ready.load() == 0 && Clock::now() < deadline) std::this_thread::sleep_for(milliseconds(10));
            // Should `ready` never be set, the thread is left to fail on its
            // own time-outs.
            if (ready.load() == 0) {
                stop_.store(true);  // a device that stalls this long: stop trying
                break;
            }
        }
    }
    ~Streams() {
        stop_.store(true);
        for (auto& t : threads_) t.join();
    }
    int alive() const { return alive_.load(); }
    uint64_t frames() const { return frames_.load(); }
    uint64_t lost() const { return lost_.load(); }

private:
    void run(uint16_t port, int channel, std::atomic<int>& ready) {
        bool signalled = false;
        try {
            recnet::StreamOptions o;
            o.port = port;
            o.channel = channel;
            o.timeout = milliseconds(LOGIN_TIMEOUT_MS);
            recnet::StreamClient client(o);
            alive_.fetch_add(1);
            ready.store(1);
            signalled = true;
            uint64_t counted = 0, lostCounted = 0;
            recnet::FrameAssembler assembler([](const recnet::FrameView&) {});
            bool ended = false;
            while (!stop_.load() && !g_interrupted.load()) {
                if (!client.receive(milliseconds(100), assembler)) {
                    ended = true;
                    break;
                }
                frames_.fetch_add(assembler.stats().frames - counted);
                lost_.fetch_add(assembler.stats().lost - lostCounted);
                counted = assembler.stats().frames;
                lostCounted = assembler.stats().lost;
            }
            alive_.fetch_sub(1);
            if (ended) failures_.add("stream ended", "channel " + std::to_string(channel));
        } catch (const std::exception& e) {
            if (signalled)
                alive_.fetch_sub(1);
            else
                ready.store(1);
            failures_.add("stream failed", e.what());
        }
    }

    Failures& failures_;
    std::vector<std::unique_ptr<std::atomic<int>>> ready_;  // per stream: it has started or failed
    std::vector<std::thread> threads_;
    std::atomic<bool> stop_{false};
    std::atomic<int> alive_{0};
    std::atomic<uint64_t> frames_{0}, lost_{0};
};

/* ---- churn ------------------------------------------------------------------ */

struct ChurnCounters {
    std::atomic<uint64_t> connections{0};  // command and data connections opened
    std::atomic<uint64_t> commands{0}, streams{0}, halfHeaders{0}, shortPayloads{0};
};

class Churn {
public:
    Churn(uint16_t port, int workers, int channels, double seconds, Failures& failures)
        : port_(port), channels_(channels), failures_(failures) {
        end_ = Clock::now() + milliseconds(static_cast<long>(seconds * 1000));
        for (int i = 0; i < workers; ++i) threads_.emplace_back([this, i] { run(i); });
    }
    ~Churn() { join(); }
    void join() {
        for (auto& t : threads_)
            if (t.joinable()) t.join();
    }
    ChurnCounters counters;

private:
    /* A connection that is dropped in the middle of a message. */
    void dropMidMessage(std::minstd_rand& rng, bool promisePayload) {
        recnet::Connection conn;
        conn.connect("127.0.0.1", port_, milliseconds(5000));
        counters.connections.fetch_add(1);
        if (rng() % 2) recnet::login(conn, "admin", "admin", milliseconds(LOGIN_TIMEOUT_MS));
        std::vector<uint8_t> bytes;
        if (promisePayload) {
            // A header that promises a payload, then only part of it.
            uint16_t type = rng() % 2 ? wire::MSG_LOGIN : wire::MSG_ECHO;
            bytes = rawHeader(type, wire::LOGIN_REQUEST_SIZE);
            bytes.resize(wire::HEADER_SIZE + 1 + rng() % 40, 0);
            counters.shortPayloads.fetch_add(1);
        } else {
            bytes = rawHeader(wire::MSG_ECHO, 0);
            bytes.resize(1 + rng() % (wire::HEADER_SIZE - 1));
            counters.halfHeaders.fetch_add(1);
        }
        if (::send(conn.nativeHandle(), bytes.data(), bytes.size(), MSG_NOSIGNAL) !=
            static_cast<ssize_t>(bytes.size()))
            throw std::runtime_error("partial message not sent");
        // Closing is the point; the destructor closes.
    }

    void command(std::minstd_rand& rng) {
        recnet::Connection conn;
        conn.connect("127.0.0.1", port_, milliseconds(5000));
        counters.connections.fetch_add(1);
        recnet::login(conn, "admin", "admin", milliseconds(LOGIN_TIMEOUT_MS));
        if (rng() % 2) {
            recnet::echo(conn, milliseconds(5000));
        } else {
            recnet::RawRequest req;
            req.type = MSG_GET_TIME;
            auto answer = recnet::rawRequest(conn, req, milliseconds(5000));
            if (!answer) throw std::runtime_error("get-time: no answer");
            if (answer->header.type != MSG_GET_TIME || answer->header.status != wire::STATUS_OK)
                throw std::runtime_error("get-time: unexpected answer");
        }
        counters.commands.fetch_add(1);
        if (rng() % 2) recnet::logout(conn, milliseconds(5000));
    }

    void briefStream(std::minstd_rand& rng) {
        recnet::StreamOptions o;
        o.port = port_;
        o.channel = static_cast<int32_t>(rng() % static_cast<unsigned>(channels_));
        o.timeout = milliseconds(LOGIN_TIMEOUT_MS);
        recnet::StreamClient client(o);
        counters.connections.fetch_add(2);
        recnet::FrameAssembler assembler([](const recnet::FrameView&) {});
        auto until = Clock::now() + milliseconds(300 + rng() % 700);
        while (Clock::now() < until && !g_interrupted.load())
            if (!client.receive(milliseconds(50), assembler)) throw std::runtime_error("brief stream ended");
        counters.streams.fetch_add(1);
        if (assembler.stats().frames == 0) failures_.add("brief stream: no frame", "within 0.3..1 s");
        client.stop();
    }

    void run(int index) {
        std::minstd_rand rng(1000u + static_cast<unsigned>(index));
        // Bounded by time and by count.
        for (long i = 0; i < 1000000 && Clock::now() < end_ && !g_interrupted.load(); ++i) {
            unsigned r = rng() % 100;
            const char* what = "churn command";
            try {
                if (r < 60) {
                    command(rng);
                } else if (r < 72) {
                    what = "churn brief stream";
                    briefStream(rng);
                } else if (r < 86) {
                    what = "churn half header";
                    dropMidMessage(rng, false);
                } else {
                    what = "churn short payload";
                    dropMidMessage(rng, true);
                }
            } catch (const std::exception& e) {
                failures_.add(what, e.what());
                sleepMs(200);  // a failing device is not hammered
            }
        }
    }

    uint16_t port_;
    int channels_;
    Failures& failures_;
    Clock::time_point end_;
    std::vector<std::thread> threads_;
};

/* ---- samples ---------------------------------------------------------------- */

struct Sample {
    double t = 0;
    std::string phase;
    int open = 0;
    ProcStats proc;
    uint64_t churn = 0;
    int failures = 0;
};

/* Samples on its own thread; the phase and the sources change as the run goes. */
class Sampler {
public:
    Sampler(bench::DeviceProcess& device, int periodMs, Failures& failures)
        : device_(device), periodMs_(periodMs), failures_(failures), start_(Clock::now()) {
        std::printf("%8s %-8s %6s %9s %6s %8s %8s %6s\n", "t(s)", "phase", "open", "RSS(MiB)", "fds",
                    "threads", "churn", "fail");
        std::fflush(stdout);
        thread_ = std::thread([this] { run(); });
    }
    ~Sampler() { stop(); }
    void stop() {
        stop_.store(true);
        if (thread_.joinable()) thread_.join();
    }
    void setPhase(const std::string& phase) {
        std::lock_guard<std::mutex> lock(mutex_);
        phase_ = phase;
    }
    void setSources(IdleSessions* idle, Streams* streams, Churn* churn) {
        std::lock_guard<std::mutex> lock(mutex_);
        idle_ = idle;
        streams_ = streams;
        churn_ = churn;
    }
    /* Takes one sample now (also printed) and returns it; the device's state
     * is all zero when the device is gone. */
    Sample sampleNow() {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!takeLocked()) return Sample{};
        return samples_.back();
    }
    std::vector<Sample> samples() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return samples_;
    }
    bool deviceGone() const { return gone_.load(); }

private:
    bool takeLocked() {
        Sample s;
        s.t = secondsSince(start_);
        s.phase = phase_;
        s.open = (idle_ ? idle_->open() : 0) + (streams_ ? streams_->alive() : 0);
        s.churn = churn_ ? churn_->counters.connections.load() : churnCarry_;
        if (churn_) churnCarry_ = s.churn;
        s.failures = failures_.total();
        s.proc = readProc(device_.pid());
        if (!s.proc.ok || !device_.alive()) {
            gone_.store(true);
            return false;
        }
        samples_.push_back(s);
        std::printf("%8.1f %-8s %6d %9.1f %6d %8d %8llu %6d\n", s.t, s.phase.c_str(), s.open,
                    s.proc.rssMiB, s.proc.fds, s.proc.threads, static_cast<unsigned long long>(s.churn),
                    s.failures);
        std::fflush(stdout);
        return true;
    }
    void run() {
        auto next = Clock::now();
        while (!stop_.load()) {
            next += milliseconds(periodMs_);
            while (!stop_.load() && Clock::now() < next) std::this_thread::sleep_for(milliseconds(20));
            if (stop_.load()) break;
            std::lock_guard<std::mutex> lock(mutex_);
            if (!takeLocked()) break;
        }
    }

    bench::DeviceProcess& device_;
    int periodMs_;
    Failures& failures_;
    Clock::time_point start_;
    mutable std::mutex mutex_;  // guards everything below
    std::string phase_ = "start";
    IdleSessions* idle_ = nullptr;
    Streams* streams_ = nullptr;
    Churn* churn_ = nullptr;
    uint64_t churnCarry_ = 0;
    std::vector<Sample> samples_;
    std::atomic<bool> gone_{false};
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

double meanOf(const std::vector<double>& v, size_t from, size_t to) {
    double sum = 0;
    for (size_t i = from; i < to; ++i) sum += v[i];
    return to > from ? sum / static_cast<double>(to - from) : 0;
}

/* First against last quarter of the churn samples after the warm-up. RSS
 * samples include the password checks in flight (19 MiB each, at most one
 * per core of the device's machine at once), so the RSS means move with
 * them; the quiet samples before and after the churn show what stays. */
void reportGrowth(const std::vector<Sample>& all, double churnStart, double warmup, int workers) {
    std::vector<Sample> s;
    for (const auto& x : all)
        if (x.phase == "churn" && x.t >= churnStart + warmup) s.push_back(x);
    std::printf("\ngrowth over the churn (after %.0f s warm-up, %zu samples, first vs last quarter):\n",
                warmup, s.size());
    if (s.size() < 4) {
        std::printf("  too few samples to judge (need 4)\n");
        return;
    }
    size_t q = s.size() / 4;
    struct Metric {
        const char* name;
        double slack;
        std::vector<double> v;
    };
    Metric metrics[] = {{"RSS MiB", 8.0, {}}, {"fds", 2.0 * workers + 8, {}}, {"threads", 1.0 * workers + 4, {}}};
    for (const auto& x : s) {
        metrics[0].v.push_back(x.proc.rssMiB);
        metrics[1].v.push_back(x.proc.fds);
        metrics[2].v.push_back(x.proc.threads);
    }
    for (auto& m : metrics) {
        double first = meanOf(m.v, 0, q), last = meanOf(m.v, s.size() - q, s.size());
        bool grows = last > first * 1.10 && last - first > m.slack;
        std::printf("  %-8s first %9.1f  last %9.1f  (%+.1f %%)  %s\n", m.name, first, last,
                    first > 0 ? (last - first) / first * 100 : 0, grows ? "GROWTH" : "flat");
    }
}

/* The most frequent lines of the device's output, a hint of what it went through. */
void summariseLog(const std::string& path) {
    std::ifstream in(path);
    std::map<std::string, long> counts;
    std::string line;
    long total = 0;
    while (std::getline(in, line)) {
        ++total;
        // Numbers vary (session ids, addresses): fold them.
        std::string key;
        for (char c : line) {
            if (std::isdigit(static_cast<unsigned char>(c))) {
                if (key.empty() || key.back() != '#') key += '#';
            } else {
                key += c;
            }
        }
        if (counts.size() < 10000 || counts.count(key)) ++counts[key];
    }
    std::vector<std::pair<long, std::string>> top;
    for (auto& [k, n] : counts) top.emplace_back(n, k);
    std::sort(top.rbegin(), top.rend());
    std::printf("\ndevice output: %ld lines; most frequent (digits folded to #):\n", total);
    for (size_t i = 0; i < top.size() && i < 8; ++i)
        std::printf("  %7ld  %.100s\n", top[i].first, top[i].second.c_str());
}

void usage() {
    std::fprintf(stderr,
                 "usage: soak [--sessions N] [--streams K] [--churn-seconds T] [--workers W]\n"
                 "            [--sample-ms MS] [--channels C] [--warmup-seconds S] [--device PATH]\n");
}

}  // namespace

int main(int argc, char** argv) {
    int sessions = 1000, streams = 20, churnSeconds = 60, workers = 4, sampleMs = 2000;
    int channels = 4, warmupSeconds = 10;
    const int echoes = 200;
    std::string device = RECNET_DEVICE_PATH;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        bool ok = true;
        if (a == "--sessions") ok = bench::intArg(argc, argv, i, 1, 20000, sessions);
        else if (a == "--streams") ok = bench::intArg(argc, argv, i, 0, 200, streams);
        else if (a == "--churn-seconds") ok = bench::intArg(argc, argv, i, 0, 24 * 3600, churnSeconds);
        else if (a == "--workers") ok = bench::intArg(argc, argv, i, 0, 64, workers);
        else if (a == "--sample-ms") ok = bench::intArg(argc, argv, i, 100, 600000, sampleMs);
        else if (a == "--channels") ok = bench::intArg(argc, argv, i, 1, 255, channels);
        else if (a == "--warmup-seconds") ok = bench::intArg(argc, argv, i, 0, 3600, warmupSeconds);
        else if (a == "--device" && i + 1 < argc) device = argv[++i];
        else ok = false;
        if (!ok) {
            usage();
            return 2;
        }
    }
    if (streams > sessions) streams = sessions;
    ::signal(SIGPIPE, SIG_IGN);
    ::signal(SIGINT, onSignal);
    ::signal(SIGTERM, onSignal);

    // Our sockets and the device's: the device inherits the raised limit.
    const unsigned long long limit = bench::raiseDescriptorLimit();
    std::printf("descriptor limit %llu (this process and the device)\n", limit);
    if (limit < static_cast<unsigned long long>(sessions + 2 * streams + 4 * workers + 64))
        std::printf("warning: the descriptor limit is low for %d sessions\n", sessions);

    const uint16_t port = bench::pickBasePort();
    const std::string tmpl = bench::makeTempDir("soak");
    if (port == 0 || tmpl.empty()) {
        std::fprintf(stderr, "soak: no free port or temporary directory\n");
        return 1;
    }
    const std::string logPath = tmpl + "/device.log";
    // The device's session cap (256 unless told) with room for the churn and
    // the round-trip probes above the sessions this run holds open.
    const int cap = sessions + 2 * workers + 32;
    const std::vector<std::string> args{"--base-port", std::to_string(port), "--state", tmpl + "/state",
                                        "--channels", std::to_string(channels), "--max-sessions",
                                        std::to_string(cap)};

    int status = 0;
    Failures failures;
    {
        bench::DeviceProcess dev(device, args, logPath);
        if (!dev.waitReady(30000, &g_interrupted)) {
            std::fprintf(stderr, "soak: %s did not start (%s)\n", device.c_str(), dev.exitText().c_str());
            status = 1;
        } else {
            std::printf("device pid %d, base port %u, %d channels, at most %d sessions; %d sessions "
                        "(%d streaming), churn %d s with %d workers, sample every %d ms\n\n",
                        static_cast<int>(dev.pid()), port, channels, cap, sessions, streams, churnSeconds,
                        workers, sampleMs);
            Sampler sampler(dev, sampleMs, failures);
            sampler.setPhase("idle");
            sampler.sampleNow();
            RoundTrip idleRt = measureEcho(port, echoes);
            printRoundTrip("idle device:", idleRt);
            const Sample baseline = sampler.sampleNow();

            sampler.setPhase("open");
            auto idle = std::make_unique<IdleSessions>(port, sessions - streams, failures);
            sampler.setSources(idle.get(), nullptr, nullptr);
            while (!g_interrupted.load() && !sampler.deviceGone() && idle->settled() < sessions - streams)
                sleepMs(100);
            std::printf("idle sessions: %d of %d open after %.1f s\n", idle->open(), sessions - streams,
                        idle->openSeconds());
            std::unique_ptr<Streams> streaming;
            if (!g_interrupted.load() && !sampler.deviceGone()) {
                streaming = std::make_unique<Streams>(port, streams, channels, failures);
                sampler.setSources(idle.get(), streaming.get(), nullptr);
                std::printf("streaming sessions: %d of %d\n", streaming->alive(), streams);
            }
            sampler.setPhase("loaded");
            sleepMs(3000);  // let the streams and keep-alives settle
            const Sample loaded = sampler.sampleNow();
            RoundTrip loadedRt = measureEcho(port, echoes);
            printRoundTrip("with sessions open:", loadedRt);

            double churnStart = 0;
            Sample beforeChurn = loaded, afterChurn = loaded;
            if (churnSeconds > 0 && !g_interrupted.load() && !sampler.deviceGone()) {
                sampler.setPhase("churn");
                beforeChurn = sampler.sampleNow();
                churnStart = beforeChurn.t;
                auto churn = std::make_unique<Churn>(port, workers, channels, churnSeconds, failures);
                sampler.setSources(idle.get(), streaming.get(), churn.get());
                churn->join();
                std::printf("churn: %llu connections, %llu commands, %llu brief streams, %llu half "
                            "headers, %llu short payloads\n",
                            static_cast<unsigned long long>(churn->counters.connections.load()),
                            static_cast<unsigned long long>(churn->counters.commands.load()),
                            static_cast<unsigned long long>(churn->counters.streams.load()),
                            static_cast<unsigned long long>(churn->counters.halfHeaders.load()),
                            static_cast<unsigned long long>(churn->counters.shortPayloads.load()));
                sampler.setPhase("quiet");
                sampler.sampleNow();
                sampler.setSources(idle.get(), streaming.get(), nullptr);
                churn.reset();
                sleepMs(5000);
                afterChurn = sampler.sampleNow();
            }
            RoundTrip afterRt = measureEcho(port, echoes);
            printRoundTrip("after the churn:", afterRt);
            sampler.stop();
            const bool gone = sampler.deviceGone() || !dev.alive();

            // ---- the summary ----
            std::printf("\n==== summary ====\n");
            if (gone) {
                std::printf("THE DEVICE IS GONE: %s\n", dev.exitText().empty() ? "its /proc entry vanished"
                                                                                : dev.exitText().c_str());
                status = 1;
            }
            std::printf("idle device:         RSS %.1f MiB, %d fds, %d threads\n", baseline.proc.rssMiB,
                        baseline.proc.fds, baseline.proc.threads);
            std::printf("with %4d sessions:   RSS %.1f MiB, %d fds, %d threads  (%.1f KiB RSS per session)"
                        "  target <= 200 MiB: %s\n",
                        loaded.open, loaded.proc.rssMiB, loaded.proc.fds, loaded.proc.threads,
                        loaded.open > 0 ? (loaded.proc.rssMiB - baseline.proc.rssMiB) * 1024 / loaded.open : 0,
                        loaded.proc.rssMiB <= 200 ? "met" : "MISSED");
            if (idleRt.ok && loadedRt.ok) {
                double ratio = loadedRt.medianUs / idleRt.medianUs;
                std::printf("echo median ratio, %d sessions / idle: %.2fx (p99 %.2fx)  target <= 1.5x: %s\n",
                            loaded.open, ratio, loadedRt.p99Us / idleRt.p99Us, ratio <= 1.5 ? "met" : "MISSED");
            }
            if (churnSeconds > 0) {
                std::printf("before churn (t=%.0f s): RSS %.1f MiB, %d fds, %d threads, %d open\n",
                            beforeChurn.t, beforeChurn.proc.rssMiB, beforeChurn.proc.fds,
                            beforeChurn.proc.threads, beforeChurn.open);
                std::printf("after churn, quiet (t=%.0f s): RSS %.1f MiB, %d fds, %d threads, %d open\n",
                            afterChurn.t, afterChurn.proc.rssMiB, afterChurn.proc.fds,
                            afterChurn.proc.threads, afterChurn.open);
                std::printf("difference: RSS %+.1f MiB, %+d fds, %+d threads\n",
                            afterChurn.proc.rssMiB - beforeChurn.proc.rssMiB,
                            afterChurn.proc.fds - beforeChurn.proc.fds,
                            afterChurn.proc.threads - beforeChurn.proc.threads);
                reportGrowth(sampler.samples(), churnStart, warmupSeconds, workers);
            }
            std::printf("\nidle sessions: %d open at the end, %d closed by the device, %llu keep-alives "
                        "sent, %llu unexpected bytes received\n",
                        idle->open(), idle->dropped(), static_cast<unsigned long long>(idle->keepalives()),
                        static_cast<unsigned long long>(idle->unexpectedBytes()));
            if (streaming)
                std::printf("streams: %d alive at the end, %llu frames, %llu lost\n", streaming->alive(),
                            static_cast<unsigned long long>(streaming->frames()),
                            static_cast<unsigned long long>(streaming->lost()));
            failures.print();
            std::fflush(stdout);
            streaming.reset();
            idle.reset();
        }
    }
    summariseLog(logPath);
    std::error_code ec;
    std::filesystem::remove_all(tmpl, ec);
    if (g_interrupted.load()) std::printf("interrupted\n");
    return status;
}
