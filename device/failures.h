/*
 * failures.h - the failure table behind --fail NAME=RESULT.
 *
 * Each host function asks here first, by its own name; when an entry is set
 * it returns the entry's result instead of doing its work (a function that
 * returns a pointer returns null). The table is filled before the module
 * starts and only read afterwards, so the look-up needs no lock.
 */
#ifndef RECNET_DEVICE_FAILURES_H
#define RECNET_DEVICE_FAILURES_H

#include <optional>
#include <string>
#include <vector>

// One parsed --fail entry.
struct FailureEntry {
    std::string name;  // a host function of host_api.h
    int result;        // ignored for functions that return a pointer
};

// Parses "NAME=RESULT". NAME must name a host function that returns a value;
// RESULT must be a decimal int (any text for a function that returns a
// pointer). Returns false with a one-line reason in `error` otherwise.
bool parseFailure(const std::string& text, FailureEntry& out, std::string& error);

// Installs the entries; a later entry for the same function wins. Call before
// the module starts.
void installFailures(const std::vector<FailureEntry>& entries);

// The injected result for the host function `name`, or nothing when it
// should do its work. Safe to call from any thread.
std::optional<int> injectedFailure(const char* name);

// The names that --fail accepts, separated by spaces (for --help).
std::string failableFunctionNames();

#endif
