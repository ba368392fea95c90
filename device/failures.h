/*
 * failures.h - the failure table behind --fail NAME=RESULT.
 *
 * Each host function looks itself up here first; when an entry is set it
 * returns the entry's result instead of doing its work. The table is filled
 * before the module starts and only read afterwards.
 */
#ifndef RECNET_DEVICE_FAILURES_H
#define RECNET_DEVICE_FAILURES_H

#include <optional>
#include <string>
#include <vector>

// Every host function of host_api.h, in its order there.
enum class HostFn {
    Readn,
    Writen,
    MyMalloc,
    MyFree,
    GetSysConfig,
    GetChannelNum,
    GetNetworkStruct,
    GetCollieryInfo,
    WriteLogBuffer,
    NetAuthUser,
    GetTimeInfo,
    FreeSockInfoList,
    Assert,
    Count
};

// One parsed --fail entry.
struct FailureEntry {
    HostFn fn;
    int result;  // for my_malloc: ignored, the allocation returns null
};

// Parses "NAME=RESULT". NAME must name a host function that returns a value;
// RESULT must be a decimal int (any text for my_malloc). Returns false with a
// one-line reason in `error` otherwise.
bool parseFailure(const std::string& text, FailureEntry& out, std::string& error);

// Installs the entries; a later entry for the same function wins. Call before
// the module starts.
void installFailures(const std::vector<FailureEntry>& entries);

// The injected result for `fn`, or nothing when it should do its work.
// Safe to call from any thread.
std::optional<int> injectedFailure(HostFn fn);

// The names that --fail accepts, separated by spaces (for --help).
std::string failableFunctionNames();

#endif
