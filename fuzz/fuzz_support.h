/*
 * fuzz_support.h - what the module's fuzz targets share: one started module
 * against the fake host, socket pairs, a thread that drains what the module
 * answers and a thread that feeds it the client's bytes.
 *
 * Every helper is bounded in time: the drain ends at end of file, the feeder
 * shuts its write side down when it is done, and every socket carries receive
 * and send time-outs as a last resort against a stuck run.
 */
#ifndef RECNET_FUZZ_SUPPORT_H
#define RECNET_FUZZ_SUPPORT_H

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "handlers/login.h"
#include "handlers/maintenance_state.h"
#include "fake_host.h"
#include "fake_host_handlers.h"
#include "netserver/netserver.h"
#include "netserver/wire.h"

namespace fuzz {

/* Reads the input front to back; missing bytes read as zero. */
class Input {
public:
    Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    uint8_t u8() { return pos_ < size_ ? data_[pos_++] : 0; }
    uint16_t u16() {
        uint16_t lo = u8();
        return static_cast<uint16_t>(lo | (u8() << 8));
    }
    uint32_t u32() {
        uint32_t lo = u16();
        return lo | (static_cast<uint32_t>(u16()) << 16);
    }
    size_t left() const { return size_ - pos_; }
    const uint8_t* rest() const { return data_ + pos_; }
    // Takes up to `n` bytes.
    std::vector<uint8_t> take(size_t n) {
        if (n > left()) n = left();
        std::vector<uint8_t> out(data_ + pos_, data_ + pos_ + n);
        pos_ += n;
        return out;
    }

private:
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
};

inline void setTimeouts(int fd, int seconds) {
    timeval t{seconds, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &t, sizeof t);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &t, sizeof t);
}

/* A connected stream socket pair: [0] is the module's end, [1] the client's.
 * The client's end gives up after 30 s, far beyond any sane run. */
struct Pair {
    int fd[2] = {-1, -1};
    Pair() {
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fd) != 0) {
            perror("socketpair");
            std::abort();
        }
        setTimeouts(fd[1], 30);
    }
    ~Pair() {
        for (int f : fd)
            if (f >= 0) close(f);
    }
    Pair(const Pair&) = delete;
    Pair& operator=(const Pair&) = delete;
};

/* Reads and discards everything that arrives on `fd` until end of file or
 * an error; counts the bytes. */
class Drain {
public:
    explicit Drain(int fd) : thread_([this, fd] { run(fd); }) {}
    ~Drain() { join(); }
    void join() {
        if (thread_.joinable()) thread_.join();
    }
    bool ended() const { return ended_.load(); }
    size_t bytes() const { return bytes_.load(); }

private:
    void run(int fd) {
        uint8_t buf[16384];
        for (;;) {
            ssize_t n = recv(fd, buf, sizeof buf, 0);
            if (n > 0) {
                bytes_ += static_cast<size_t>(n);
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            break;
        }
        ended_ = true;
    }
    std::atomic<bool> ended_{false};
    std::atomic<size_t> bytes_{0};
    std::thread thread_;
};

/* Writes `bytes` to `fd` in pieces of the given sizes (used in turn; one
 * piece when there are none), then shuts the write side down. */
class Feeder {
public:
    Feeder(int fd, std::vector<uint8_t> bytes, std::vector<size_t> pieces)
        : bytes_(std::move(bytes)), pieces_(std::move(pieces)),
          thread_([this, fd] { run(fd); }) {}
    ~Feeder() { join(); }
    void join() {
        if (thread_.joinable()) thread_.join();
    }

private:
    void run(int fd) {
        size_t done = 0, turn = 0;
        while (done < bytes_.size()) {
            size_t n = bytes_.size() - done;
            if (!pieces_.empty()) {
                size_t piece = pieces_[turn++ % pieces_.size()];
                if (piece < n) n = piece;
            }
            ssize_t w = send(fd, bytes_.data() + done, n, MSG_NOSIGNAL);
            if (w < 0) {
                if (errno == EINTR) continue;
                break;  // the module closed its end
            }
            done += static_cast<size_t>(w);
            // Gives the reader a chance to see this piece alone.
            if (!pieces_.empty()) std::this_thread::yield();
        }
        shutdown(fd, SHUT_WR);
    }
    std::vector<uint8_t> bytes_;
    std::vector<size_t> pieces_;
    std::thread thread_;
};

/* A base port whose command and data ports (TCP) and responder port (UDP)
 * are free on this host right now. */
inline uint16_t freeBasePort() {
    for (int attempt = 0; attempt < 200; ++attempt) {
        uint16_t base = static_cast<uint16_t>(20000 + (std::rand() % 40000));
        bool ok = true;
        const int kinds[3][2] = {{SOCK_STREAM, 0}, {SOCK_STREAM, 1}, {SOCK_DGRAM, 4}};
        for (const auto& k : kinds) {
            int fd = socket(AF_INET, k[0] | SOCK_CLOEXEC, 0);
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_addr.s_addr = htonl(INADDR_ANY);
            a.sin_port = htons(static_cast<uint16_t>(base + k[1]));
            if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) ok = false;
            if (fd >= 0) close(fd);
            if (!ok) break;
        }
        if (ok) return base;
    }
    std::fprintf(stderr, "fuzz: no free base port\n");
    std::abort();
}

/* The fake host as every run starts from: its defaults, with a format that
 * is always finished (so that no watcher polls forever). Called before each
 * run so that its call records never pile up. */
inline void resetHost() {
    fake_host::reset();
    // Failed logins of earlier runs would slow this run's logins down.
    login_throttle_reset();
    fake_host::handlers::setResult("st_app_getFormatPercent", 100);
}

/* Waits (at most 2 s) until the partitioning and format workers that a run
 * started have ended, so that none runs into the next input. */
inline void waitForMaintenanceWorkers() {
    for (int i = 0; i < 2000 && maintenance_workers_running() != 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (maintenance_workers_running() == 0) maintenance_workers_join();
}

/* Starts the module once per process on a free base port. */
inline void startModuleOnce() {
    static bool started = [] {
        std::srand(static_cast<unsigned>(getpid()));
        resetHost();
        fake_host::setBasePort(freeBasePort());
        if (st_net_startNetServer() != 0) {
            std::fprintf(stderr, "fuzz: the module did not start\n");
            std::abort();
        }
        return true;
    }();
    (void)started;
}

inline sockaddr_in loopbackPeer(uint16_t port = 40000) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    return a;
}

/* The known message types, for targets that pick one by index. */
inline const std::vector<uint16_t>& knownTypes() {
    static const std::vector<uint16_t> types = {
        wire::MSG_LOGIN, wire::MSG_LOGOUT, wire::MSG_START_STREAM, wire::MSG_STOP_STREAM,
        wire::MSG_UPDATE_PROGRESS, wire::MSG_PTZ_CONTROL, wire::MSG_DEFAULT_SETTING,
        wire::MSG_SESSION_ID, wire::MSG_KEEPALIVE, wire::MSG_TIME_INFO,
        wire::MSG_GET_COLLIERY_INFO, wire::MSG_SET_PARAM, wire::MSG_GET_PARAM,
        wire::MSG_RESET_VIDEO_CONFIG, wire::MSG_START_SESSION_THREAD, wire::MSG_SET_TIME,
        wire::MSG_GET_TIME, wire::MSG_GET_VERSION_INFO, wire::MSG_GET_HARDDISK_DATA,
        wire::MSG_GET_SYSTEM_STATUS_INFO, wire::MSG_GET_LOG_LIST, wire::MSG_DELETE_LOG,
        wire::MSG_SET_SESSION_FLAG, wire::MSG_GET_UPDATE_SYSTEM_INFO, wire::MSG_ECHO,
        wire::MSG_GET_USER_LIST, wire::MSG_ADD_USER, wire::MSG_DELETE_USER,
        wire::MSG_MODIFY_USER, wire::MSG_GET_FLAT_TYPE, wire::MSG_SET_POLL_CONFIG,
        wire::MSG_GET_AP_INFO, wire::MSG_SERIAL_SEND, wire::MSG_SERIAL_DATA,
        wire::MSG_FORCE_IFRAME, wire::MSG_SET_HAND_RECORD, wire::MSG_CLEAR_HAND_RECORD,
        wire::MSG_DELETE_RECORD_FILE, wire::MSG_REBOOT_SYSTEM, wire::MSG_RESUME_DEFAULT_PARAM,
        wire::MSG_FDISK_HD, wire::MSG_FORMAT_PART, wire::MSG_GET_FORMAT_PERCENT,
        wire::MSG_GET_FDISK_STATUS, wire::MSG_RESET_FACTORY_PARAM, wire::MSG_SET_VERSION_INFO,
        wire::MSG_INIT_CAMERA_INFO, wire::MSG_INIT_CAMERA_ITU, wire::MSG_RESET_3G_MODULE,
        wire::MSG_CMOS_DEFAULT, wire::MSG_3GCONFIG_DEFAULT,
    };
    return types;
}

}  // namespace fuzz

#endif
