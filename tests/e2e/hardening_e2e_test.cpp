#include <dirent.h>
#include <sys/resource.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "device_fixture.h"

using e2e::Device;
using testnet::Bytes;
using testnet::RawClient;

namespace {

constexpr uint16_t kTimeInfo = 0x103, kSnapshotStream = 0x5205, kKeepAlive = 0x102;

bool echoAnswered(RawClient& c, int timeoutMs) {
    const Bytes echo = testnet::message(0x80c, {}, 0x31);
    c.send(echo);
    return c.recv(16, timeoutMs) == echo;
}

// Time a process's threads were running or ready to run, in seconds: what
// it asked of the processors, also when a busy machine did not give it.
double cpuDemand(pid_t pid) {
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    DIR* dir = opendir(tasks.c_str());
    if (dir == nullptr) return -1;
    unsigned long long ns = 0;
    while (dirent* e = readdir(dir)) {
        std::ifstream f(tasks + "/" + e->d_name + "/schedstat");
        unsigned long long running = 0, waiting = 0;
        if (e->d_name[0] != '.' && f >> running >> waiting) ns += running + waiting;
    }
    closedir(dir);
    return static_cast<double>(ns) / 1e9;
}

}  // namespace

// A client asks for a snapshot stream that fails at once (no such channel, or a host that
// cannot take pictures), sends one more message and goes. The stream must end with the
// connection, so that a reboot (the server's stop and start) completes and the device stays usable.
TEST(SnapshotStreamEnds, WhenTheClientHasGone) {
    const struct {
        const char* what;
        std::vector<std::string> deviceArgs;
        uint8_t channel;
        bool cutMessage;  // else a whole keep-alive follows the request
    } cases[] = {
        // Channel 5 of 4: the module reads a selector beyond 7 as 0, which exists.
        {"missing channel, then a keep-alive", {"--channels", "4"}, 5, false},
        {"missing channel, then a cut message", {"--channels", "4"}, 5, true},
        {"failing host, then a keep-alive", {"--fail", "st_app_netGetSnapJPEGEx=-1"}, 0, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Device d(c.deviceArgs);
        ASSERT_FALSE(d.ready.empty()) << d.child->err();
        {
            RawClient s(d.port);
            ASSERT_EQ(e2e::logIn(s).size(), 100u);
            // 12 bytes: selector, mode 1 (352x288), quality 50, 10 pictures a second, u32 size, flag.
            s.send(testnet::message(kTimeInfo, Bytes{c.channel, 1, 50, 10, 0, 0, 0, 0, 0, 0, 0, 0}, kSnapshotStream));
            s.recv(16, 2000);  // the first (failure) reply
            // A whole keep-alive, or a header that promises 100 bytes and 10 of them.
            s.send(c.cutMessage ? testnet::messageWithLength(kKeepAlive, 100, Bytes(10, 0xAB))
                                : testnet::message(kKeepAlive));
        }  // the client closes
        testproc::Result reboot = d.cli({"reboot", "--wait"}, {"--timeout", "2"});
        ASSERT_EQ(reboot.exitCode, 0) << reboot.out << reboot.err;
        RawClient after(d.port);
        EXPECT_EQ(e2e::logIn(after).size(), 100u);
        d.stop();
    }
}

// With its descriptors used up the device cannot take a new connection; it
// must wait for one to be freed, not spin on accept.
TEST(DescriptorsRunOut, TheListenerWaitsInsteadOfSpinning) {
    // The device inherits a low descriptor limit; synthetic frames once a
    // second keep it otherwise quiet.
    rlimit old{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &old), 0);
    rlimit low = old;
    low.rlim_cur = 64;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
    Device d({"--source", "synthetic", "--fps", "1"});
    setrlimit(RLIMIT_NOFILE, &old);
    ASSERT_FALSE(d.ready.empty()) << d.child->err();

    // Connections until one is no longer served; all of them stay open.
    std::vector<std::unique_ptr<RawClient>> open;
    bool exhausted = false;
    for (int i = 0; i < 100 && !exhausted; ++i) {
        open.push_back(std::make_unique<RawClient>(d.port, 1000));
        exhausted = !open.back()->connected() || !echoAnswered(*open.back(), 1000);
    }
    ASSERT_TRUE(exhausted);
    const double before = cpuDemand(d.child->pid());
    std::this_thread::sleep_for(std::chrono::seconds(2));
    EXPECT_GE(before, 0);
    EXPECT_LT(cpuDemand(d.child->pid()) - before, 0.5 * 2) << "seconds of processor time wanted in 2 s";

    std::string err;
    for (std::string more = d.child->err(); more.size() != err.size(); more = d.child->err()) err = more;
    const std::string needle = "TcpListenThread():accept()";
    size_t diagnostics = 0;
    for (size_t at = err.find(needle); at != std::string::npos; at = err.find(needle, at + 1)) ++diagnostics;
    EXPECT_GE(diagnostics, 1u);
    EXPECT_LE(diagnostics, 5u) << err.substr(0, 2000);

    // Once they are freed, a new client is served within 5 s.
    open.clear();
    RawClient fresh(d.port, 5000);
    EXPECT_TRUE(fresh.connected() && echoAnswered(fresh, 5000));
    d.stop();
}
