#include <gtest/gtest.h>

#include "fake_host.h"
#include "module_server.h"
#include "net.h"

using namespace testnet;

TEST(Smoke, EchoComesBackByteForByte) {
    ModuleServer server;
    ASSERT_TRUE(server.started());
    RawClient c(server.port());
    ASSERT_TRUE(c.connected());
    const uint8_t rest[3] = {7, 8, 9};
    Bytes echo = message(0x80c, {}, 0x1234, 0x55, 0x504C4C4C, rest);
    c.send(echo);
    EXPECT_EQ(c.recv(16), echo);
}
