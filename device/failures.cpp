/*
 * failures.cpp - the failure table behind --fail NAME=RESULT.
 */
#include "failures.h"

#include <array>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>

namespace {

enum class Returns { Int, Pointer, Nothing };

struct HostFnInfo {
    const char* name;
    HostFn fn;
    Returns returns;
};

constexpr std::array<HostFnInfo, static_cast<size_t>(HostFn::Count)> kHostFns = {{
    {"readn", HostFn::Readn, Returns::Int},
    {"writen", HostFn::Writen, Returns::Int},
    {"my_malloc", HostFn::MyMalloc, Returns::Pointer},
    {"my_free", HostFn::MyFree, Returns::Nothing},
    {"st_param_getSysConfig", HostFn::GetSysConfig, Returns::Int},
    {"st_param_getChannelNum", HostFn::GetChannelNum, Returns::Int},
    {"st_param_getNetworkStruct", HostFn::GetNetworkStruct, Returns::Int},
    {"st_param_getCollieryInfo", HostFn::GetCollieryInfo, Returns::Int},
    {"st_param_writeLogBuffer", HostFn::WriteLogBuffer, Returns::Int},
    {"st_app_netAuthUser", HostFn::NetAuthUser, Returns::Int},
    {"getTimeInfo", HostFn::GetTimeInfo, Returns::Int},
    {"freeSockInfoList", HostFn::FreeSockInfoList, Returns::Int},
    {"assert", HostFn::Assert, Returns::Nothing},
}};

// One slot per host function. `armed` is published with release after
// `result`, so a reader that sees it armed also sees its result.
struct Slot {
    std::atomic<bool> armed{false};
    std::atomic<int> result{0};
};
std::array<Slot, static_cast<size_t>(HostFn::Count)> g_slots;

const HostFnInfo* findHostFn(const std::string& name) {
    for (const HostFnInfo& info : kHostFns)
        if (name == info.name) return &info;
    return nullptr;
}

bool parseInt(const std::string& text, int& out) {
    if (text.empty()) return false;
    errno = 0;
    char* end = nullptr;
    long value = std::strtol(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || value < INT_MIN || value > INT_MAX) return false;
    out = static_cast<int>(value);
    return true;
}

}  // namespace

bool parseFailure(const std::string& text, FailureEntry& out, std::string& error) {
    const size_t eq = text.find('=');
    if (eq == std::string::npos) {
        error = "--fail expects NAME=RESULT, got '" + text + "'";
        return false;
    }
    const std::string name = text.substr(0, eq);
    const std::string result = text.substr(eq + 1);
    const HostFnInfo* info = findHostFn(name);
    if (info == nullptr) {
        error = "--fail: '" + name + "' is not a host function (one of: " +
                failableFunctionNames() + ")";
        return false;
    }
    out.fn = info->fn;
    out.result = 0;
    switch (info->returns) {
    case Returns::Nothing:
        error = "--fail: " + name + " returns nothing, so it cannot be made to fail";
        return false;
    case Returns::Pointer:
        // The only failure an allocator can report is null.
        return true;
    case Returns::Int:
        if (!parseInt(result, out.result)) {
            error = "--fail: RESULT for " + name + " must be an integer, got '" + result + "'";
            return false;
        }
        return true;
    }
    return false;
}

void installFailures(const std::vector<FailureEntry>& entries) {
    for (const FailureEntry& entry : entries) {
        Slot& slot = g_slots[static_cast<size_t>(entry.fn)];
        slot.result.store(entry.result, std::memory_order_relaxed);
        slot.armed.store(true, std::memory_order_release);
    }
}

std::optional<int> injectedFailure(HostFn fn) {
    const Slot& slot = g_slots[static_cast<size_t>(fn)];
    if (!slot.armed.load(std::memory_order_acquire)) return std::nullopt;
    return slot.result.load(std::memory_order_relaxed);
}

std::string failableFunctionNames() {
    std::string names;
    for (const HostFnInfo& info : kHostFns) {
        if (info.returns == Returns::Nothing) continue;
        if (!names.empty()) names += ' ';
        names += info.name;
    }
    return names;
}
