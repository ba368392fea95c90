/*
 * fake_host.cpp - the scriptable host of the module's tests.
 */
#include "fake_host.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>

#include "netserver/records.h"
#include "netserver/wire.h"

namespace {

struct State {
    std::mutex mutex;
    uint8_t sysConfig[wire::SYSCONFIG_SIZE] = {};
    uint16_t basePort = 0;
    std::map<std::string, int> forced;
    std::map<std::string, int> forcedQuiet;
    std::optional<size_t> writeAllowance;  // bytes writen may still send
    std::vector<std::string> calls;
    std::vector<std::string> log;
    std::vector<int> categories;
    std::function<int(uint8_t*)> auth;
    std::function<int(CommandSession*, void*)> timeInfo;
};

State& state() {
    static State s;
    return s;
}

/* Runs `f` on the state under its lock; returns what `f` returns. */
template <typename F>
auto locked(F f) {
    std::lock_guard<std::mutex> lock(state().mutex);
    return f(state());
}

}  // namespace

namespace fake_host {

std::optional<int> enterCall(const char* name) {
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.calls.emplace_back(name);
    auto it = s.forced.find(name);
    if (it == s.forced.end()) return std::nullopt;
    return it->second;
}

}  // namespace fake_host

namespace {

using fake_host::enterCall;
inline std::optional<int> enter(const char* name) { return enterCall(name); }

int defaultAuth(uint8_t* record) {
    char user[records::LOGIN_TEXT_SIZE + 1] = {};
    char password[records::LOGIN_TEXT_SIZE + 1] = {};
    std::memcpy(user, record + records::LOGIN_USER, records::LOGIN_TEXT_SIZE);
    std::memcpy(password, record + records::LOGIN_PASSWORD, records::LOGIN_TEXT_SIZE);
    if (std::strcmp(user, "admin") != 0) return records::AUTH_UNKNOWN_USER;
    if (std::strcmp(password, "admin") != 0) return records::AUTH_WRONG_PASSWORD;
    return records::AUTH_ACCEPTED;
}

}  // namespace

namespace fake_host {

void reset() {
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    std::memset(s.sysConfig, 0, sizeof s.sysConfig);
    s.sysConfig[wire::SYSCONFIG_CHANNEL_COUNT] = 4;
    s.sysConfig[wire::SYSCONFIG_SERIAL_PORT_COUNT] = 2;
    s.basePort = 0;
    s.forced.clear();
    s.forcedQuiet.clear();
    s.writeAllowance.reset();
    s.calls.clear();
    s.log.clear();
    s.categories.clear();
    s.auth = defaultAuth;
    s.timeInfo = nullptr;
    detail::resetHandlers();
    detail::resetStream();
    detail::resetTransfers();
}

void setChannels(uint8_t channels) { setSysConfigByte(wire::SYSCONFIG_CHANNEL_COUNT, channels); }
void setSerialPorts(uint8_t ports) { setSysConfigByte(wire::SYSCONFIG_SERIAL_PORT_COUNT, ports); }

void setSysConfigByte(size_t offset, uint8_t value) { locked([&](State& s) { s.sysConfig[offset] = value; }); }

void setBasePort(uint16_t port) { locked([&](State& s) { s.basePort = port; }); }

void force(const std::string& name, int result) { locked([&](State& s) { s.forced[name] = result; }); }

void forceQuiet(const std::string& name, int result) { locked([&](State& s) { s.forcedQuiet[name] = result; }); }

std::optional<int> quietResult(const char* name) {
    std::lock_guard<std::mutex> lock(state().mutex);
    auto it = state().forcedQuiet.find(name);
    if (it == state().forcedQuiet.end()) return std::nullopt;
    return it->second;
}

void failWritesAfter(size_t bytes) { locked([&](State& s) { s.writeAllowance = bytes; }); }

void unforce(const std::string& name) { locked([&](State& s) { s.forced.erase(name); }); }

void setAuth(std::function<int(uint8_t*)> check) {
    std::lock_guard<std::mutex> lock(state().mutex);
    state().auth = std::move(check);
}

void setTimeInfo(std::function<int(CommandSession*, void*)> answer) {
    std::lock_guard<std::mutex> lock(state().mutex);
    state().timeInfo = std::move(answer);
}

int callCount(const std::string& name) {
    std::lock_guard<std::mutex> lock(state().mutex);
    int n = 0;
    for (const auto& c : state().calls) n += (c == name);
    return n;
}

std::vector<std::string> calls() { return locked([&](State& s) { return s.calls; }); }

std::vector<std::string> logLines() { return locked([&](State& s) { return s.log; }); }

std::vector<int> logCategories() { return locked([&](State& s) { return s.categories; }); }

}  // namespace fake_host

/* ---- the host functions ------------------------------------------------- */

extern "C" {

int readn(int fd, void* buffer, int n) {
    // Not recorded: called for every message, it would swamp the record.
    if (auto forced = fake_host::quietResult("readn")) return *forced;
    auto* p = static_cast<uint8_t*>(buffer);
    int done = 0;
    while (done < n) {
        ssize_t r = recv(fd, p + done, static_cast<size_t>(n - done), 0);
        if (r == 0) return 0;
        if (r < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        done += static_cast<int>(r);
    }
    return done;
}

int writen(int fd, const void* buffer, int n) {
    if (auto forced = enter("writen")) return *forced;
    const auto* p = static_cast<const uint8_t*>(buffer);
    int limit = n;
    {
        std::lock_guard<std::mutex> lock(state().mutex);
        if (auto& allowance = state().writeAllowance) {
            limit = static_cast<int>(std::min(*allowance, static_cast<size_t>(n)));
            *allowance -= static_cast<size_t>(limit);
        }
    }
    int done = 0;
    while (done < limit) {
        ssize_t r = send(fd, p + done, static_cast<size_t>(limit - done), MSG_NOSIGNAL);
        if (r < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        done += static_cast<int>(r);
    }
    return limit < n ? -1 : done;
}

void* my_malloc(unsigned int size) {
    if (enter("my_malloc")) {
        errno = ENOMEM;
        return nullptr;
    }
    return std::malloc(size);
}

void my_free(void* block) {
    enter("my_free");
    fake_host::detail::noteFree(block);
    std::free(block);
}

int st_param_getSysConfig(void* record) {
    if (auto forced = enter("st_param_getSysConfig")) return *forced;
    std::lock_guard<std::mutex> lock(state().mutex);
    std::memcpy(record, state().sysConfig, wire::SYSCONFIG_SIZE);
    return 0;
}

int st_param_getChannelNum(void) {
    if (auto forced = enter("st_param_getChannelNum")) return *forced;
    std::lock_guard<std::mutex> lock(state().mutex);
    return state().sysConfig[wire::SYSCONFIG_CHANNEL_COUNT];
}

int st_param_getNetworkStruct(void* record) {
    if (auto forced = enter("st_param_getNetworkStruct")) return *forced;
    std::lock_guard<std::mutex> lock(state().mutex);
    std::memset(record, 0, wire::NETWORK_RECORD_SIZE);
    wire::putU16(record, wire::NETWORK_BASE_PORT, state().basePort);
    return 0;
}

int st_param_getCollieryInfo(void* record) {
    if (auto forced = enter("st_param_getCollieryInfo")) return *forced;
    // Every byte its own value, so that a test sees exactly which bytes went out.
    auto* p = static_cast<uint8_t*>(record);
    for (size_t i = 0; i < wire::COLLIERY_RECORD_SIZE; ++i) p[i] = static_cast<uint8_t>(i);
    return 0;
}

int st_param_writeLogBuffer(int category, const char* text) {
    if (auto forced = enter("st_param_writeLogBuffer")) return *forced;
    std::lock_guard<std::mutex> lock(state().mutex);
    state().log.emplace_back(text);
    state().categories.push_back(category);
    return 0;
}

int st_app_netAuthUser(void* loginRequest) {
    if (auto forced = enter("st_app_netAuthUser")) return *forced;
    std::function<int(uint8_t*)> check;
    {
        std::lock_guard<std::mutex> lock(state().mutex);
        check = state().auth;
    }
    return check(static_cast<uint8_t*>(loginRequest));
}

int getTimeInfo(CommandSession* session, void* message) {
    if (auto forced = enter("getTimeInfo")) return *forced;
    std::function<int(CommandSession*, void*)> answer;
    {
        std::lock_guard<std::mutex> lock(state().mutex);
        answer = state().timeInfo;
    }
    return answer ? answer(session, message) : 0;
}

int freeSockInfoList(CommandSession*) {
    if (auto forced = enter("freeSockInfoList")) return *forced;
    return 0;
}

void(assert)(int condition) {
    enter("assert");
    if (!condition) std::abort();
}

}  // extern "C"
