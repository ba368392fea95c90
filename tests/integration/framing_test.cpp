// A bad message of one session must never disturb another.
#include <gtest/gtest.h>

#include "fake_host.h"
#include "harness.h"

using namespace it;

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

using WireFraming = Connected;

TEST_F(WireFraming, FullSizePayloadIsReadWhole) {
    const Rest rest{0x10, 0x20, 0x30};
    const Bytes full = request(T_ECHO, decoyEchoes(MAX_PAYLOAD), 0x0101, 0x22, rest);

    // An echo answers with its own header only: the length field still says
    // 102400, and not one payload byte comes back.
    c.send(full);
    EXPECT_EQ(c.recv(16, 5000), header(T_ECHO, 0x0101, MAX_PAYLOAD, 0x22, rest));

    // The next message is framed right after the payload.
    EXPECT_TRUE(echoAnswered(c, 0x0202));
    EXPECT_TRUE(c.silentFor(300)) << "part of the payload was taken for messages";
}

TEST_F(WireFraming, WrongMagicDropsTheMessageWithItsPayload) {
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

namespace {

Bytes firstBytes(const Bytes& b, size_t n) { return Bytes(b.begin(), b.begin() + n); }

/* A message that ends its session: a length beyond the payload area, whatever
 * the magic (the server closes on the header alone, without waiting for a
 * payload that never comes), or a message cut short by the peer closing its end. */
struct BadEnd {
    const char* name;
    Bytes bytes;
    bool peerCloses;
};

void PrintTo(const BadEnd& t, std::ostream* os) { *os << t.name << " (" << t.bytes.size() << " bytes)"; }

}  // namespace

class SessionEnd : public Connected, public ::testing::WithParamInterface<BadEnd> {};

TEST_P(SessionEnd, EndsThatSessionOnly) {
    ASSERT_TRUE(echoAnswered(c, 1));
    {
        RawClient bad(server.port());
        ASSERT_TRUE(echoAnswered(bad, 2));
        ASSERT_TRUE(sessionsBecome(2));
        bad.send(GetParam().bytes);
        if (!GetParam().peerCloses) {
            EXPECT_TRUE(bad.closedWithin(3000));
        }
    }
    // The session and its record go; the other session goes on, and a new
    // one is served.
    EXPECT_TRUE(sessionsBecome(1)) << "the ended session stayed in the list";
    EXPECT_TRUE(echoAnswered(c, 3));
    RawClient fresh(server.port());
    EXPECT_TRUE(echoAnswered(fresh, 4));
    EXPECT_TRUE(sessionsBecome(2));
}

INSTANTIATE_TEST_SUITE_P(
    Messages, SessionEnd,
    ::testing::Values(BadEnd{"Length102401", header(T_ECHO, 0, MAX_PAYLOAD + 1, 0), false},
                      BadEnd{"Length0x80000000", header(T_ECHO, 0, 0x80000000u, 0), false},
                      BadEnd{"Length0xFFFFFFFF", header(T_ECHO, 0, 0xFFFFFFFFu, 0), false},
                      BadEnd{"WrongMagicLength102401", rawMessage(0x12345678, T_ECHO, MAX_PAYLOAD + 1), false},
                      BadEnd{"CutInHeader", firstBytes(header(T_ECHO, 0, 0, 0), 9), true},
                      BadEnd{"CutBeforePayload", header(T_ECHO, 0, 100, 0), true},
                      BadEnd{"CutInPayload", header(T_ECHO, 0, 100, 0) + Bytes(50, 0xAB), true},
                      BadEnd{"CutInFullSizePayload",
                             header(T_ECHO, 0, MAX_PAYLOAD, 0) + Bytes(MAX_PAYLOAD - 1, 0), true}),
    [](const ::testing::TestParamInfo<BadEnd>& info) { return std::string(info.param.name); });
