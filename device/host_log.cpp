/*
 * host_log.cpp - the device log: st_param_writeLogBuffer, the log list and
 * the log delete. Lines live in the store; each has an id, the device
 * clock's time, a category and at most 47 characters of text.
 */
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "device_state.h"
#include "failures.h"
#include "netserver/host_api.h"
#include "netserver/records.h"
#include "netserver/wire.h"
#include "store.h"

namespace {

constexpr size_t kTextMax = wire::LOG_LINE_SIZE - 1;

LogFilter filterOf(const LogQuery& query) {
    LogFilter f;
    f.start = wire::getU32(query.bytes, records::QUERY_START);
    f.end = wire::getU32(query.bytes, records::QUERY_END);
    f.category = wire::getU32(query.bytes, records::QUERY_CATEGORY);
    f.max = wire::getU32(query.bytes, records::QUERY_MAX);
    return f;
}

void freeLogList(LogNode* head) {
    while (head != nullptr) {
        LogNode* next = head->next;
        std::free(head);
        head = next;
    }
}

}  // namespace

void deviceLog(uint32_t category, const std::string& text) {
    const std::string line = text.substr(0, kTextMax);
    deviceStore().appendLog(deviceNow(), category, line);
    // One fprintf per line: stdio locks the stream per call, so lines of
    // concurrent writers do not mix.
    std::fprintf(stderr, "log: %s\n", line.c_str());
}

// Appends one line to the device log. Reads at most 47 characters of `text`,
// so a line without its NUL is cut rather than overrun. Returns 0, or -1 for
// a null text or a store failure.
extern "C" int st_param_writeLogBuffer(int category, const char* text) {
    if (auto injected = injectedFailure("st_param_writeLogBuffer")) return *injected;
    if (text == nullptr) return -1;
    const std::string line(text, strnlen(text, kTextMax));
    if (!deviceStore().appendLog(deviceNow(), static_cast<uint32_t>(category), line)) return -1;
    std::fprintf(stderr, "log: %s\n", line.c_str());
    return 0;
}

// Hands over the lines that `query` selects, oldest first, as a list of
// malloc'ed LogNodes (null when none). Returns 0, or -1 when a node cannot
// be allocated (nothing is handed over then).
extern "C" int st_app_netGetLogList(LogQuery query, LogNode** head) {
    if (auto injected = injectedFailure("st_app_netGetLogList")) return *injected;
    if (head == nullptr) return -1;
    *head = nullptr;
    LogNode** tail = head;
    for (const StoredLogLine& line : deviceStore().logLines(filterOf(query))) {
        auto* node = static_cast<LogNode*>(std::calloc(1, sizeof(LogNode)));
        if (node == nullptr) {
            freeLogList(*head);
            *head = nullptr;
            return -1;
        }
        wire::putU32(node->record, records::LOG_ID, line.id);
        wire::putU32(node->record, records::LOG_TIME, static_cast<uint32_t>(line.time));
        wire::putU32(node->record, records::LOG_CATEGORY, line.category);
        std::memcpy(node->record + records::LOG_TEXT, line.text.data(),
                    std::min(line.text.size(), kTextMax));
        *tail = node;
        tail = &node->next;
    }
    return 0;
}

// Deletes the lines that `query` lists. Returns how many, or -1 on a store
// failure.
extern "C" int st_app_netDeleteLogInfo(LogQuery query) {
    if (auto injected = injectedFailure("st_app_netDeleteLogInfo")) return *injected;
    return deviceStore().deleteLog(filterOf(query));
}
