#include <gtest/gtest.h>

#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "fake_host.h"
#include "harness.h"

using namespace it;
using testnet::u32At;

namespace {

constexpr uint16_t SUB = 0x0a0b;
constexpr uint8_t REQUEST_STATUS = 0x5a;
const Rest REST{0xA1, 0xB2, 0xC3};

Bytes loginRequest(const Bytes& record) { return request(T_LOGIN, record, SUB, REQUEST_STATUS, REST); }

Bytes headOf(const Bytes& b) { return Bytes(b.begin(), b.begin() + std::min<size_t>(16, b.size())); }

/* The user name that the session keeps, read from the host's side: the
 * MSG_TIME_INFO callback runs on the session's own thread, and an echo sent
 * after it is answered once the callback has returned. */
struct UserNameProbe {
    std::mutex mutex;
    std::string name;
    void install() {
        fake_host::setTimeInfo([this](CommandSession* s, void*) {
            std::lock_guard<std::mutex> lock(mutex);
            name.assign(s->userName, strnlen(s->userName, sizeof s->userName));
            return 0;
        });
    }
    std::string read(RawClient& c) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            name = "<not asked>";
        }
        c.send(request(T_TIME_INFO));
        EXPECT_TRUE(echoAnswered(c, 0x7171));
        std::lock_guard<std::mutex> lock(mutex);
        return name;
    }
};

}  // namespace

using WireLogin = Connected;

TEST_F(WireLogin, AcceptedAnswersTheRecordAsTheHostLeftItThenTheSessionId) {
    // The host's check writes its own user information into 60..83.
    fake_host::setAuth([](uint8_t* record) {
        record[60] = 0x11;
        record[71] = 0x22;
        record[83] = 0x33;
        return 0;
    });
    Bytes record = loginRecord("admin", "admin");
    record[70] = 0x44;  // the client's own bytes in that area stay as they are
    record[59] = 0x55;
    c.send(loginRequest(record));

    Bytes expected = record;
    expected[60] = 0x11;
    expected[71] = 0x22;
    expected[83] = 0x33;
    EXPECT_EQ(c.recv(100), header(T_LOGIN, SUB, 84, 0, REST) + expected);
    Bytes id = c.recv(20);
    ASSERT_EQ(id.size(), 20u);
    EXPECT_EQ(headOf(id), header(T_SESSION_ID, SUB, 4, 0, REST));
    EXPECT_NE(u32At(id, 16), 0u);
    EXPECT_TRUE(c.silentFor(300));
    EXPECT_EQ(fake_host::callCount("st_app_netAuthUser"), 1);
}

namespace {

/* A host result, the status the login answer must carry, and whether
 * MSG_SESSION_ID follows. */
struct Outcome {
    const char* name;
    int hostResult;
    uint8_t status;
    bool sessionIdFollows;
};

void PrintTo(const Outcome& o, std::ostream* os) { *os << "host result " << o.hostResult; }

}  // namespace

class LoginOutcome : public Connected, public ::testing::WithParamInterface<Outcome> {};

TEST_P(LoginOutcome, AnswersAndTheConnectionStaysUsable) {
    const Outcome& o = GetParam();
    fake_host::force("st_app_netAuthUser", o.hostResult);
    c.send(loginRequest(loginRecord("admin", "admin")));
    EXPECT_EQ(c.recv(16), header(T_LOGIN, SUB, 0, o.status, REST));
    uint32_t announcedId = 0;
    if (o.sessionIdFollows) {
        Bytes id = c.recv(20);
        ASSERT_EQ(id.size(), 20u);
        EXPECT_EQ(headOf(id), header(T_SESSION_ID, SUB, 4, o.status, REST));
        announcedId = u32At(id, 16);
    }
    EXPECT_TRUE(c.silentFor(300)) << "more than the login answer was sent";

    // The same connection takes a second login, which the host now accepts.
    fake_host::unforce("st_app_netAuthUser");
    uint32_t id = loginAdmin(c);
    EXPECT_NE(id, 0u);
    if (o.sessionIdFollows) {
        EXPECT_EQ(announcedId, id);
    }
    EXPECT_EQ(fake_host::callCount("st_app_netAuthUser"), 2);
}

INSTANTIATE_TEST_SUITE_P(
    HostResults, LoginOutcome,
    ::testing::Values(Outcome{"AcceptedWithoutId", 3, 0x00, false},
                      Outcome{"UnknownUser", -1, 0x01, true},
                      Outcome{"WrongPassword", -2, 0x02, true},
                      Outcome{"Other7", 7, REQUEST_STATUS, true},
                      Outcome{"Other1", 1, REQUEST_STATUS, true},
                      Outcome{"OtherMinus3", -3, REQUEST_STATUS, true}),
    [](const ::testing::TestParamInfo<Outcome>& info) { return std::string(info.param.name); });

TEST_F(WireLogin, ShortRequestReachesTheHostZeroFilled) {
    std::mutex mutex;
    std::vector<Bytes> seen;
    fake_host::setAuth([&](uint8_t* record) {
        std::lock_guard<std::mutex> lock(mutex);
        seen.emplace_back(record, record + 84);
        return -1;
    });
    // A full record first, so that stale bytes would show in the next ones.
    c.send(request(T_LOGIN, Bytes(84, 0x7e)));
    EXPECT_EQ(c.recv(36).size(), 36u);
    c.send(request(T_LOGIN));
    EXPECT_EQ(c.recv(16), header(T_LOGIN, 0, 0, 0x01));
    EXPECT_EQ(c.recv(20).size(), 20u);
    c.send(request(T_LOGIN, Bytes(30, 0x41)));
    EXPECT_EQ(c.recv(36).size(), 36u);

    std::lock_guard<std::mutex> lock(mutex);
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[0], Bytes(84, 0x7e));
    EXPECT_EQ(seen[1], Bytes(84, 0x00));
    EXPECT_EQ(seen[2], Bytes(30, 0x41) + Bytes(54, 0x00));
}

TEST_F(WireLogin, SessionKeepsTheUserNameOfAcceptedLoginsOnly) {
    UserNameProbe probe;  // read only while the test waits for its echo
    probe.install();
    // 24 characters and no terminator: the session keeps the first 23 and a NUL.
    fake_host::setAuth([](uint8_t*) { return 0; });
    c.send(request(T_LOGIN, loginRecord(std::string(24, 'u'), "pw")));
    EXPECT_EQ(c.recv(120).size(), 120u);
    EXPECT_EQ(probe.read(c), std::string(23, 'u'));

    c.send(request(T_LOGIN, loginRecord("alice", "pw")));
    EXPECT_EQ(c.recv(120).size(), 120u);
    EXPECT_EQ(probe.read(c), "alice");

    // Refused: the name stays.
    fake_host::setAuth([](uint8_t*) { return -2; });
    c.send(request(T_LOGIN, loginRecord("mallory", "pw")));
    EXPECT_EQ(c.recv(16), header(T_LOGIN, 0, 0, 0x02));
    EXPECT_EQ(c.recv(20).size(), 20u);
    EXPECT_EQ(probe.read(c), "alice");

    // Result 3 is an acceptance: the name changes, no session id follows.
    fake_host::setAuth([](uint8_t*) { return 3; });
    c.send(request(T_LOGIN, loginRecord("carol", "pw")));
    EXPECT_EQ(c.recv(16), header(T_LOGIN, 0, 0, 0x00));
    EXPECT_EQ(probe.read(c), "carol");
}
