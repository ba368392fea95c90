/*
 * stream_bench.cpp - live video throughput over TCP, against the physical
 * reference of the same machine.
 *
 * Starts recnet-device with the synthetic source (64 KiB frames, produced as
 * fast as readers take them) on a free base port, then for K clients (1 and
 * 8 by default) streams over TCP through the client library for a few seconds
 * and reports aggregate fragments/s and MB/s. In the same run it measures the
 * reference: K plain loopback TCP connections on which a sender writes
 * 1416-byte buffers with one write() each (the write pattern of the protocol,
 * with nothing else to do) and a receiver reads in large blocks.
 *
 *   stream_bench [--seconds S] [--clients K[,K...]] [--device PATH]
 *
 * Client i streams channel i (the device runs as many channels as the largest
 * K), so that every client has a ring and a producer of its own.
 */
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "bench_device.h"
#include "errors.h"
#include "fd.h"
#include "stream.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr size_t FRAME_SIZE = 65536;
constexpr size_t WRITE_SIZE = 1416;
constexpr int DEVICE_SNDBUF = 0x80000;  // what the device's TCP sender sets

double secondsSince(Clock::time_point t) {
    return std::chrono::duration<double>(Clock::now() - t).count();
}

/* Lets a group of worker threads run or pause; the main thread switches it.
 * A paused group sleeps, so that the other group has the machine. */
class Gate {
public:
    void open() {
        open_.store(true);
        open_.notify_all();
    }
    void close() { open_.store(false); }
    void end() {
        ended_.store(true);
        open();
    }
    // Waits while closed; false once the group should end. Called for every
    // send of the reference, so the open gate costs two loads: libstdc++'s
    // wait() registers a waiter (a shared counter) even when it need not wait.
    bool pass() {
        if (!open_.load()) open_.wait(false);
        return !ended_.load();
    }

private:
    std::atomic<bool> open_{false};
    std::atomic<bool> ended_{false};
};

/* Counters a worker publishes and the main thread reads between slices. */
struct Counters {
    std::atomic<uint64_t> bytes{0};      // bytes on the wire, 10^6 per MB
    std::atomic<uint64_t> fragments{0};
    std::atomic<uint64_t> lost{0};
};

struct Totals {
    uint64_t bytes = 0, fragments = 0, lost = 0;
    Totals operator-(const Totals& o) const { return {bytes - o.bytes, fragments - o.fragments, lost - o.lost}; }
};

Totals sum(const std::vector<std::unique_ptr<Counters>>& counters) {
    Totals t;
    for (const auto& c : counters) {
        t.bytes += c->bytes.load();
        t.fragments += c->fragments.load();
        t.lost += c->lost.load();
    }
    return t;
}

/* One side of the comparison: K workers behind a gate, with counters. */
class Side {
public:
    virtual ~Side() = default;
    virtual bool ready() const = 0;
    Gate gate;
    std::vector<std::unique_ptr<Counters>> counters;

    /* Runs one slice: opens the gate, lets the flow settle, counts for
     * `seconds`, closes the gate. Returns the counts and the time taken. */
    Totals slice(double seconds, double& elapsed) {
        gate.open();
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        Totals before = sum(counters);
        auto t0 = Clock::now();
        std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
        Totals after = sum(counters);
        elapsed = secondsSince(t0);
        gate.close();
        // Workers finish their current call before they wait at the gate.
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        return after - before;
    }
};

/* K clients of the device, each on its own channel, receiving through the
 * client library. A paused client stops reading; the device's senders then
 * block on full sockets and use no processor. */
class DeviceClients : public Side {
public:
    DeviceClients(uint16_t port, int clients) {
        errors_.resize(clients);
        for (int i = 0; i < clients; ++i) counters.push_back(std::make_unique<Counters>());
        for (int i = 0; i < clients; ++i) {
            threads_.emplace_back([this, port, i] {
                try {
                    recnet::StreamOptions o;
                    o.port = port;
                    o.channel = i;
                    recnet::StreamClient client(o);
                    Counters& c = *counters[i];
                    recnet::FrameAssembler assembler([&c](const recnet::FrameView& f) {
                        c.bytes.fetch_add(f.dataLength + wire::FRAME_HEADER_SIZE,
                                          std::memory_order_relaxed);
                    });
                    started_.fetch_add(1);
                    uint64_t fragments = 0, lost = 0;
                    while (gate.pass()) {
                        if (!client.receive(recnet::Duration(100), assembler))
                            throw std::runtime_error("stream ended");
                        const auto& s = assembler.stats();
                        c.bytes.fetch_add((s.fragments - fragments) * wire::FRAGMENT_HEADER_SIZE,
                                          std::memory_order_relaxed);
                        c.fragments.fetch_add(s.fragments - fragments, std::memory_order_relaxed);
                        c.lost.fetch_add(s.lost - lost, std::memory_order_relaxed);
                        fragments = s.fragments;
                        lost = s.lost;
                    }
                } catch (const std::exception& e) {
                    std::lock_guard<std::mutex> lock(errorsMutex_);
                    errors_[i] = e.what();
                    started_.fetch_add(1);
                }
            });
        }
        while (started_.load() < clients) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ~DeviceClients() override {
        gate.end();
        for (auto& t : threads_) t.join();
        // The workers have ended: no lock needed.
        for (size_t i = 0; i < errors_.size(); ++i)
            if (!errors_[i].empty()) std::fprintf(stderr, "client %zu: %s\n", i, errors_[i].c_str());
    }
    bool ready() const override {
        std::lock_guard<std::mutex> lock(errorsMutex_);
        for (const auto& e : errors_)
            if (!e.empty()) return false;
        return true;
    }

private:
    std::vector<std::thread> threads_;
    std::atomic<int> started_{0};    // clients that are streaming or have failed
    mutable std::mutex errorsMutex_;
    std::vector<std::string> errors_;  // client i's failure, under errorsMutex_
};

/* K loopback connections: a sender writes 1416-byte buffers with one send()
 * each, a receiver reads in 1 MiB blocks. A paused sender stops writing. */
class ReferencePairs : public Side {
public:
    explicit ReferencePairs(int pairs) {
        recnet::Fd listener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (::bind(listener.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
            ::listen(listener.get(), pairs) != 0 ||
            ::getsockname(listener.get(), reinterpret_cast<sockaddr*>(&a), &len) != 0) {
            std::perror("reference listener");
            return;
        }
        for (int i = 0; i < pairs; ++i) {
            recnet::Fd c(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
            if (::connect(c.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
                std::perror("reference connect");
                return;
            }
            recnet::Fd s(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
            ::setsockopt(s.get(), SOL_SOCKET, SO_SNDBUF, &DEVICE_SNDBUF, sizeof DEVICE_SNDBUF);
            senders_.push_back(std::move(s));
            receivers_.push_back(std::move(c));
            counters.push_back(std::make_unique<Counters>());
        }
        for (int i = 0; i < pairs; ++i) {
            threads_.emplace_back([this, i] {
                uint8_t buf[WRITE_SIZE];
                std::memset(buf, 0x5a, sizeof buf);
                while (gate.pass())
                    if (::send(senders_[i].get(), buf, sizeof buf, MSG_NOSIGNAL) != sizeof buf) break;
                ::shutdown(senders_[i].get(), SHUT_WR);
            });
            threads_.emplace_back([this, i] {
                std::vector<uint8_t> buf(1 << 20);
                for (;;) {
                    ssize_t n = ::recv(receivers_[i].get(), buf.data(), buf.size(), 0);
                    if (n <= 0) break;
                    counters[i]->bytes.fetch_add(static_cast<uint64_t>(n), std::memory_order_relaxed);
                }
            });
        }
        ready_ = true;
    }
    ~ReferencePairs() override {
        gate.end();
        for (auto& t : threads_) t.join();
    }
    bool ready() const override { return ready_; }

private:
    std::vector<recnet::Fd> senders_, receivers_;
    std::vector<std::thread> threads_;
    bool ready_ = false;
};

struct Comparison {
    double deviceMBs = 0, referenceMBs = 0, fragmentsPerSecond = 0;
    double lowest = 0, highest = 0;  // ratio of the worst and the best round
    uint64_t lost = 0;
};

/* Alternates slices of the device and of the reference, `rounds` times, so
 * that a change in the machine's load touches both alike. */
bool compare(uint16_t port, int clients, double seconds, int rounds, Comparison& out) {
    DeviceClients device(port, clients);
    ReferencePairs reference(clients);
    if (!device.ready() || !reference.ready()) return false;
    double deviceTime = 0, referenceTime = 0;
    Totals deviceTotal, referenceTotal;
    out.lowest = 1e9;
    for (int r = 0; r < rounds; ++r) {
        double dt = 0, rt = 0;
        Totals d = device.slice(seconds, dt);
        Totals ref = reference.slice(seconds, rt);
        if (!device.ready()) return false;
        deviceTime += dt;
        referenceTime += rt;
        deviceTotal.bytes += d.bytes;
        deviceTotal.fragments += d.fragments;
        deviceTotal.lost += d.lost;
        referenceTotal.bytes += ref.bytes;
        double ratio = ref.bytes > 0 ? (d.bytes / dt) / (ref.bytes / rt) : 0;
        out.lowest = std::min(out.lowest, ratio);
        out.highest = std::max(out.highest, ratio);
    }
    out.deviceMBs = deviceTotal.bytes / deviceTime / 1e6;
    out.referenceMBs = referenceTotal.bytes / referenceTime / 1e6;
    out.fragmentsPerSecond = deviceTotal.fragments / deviceTime;
    out.lost = deviceTotal.lost;
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    double seconds = 1;
    int rounds = 5;
    std::vector<int> counts = {1, 8};
    std::string device = RECNET_DEVICE_PATH;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--seconds" && i + 1 < argc) {
            seconds = std::atof(argv[++i]);
        } else if (a == "--rounds" && i + 1 < argc) {
            rounds = std::atoi(argv[++i]);
        } else if (a == "--clients" && i + 1 < argc) {
            counts.clear();
            std::string list = argv[++i];
            for (size_t p = 0; p < list.size();) {
                size_t q = list.find(',', p);
                if (q == std::string::npos) q = list.size();
                counts.push_back(std::atoi(list.substr(p, q - p).c_str()));
                p = q + 1;
            }
        } else if (a == "--device" && i + 1 < argc) {
            device = argv[++i];
        } else {
            std::fprintf(stderr, "usage: stream_bench [--seconds S] [--rounds N] [--clients K[,K...]] [--device PATH]\n");
            return 2;
        }
    }
    int maxClients = 1;
    for (int k : counts) {
        if (k < 1 || k > 32 || !(seconds > 0 && seconds <= 5) || rounds < 1 || rounds > 100) {
            std::fprintf(stderr, "stream_bench: clients 1..32, seconds above 0 up to 5, rounds 1..100\n");
            return 2;
        }
        maxClients = std::max(maxClients, k);
    }
    ::signal(SIGPIPE, SIG_IGN);

    uint16_t port = bench::pickBasePort();
    const std::string tmpl = bench::makeTempDir("stream-bench");
    if (port == 0 || tmpl.empty()) {
        std::fprintf(stderr, "stream_bench: no free port or temporary directory\n");
        return 1;
    }
    int status = 0;
    {
        bench::DeviceProcess dev(device, {"--base-port", std::to_string(port), "--state", tmpl,
                                          "--channels", std::to_string(maxClients), "--source",
                                          "synthetic", "--frame-size", std::to_string(FRAME_SIZE),
                                          "--fps", "0"},
                                 tmpl + "/device.log");
        if (!dev.waitReady(15000)) {
            std::fprintf(stderr, "stream_bench: %s did not start %s\n", device.c_str(),
                         dev.exitText().c_str());
            status = 1;
        } else {
            std::printf("TCP live video, %zu-byte synthetic frames, %d rounds of %.1f s against the "
                        "reference, base port %u\n", FRAME_SIZE, rounds, seconds, port);
            std::printf("%8s %12s %9s %7s %15s %8s %13s %6s\n", "clients", "fragments/s", "MB/s",
                        "Gbit/s", "reference MB/s", "ratio", "rounds", "lost");
            for (int k : counts) {
                Comparison c;
                if (!compare(port, k, seconds, rounds, c)) {
                    std::fprintf(stderr, "stream_bench: the run with %d clients failed\n", k);
                    status = 1;
                    break;
                }
                double ratio = c.referenceMBs > 0 ? c.deviceMBs / c.referenceMBs : 0;
                std::printf("%8d %12.0f %9.1f %7.2f %15.1f %7.1f%% %5.0f%%..%3.0f%% %6llu\n", k,
                            c.fragmentsPerSecond, c.deviceMBs, c.deviceMBs * 8 / 1000, c.referenceMBs,
                            ratio * 100, c.lowest * 100, c.highest * 100,
                            static_cast<unsigned long long>(c.lost));
                std::fflush(stdout);
            }
        }
    }
    std::error_code ec;
    std::filesystem::remove_all(tmpl, ec);
    return status;
}
