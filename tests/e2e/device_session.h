/*
 * device_session.h - raw-bytes helpers for the tests of the device's state: a
 * logged-in command connection, hand-built records, log texts, a clean stop.
 */
#ifndef RECNET_TESTS_DEVICE_SESSION_H
#define RECNET_TESTS_DEVICE_SESSION_H

#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <initializer_list>
#include <string>
#include <vector>

#include "device_fixture.h"

namespace e2e {

using testnet::Bytes;

inline constexpr uint16_t kSetParam = 0x401, kGetParam = 0x402, kSetTime = 0x802, kGetTime = 0x803;
inline constexpr uint16_t kGetHardDisk = 0x805, kGetStatus = 0x806, kGetLog = 0x807, kGetUsers = 0x80e;
inline constexpr uint16_t kAddUser = 0x80f, kDeleteUser = 0x810, kModifyUser = 0x811, kSerialSend = 0x818;
inline constexpr uint16_t kPtz = 0x7, kDefaultSetting = 0x8, kSetHandRecord = 0x840, kDeleteFile = 0x842;
inline constexpr uint16_t kReboot = 0x843, kFdisk = 0x845, kFormat = 0x846, kFormatPercent = 0x847;
inline constexpr uint16_t kFdiskStatus = 0x848, kTimeInfo = 0x103, kKeepAlive = 0x102, kEcho = 0x80c;
inline constexpr uint8_t kFailed = 0xff, kDiskBusy = 0x11;

struct Reply {
    uint8_t status = 0;
    Bytes payload;
    bool ok = false;  // a whole reply arrived
};

inline void put32(Bytes& b, size_t off, uint32_t v) {
    if (b.size() < off + 4) b.resize(off + 4, 0);
    for (int i = 0; i < 4; ++i) b[off + i] = static_cast<uint8_t>(v >> (8 * i));
}

inline Bytes words(std::initializer_list<uint32_t> ws) {
    Bytes b;
    for (uint32_t w : ws) put32(b, b.size(), w);
    return b;
}

inline Bytes text(const std::string& s, size_t size) {
    Bytes b(size, 0);
    std::copy(s.begin(), s.end(), b.begin());
    return b;
}

inline std::string textAt(const Bytes& b, size_t off, size_t size) {
    std::string s(reinterpret_cast<const char*>(b.data()) + off, size);
    return s.substr(0, s.find('\0'));
}

// UserRecord: name at 0, password at 24, rights at 48; 56 bytes.
inline Bytes userRecord(const std::string& name, const std::string& password, uint32_t rights = 1) {
    Bytes b = text(name, 24);
    Bytes pw = text(password, 24);
    b.insert(b.end(), pw.begin(), pw.end());
    put32(b, 48, rights);
    b.resize(56, 0);
    return b;
}

// A logged-in command connection.
class Session {
public:
    explicit Session(uint16_t port, const std::string& user = "admin", const std::string& pw = "admin")
        : c_(port) {
        c_.send(testnet::message(1, testnet::loginRecord(user, pw)));
        Bytes answer = c_.recv(16);
        if (answer.size() != 16) return;
        loginStatus_ = answer[12];
        c_.recv(testnet::u32At(answer, 8));
        if (loginStatus_ == 0) loggedIn_ = c_.recv(20).size() == 20;  // MSG_SESSION_ID
    }
    bool loggedIn() const { return loggedIn_; }
    uint8_t loginStatus() const { return loginStatus_; }
    testnet::RawClient& raw() { return c_; }

    Reply request(uint16_t type, const Bytes& payload = {}, uint16_t subtype = 0, int timeoutMs = 5000) {
        c_.send(testnet::message(type, payload, subtype));
        Reply r;
        Bytes h = c_.recv(16, timeoutMs);
        if (h.size() != 16) return r;
        r.status = h[12];
        const uint32_t length = testnet::u32At(h, 8);
        r.payload = c_.recv(length, timeoutMs);
        r.ok = r.payload.size() == length;
        return r;
    }

private:
    testnet::RawClient c_;
    uint8_t loginStatus_ = 0xee;
    bool loggedIn_ = false;
};

// The texts of the log lines that a query for everything returns.
inline std::vector<std::string> logTexts(Session& s) {
    Reply r = s.request(kGetLog, Bytes(52, 0));
    std::vector<std::string> out;
    if (!r.ok || r.payload.size() < 4) return out;
    const uint32_t n = testnet::u32At(r.payload, 0);
    for (uint32_t i = 0; i < n && 4 + (i + 1) * 76 <= r.payload.size(); ++i)
        out.push_back(textAt(r.payload, 4 + i * 76 + 12, 48));
    return out;
}

inline bool contains(const std::vector<std::string>& lines, const std::string& needle) {
    for (const std::string& l : lines)
        if (l.find(needle) != std::string::npos) return true;
    return false;
}

// Ends a device and checks a clean exit (a sanitizer report fails it).
inline void stop(Device& d) {
    d.child->signal(SIGTERM);
    EXPECT_EQ(d.child->wait(20000), 0) << d.child->err();
    const std::string err = d.child->err();
    EXPECT_EQ(err.find("Sanitizer"), std::string::npos) << err;
    EXPECT_EQ(err.find("runtime error"), std::string::npos) << err;
    d.child.reset();
}

}  // namespace e2e

#endif
