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
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "errors.h"
#include "fd.h"
#include "stream.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
constexpr size_t FRAME_SIZE = 65536;
constexpr size_t WRITE_SIZE = 1416;
constexpr int DEVICE_SNDBUF = 0x80000;  // what the device's TCP sender sets

double secondsSince(Clock::time_point t) {
    return std::chrono::duration<double>(Clock::now() - t).count();
}

bool canBind(int type, uint16_t port) {
    recnet::Fd fd(::socket(AF_INET, type, 0));
    int one = 1;
    ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    return ::bind(fd.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
}

uint16_t pickBasePort() {
    std::mt19937 rng(std::random_device{}());
    std::uniform_int_distribution<int> dist(20000, 59000);
    for (int i = 0; i < 200; ++i) {
        auto base = static_cast<uint16_t>(dist(rng));
        if (canBind(SOCK_STREAM, base) && canBind(SOCK_STREAM, base + 1) &&
            canBind(SOCK_DGRAM, base + 4)) {
            return base;
        }
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
    /* Waits (bounded) for the "ready" line. */
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

private:
    pid_t pid_ = -1;
    recnet::Fd out_;
};

struct Result {
    double fragmentsPerSecond = 0;
    double mbPerSecond = 0;  // bytes on the wire (fragment headers included), 10^6 per MB
    uint64_t lost = 0;
};

/* K clients of the device, each on its own channel, for `seconds`. */
Result benchDevice(uint16_t port, int clients, double seconds) {
    std::atomic<bool> go{false}, stop{false};
    std::vector<uint64_t> fragments(clients, 0), bytes(clients, 0), lost(clients, 0);
    std::vector<std::string> errors(clients);
    std::atomic<int> started{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < clients; ++i) {
        threads.emplace_back([&, i] {
            try {
                recnet::StreamOptions o;
                o.port = port;
                o.channel = i;
                recnet::StreamClient client(o);
                uint64_t payload = 0;
                recnet::FrameAssembler assembler([&payload](const recnet::FrameView& f) {
                    payload += f.dataLength + recnet::STREAM_FRAME_HEADER_SIZE;
                });
                started.fetch_add(1);
                while (!go.load()) client.receive(recnet::Duration(10), assembler);
                // Counted from the common start.
                uint64_t f0 = assembler.stats().fragments, p0 = payload, l0 = assembler.stats().lost;
                while (!stop.load()) {
                    if (!client.receive(recnet::Duration(100), assembler)) {
                        errors[i] = "stream ended";
                        break;
                    }
                }
                fragments[i] = assembler.stats().fragments - f0;
                bytes[i] = payload - p0 + fragments[i] * recnet::FRAGMENT_HEADER_SIZE;
                lost[i] = assembler.stats().lost - l0;
            } catch (const std::exception& e) {
                errors[i] = e.what();
                started.fetch_add(1);
            }
        });
    }
    while (started.load() < clients) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));  // warm-up
    go = true;
    auto t0 = Clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    stop = true;
    double elapsed = secondsSince(t0);
    for (auto& t : threads) t.join();
    Result r;
    for (int i = 0; i < clients; ++i) {
        if (!errors[i].empty()) std::fprintf(stderr, "client %d: %s\n", i, errors[i].c_str());
        r.fragmentsPerSecond += fragments[i] / elapsed;
        r.mbPerSecond += bytes[i] / elapsed / 1e6;
        r.lost += lost[i];
    }
    return r;
}

/* K loopback connections: 1416-byte writes against large reads. */
Result benchReference(int pairs, double seconds) {
    recnet::Fd listener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (::bind(listener.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::listen(listener.get(), pairs) != 0 ||
        ::getsockname(listener.get(), reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        std::perror("reference listener");
        return {};
    }
    std::vector<recnet::Fd> senders, receivers;
    for (int i = 0; i < pairs; ++i) {
        recnet::Fd c(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        if (::connect(c.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
            std::perror("reference connect");
            return {};
        }
        recnet::Fd s(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
        ::setsockopt(s.get(), SOL_SOCKET, SO_SNDBUF, &DEVICE_SNDBUF, sizeof DEVICE_SNDBUF);
        timeval tv{1, 0};  // a sender blocked at the end wakes up
        ::setsockopt(s.get(), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
        ::setsockopt(c.get(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        senders.push_back(std::move(s));
        receivers.push_back(std::move(c));
    }
    std::atomic<bool> go{false}, stop{false};
    std::vector<uint64_t> received(pairs, 0);
    std::vector<std::thread> threads;
    for (int i = 0; i < pairs; ++i) {
        threads.emplace_back([&, i] {
            uint8_t buf[WRITE_SIZE];
            std::memset(buf, 0x5a, sizeof buf);
            while (!go.load()) std::this_thread::yield();
            while (!stop.load()) {
                if (::send(senders[i].get(), buf, sizeof buf, MSG_NOSIGNAL) != sizeof buf) break;
            }
        });
        threads.emplace_back([&, i] {
            std::vector<uint8_t> buf(1 << 20);
            while (!go.load()) std::this_thread::yield();
            while (!stop.load()) {
                ssize_t n = ::recv(receivers[i].get(), buf.data(), buf.size(), 0);
                if (n <= 0) break;
                received[i] += static_cast<uint64_t>(n);
            }
        });
    }
    go = true;
    auto t0 = Clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    // Read the counters first: what arrives after this instant is not counted.
    double elapsed = secondsSince(t0);
    uint64_t total = 0;
    stop = true;
    for (auto& t : threads) t.join();
    for (uint64_t r : received) total += r;
    Result r;
    r.mbPerSecond = total / elapsed / 1e6;
    r.fragmentsPerSecond = total / elapsed / WRITE_SIZE;
    return r;
}

}  // namespace

int main(int argc, char** argv) {
    double seconds = 5;
    std::vector<int> counts = {1, 8};
    std::string device = RECNET_DEVICE_PATH;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--seconds" && i + 1 < argc) {
            seconds = std::atof(argv[++i]);
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
            std::fprintf(stderr, "usage: stream_bench [--seconds S] [--clients K[,K...]] [--device PATH]\n");
            return 2;
        }
    }
    int maxClients = 1;
    for (int k : counts) {
        if (k < 1 || k > 32 || !(seconds > 0)) {
            std::fprintf(stderr, "stream_bench: clients 1..32 and seconds above 0\n");
            return 2;
        }
        maxClients = std::max(maxClients, k);
    }
    ::signal(SIGPIPE, SIG_IGN);

    uint16_t port = pickBasePort();
    std::string tmpl = (std::filesystem::temp_directory_path() / "stream-bench-XXXXXX").string();
    if (port == 0 || !::mkdtemp(tmpl.data())) {
        std::fprintf(stderr, "stream_bench: no free port or temporary directory\n");
        return 1;
    }
    int status = 0;
    {
        DeviceProcess dev(device, {"--base-port", std::to_string(port), "--state", tmpl,
                                   "--channels", std::to_string(maxClients), "--source",
                                   "synthetic", "--frame-size", std::to_string(FRAME_SIZE),
                                   "--fps", "0"});
        if (!dev.waitReady(15000)) {
            std::fprintf(stderr, "stream_bench: %s did not start\n", device.c_str());
            status = 1;
        } else {
            std::printf("TCP live video, %zu-byte synthetic frames, %.1f s per run, base port %u\n",
                        FRAME_SIZE, seconds, port);
            std::printf("%8s %14s %12s %12s %14s %8s %6s\n", "clients", "fragments/s", "MB/s",
                        "Gbit/s", "reference MB/s", "ratio", "lost");
            for (int k : counts) {
                Result d = benchDevice(port, k, seconds);
                Result ref = benchReference(k, seconds);
                double ratio = ref.mbPerSecond > 0 ? d.mbPerSecond / ref.mbPerSecond : 0;
                std::printf("%8d %14.0f %12.1f %12.2f %14.1f %7.0f%% %6llu\n", k,
                            d.fragmentsPerSecond, d.mbPerSecond, d.mbPerSecond * 8 / 1000,
                            ref.mbPerSecond, ratio * 100, static_cast<unsigned long long>(d.lost));
                std::fflush(stdout);
            }
        }
    }
    std::error_code ec;
    std::filesystem::remove_all(tmpl, ec);
    return status;
}
