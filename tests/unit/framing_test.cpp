// Framing: reading one message off a connection, judged on its bytes.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <cstring>

#include "core/framing.h"
#include "fake_host.h"
#include "unit_support.h"

using testnet::Bytes;

TEST(Framing, LengthLimitIsJudgedUnsigned) {
    Bytes h = testnet::messageWithLength(0x80c, 102400);
    EXPECT_EQ(framing_check_header(h.data()), FrameResult::Ok);
    h = testnet::messageWithLength(0x80c, 102401);
    EXPECT_EQ(framing_check_header(h.data()), FrameResult::TooLong);
    h = testnet::messageWithLength(0x80c, 0xFFFFFFFFu);
    EXPECT_EQ(framing_check_header(h.data()), FrameResult::TooLong);
}

TEST(Framing, ReadsAWholeMessageAndZeroesTheRest) {
    fake_host::reset();
    PairedSession ps;
    const Bytes m = testnet::message(0x401, {1, 2, 3}, 13);
    ASSERT_EQ(send(ps.peerFd, m.data(), m.size(), 0), static_cast<ssize_t>(m.size()));
    MessageBuffer buf;
    std::memset(buf.get(), 0xAB, wire::MESSAGE_BUFFER_SIZE);  // the read must clear it
    buf.markWritten(wire::MESSAGE_BUFFER_SIZE);
    ASSERT_EQ(framing_read_message(ps.session->sock, buf), FrameResult::Ok);
    const uint8_t* b = buf.get();
    EXPECT_EQ(wire::getU16(b, wire::HDR_TYPE), 0x401);
    EXPECT_EQ(wire::getU16(b, wire::HDR_SUBTYPE), 13);
    EXPECT_EQ(b[16], 1);
    EXPECT_EQ(b[18], 3);
    for (size_t i = 19; i < wire::MESSAGE_BUFFER_SIZE; ++i) ASSERT_EQ(b[i], 0) << "offset " << i;
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
