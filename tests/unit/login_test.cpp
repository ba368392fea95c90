// auth_user: the login answer and MSG_SESSION_ID, by the host's result.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "fake_host.h"
#include "netserver/netserver.h"
#include "netserver/wire.h"
#include "unit_support.h"

using testnet::Bytes;

namespace {

std::unique_ptr<uint8_t[]> loginMessage(const Bytes& record, uint8_t status = 0) {
    auto buf = std::make_unique<uint8_t[]>(wire::MESSAGE_BUFFER_SIZE);
    std::memset(buf.get(), 0, wire::MESSAGE_BUFFER_SIZE);
    const uint8_t rest[3] = {1, 2, 3};
    Bytes m = testnet::message(1, record, 0x0abc, status, 0x504C4C4C, rest);
    std::memcpy(buf.get(), m.data(), m.size());
    return buf;
}

}  // namespace

TEST(Login, AcceptedKeepsNameAndUserInfoAsTheHostLeftThem) {
    fake_host::reset();
    fake_host::setAuth([](uint8_t* r) {
        r[60] = 0xC0;
        r[83] = 0xDE;
        return 0;
    });
    PairedSession ps;
    auto msg = loginMessage(testnet::loginRecord("operator", "pw"));
    ASSERT_EQ(auth_user(ps.session, msg.get()), 0);
    EXPECT_STREQ(ps.session->userName, "operator");
    EXPECT_EQ(ps.session->userInfo[0], 0xC0);
    EXPECT_EQ(ps.session->userInfo[23], 0xDE);
    Bytes answer = ps.read(100);
    ASSERT_EQ(answer.size(), 100u);
    EXPECT_EQ(answer[76], 0xC0);
    // The caller's buffer is not touched.
    EXPECT_EQ(msg[16 + 60], 0);
    EXPECT_EQ(wire::getU32(msg.get(), wire::HDR_LENGTH), 84u);
}
