// The real device when clients misbehave: a snapshot stream whose client has
// gone must not keep the server from restarting, and a listener out of
// descriptors must not spin.
#include <gtest/gtest.h>
#include <dirent.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <thread>

#include "device_session.h"

using namespace e2e;
using testnet::Bytes;
using testnet::RawClient;

namespace {

constexpr uint16_t kSnapshotStream = 0x5205;  // MSG_TIME_INFO sub-type

// The 12-byte stream request: selector, mode, quality, rate, u32 size, flag.
Bytes snapshotStreamRequest(uint8_t channel) {
    Bytes r(12, 0);
    r[0] = channel;
    r[1] = 1;   // 352x288
    r[2] = 50;  // quality
    r[3] = 10;  // pictures a second
    return r;
}

bool echoAnswered(RawClient& c, int timeoutMs) {
    const Bytes echo = testnet::message(kEcho, {}, 0x31);
    c.send(echo);
    return c.recv(16, timeoutMs) == echo;
}

// A new client is served within 5 s.
bool servedWithin5s(uint16_t port) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (std::chrono::steady_clock::now() < deadline) {
        RawClient c(port, 500);
        if (c.connected() && echoAnswered(c, 500)) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
}

// SIGTERM, and the exit within 10 s.
void terminatesWithin10s(Device& d) {
    d.child->signal(SIGTERM);
    EXPECT_EQ(d.child->wait(10000), 0) << d.child->err();
    d.child.reset();  // one that did not end is killed here
}

}  // namespace

// A client asks for a snapshot stream that fails at once (a channel the device
// does not have, or a host that cannot take pictures), sends one more message
// and goes. The stream must end with the connection, so that a reboot (the
// server's stop and start) completes and the device stays usable.
TEST(SnapshotStreamEnds, WhenTheClientHasGone) {
    struct Case {
        const char* what;
        std::vector<std::string> deviceArgs;
        uint8_t channel;
        bool cutMessage;  // else a whole keep-alive follows the request
    };
    // Channel 5 of 4: the module reads a selector beyond 7 as 0, which exists.
    const Case cases[] = {
        {"missing channel, then a keep-alive", {"--channels", "4"}, 5, false},
        {"missing channel, then a cut message", {"--channels", "4"}, 5, true},
        {"failing host, then a keep-alive", {"--fail", "st_app_netGetSnapJPEGEx=-1"}, 0, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Device d(c.deviceArgs);
        ASSERT_FALSE(d.ready.empty()) << d.child->err();
        {
            Session s(d.port);
            ASSERT_TRUE(s.loggedIn());
            s.raw().send(testnet::message(kTimeInfo, snapshotStreamRequest(c.channel), kSnapshotStream));
            s.raw().recv(16, 2000);  // the first (failure) reply
            if (c.cutMessage) {
                // A header that promises 100 bytes, and 10 of them.
                s.raw().send(testnet::messageWithLength(kKeepAlive, 100, Bytes(10, 0xAB)));
            } else {
                s.raw().send(testnet::message(kKeepAlive));
            }
        }  // the client closes

        testproc::Result reboot = testproc::run(
            RECNET_CLI_PATH, {"--port", std::to_string(d.port), "--timeout", "2", "reboot", "--wait"}, 15000);
        EXPECT_EQ(reboot.exitCode, 0) << reboot.out << reboot.err;
        if (reboot.exitCode != 0) {
            d.child.reset();  // stuck in its stop: killed, no use waiting for a SIGTERM
            continue;
        }
        Session after(d.port);
        EXPECT_TRUE(after.loggedIn());
        terminatesWithin10s(d);
    }
}

namespace {

// Time a process's threads were running or ready to run, in seconds: what
// it asked of the processors, also when a busy machine did not give it.
double cpuDemand(pid_t pid) {
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    DIR* dir = opendir(tasks.c_str());
    if (dir == nullptr) return -1;
    unsigned long long ns = 0;
    while (dirent* e = readdir(dir)) {
        if (e->d_name[0] == '.') continue;
        std::ifstream f(tasks + "/" + e->d_name + "/schedstat");
        unsigned long long running = 0, waiting = 0;
        if (f >> running >> waiting) ns += running + waiting;
    }
    closedir(dir);
    return static_cast<double>(ns) / 1e9;
}

size_t occurrences(const std::string& text, const std::string& needle) {
    size_t n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
    return n;
}

}  // namespace

// With its descriptors used up the device cannot take a new connection; it
// must wait for one to be freed, not spin on accept.
TEST(DescriptorsRunOut, TheListenerWaitsInsteadOfSpinning) {
    std::unique_ptr<Device> d;
    {
        // The device inherits a low descriptor limit.
        rlimit old{};
        ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &old), 0);
        rlimit low = old;
        low.rlim_cur = 64;
        ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
        // Synthetic frames once a second: the device is otherwise quiet.
        d = std::make_unique<Device>(std::vector<std::string>{"--source", "synthetic", "--fps", "1"});
        setrlimit(RLIMIT_NOFILE, &old);
    }
    ASSERT_FALSE(d->ready.empty()) << d->child->err();
    const pid_t pid = d->child->pid();

    // Connections until one is no longer served; all of them stay open.
    std::vector<std::unique_ptr<RawClient>> open;
    bool exhausted = false;
    for (int i = 0; i < 100 && !exhausted; ++i) {
        open.push_back(std::make_unique<RawClient>(d->port, 1000));
        exhausted = !open.back()->connected() || !echoAnswered(*open.back(), 1000);
    }
    ASSERT_TRUE(exhausted);

    const double before = cpuDemand(pid);
    std::this_thread::sleep_for(std::chrono::seconds(2));
    const double used = cpuDemand(pid) - before;
    EXPECT_GE(before, 0);
    EXPECT_LT(used, 0.5 * 2) << "seconds of processor time wanted in 2 s";

    std::string err;
    for (std::string more = d->child->err(); more.size() != err.size(); more = d->child->err()) err = more;
    const size_t diagnostics = occurrences(err, "TcpListenThread():accept()");
    EXPECT_GE(diagnostics, 1u);
    EXPECT_LE(diagnostics, 5u) << err.substr(0, 2000);

    open.clear();
    EXPECT_TRUE(servedWithin5s(d->port));
    terminatesWithin10s(*d);
}
