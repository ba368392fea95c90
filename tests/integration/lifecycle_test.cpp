// "Nothing left running" is checked on the process itself: its threads
// (/proc/self/task) and open descriptors come back to what they were before the start.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "fake_host.h"
#include "harness.h"
#include "netserver/netserver.h"

using namespace it;
using testnet::ModuleServer;

// The listener and the UDP session responder.
constexpr size_t SERVER_THREADS = 2;
using namespace std::chrono_literals;

namespace {

/* A socket of the test that holds TCP `port` on every address, listening.
 * SO_REUSEADDR only lets it past connections of earlier tests that linger in
 * TIME_WAIT; a listening socket still keeps every other bind off the port. */
int holdPort(uint16_t port) {
    int fd = testnet::bindAny(SOCK_STREAM, port);
    if (fd >= 0 && listen(fd, 1) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

bool threadsBecome(size_t n) {
    return waitUntil([n] { return threadCount() == n; }, 3000);
}

}  // namespace

TEST(Stop, EndsFiftyLoggedInSessionsPromptlyAndIdsGoOnAfterARestart) {
    constexpr int SESSIONS = 50;
    const size_t threads0 = threadBaseline();
    const size_t fds0 = fdCount();
    uint32_t lastId = 0;
    {
        ModuleServer server;
        // Ids rise by one in connect order: given at accept, not at login
        // (the first client logs in last).
        std::vector<std::unique_ptr<RawClient>> clients;
        clients.push_back(std::make_unique<RawClient>(server.port()));
        ASSERT_TRUE(echoAnswered(*clients.back(), 1));
        std::vector<uint32_t> ids(SESSIONS);
        for (int i = 1; i < SESSIONS; ++i) {
            clients.push_back(std::make_unique<RawClient>(server.port()));
            ids[i] = loginAdmin(*clients.back());
            ASSERT_NE(ids[i], 0u) << "client " << i;
        }
        ids[0] = loginAdmin(*clients.front());
        for (int i = 1; i < SESSIONS; ++i) EXPECT_EQ(ids[i - 1] + 1, ids[i]);
        lastId = ids.back();
        ASSERT_TRUE(sessionsBecome(SESSIONS));
        // The listener and one message thread per session.
        EXPECT_TRUE(threadsBecome(threads0 + SERVER_THREADS + SESSIONS)) << threadCount();

        const auto t0 = std::chrono::steady_clock::now();
        const int rc = server.stop();
        const auto took = since(t0);
        EXPECT_EQ(rc, 0);
        EXPECT_LT(took, 5s);

        EXPECT_TRUE(threadsBecome(threads0)) << threadCount();
        EXPECT_EQ(session_count(), 0u);
        EXPECT_EQ(fake_host::callCount("freeSockInfoList"), SESSIONS);
        for (int i = 0; i < SESSIONS; ++i) EXPECT_TRUE(clients[i]->closedWithin(3000)) << "client " << i;
        clients.clear();
        EXPECT_EQ(fdCount(), fds0);
    }

    ModuleServer again;
    RawClient c(again.port());
    EXPECT_GT(loginAdmin(c), lastId);
}

TEST(Stop, IsCleanWhileConnectionsComeAndGo) {
    const size_t threads0 = threadBaseline();
    for (int round = 0; round < 5; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        ModuleServer server;
        ASSERT_TRUE(server.started());
        const uint16_t port = server.port();

        std::vector<std::unique_ptr<RawClient>> steady;
        for (int i = 0; i < 5; ++i) {
            steady.push_back(std::make_unique<RawClient>(port));
            ASSERT_NE(loginAdmin(*steady.back()), 0u);
        }

        // Connections that open and end in every way a session can end, all
        // through the stop: closed at once, closed after a request, logged out,
        // logged in and dropped.
        std::atomic<bool> done{false};
        std::atomic<int> cycles{0};
        auto churn = [&](int first) {
            for (int i = first; !done; i += 2) {
                RawClient c(port, 0);
                if (!c.connected()) {
                    std::this_thread::sleep_for(1ms);
                    continue;
                }
                switch (i % 4) {
                case 0: break;
                case 1: c.send(request(T_ECHO)); break;
                case 2: c.send(request(T_LOGOUT)); c.recv(16, 200); break;
                case 3: c.send(request(T_LOGIN, loginRecord("admin", "admin"))); c.recv(120, 200); break;
                }
                ++cycles;
            }
        };
        std::thread a(churn, 0), b(churn, 1);
        EXPECT_TRUE(waitUntil([&] { return cycles >= 40; }, 10000));

        const auto t0 = std::chrono::steady_clock::now();
        const int rc = server.stop();
        const auto took = since(t0);
        done = true;
        a.join();
        b.join();
        EXPECT_EQ(rc, 0);
        EXPECT_LT(took, 5s);
        EXPECT_EQ(session_count(), 0u);
        for (auto& c : steady) EXPECT_TRUE(c->closedWithin(3000));
    }
    EXPECT_TRUE(threadsBecome(threads0)) << threadCount();
}

TEST(Listener, ConnectionThatCannotBeServedIsClosedAtOnce) {
    ModuleServer server;
    RawClient existing(server.port());
    ASSERT_TRUE(echoAnswered(existing, 1));
    ASSERT_TRUE(sessionsBecome(1));

    fake_host::force("my_malloc", 0);
    const int before = fake_host::callCount("my_malloc");
    {
        RawClient refused(server.port(), 0);
        ASSERT_TRUE(refused.connected());
        refused.send(request(T_ECHO));
        EXPECT_TRUE(refused.closedWithin(3000));
    }
    EXPECT_GT(fake_host::callCount("my_malloc"), before);
    EXPECT_TRUE(echoAnswered(existing, 2));
    EXPECT_EQ(session_count(), 1u);

    fake_host::unforce("my_malloc");
    RawClient fresh(server.port());
    EXPECT_TRUE(echoAnswered(fresh, 3));
    EXPECT_TRUE(sessionsBecome(2));
}

TEST(Stop, ReturnsWhenAListeningPortCouldNotBeBound) {
    for (uint16_t held : {0, 1}) {
        SCOPED_TRACE(held == 0 ? "command port held" : "data port held");
        fake_host::reset();
        const uint16_t port = testnet::pickBasePort();
        ASSERT_NE(port, 0);
        const int holder = holdPort(port + held);
        ASSERT_GE(holder, 0);
        fake_host::setBasePort(port);
        const size_t threads0 = threadBaseline();
        const size_t fds0 = fdCount();

        ASSERT_EQ(st_net_startNetServer(), 0);
        // The listener gives up by itself; the UDP session responder runs on.
        EXPECT_TRUE(threadsBecome(threads0 + 1));
        // Without the command port the data port is never opened. The command
        // port is opened before the data port fails: the system completes a
        // connection to it, nobody serves it, and the stop ends it.
        RawClient other(held == 0 ? port + 1 : port, 0);
        EXPECT_EQ(other.connected(), held == 1);
        if (held == 1) {
            other.send(request(T_ECHO));
            EXPECT_TRUE(other.silentFor(500));
        }
        const auto t0 = std::chrono::steady_clock::now();
        EXPECT_EQ(st_net_stopNetServer(), 0);
        EXPECT_LT(since(t0), 5s);
        if (held == 1) {
            EXPECT_TRUE(other.closedWithin(3000));
        }
        other.close();
        EXPECT_EQ(threadCount(), threads0);
        EXPECT_EQ(fdCount(), fds0);
        close(holder);
    }
    ModuleServer server;
    RawClient c(server.port());
    EXPECT_TRUE(echoAnswered(c, 1));
}

TEST(Lifecycle, WorksWithoutChannels) {
    fake_host::reset();
    fake_host::setChannels(0);
    ModuleServer server(false);
    RawClient c(server.port());
    EXPECT_NE(loginAdmin(c), 0u);
    // Channel 0 does not exist: answered, nothing stored.
    c.send(request(T_SET_POLL_CONFIG, le32(0) + le32(1) + le32(5) + le32(1)));
    EXPECT_EQ(c.recv(16), header(T_SET_POLL_CONFIG, 0, 0, 0));
    c.send(request(T_COLLIERY_INFO));
    EXPECT_EQ(c.recv(88).size(), 88u);
    EXPECT_EQ(server.stop(), 0);
    EXPECT_TRUE(c.closedWithin(3000));
}
