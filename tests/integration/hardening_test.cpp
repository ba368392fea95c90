// The server under hostile or careless peers.
#include <arpa/inet.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "fake_host.h"
#include "module_server.h"
#include "netserver/netserver.h"
#include "stream_harness.h"

using namespace it;
using testnet::ModuleServer;

namespace {

constexpr uint16_t T_GET_PARAM = 0x402;
constexpr uint16_t T_FORCE_IFRAME = 0x830;
constexpr uint8_t FAILED = 0xff;

/* Waits until `n` session records exist: what the session cap counts. */
bool recordsBecome(uint32_t n) {
    return waitUntil([n] { return session_records() == n; }, 5000);
}

/* Module-wide settings back to their defaults however the test ends. */
struct SettingsRestored {
    ~SettingsRestored() {
        st_net_setLoginRequired(1);
        st_net_setMaxSessions(0);
    }
};

Bytes pollConfig(int32_t channel, uint32_t enabled, int32_t dwell, uint32_t mask) {
    return le32(static_cast<uint32_t>(channel)) + le32(enabled) + le32(static_cast<uint32_t>(dwell)) + le32(mask);
}

/* Pushes small key frames on `channels` until a datagram arrives (at most ~3 s). */
bool datagramArrives(UdpReceiver& rx, std::initializer_list<int> channels) {
    for (int i = 0; i < 100; ++i) {
        for (int ch : channels) fake_host::pushFrame(ch, 0, 1, 8);
        if (!rx.receive(30).empty()) return true;
    }
    return false;
}

}  // namespace

TEST(LoginFirst, BeforeLoginOnlyLoginLogoutKeepaliveAndEchoAreServed) {
    SettingsRestored restore;
    ModuleServer server;
    UdpReceiver rx;
    RawClient c(server.port());
    ASSERT_TRUE(echoAnswered(c, 1));

    // Refused with the request's own header, nothing handed to the host.
    const Rest rest{0x21, 0x22, 0x23};
    const struct { uint16_t type, subtype; Bytes payload; } served[] = {
        {T_COLLIERY_INFO, 0, {}}, {T_GET_PARAM, 21, {}},
        {T_START_STREAM, 0, startStream(0, 2, &rx.address)}, {T_SET_POLL_CONFIG, 0, pollConfig(0, 1, 2, 3)}};
    const auto refusedBeforeLogin = [&](int tag) {
        for (const auto& m : served) {
            c.send(request(m.type, m.payload, m.subtype, 0, rest));
            ASSERT_EQ(c.recv(16), header(m.type, m.subtype, 0, FAILED, rest)) << tag << " type " << m.type;
        }
        // What is never answered stays unanswered.
        for (uint16_t type : {0x5, 0x6, 0x105, 0x106, 0x107, 0x7777, 0x102})
            c.send(request(type, le32(0)));
        ASSERT_TRUE(c.silentFor(300)) << tag;
        ASSERT_TRUE(echoAnswered(c, 2)) << tag;
        EXPECT_EQ(fake_host::callCount("st_param_getCollieryInfo"), 0) << tag;
        EXPECT_EQ(fake_host::callCount("st_app_netGetParam"), 0) << tag;
        fake_host::pushFrame(0, 0, 1, 8);
        EXPECT_TRUE(rx.receive(200).empty()) << tag;
    };
    refusedBeforeLogin(1);
    ASSERT_FALSE(HasFatalFailure());

    // A refused login does not count.
    fake_host::setAuth([](uint8_t*) { return -1; });
    c.send(request(T_LOGIN, loginRecord("admin", "nope")));
    Bytes refused = c.recv(16);
    ASSERT_EQ(refused.size(), 16u);
    EXPECT_EQ(refused[12], 1);
    c.recv(20, 300);  // the session id that follows, if any
    refusedBeforeLogin(2);
    ASSERT_FALSE(HasFatalFailure());

    // An accepted one does, also without a session id (result 3).
    fake_host::setAuth([](uint8_t*) { return 3; });
    c.send(request(T_LOGIN, loginRecord("admin", "admin")));
    ASSERT_EQ(c.recv(16), header(T_LOGIN, 0, 0, 0));
    c.send(request(T_COLLIERY_INFO, {}, 0, 0, rest));
    EXPECT_EQ(c.recv(16), header(T_COLLIERY_INFO, 0, 72, 0, rest));
    EXPECT_EQ(c.recv(72).size(), 72u);
    EXPECT_EQ(fake_host::callCount("st_param_getCollieryInfo"), 1);
}

TEST(LoginFirst, TurnedOffServesEveryTypeWithoutLogin) {
    SettingsRestored restore;
    st_net_setLoginRequired(0);
    ModuleServer server;
    RawClient c(server.port());
    c.send(request(T_COLLIERY_INFO));
    EXPECT_EQ(c.recv(16), header(T_COLLIERY_INFO, 0, 72, 0));
    EXPECT_EQ(c.recv(72).size(), 72u);
    st_net_setLoginRequired(1);
    RawClient d(server.port());
    d.send(request(T_COLLIERY_INFO));
    EXPECT_EQ(d.recv(16), header(T_COLLIERY_INFO, 0, 0, FAILED));
}

TEST(LoginFirst, DataConnectionAndResponderNeedALoggedInSession) {
    SettingsRestored restore;
    ModuleServer server;
    // From an address of its own, so that the responder sees only this session.
    RawClient c(server.port(), "127.0.0.4");
    ASSERT_TRUE(echoAnswered(c, 1));
    const uint32_t id = st_net_sessionId(session_ref_by_address(inet_addr("127.0.0.4")).get());
    ASSERT_NE(id, 0u);

    RawClient data(server.port() + 1);
    data.send(request(0x77, le32(id)));
    EXPECT_EQ(data.recv(16), header(0x77, 0, 0, 0));
    EXPECT_TRUE(data.closedWithin(2000));

    UdpReceiver probe("127.0.0.4");
    const Bytes probe44 = header(0x1234, 0, 28, 0) + Bytes(28, 0);
    probe.sendTo(server.port() + 4, probe44);
    EXPECT_TRUE(probe.receive(300).empty());

    ASSERT_EQ(loginAdmin(c), id);
    probe.sendTo(server.port() + 4, probe44);
    EXPECT_EQ(probe.receive().size(), 44u);
    RawClient data2(server.port() + 1);
    data2.send(request(0x77, le32(id)));
    EXPECT_EQ(data2.recv(16), header(0x77, 0, 0, 0));
    Bytes sub = le32(0) + Bytes{0, 0, 0, 0};
    data2.send(request(0, sub));
    EXPECT_EQ(data2.recv(24), request(0, sub));
}

TEST(VideoDestination, OnlyTheClientsOwnHost) {
    ModuleServer server;
    RawClient c(server.port());
    ASSERT_NE(loginAdmin(c), 0u);
    UdpReceiver elsewhere("127.0.0.2");
    c.send(request(T_START_STREAM, startStream(0, 2, &elsewhere.address)));
    EXPECT_EQ(c.recv(16), header(T_START_STREAM, 0, 0, FAILED));
    EXPECT_FALSE(datagramArrives(elsewhere, {0}));

    UdpReceiver own;  // the client's own address, a port of its choice
    c.send(request(T_START_STREAM, startStream(1, 2, &own.address)));
    EXPECT_EQ(c.recv(16), header(T_START_STREAM, 0, 0, 0));
    EXPECT_TRUE(datagramArrives(own, {1}));
}

TEST(Tour, ADwellBelowOneSecondStillSends) {
    ModuleServer server;
    RawClient c(server.port());
    ASSERT_NE(loginAdmin(c), 0u);
    c.send(request(T_SET_POLL_CONFIG, pollConfig(1, 1, -1, (1u << 1) | (1u << 2))));
    ASSERT_EQ(c.recv(16), header(T_SET_POLL_CONFIG, 0, 0, 0));
    UdpReceiver rx;
    c.send(request(T_START_STREAM, startStream(1, 2, &rx.address)));
    ASSERT_EQ(c.recv(16), header(T_START_STREAM, 0, 0, 0));
    EXPECT_TRUE(datagramArrives(rx, {1, 2}));
}

TEST(FailedLogins, AreSlowedAfterFiveWithinAMinute) {
    ModuleServer server;
    const size_t logBefore = fake_host::logLines().size();
    // An address of its own: the count is kept per address.
    RawClient c(server.port(), "127.0.0.3");
    std::chrono::milliseconds took[7];
    for (int i = 0; i < 7; ++i) {
        const auto t0 = std::chrono::steady_clock::now();
        c.send(request(T_LOGIN, loginRecord("admin", "guess" + std::to_string(i))));
        Bytes answer = c.recv(16, 5000);
        took[i] = since(t0);
        ASSERT_EQ(answer.size(), 16u) << i;
        EXPECT_EQ(answer[12], 2) << i;
        c.recv(20, 200);  // the session id that follows, if any
    }
    EXPECT_LT(took[0].count(), 500);
    EXPECT_GE(took[6].count(), 900);
    EXPECT_GT(fake_host::logLines().size(), logBefore);
}

// Neither a data connection that never completes its handshake nor a command
// connection that never logs in holds its thread beyond the idle limit, however
// busy it keeps it.
TEST(HandshakeDeadline, UnauthenticatedConnectionsAreClosedAfterFifteenSeconds) {
    ModuleServer server;
    RawClient data(server.port() + 1);
    RawClient command(server.port());
    // A header that promises 100 bytes, then a byte now and then: each read
    // gets something, the handshake never completes. The command connection
    // keeps alive but never logs in.
    data.send(header(0x77, 0, 100, 0) + Bytes{1, 0});
    bool dataClosed = false;
    bool commandClosed = false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!(dataClosed && commandClosed) && std::chrono::steady_clock::now() < deadline) {
        if (!dataClosed) dataClosed = data.closedWithin(1000);
        if (!dataClosed) data.send(Bytes{0});
        if (!commandClosed) command.send(request(T_KEEPALIVE));
        if (!commandClosed) commandClosed = command.closedWithin(1000);
    }
    EXPECT_TRUE(dataClosed);
    EXPECT_TRUE(commandClosed);
}

TEST(SessionCap, ConnectionsBeyondTheCapAreClosedAtOnce) {
    SettingsRestored restore;
    ModuleServer server;
    // The start-up check's connection has gone: its record is what the cap
    // counts, and it exists before its thread links it.
    ASSERT_TRUE(recordsBecome(0));
    st_net_setMaxSessions(2);
    auto a = std::make_unique<RawClient>(server.port());
    RawClient b(server.port());
    ASSERT_TRUE(echoAnswered(*a, 1));
    ASSERT_TRUE(echoAnswered(b, 2));
    RawClient third(server.port());
    ASSERT_TRUE(third.closedWithin(2000));
    a.reset();
    ASSERT_TRUE(recordsBecome(1));
    RawClient again(server.port());
    EXPECT_TRUE(echoAnswered(again, 3));
}

namespace {

/* Whether the next write on the server's side of a connection that needs
 * fresh buffer space would block: what is queued has reached the send
 * buffer. */
bool sendBufferFull(int serverFd) {
    uint32_t mem[SK_MEMINFO_VARS] = {};
    socklen_t len = sizeof mem;
    if (getsockopt(serverFd, SOL_SOCKET, SO_MEMINFO, mem, &len) != 0) return false;
    return mem[SK_MEMINFO_WMEM_QUEUED] >= mem[SK_MEMINFO_SNDBUF];
}

/* Waits until fake host function `name` has been called more than `count` times. */
bool calledBeyond(const char* name, int count, int timeoutMs) {
    return waitUntil([&] { return fake_host::callCount(name) > count; }, timeoutMs);
}

}  // namespace

TEST(SlowReader, DoesNotHoldUpOtherClients) {
    ModuleServer server;
    UdpReceiver rx;
    // A reads nothing after its login; a small receive buffer fills soon.
    RawClient a(server.port(), "127.0.0.1", 2048);
    const uint32_t id = loginAdmin(a);
    ASSERT_NE(id, 0u);
    const int serverFd = st_net_sessionSocket(session_ref_by_id(id).get());
    ASSERT_GE(serverFd, 0);
    // The server's side small as well: it fills after a few dozen answers
    // instead of megabytes.
    const int small = 4096;
    ASSERT_EQ(setsockopt(serverFd, SOL_SOCKET, SO_SNDBUF, &small, sizeof small), 0);

    // Answers that pile up, each followed by an unanswered message whose host
    // call shows that the answer before it went out, until the server's
    // send buffer is full.
    bool full = false;
    for (int i = 0; i < 20000 && !full; ++i) {
        a.send(request(T_COLLIERY_INFO) + request(T_FORCE_IFRAME, le32(0)));
        if (!calledBeyond("st_enc_setIFrameForceFlag", i, 1000)) break;
        full = sendBufferFull(serverFd);
    }
    // Then stream starts (16-byte answers) until one's answer cannot be
    // written: its sender never starts.
    bool stuck = false;
    for (int i = 0; full && i < 2000 && !stuck; ++i) {
        const int selects = fake_host::callCount("st_stream_getNetStreamWritePos");
        a.send(request(T_START_STREAM, startStream(i % 4, 2, &rx.address)));
        stuck = !calledBeyond("st_stream_getNetStreamWritePos", selects, 500);
    }
    EXPECT_TRUE(stuck) << "could not make the server's writes to the slow reader block";

    // A data connection for A's session while A's start is still unanswered.
    RawClient data(server.port() + 1);
    data.send(request(0x77, le32(id)));
    data.recv(16, 1000);
    data.send(request(0, le32(0) + Bytes{0, 0, 0, 0}));

    RawClient c(server.port());
    const auto t0 = std::chrono::steady_clock::now();
    c.send(request(T_LOGIN, loginRecord("admin", "admin")));
    Bytes answer = c.recv(100, 3000);
    EXPECT_EQ(answer.size(), 100u);
    EXPECT_LT(since(t0).count(), 3000);
    a.close();
}
