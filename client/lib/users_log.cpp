/*
 * users_log.cpp - the device's users and its log: records, lists and the
 * commands that change them.
 */
#include <algorithm>

#include "commands.h"
#include "netserver/records.h"
#include "netserver/wire.h"
#include "payload.h"

namespace recnet {

namespace {

// The count word of a list reply, checked against the records that follow.
size_t listCount(const std::vector<uint8_t>& payload, size_t recordSize, const char* what) {
    expectSize(payload, wire::LIST_COUNT_SIZE, what);
    size_t n = wire::getU32(payload.data(), 0);
    size_t fit = (payload.size() - wire::LIST_COUNT_SIZE) / recordSize;
    return std::min(n, fit);
}

}  // namespace

/* ---- users ------------------------------------------------------------------- */

std::vector<uint8_t> buildUserRecord(const std::string& name, const std::string& password,
                                     uint32_t rights) {
    std::vector<uint8_t> r(wire::USER_RECORD_SIZE, 0);
    wire::putText(r.data(), records::USER_NAME, records::USER_TEXT_SIZE, name);
    wire::putText(r.data(), records::USER_PASSWORD, records::USER_TEXT_SIZE, password);
    wire::putU32(r.data(), records::USER_RIGHTS, rights);
    return r;
}

std::vector<UserInfo> decodeUserList(const std::vector<uint8_t>& payload) {
    size_t n = listCount(payload, wire::USER_RECORD_SIZE, "user list");
    std::vector<UserInfo> out;
    for (size_t i = 0; i < n; ++i) {
        const uint8_t* r = payload.data() + wire::LIST_COUNT_SIZE + i * wire::USER_RECORD_SIZE;
        out.push_back({wire::getText(r, records::USER_NAME, records::USER_TEXT_SIZE),
                       wire::getU32(r, records::USER_RIGHTS)});
    }
    return out;
}

std::vector<UserInfo> listUsers(Connection& conn, Duration timeout) {
    return decodeUserList(
        command(conn, wire::MSG_GET_USER_LIST, 0, {}, timeout, "user list").payload);
}

void addUser(Connection& conn, const std::string& name, const std::string& password,
             uint32_t rights, Duration timeout) {
    command(conn, wire::MSG_ADD_USER, 0, buildUserRecord(name, password, rights), timeout,
            "add user '" + name + "'");
}

void deleteUser(Connection& conn, const std::string& name, Duration timeout) {
    command(conn, wire::MSG_DELETE_USER, 0, buildUserRecord(name, "", 0), timeout,
            "delete user '" + name + "'");
}

void modifyUser(Connection& conn, const std::string& name, const std::string& password,
                uint32_t rights, Duration timeout) {
    command(conn, wire::MSG_MODIFY_USER, 0, buildUserRecord(name, password, rights), timeout,
            "modify user '" + name + "'");
}

/* ---- device log --------------------------------------------------------------- */

std::vector<uint8_t> buildLogQuery(const LogQuery& q) {
    std::vector<uint8_t> r(wire::LOG_QUERY_SIZE, 0);
    wire::putU32(r.data(), records::QUERY_START, q.since);
    wire::putU32(r.data(), records::QUERY_END, q.until);
    wire::putU32(r.data(), records::QUERY_CATEGORY, q.category);
    wire::putU32(r.data(), records::QUERY_MAX, q.max);
    return r;
}

std::vector<LogEntry> decodeLogList(const std::vector<uint8_t>& payload) {
    size_t n = listCount(payload, wire::LOG_RECORD_SIZE, "log list");
    std::vector<LogEntry> out;
    out.reserve(n);
    for (size_t i = 0; i < n; ++i) {
        const uint8_t* r = payload.data() + wire::LIST_COUNT_SIZE + i * wire::LOG_RECORD_SIZE;
        out.push_back({wire::getU32(r, records::LOG_ID), wire::getU32(r, records::LOG_TIME),
                       wire::getU32(r, records::LOG_CATEGORY),
                       wire::getText(r, records::LOG_TEXT, wire::LOG_LINE_SIZE)});
    }
    return out;
}

std::string logCategoryName(uint32_t category) {
    switch (category) {
        case wire::LOG_CATEGORY_SYSTEM: return "system";
        case wire::LOG_CATEGORY_DISK: return "disk";
        case wire::LOG_CATEGORY_CONTROL: return "control";
        case wire::LOG_CATEGORY_OPERATION: return "operation";
        default: return std::to_string(category);
    }
}

std::vector<LogEntry> listLog(Connection& conn, const LogQuery& q, Duration timeout) {
    return decodeLogList(
        command(conn, wire::MSG_GET_LOG_LIST, 0, buildLogQuery(q), timeout, "log list").payload);
}

void deleteLog(Connection& conn, const LogQuery& q, Duration timeout) {
    command(conn, wire::MSG_DELETE_LOG, 0, buildLogQuery(q), timeout, "delete log");
}

}  // namespace recnet
