// Framing: reading one message off a connection, judged on its bytes.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <memory>

#include "core/framing.h"
#include "fake_host.h"
#include "net.h"
#include "unit_support.h"

using testnet::Bytes;

namespace {

struct Pipe {
    int r = -1, w = -1;
    Pipe() {
        int fds[2];
        socketpair(AF_UNIX, SOCK_STREAM, 0, fds);
        r = fds[0];
        w = fds[1];
        int big = 1 << 20;
        setsockopt(w, SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
        setsockopt(r, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
    }
    ~Pipe() {
        close(r);
        close(w);
    }
    void write(const Bytes& b) { ASSERT_EQ(::send(w, b.data(), b.size(), 0), static_cast<ssize_t>(b.size())); }
};

struct TestBuffer : MessageBuffer {
    TestBuffer() {  // the read must clear it
        std::memset(get(), 0xAB, wire::MESSAGE_BUFFER_SIZE);
        markWritten(wire::MESSAGE_BUFFER_SIZE);
    }
    uint8_t& operator[](size_t i) { return get()[i]; }
};

std::unique_ptr<TestBuffer> buffer() {
    return std::make_unique<TestBuffer>();
}

}  // namespace

TEST(Framing, LengthLimitIsJudgedUnsigned) {
    Bytes h = testnet::messageWithLength(0x80c, 102400);
    EXPECT_EQ(framing_check_header(h.data()), FrameResult::Ok);
    h = testnet::messageWithLength(0x80c, 102401);
    EXPECT_EQ(framing_check_header(h.data()), FrameResult::TooLong);
    h = testnet::messageWithLength(0x80c, 0xFFFFFFFFu);
    EXPECT_EQ(framing_check_header(h.data()), FrameResult::TooLong);
}

TEST(Framing, ReadsAWholeMessageAndZeroesTheRest) {
    Pipe p;
    p.write(testnet::message(0x401, {1, 2, 3}, 13));
    auto buf = buffer();
    ASSERT_EQ(framing_read_message(p.r, *buf), FrameResult::Ok);
    EXPECT_EQ(wire::getU16(buf->get(), wire::HDR_TYPE), 0x401);
    EXPECT_EQ(wire::getU16(buf->get(), wire::HDR_SUBTYPE), 13);
    EXPECT_EQ((*buf)[16], 1);
    EXPECT_EQ((*buf)[18], 3);
    for (size_t i = 19; i < wire::MESSAGE_BUFFER_SIZE; ++i) ASSERT_EQ((*buf)[i], 0) << "offset " << i;
}

TEST(Framing, ReplyKeepsEverythingButLengthAndStatus) {
    fake_host::reset();
    PairedSession ps;
    const uint8_t rest[3] = {0xA1, 0xA2, 0xA3};
    Bytes req = testnet::message(0x805, {}, 0x0607, 0x33, 0x504C4C4C, rest);
    auto buf = buffer();
    std::memcpy(buf->get(), req.data(), req.size());
    (*buf)[16] = 0xEE;
    ASSERT_EQ(framing_send_reply(ps.session, buf->get(), 0x11, 1), 0);
    Bytes expected = {0x4C, 0x4C, 0x4C, 0x50, 0x05, 0x08, 0x07, 0x06,
                      0x01, 0x00, 0x00, 0x00, 0x11, 0xA1, 0xA2, 0xA3, 0xEE};
    EXPECT_EQ(ps.read(17), expected);
}

TEST(Framing, WriteOnAClosedSessionFails) {
    fake_host::reset();
    PairedSession ps;
    session_close_socket(ps.session);
    uint8_t hdr[16] = {};
    EXPECT_EQ(session_write(ps.session, hdr, 16), -1);
    EXPECT_EQ(st_net_sessionWrite(ps.session, hdr, 16), -1);
    EXPECT_EQ(st_net_sessionWrite(nullptr, hdr, 16), -1);
}

