/*
 * stop_bench.cpp - how long st_net_stopNetServer takes with many sessions.
 *
 *   stop_bench [--idle N] [--streaming M] [--repeat R] [--channels C]
 *              [--frame-size BYTES] [--fps F] [--module-output]
 *
 * In process: the module's code against the tests' fake host. Each round
 * starts the module on a free base port, opens N logged-in command sessions
 * that stay idle and M sessions that each stream channel i % C over TCP (a
 * data connection on base port + 1), while a producer pushes a frame of
 * every channel F times a second into the fake host's pool; one poll loop
 * reads and discards everything the streaming sessions receive. Once every
 * stream has delivered bytes (or a settle time has passed) it times
 * st_net_stopNetServer() with steady_clock, then checks that every client
 * connection was closed by the stop. R rounds, each on a fresh start; prints
 * each figure and the median.
 *
 * The module's diagnostic lines (one or more per session at the stop) go to
 * /dev/null unless --module-output is given; the figures go to the original
 * standard output.
 */
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "bench_device.h"
#include "fake_host.h"
#include "fake_host_stream.h"
#include "net.h"
#include "netserver/netserver.h"
#include "netserver/wire.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr int IO_TIMEOUT_MS = 5000;
constexpr int SETTLE_LIMIT_MS = 10000;
constexpr int KEEPALIVE_MS = 5000;  // the module ends sessions silent for 15 s
constexpr uint8_t FRAME_KEY = 1;
constexpr uint8_t FRAME_OTHER = 2;
constexpr size_t START_REQUEST_SIZE = 28;

double msSince(Clock::time_point t) {
    return std::chrono::duration<double, std::milli>(Clock::now() - t).count();
}

std::vector<uint8_t> header(uint16_t type, uint32_t length) {
    std::vector<uint8_t> h(wire::HEADER_SIZE, 0);
    wire::putU32(h.data(), wire::HDR_MAGIC, wire::MSG_MAGIC);
    wire::putU16(h.data(), wire::HDR_TYPE, type);
    wire::putU32(h.data(), wire::HDR_LENGTH, length);
    return h;
}

/* One blocking client socket with bounded reads and writes. */
class Socket {
public:
    Socket() = default;
    Socket(Socket&& o) noexcept : fd_(o.fd_) { o.fd_ = -1; }
    Socket& operator=(Socket&& o) noexcept {
        std::swap(fd_, o.fd_);
        return *this;
    }
    ~Socket() { close(); }
    void connect(uint16_t port) {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd_ < 0) throw std::runtime_error(std::string("socket: ") + std::strerror(errno));
        timeval t{IO_TIMEOUT_MS / 1000, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &t, sizeof t);
        ::setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &t, sizeof t);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
            throw std::runtime_error(std::string("connect: ") + std::strerror(errno));
    }
    void send(const std::vector<uint8_t>& bytes) {
        size_t done = 0;
        while (done < bytes.size()) {
            ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
            if (n <= 0) throw std::runtime_error(std::string("send: ") + std::strerror(errno));
            done += static_cast<size_t>(n);
        }
    }
    std::vector<uint8_t> recv(size_t size) {
        std::vector<uint8_t> b(size);
        size_t done = 0;
        while (done < size) {
            ssize_t n = ::recv(fd_, b.data() + done, size - done, 0);
            if (n == 0) throw std::runtime_error("closed by the server");
            if (n < 0) throw std::runtime_error(std::string("recv: ") + std::strerror(errno));
            done += static_cast<size_t>(n);
        }
        return b;
    }
    /* One framed message. */
    std::vector<uint8_t> recvMessage() {
        std::vector<uint8_t> m = recv(wire::HEADER_SIZE);
        uint32_t length = wire::getU32(m.data(), wire::HDR_LENGTH);
        if (length > wire::MAX_PAYLOAD) throw std::runtime_error("answer too long");
        if (length > 0) {
            std::vector<uint8_t> p = recv(length);
            m.insert(m.end(), p.begin(), p.end());
        }
        return m;
    }
    int fd() const { return fd_; }
    void close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

private:
    int fd_ = -1;
};

/* Logs in; returns the session id. */
uint32_t login(Socket& s) {
    std::vector<uint8_t> m = header(wire::MSG_LOGIN, wire::LOGIN_REQUEST_SIZE);
    testnet::Bytes record = testnet::loginRecord("admin", "admin");
    m.insert(m.end(), record.begin(), record.end());
    s.send(m);
    std::vector<uint8_t> answer = s.recvMessage();
    if (wire::getU16(answer.data(), wire::HDR_TYPE) != wire::MSG_LOGIN ||
        wire::getU8(answer.data(), wire::HDR_STATUS) != wire::STATUS_OK)
        throw std::runtime_error("login refused");
    std::vector<uint8_t> id = s.recvMessage();
    if (wire::getU16(id.data(), wire::HDR_TYPE) != wire::MSG_SESSION_ID || id.size() < 20)
        throw std::runtime_error("no session id");
    return wire::getU32(id.data(), wire::HEADER_SIZE);
}

struct Streamer {
    Socket command, data;
    std::atomic<uint64_t> bytes{0};  // received on the data connection after the handshake
};

/* Starts a TCP stream of `channel` on a logged-in session: the start request,
 * then the data connection's handshake. */
void startStream(Streamer& st, uint16_t port, uint32_t sessionId, int channel) {
    std::vector<uint8_t> m = header(wire::MSG_START_STREAM, START_REQUEST_SIZE);
    std::vector<uint8_t> req(START_REQUEST_SIZE, 0);
    wire::putI32(req.data(), wire::START_CHANNEL, channel);
    wire::putU32(req.data(), wire::START_TRANSPORT, wire::TRANSPORT_TCP);
    wire::putU8(req.data(), wire::START_KIND, 0);
    m.insert(m.end(), req.begin(), req.end());
    st.command.send(m);
    std::vector<uint8_t> answer = st.command.recvMessage();
    if (wire::getU16(answer.data(), wire::HDR_TYPE) != wire::MSG_START_STREAM)
        throw std::runtime_error("no answer to the stream start");

    st.data.connect(static_cast<uint16_t>(port + wire::DATA_PORT_OFFSET));
    std::vector<uint8_t> bind = header(0, 4);
    bind.resize(wire::HEADER_SIZE + 4);
    wire::putU32(bind.data(), wire::HEADER_SIZE, sessionId);
    st.data.send(bind);
    st.data.recv(wire::HEADER_SIZE);
    std::vector<uint8_t> sub = header(0, 8);
    sub.resize(wire::HEADER_SIZE + 8);
    wire::putU32(sub.data(), wire::HEADER_SIZE, static_cast<uint32_t>(channel));
    wire::putU8(sub.data(), wire::HEADER_SIZE + 4, 0);
    st.data.send(sub);
    st.data.recv(wire::HEADER_SIZE + 8);
}

/* Pushes a frame of every channel `fps` times a second (a key frame each
 * second) until stopped. */
class Producer {
public:
    Producer(int channels, int fps, uint32_t frameSize) {
        thread_ = std::thread([=, this] {
            const auto period = std::chrono::microseconds(1000000 / std::max(fps, 1));
            auto next = Clock::now();
            for (long n = 0; !stop_.load() && n < 10000000; ++n) {
                for (int c = 0; c < channels; ++c)
                    fake_host::pushFrame(c, 0, n % std::max(fps, 1) == 0 ? FRAME_KEY : FRAME_OTHER, frameSize,
                                         static_cast<uint8_t>(n));
                next += period;
                std::this_thread::sleep_until(next);
            }
        });
    }
    ~Producer() {
        stop_.store(true);
        thread_.join();
    }

private:
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

/* One poll loop that reads and discards what every streaming session gets. */
class Reader {
public:
    explicit Reader(std::vector<Streamer>& streamers) : streamers_(streamers) {
        thread_ = std::thread([this] { run(); });
    }
    ~Reader() {
        stop_.store(true);
        thread_.join();
    }

private:
    void run() {
        std::vector<pollfd> fds;
        for (auto& s : streamers_) {
            fds.push_back({s.data.fd(), POLLIN, 0});
            fds.push_back({s.command.fd(), POLLIN, 0});
        }
        std::vector<uint8_t> buf(1 << 16);
        while (!stop_.load()) {
            if (::poll(fds.data(), fds.size(), 50) <= 0) continue;
            for (size_t k = 0; k < fds.size(); ++k) {
                if (fds[k].fd < 0 || fds[k].revents == 0) continue;
                ssize_t n = ::recv(fds[k].fd, buf.data(), buf.size(), MSG_DONTWAIT);
                if (n > 0 && k % 2 == 0) streamers_[k / 2].bytes.fetch_add(static_cast<uint64_t>(n));
                if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)) fds[k].fd = -1;
            }
        }
    }

    std::vector<Streamer>& streamers_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

void keepAlive(std::vector<Socket>& idle, std::vector<Streamer>& streamers) {
    const std::vector<uint8_t> k = header(wire::MSG_KEEPALIVE, 0);
    for (auto& s : idle) s.send(k);
    for (auto& s : streamers) s.command.send(k);
}

/* Counts the sockets on which the server's close shows (EOF or reset) within
 * `ms`; what arrived before is read and dropped. */
int countClosed(std::vector<int> fds, int ms) {
    int closed = 0;
    auto deadline = Clock::now() + milliseconds(ms);
    std::vector<uint8_t> buf(1 << 16);
    while (!fds.empty() && Clock::now() < deadline) {
        std::vector<pollfd> p;
        for (int fd : fds) p.push_back({fd, POLLIN, 0});
        if (::poll(p.data(), p.size(), 50) <= 0) continue;
        std::vector<int> left;
        for (const auto& e : p) {
            bool gone = false;
            if (e.revents != 0) {
                for (int i = 0; i < 64; ++i) {
                    ssize_t n = ::recv(e.fd, buf.data(), buf.size(), MSG_DONTWAIT);
                    if (n > 0) continue;
                    gone = n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK);
                    break;
                }
            }
            if (gone)
                ++closed;
            else
                left.push_back(e.fd);
        }
        fds.swap(left);
    }
    return closed;
}

struct Round {
    bool ok = false;
    double stopMs = 0, openMs = 0;
    int idle = 0, streaming = 0, flowing = 0, closedAfter = 0, expectedClosed = 0;
    std::string error;
};

Round runRound(int idleCount, int streamingCount, int channels, int fps, uint32_t frameSize) {
    Round r;
    fake_host::reset();
    fake_host::setChannels(static_cast<uint8_t>(channels));
    uint16_t port = testnet::pickBasePort();
    fake_host::setBasePort(port);
    if (port == 0 || st_net_startNetServer() != 0) {
        r.error = "the module did not start";
        st_net_stopNetServer();
        return r;
    }
    bool stopped = false;
    std::vector<Socket> idle;
    std::vector<Streamer> streamers(static_cast<size_t>(streamingCount));
    try {
        // The listener binds on its own thread: wait until it accepts.
        for (int i = 0;; ++i) {
            Socket probe;
            try {
                probe.connect(port);
                break;
            } catch (const std::exception&) {
                if (i >= 300) throw;
                std::this_thread::sleep_for(milliseconds(10));
            }
        }
        auto t0 = Clock::now();
        auto lastKeepalive = Clock::now();
        idle.reserve(static_cast<size_t>(idleCount));
        for (int i = 0; i < idleCount; ++i) {
            Socket s;
            s.connect(port);
            login(s);
            idle.push_back(std::move(s));
            if (msSince(lastKeepalive) > KEEPALIVE_MS) {
                for (auto& x : idle) x.send(header(wire::MSG_KEEPALIVE, 0));
                lastKeepalive = Clock::now();
            }
        }
        r.idle = static_cast<int>(idle.size());
        Producer producer(channels, fps, frameSize);
        for (int i = 0; i < streamingCount; ++i) {
            Streamer& st = streamers[static_cast<size_t>(i)];
            st.command.connect(port);
            uint32_t id = login(st.command);
            startStream(st, port, id, i % channels);
            ++r.streaming;
        }
        r.openMs = msSince(t0);
        {
            Reader reader(streamers);
            keepAlive(idle, streamers);
            // Settle: every stream has delivered bytes, or the limit is reached.
            auto settleStart = Clock::now();
            for (;;) {
                r.flowing = 0;
                for (auto& s : streamers) r.flowing += s.bytes.load() > 0 ? 1 : 0;
                if (r.flowing == streamingCount || msSince(settleStart) > SETTLE_LIMIT_MS) break;
                std::this_thread::sleep_for(milliseconds(20));
            }
            std::this_thread::sleep_for(milliseconds(500));  // a steady flow, not its first frame

            auto t = Clock::now();
            st_net_stopNetServer();
            r.stopMs = msSince(t);
            stopped = true;
        }
        // Did the stop close every connection it had?
        std::vector<int> fds;
        for (auto& s : idle) fds.push_back(s.fd());
        for (auto& s : streamers) {
            fds.push_back(s.command.fd());
            fds.push_back(s.data.fd());
        }
        r.expectedClosed = static_cast<int>(fds.size());
        r.closedAfter = countClosed(fds, 2000);
        r.ok = true;
    } catch (const std::exception& e) {
        r.error = e.what();
    }
    if (!stopped) st_net_stopNetServer();
    return r;
}

}  // namespace

int main(int argc, char** argv) {
    int idleCount = 1000, streamingCount = 50, repeat = 3, channels = 4, fps = 25, frameSize = 16384;
    bool moduleOutput = false;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        bool ok = true;
        if (a == "--idle") ok = bench::intArg(argc, argv, i, 0, 5000, idleCount);
        else if (a == "--streaming") ok = bench::intArg(argc, argv, i, 0, 1000, streamingCount);
        else if (a == "--repeat") ok = bench::intArg(argc, argv, i, 1, 50, repeat);
        else if (a == "--channels") ok = bench::intArg(argc, argv, i, 1, 255, channels);
        else if (a == "--fps") ok = bench::intArg(argc, argv, i, 1, 1000, fps);
        else if (a == "--frame-size") ok = bench::intArg(argc, argv, i, 0, 0x100000 - 32, frameSize);
        else if (a == "--module-output") moduleOutput = true;
        else ok = false;
        if (!ok) {
            std::fprintf(stderr, "usage: stop_bench [--idle N] [--streaming M] [--repeat R] [--channels C]"
                                 " [--frame-size BYTES] [--fps F] [--module-output]\n");
            return 2;
        }
    }
    std::signal(SIGPIPE, SIG_IGN);
    // Our figures on a stream of their own; the module's lines go away.
    FILE* out = stdout;
    if (!moduleOutput) {
        int devnull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
        FILE* own = ::fdopen(::dup(1), "w");
        if (devnull >= 0 && own != nullptr) {
            std::fflush(out);
            ::dup2(devnull, 1);
            ::dup2(devnull, 2);
            out = own;
        }
    }
    const unsigned long long limit = bench::raiseDescriptorLimit();
    const long needed = 2L * idleCount + 4L * streamingCount + 64;
    if (limit < static_cast<unsigned long long>(needed)) {
        std::fprintf(out, "stop_bench: %ld descriptors needed, the limit is %llu\n", needed, limit);
        std::fflush(out);
        return 1;
    }
    std::fprintf(out, "st_net_stopNetServer with %d idle sessions and %d TCP streams (%d channels, %d-byte "
                "frames at %d fps)\n", idleCount, streamingCount, channels, frameSize, fps);
    std::fprintf(out, "%6s %10s %8s %10s %8s %12s %10s\n", "round", "stop ms", "idle", "streaming", "flowing",
                "closed", "open ms");
    std::vector<double> figures;
    int status = 0;
    for (int k = 0; k < repeat; ++k) {
        Round r = runRound(idleCount, streamingCount, channels, fps, static_cast<uint32_t>(frameSize));
        if (!r.ok) {
            std::fprintf(out, "%6d FAILED: %s\n", k + 1, r.error.c_str());
            status = 1;
            continue;
        }
        figures.push_back(r.stopMs);
        std::fprintf(out, "%6d %10.1f %8d %10d %8d %6d/%-5d %10.0f\n", k + 1, r.stopMs, r.idle, r.streaming,
                    r.flowing, r.closedAfter, r.expectedClosed, r.openMs);
        std::fflush(out);
        if (r.closedAfter != r.expectedClosed) status = 1;
    }
    if (!figures.empty()) {
        std::vector<double> f = figures;
        std::sort(f.begin(), f.end());
        double median = f.size() % 2 ? f[f.size() / 2] : (f[f.size() / 2 - 1] + f[f.size() / 2]) / 2;
        std::fprintf(out, "median %.1f ms over %zu rounds (target under 1000 ms: %s)\n", median, f.size(),
                    median < 1000 ? "met" : "MISSED");
    }
    std::fflush(out);
    return status;
}
