/*
 * serial_ports.cpp - pseudo-terminal serial ports with receive rings.
 */
#include "serial_ports.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

namespace {

constexpr size_t kRingSize = 64 * 1024;

std::atomic<SerialPorts*> g_ports{nullptr};

bool speedOf(uint32_t baud, speed_t& out) {
    static const std::pair<uint32_t, speed_t> table[] = {
        {1200, B1200},   {2400, B2400},   {4800, B4800},   {9600, B9600},
        {19200, B19200}, {38400, B38400}, {57600, B57600}, {115200, B115200}, {230400, B230400}};
    for (const auto& [value, speed] : table)
        if (value == baud) {
            out = speed;
            return true;
        }
    return false;
}

}  // namespace

struct SerialPorts::Port {
    UniqueFd master;
    UniqueFd slave;  // held open so that the master never sees a hang-up
    std::string path;
    std::mutex mutex;
    std::condition_variable arrived;
    std::vector<uint8_t> ring = std::vector<uint8_t>(kRingSize);  // guarded by mutex
    uint32_t writePos = 0;                                        // guarded by mutex
    uint64_t broadcasts = 0;                                      // guarded by mutex
    std::mutex sendMutex;  // one writer at a time, so sends never interleave
    std::atomic<uint64_t> bytesIn{0};   // read from the terminal
    std::atomic<uint64_t> bytesOut{0};  // written to the terminal
    std::thread reader;
};

void setDeviceSerialPorts(SerialPorts* ports) { g_ports.store(ports, std::memory_order_release); }

SerialPorts* deviceSerialPorts() { return g_ports.load(std::memory_order_acquire); }

SerialPorts::SerialPorts() = default;

SerialPorts::~SerialPorts() { stop(); }

bool SerialPorts::open(int count, std::string& error) {
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
        error = std::string("cannot create a pipe: ") + std::strerror(errno);
        return false;
    }
    wakeRead_.reset(pipeFds[0]);
    wakeWrite_.reset(pipeFds[1]);
    for (int i = 0; i < count; ++i) {
        auto port = std::make_unique<Port>();
        port->master.reset(::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
        char name[128] = {};
        if (!port->master || ::grantpt(port->master.get()) != 0 || ::unlockpt(port->master.get()) != 0 ||
            ::ptsname_r(port->master.get(), name, sizeof name) != 0) {
            error = "cannot create serial port " + std::to_string(i) + ": " + std::strerror(errno);
            stop();
            return false;
        }
        port->path = name;
        port->slave.reset(::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC));
        if (!port->slave) {
            error = "cannot open " + port->path + ": " + std::strerror(errno);
            stop();
            return false;
        }
        ports_.push_back(std::move(port));
        configure(i, 9600, 0, 1, 8);
    }
    for (auto& port : ports_) {
        Port* p = port.get();
        p->reader = std::thread([this, p] { readLoop(*p); });
    }
    return true;
}

void SerialPorts::stop() {
    if (wakeWrite_) {
        const char byte = 1;
        // Never read back, so every reader's poll sees it.
        (void)!::write(wakeWrite_.get(), &byte, 1);
    }
    for (auto& port : ports_)
        if (port->reader.joinable()) port->reader.join();
    ports_.clear();
    wakeRead_.reset();
    wakeWrite_.reset();
}

void SerialPorts::readLoop(Port& port) {
    uint8_t buffer[4096];
    for (;;) {
        pollfd fds[2] = {{port.master.get(), POLLIN, 0}, {wakeRead_.get(), POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (fds[1].revents != 0) return;
        if ((fds[0].revents & POLLIN) == 0) {
            // Hang-up or error without data: do not spin on it.
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            continue;
        }
        const ssize_t n = ::read(port.master.get(), buffer, sizeof buffer);
        if (n <= 0) continue;
        {
            std::lock_guard<std::mutex> lock(port.mutex);
            for (ssize_t i = 0; i < n; ++i) port.ring[(port.writePos + static_cast<uint32_t>(i)) % kRingSize] = buffer[i];
            port.writePos += static_cast<uint32_t>(n);
        }
        port.bytesIn.fetch_add(static_cast<uint64_t>(n), std::memory_order_relaxed);
        port.arrived.notify_all();
    }
}

SerialPorts::Port* SerialPorts::find(int port) const {
    if (port < 0 || port >= count()) return nullptr;
    return ports_[static_cast<size_t>(port)].get();
}

SerialPorts::ByteCounts SerialPorts::bytes(int port) const {
    const Port* p = find(port);
    if (p == nullptr) return {};
    return {p->bytesIn.load(std::memory_order_relaxed), p->bytesOut.load(std::memory_order_relaxed)};
}

std::string SerialPorts::path(int port) const {
    const Port* p = find(port);
    return p ? p->path : std::string();
}

int SerialPorts::send(int port, const uint8_t* data, uint32_t count) {
    Port* p = find(port);
    if (p == nullptr || (data == nullptr && count > 0)) return -1;
    std::lock_guard<std::mutex> lock(p->sendMutex);
    uint32_t done = 0;
    while (done < count) {
        const ssize_t n = ::write(p->master.get(), data + done, count - done);
        if (n > 0) {
            done += static_cast<uint32_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            break;  // EAGAIN: the terminal's buffer is full
        }
    }
    p->bytesOut.fetch_add(done, std::memory_order_relaxed);
    return static_cast<int>(done);
}

int SerialPorts::configure(int port, uint32_t baud, uint32_t parity, uint32_t stopBits, uint32_t dataBits) {
    Port* p = find(port);
    speed_t speed{};
    static const tcflag_t sizes[] = {CS5, CS6, CS7, CS8};
    if (p == nullptr || !speedOf(baud, speed) || parity > 2 || stopBits < 1 || stopBits > 2 || dataBits < 5 ||
        dataBits > 8)
        return -1;
    termios t{};
    if (::tcgetattr(p->slave.get(), &t) != 0) return -1;
    ::cfmakeraw(&t);
    t.c_cflag = (t.c_cflag & ~(CSIZE | CSTOPB | PARENB | PARODD)) | sizes[dataBits - 5] |
                (stopBits == 2 ? CSTOPB : 0) | (parity != 0 ? PARENB : 0) | (parity == 1 ? PARODD : 0);
    ::cfsetispeed(&t, speed);
    ::cfsetospeed(&t, speed);
    return ::tcsetattr(p->slave.get(), TCSANOW, &t) == 0 ? 0 : -1;
}

int SerialPorts::writePosition(int port) {
    Port* p = find(port);
    if (p == nullptr) return -1;
    std::lock_guard<std::mutex> lock(p->mutex);
    return static_cast<int>(p->writePos);
}

int SerialPorts::waitForData(int port) {
    Port* p = find(port);
    if (p == nullptr) return -1;
    std::unique_lock<std::mutex> lock(p->mutex);
    const uint32_t pos = p->writePos;
    const uint64_t woken = p->broadcasts;
    p->arrived.wait_for(lock, std::chrono::seconds(1),
                        [&] { return p->writePos != pos || p->broadcasts != woken; });
    return 0;
}

int SerialPorts::take(int port, uint32_t* cursor) {
    Port* p = find(port);
    if (p == nullptr || cursor == nullptr) return -1;
    std::lock_guard<std::mutex> lock(p->mutex);
    if (cursor[0] == p->writePos) return -1;
    if (p->writePos - cursor[0] > kRingSize) cursor[0] = p->writePos - static_cast<uint32_t>(kRingSize);
    const uint8_t byte = p->ring[cursor[0] % kRingSize];
    ++cursor[0];
    return byte;
}

int SerialPorts::broadcast(int port) {
    Port* p = find(port);
    if (p == nullptr) return -1;
    {
        std::lock_guard<std::mutex> lock(p->mutex);
        ++p->broadcasts;
    }
    p->arrived.notify_all();
    return 0;
}
