#include "fake_host.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>

#include "netserver/records.h"
#include "netserver/wire.h"

namespace {

int defaultAuth(uint8_t* record) {
    char user[records::LOGIN_TEXT_SIZE + 1] = {};
    char password[records::LOGIN_TEXT_SIZE + 1] = {};
    std::memcpy(user, record + records::LOGIN_USER, records::LOGIN_TEXT_SIZE);
    std::memcpy(password, record + records::LOGIN_PASSWORD, records::LOGIN_TEXT_SIZE);
    if (std::strcmp(user, "admin") != 0) return records::AUTH_UNKNOWN_USER;
    if (std::strcmp(password, "admin") != 0) return records::AUTH_WRONG_PASSWORD;
    return records::AUTH_ACCEPTED;
}

struct State {
    uint8_t sysConfig[wire::SYSCONFIG_SIZE] = {};
    uint16_t basePort = 0;
    std::map<std::string, int> forced, forcedQuiet;
    std::optional<size_t> writeAllowance;  // bytes writen may still send
    std::vector<fake_host::Call> calls;
    std::vector<std::string> log;
    std::vector<int> categories;
    std::function<int(uint8_t*)> auth = defaultAuth;
    std::function<int(CommandSession*, void*)> timeInfo;
    State() {
        sysConfig[wire::SYSCONFIG_CHANNEL_COUNT] = 4;
        sysConfig[wire::SYSCONFIG_SERIAL_PORT_COUNT] = 2;
    }
};

std::mutex mutex;
State& state() {  // under `mutex`
    static State s;
    return s;
}

template <typename F>
auto locked(F f) {
    std::lock_guard<std::mutex> lock(mutex);
    return f(state());
}

std::optional<int> lookup(const std::map<std::string, int>& m, const std::string& name) {
    auto it = m.find(name);
    return it == m.end() ? std::nullopt : std::optional<int>(it->second);
}

}  // namespace

namespace fake_host {

std::optional<int> enterCall(const char* name, std::vector<int64_t> args, std::vector<uint8_t> data) {
    return locked([&](State& s) {
        s.calls.push_back(Call{name, std::move(args), std::move(data)});
        return lookup(s.forced, name);
    });
}

void reset() {
    locked([](State& s) { s = State{}; });
    detail::resetHandlers();
    detail::resetStream();
    detail::resetTransfers();
}

void setChannels(uint8_t channels) { setSysConfigByte(wire::SYSCONFIG_CHANNEL_COUNT, channels); }
void setSerialPorts(uint8_t ports) { setSysConfigByte(wire::SYSCONFIG_SERIAL_PORT_COUNT, ports); }
void setSysConfigByte(size_t offset, uint8_t value) { locked([&](State& s) { s.sysConfig[offset] = value; }); }
void setBasePort(uint16_t port) { locked([&](State& s) { s.basePort = port; }); }
void force(const std::string& name, int result) { locked([&](State& s) { s.forced[name] = result; }); }
void unforce(const std::string& name) { locked([&](State& s) { s.forced.erase(name); }); }
void forceQuiet(const std::string& name, int result) { locked([&](State& s) { s.forcedQuiet[name] = result; }); }
std::optional<int> quietResult(const char* name) { return locked([&](State& s) { return lookup(s.forcedQuiet, name); }); }
void failWritesAfter(size_t bytes) { locked([&](State& s) { s.writeAllowance = bytes; }); }
void setAuth(std::function<int(uint8_t*)> check) { locked([&](State& s) { s.auth = std::move(check); }); }
void setTimeInfo(std::function<int(CommandSession*, void*)> answer) { locked([&](State& s) { s.timeInfo = std::move(answer); }); }

int callCount(const std::string& name) {
    return locked([&](State& s) {
        return static_cast<int>(std::count_if(s.calls.begin(), s.calls.end(), [&](const Call& c) { return c.name == name; }));
    });
}
std::vector<std::string> calls() {
    std::vector<std::string> names;
    for (const Call& c : recordedCalls()) names.push_back(c.name);
    return names;
}
std::vector<Call> recordedCalls() { return locked([](State& s) { return s.calls; }); }
std::vector<std::string> logLines() { return locked([](State& s) { return s.log; }); }
std::vector<int> logCategories() { return locked([](State& s) { return s.categories; }); }

}  // namespace fake_host

using fake_host::enterCall;

extern "C" {

int readn(int fd, void* buffer, int n) {
    // Not recorded: called for every message, it would swamp the record.
    if (auto forced = fake_host::quietResult("readn")) return *forced;
    auto* p = static_cast<uint8_t*>(buffer);
    int done = 0;
    while (done < n) {
        ssize_t r = recv(fd, p + done, static_cast<size_t>(n - done), 0);
        if (r == 0) return 0;
        if (r < 0 && errno != EINTR) return -1;
        if (r > 0) done += static_cast<int>(r);
    }
    return done;
}

int writen(int fd, const void* buffer, int n) {
    if (auto forced = enterCall("writen")) return *forced;
    const auto* p = static_cast<const uint8_t*>(buffer);
    const int limit = locked([&](State& s) {
        if (!s.writeAllowance) return n;
        const size_t allowed = std::min(*s.writeAllowance, static_cast<size_t>(n));
        *s.writeAllowance -= allowed;
        return static_cast<int>(allowed);
    });
    int done = 0;
    while (done < limit) {
        ssize_t r = send(fd, p + done, static_cast<size_t>(limit - done), MSG_NOSIGNAL);
        if (r < 0 && errno != EINTR) return -1;
        if (r > 0) done += static_cast<int>(r);
    }
    return limit < n ? -1 : done;
}

void* my_malloc(unsigned int size) {
    if (enterCall("my_malloc")) return errno = ENOMEM, nullptr;
    return std::malloc(size);
}

void my_free(void* block) {
    enterCall("my_free");
    fake_host::detail::noteFree(block);
    std::free(block);
}

int st_param_getSysConfig(void* record) {
    if (auto forced = enterCall("st_param_getSysConfig")) return *forced;
    return locked([&](State& s) { return std::memcpy(record, s.sysConfig, wire::SYSCONFIG_SIZE), 0; });
}

int st_param_getChannelNum(void) {
    if (auto forced = enterCall("st_param_getChannelNum")) return *forced;
    return locked([](State& s) { return static_cast<int>(s.sysConfig[wire::SYSCONFIG_CHANNEL_COUNT]); });
}

int st_param_getNetworkStruct(void* record) {
    if (auto forced = enterCall("st_param_getNetworkStruct")) return *forced;
    std::memset(record, 0, wire::NETWORK_RECORD_SIZE);
    wire::putU16(record, wire::NETWORK_BASE_PORT, locked([](State& s) { return s.basePort; }));
    return 0;
}

int st_param_getCollieryInfo(void* record) {
    if (auto forced = enterCall("st_param_getCollieryInfo")) return *forced;
    // Every byte its own value, so that a test sees exactly which bytes went out.
    auto* p = static_cast<uint8_t*>(record);
    for (size_t i = 0; i < wire::COLLIERY_RECORD_SIZE; ++i) p[i] = static_cast<uint8_t>(i);
    return 0;
}

int st_param_writeLogBuffer(int category, const char* text) {
    if (auto forced = enterCall("st_param_writeLogBuffer")) return *forced;
    return locked([&](State& s) { return s.log.emplace_back(text), s.categories.push_back(category), 0; });
}

int st_app_netAuthUser(void* loginRequest) {
    if (auto forced = enterCall("st_app_netAuthUser")) return *forced;
    auto check = locked([](State& s) { return s.auth; });
    return check(static_cast<uint8_t*>(loginRequest));
}

int getTimeInfo(CommandSession* session, void* message) {
    if (auto forced = enterCall("getTimeInfo")) return *forced;
    auto answer = locked([](State& s) { return s.timeInfo; });
    return answer ? answer(session, message) : 0;
}

int freeSockInfoList(CommandSession*) { return enterCall("freeSockInfoList").value_or(0); }

void(assert)(int condition) {
    enterCall("assert");
    if (!condition) std::abort();
}

}  // extern "C"
