/*
 * Framing on the command connection: the length limit, the magic, and peers
 * that vanish in the middle of a message. A bad message of one session must
 * never disturb another.
 */
#include <gtest/gtest.h>

#include "fake_host.h"
#include "harness.h"
#include "module_server.h"

using namespace it;
using testnet::ModuleServer;

namespace {

/* A payload made of complete echo requests tagged 0xBEEF: if the module read
 * fewer payload bytes than announced, it would take the rest for messages of
 * their own and answer them, which the tests then see. */
Bytes decoyEchoes(size_t bytes) {
    const Bytes decoy = request(T_ECHO, {}, 0xBEEF);
    Bytes out;
    out.reserve(bytes);
    while (out.size() + decoy.size() <= bytes) out.insert(out.end(), decoy.begin(), decoy.end());
    out.resize(bytes, 0);
    return out;
}

/* A header with any magic and length, followed by `payload`. */
Bytes rawMessage(uint32_t magic, uint16_t type, uint32_t length, const Bytes& payload = {}) {
    Bytes b = header(type, 0, length, 0);
    for (int i = 0; i < 4; ++i) b[i] = byteOf(magic, i);
    return b + payload;
}

}  // namespace

TEST(WireFraming, FullSizePayloadIsReadWhole) {
    const Rest rest{0x10, 0x20, 0x30};
    const Bytes full = request(T_ECHO, decoyEchoes(MAX_PAYLOAD), 0x0101, 0x22, rest);
    ModuleServer server;
    ASSERT_TRUE(server.started());
    RawClient c(server.port());
    ASSERT_TRUE(c.connected());

    // An echo answers with its own header only: the length field still says
    // 102400, and not one payload byte comes back.
    c.send(full);
    EXPECT_EQ(c.recv(16, 5000), header(T_ECHO, 0x0101, MAX_PAYLOAD, 0x22, rest));

    // The next message is framed right after the payload.
    EXPECT_TRUE(echoAnswered(c, 0x0202));
    EXPECT_TRUE(c.silentFor(300)) << "part of the payload was taken for messages";
}

class OverlongLength : public ::testing::TestWithParam<uint32_t> {};

TEST_P(OverlongLength, EndsThatSessionOnly) {
    ModuleServer server;
    ASSERT_TRUE(server.started());
    RawClient other(server.port());
    ASSERT_TRUE(other.connected());
    ASSERT_TRUE(echoAnswered(other, 1));

    RawClient bad(server.port());
    ASSERT_TRUE(bad.connected());
    ASSERT_TRUE(echoAnswered(bad, 2));
    // Only the header: the module must give up on the length alone, without
    // waiting for a payload that will never come.
    bad.send(rawMessage(0x504C4C4C, T_ECHO, GetParam()));
    EXPECT_TRUE(bad.closedWithin(3000));

    EXPECT_TRUE(sessionsBecome(1)) << "the ended session stayed in the list";
    EXPECT_TRUE(echoAnswered(other, 3));
    RawClient fresh(server.port());
    ASSERT_TRUE(fresh.connected());
    EXPECT_TRUE(echoAnswered(fresh, 4));
}

INSTANTIATE_TEST_SUITE_P(Lengths, OverlongLength,
                         ::testing::Values(MAX_PAYLOAD + 1, 0x80000000u, 0xFFFFFFFFu));

TEST(WireFraming, WrongMagicDropsTheMessageWithItsPayload) {
    ModuleServer server;
    ASSERT_TRUE(server.started());
    RawClient c(server.port());
    ASSERT_TRUE(c.connected());

    // Each carries complete echo requests as its payload, and is itself of the
    // echo type: neither the message nor its payload may be answered.
    const uint32_t magics[] = {0x504C4C4D, 0x4C4C4C50, 0x00000000, 0xFFFFFFFF};
    for (uint32_t magic : magics) {
        c.send(rawMessage(magic, T_ECHO, 64, decoyEchoes(64)));
        c.send(rawMessage(magic, T_LOGIN, 0));
    }
    EXPECT_TRUE(echoAnswered(c, 0x0707));
    EXPECT_TRUE(c.silentFor(300));
    EXPECT_EQ(fake_host::callCount("st_app_netAuthUser"), 0);
}

TEST(WireFraming, WrongMagicWithOverlongLengthStillEndsTheSession) {
    ModuleServer server;
    ASSERT_TRUE(server.started());
    RawClient c(server.port());
    ASSERT_TRUE(c.connected());
    c.send(rawMessage(0x12345678, T_ECHO, MAX_PAYLOAD + 1));
    EXPECT_TRUE(c.closedWithin(3000));
}

namespace {

Bytes firstBytes(const Bytes& b, size_t n) { return Bytes(b.begin(), b.begin() + n); }

/* What the peer sends before it closes its end. */
struct Truncation {
    const char* name;
    Bytes bytes;
};

void PrintTo(const Truncation& t, std::ostream* os) { *os << t.name << " (" << t.bytes.size() << " bytes)"; }

}  // namespace

class PeerClosesMidMessage : public ::testing::TestWithParam<Truncation> {};

TEST_P(PeerClosesMidMessage, EndsThatSessionOnly) {
    ModuleServer server;
    ASSERT_TRUE(server.started());
    RawClient other(server.port());
    ASSERT_TRUE(other.connected());
    ASSERT_TRUE(echoAnswered(other, 1));

    {
        RawClient gone(server.port());
        ASSERT_TRUE(gone.connected());
        ASSERT_TRUE(echoAnswered(gone, 2));
        ASSERT_TRUE(sessionsBecome(2));
        gone.send(GetParam().bytes);
    }

    // The session and its record go; the other session goes on, and a new
    // one is served.
    EXPECT_TRUE(sessionsBecome(1));
    EXPECT_TRUE(echoAnswered(other, 3));
    RawClient fresh(server.port());
    ASSERT_TRUE(fresh.connected());
    EXPECT_TRUE(echoAnswered(fresh, 4));
    EXPECT_TRUE(sessionsBecome(2));
}

INSTANTIATE_TEST_SUITE_P(
    Cuts, PeerClosesMidMessage,
    ::testing::Values(Truncation{"InHeader", firstBytes(header(T_ECHO, 0, 0, 0), 9)},
                      Truncation{"BeforePayload", header(T_ECHO, 0, 100, 0)},
                      Truncation{"InPayload", header(T_ECHO, 0, 100, 0) + Bytes(50, 0xAB)},
                      Truncation{"InFullSizePayload",
                                 header(T_ECHO, 0, MAX_PAYLOAD, 0) + Bytes(MAX_PAYLOAD - 1, 0)}),
    [](const ::testing::TestParamInfo<Truncation>& info) { return std::string(info.param.name); });
