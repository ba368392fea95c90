/*
 * device_commands.cpp - the recnet commands that drive the device.
 *
 * Each command parses its words completely before it connects, so that a bad
 * command line never reaches the device. Results go to stdout (one JSON
 * object with --json), errors to stderr.
 */
#include "device_commands.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <iostream>
#include <iterator>
#include <map>
#include <optional>
#include <set>
#include <thread>

// The library's commands.h; a plain "commands.h" would be this folder's.
#include "../lib/commands.h"
#include "cli_support.h"
#include "commands.h"  // this folder's: the exit statuses
#include "errors.h"
#include "hex.h"
#include "netserver/records.h"
#include "netserver/wire.h"
#include "session.h"
#include "transfer_commands.h"

namespace recnet::cli {

namespace {

using Clock = std::chrono::steady_clock;

const char DEVICE_USAGE[] =
    "\n"
    "device commands (see docs/cli.md):\n"
    "  user list | add NAME PASSWORD [--rights M] | delete NAME\n"
    "       | modify NAME [--password P] [--rights M]\n"
    "  log list [--since T] [--until T] [--category C] [--max N]\n"
    "  log delete (--all | [--since T] [--until T] [--category C] [--max N])\n"
    "  param get TYPE [--channel C] [--hex] | set TYPE (--hex HEX | --file F)\n"
    "        | reset-video CHANNEL\n"
    "  time get | set \"YYYY-MM-DD HH:MM:SS\" | set now\n"
    "  info version | disk | status | update | platform | wifi\n"
    "  version set TEXT          camera init | init-itu      session-flag 0|1\n"
    "  ptz CHANNEL ACTION [--speed N] [--preset N]\n"
    "  iframe CHANNEL            record start CHANNEL [--kind main|sub] [--minutes M]\n"
    "  record stop CHANNEL       serial send (TEXT | --hex HEX | --file F)\n"
    "  reboot [--wait]           default-setting    resume-default    factory-reset\n"
    "  cmos-default              3g-reset           3g-default VALUE\n"
    "  disk fdisk DISK PARTITIONS | format DISK PARTITION [FS] [--no-wait]\n"
    "  file delete NAME          worker start\n"
    "  T: \"YYYY-MM-DD HH:MM:SS\", \"YYYY-MM-DD\" or seconds since 1970 (device clock);\n"
    "  C: system, disk, control, operation or a number.\n"
    "exit status 4: the device is busy with a disk operation\n";

/* ---- the command line ------------------------------------------------------------ */

void operandCount(const Words& w, const std::string& what, size_t min, size_t max,
                  const char* shape) {
    if (w.operands.size() < min || w.operands.size() > max) {
        throw UsageError(what + " needs " + shape);
    }
}

// "YYYY-MM-DD HH:MM:SS" (or with a T), also without seconds.
std::optional<TimeInfo> parseDateTime(const std::string& text) {
    TimeInfo t;
    char sep = 0;
    int n = 0;
    unsigned y, mo, d, h = 0, mi = 0, s = 0;
    if (std::sscanf(text.c_str(), "%4u-%2u-%2u%c%2u:%2u:%2u%n", &y, &mo, &d, &sep, &h, &mi, &s,
                    &n) == 7 &&
        size_t(n) == text.size() && (sep == ' ' || sep == 'T')) {
    } else if (std::sscanf(text.c_str(), "%4u-%2u-%2u%c%2u:%2u%n", &y, &mo, &d, &sep, &h, &mi,
                           &n) == 6 &&
               size_t(n) == text.size() && (sep == ' ' || sep == 'T')) {
        s = 0;
    } else if (std::sscanf(text.c_str(), "%4u-%2u-%2u%n", &y, &mo, &d, &n) == 3 &&
               size_t(n) == text.size()) {
        h = mi = s = 0;
    } else {
        return std::nullopt;
    }
    if (mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || s > 59) return std::nullopt;
    t.year = y, t.month = mo, t.day = d, t.hour = h, t.minute = mi, t.second = s;
    return t;
}

// Seconds since 1970 as the local date and time (the device's clock is kept
// in the same zone as this machine's when both run here).
std::string formatEpoch(uint32_t seconds) {
    std::time_t t = static_cast<std::time_t>(seconds);
    std::tm tm{};
    localtime_r(&t, &tm);
    char b[32];
    std::strftime(b, sizeof b, "%Y-%m-%d %H:%M:%S", &tm);
    return b;
}

// A log time bound: seconds since 1970, or a local date (and time).
uint32_t parseTimeBound(const std::string& what, const std::string& text) {
    if (auto v = parseNumber(text, 0xffffffffu)) return static_cast<uint32_t>(*v);
    auto t = parseDateTime(text);
    if (!t) {
        throw UsageError("bad value '" + text + "' for " + what +
                         " (\"YYYY-MM-DD HH:MM:SS\", \"YYYY-MM-DD\" or seconds since 1970)");
    }
    std::tm tm{};
    tm.tm_year = static_cast<int>(t->year) - 1900;
    tm.tm_mon = static_cast<int>(t->month) - 1;
    tm.tm_mday = static_cast<int>(t->day);
    tm.tm_hour = static_cast<int>(t->hour);
    tm.tm_min = static_cast<int>(t->minute);
    tm.tm_sec = static_cast<int>(t->second);
    tm.tm_isdst = -1;
    std::time_t e = std::mktime(&tm);
    if (e < 0 || e > 0xffffffffLL) throw UsageError("time '" + text + "' is out of range");
    return static_cast<uint32_t>(e);
}

uint32_t parseCategory(const std::string& text) {
    for (uint32_t c = wire::LOG_CATEGORY_SYSTEM; c <= wire::LOG_CATEGORY_OPERATION; ++c) {
        if (text == logCategoryName(c)) return c;
    }
    return static_cast<uint32_t>(number("--category", text, 0xffffffffu));
}

/* ---- output ------------------------------------------------------------------------ */

std::string gigabytes(uint64_t bytes) {
    char b[32];
    std::snprintf(b, sizeof b, "%.1f GB", static_cast<double>(bytes) / 1e9);
    return b;
}

// Prints "OK-line" (plain) or {"result":"ok"} (JSON) for commands without data.
int done(const GlobalOptions& g, const std::string& line) {
    if (g.json) {
        std::cout << "{\"result\":\"ok\",\"message\":" << jsonString(line) << "}\n";
    } else {
        std::cout << line << "\n";
    }
    return EXIT_OK;
}

/* ---- users ----------------------------------------------------------------------------- */

uint32_t parseRights(const Words& w, uint32_t fallback) {
    auto r = w.get("--rights");
    if (!r) return fallback;
    if (*r == "all") return records::RIGHTS_ALL;
    return static_cast<uint32_t>(number("--rights", *r, 0xffffffffu));
}

int cmdUser(const GlobalOptions& g, const std::vector<std::string>& args) {
    if (args.empty()) throw UsageError("user needs list, add, delete or modify");
    const std::string action = args[0];
    const std::vector<std::string> rest(args.begin() + 1, args.end());
    if (action == "list") {
        Words w = splitWords("user list", rest, {}, {});
        operandCount(w, "user list", 0, 0, "no operands");
        Link link(g);
        std::vector<UserInfo> users = listUsers(link.conn(), g.timeout);
        if (g.json) {
            std::cout << "{\"users\":[";
            for (size_t i = 0; i < users.size(); ++i) {
                std::cout << (i ? "," : "") << "{\"name\":" << jsonString(users[i].name)
                          << ",\"rights\":" << users[i].rights << "}";
            }
            std::cout << "]}\n";
        } else {
            for (const UserInfo& u : users) {
                char line[80];
                std::snprintf(line, sizeof line, "%-23s rights %s", u.name.c_str(),
                              hexWord(u.rights).c_str());
                std::cout << line << "\n";
            }
        }
        return EXIT_OK;
    }
    if (action == "add") {
        Words w = splitWords("user add", rest, {"--rights"}, {});
        operandCount(w, "user add", 2, 2, "NAME PASSWORD");
        uint32_t rights = parseRights(w, records::RIGHTS_ALL);
        Link link(g);
        addUser(link.conn(), w.operands[0], w.operands[1], rights, g.timeout);
        return done(g, "user " + w.operands[0] + " added");
    }
    if (action == "delete") {
        Words w = splitWords("user delete", rest, {}, {});
        operandCount(w, "user delete", 1, 1, "NAME");
        Link link(g);
        deleteUser(link.conn(), w.operands[0], g.timeout);
        return done(g, "user " + w.operands[0] + " deleted");
    }
    if (action == "modify") {
        Words w = splitWords("user modify", rest, {"--rights", "--password"}, {});
        operandCount(w, "user modify", 1, 1, "NAME");
        if (!w.has("--rights") && !w.has("--password")) {
            throw UsageError("user modify needs --password or --rights");
        }
        std::string password = w.get("--password").value_or("");
        if (w.has("--password") && password.empty()) {
            throw UsageError("--password needs a non-empty value");
        }
        std::optional<uint32_t> rights;
        if (w.has("--rights")) rights = parseRights(w, 0);
        Link link(g);
        if (!rights) {
            // The record always carries the rights: keep the stored ones.
            for (const UserInfo& u : listUsers(link.conn(), g.timeout)) {
                if (u.name == w.operands[0]) rights = u.rights;
            }
            if (!rights)
                throw CommandRefused(wire::STATUS_FAILED, "no user '" + w.operands[0] + "'");
        }
        modifyUser(link.conn(), w.operands[0], password, *rights, g.timeout);
        return done(g, "user " + w.operands[0] + " modified");
    }
    throw UsageError("unknown user action '" + action + "' (list, add, delete, modify)");
}

/* ---- log ---------------------------------------------------------------------------------- */

int cmdLog(const GlobalOptions& g, const std::vector<std::string>& args) {
    if (args.empty()) throw UsageError("log needs list or delete");
    const std::string action = args[0];
    if (action != "list" && action != "delete") {
        throw UsageError("unknown log action '" + action + "' (list, delete)");
    }
    const std::vector<std::string> rest(args.begin() + 1, args.end());
    std::set<std::string> flags;
    if (action == "delete") flags.insert("--all");
    Words w =
        splitWords("log " + action, rest, {"--since", "--until", "--category", "--max"}, flags);
    operandCount(w, "log " + action, 0, 0, "no operands");
    LogQuery q;
    if (auto v = w.get("--since")) q.since = parseTimeBound("--since", *v);
    if (auto v = w.get("--until")) q.until = parseTimeBound("--until", *v);
    if (auto v = w.get("--category")) q.category = parseCategory(*v);
    if (auto v = w.get("--max")) q.max = static_cast<uint32_t>(number("--max", *v, 0xffffffffu));
    if (action == "delete") {
        bool filtered =
            w.has("--since") || w.has("--until") || w.has("--category") || w.has("--max");
        if (!filtered && !w.has("--all")) {
            throw UsageError("log delete needs a filter, or --all to delete the whole log");
        }
        if (filtered && w.has("--all")) throw UsageError("log delete: --all goes without filters");
        Link link(g);
        deleteLog(link.conn(), q, g.timeout);
        return done(g, "log lines deleted");
    }
    Link link(g);
    std::vector<LogEntry> entries = listLog(link.conn(), q, g.timeout);
    if (g.json) {
        std::cout << "{\"log\":[";
        for (size_t i = 0; i < entries.size(); ++i) {
            const LogEntry& e = entries[i];
            std::cout << (i ? "," : "") << "{\"id\":" << e.id << ",\"time\":" << e.time
                      << ",\"time_text\":" << jsonString(formatEpoch(e.time))
                      << ",\"category\":" << e.category
                      << ",\"category_name\":" << jsonString(logCategoryName(e.category))
                      << ",\"text\":" << jsonString(e.text) << "}";
        }
        std::cout << "]}\n";
    } else {
        for (const LogEntry& e : entries) {
            char line[160];
            std::snprintf(line, sizeof line, "%6u  %s  %-9s  %s", e.id, formatEpoch(e.time).c_str(),
                          logCategoryName(e.category).c_str(), e.text.c_str());
            std::cout << line << "\n";
        }
    }
    return EXIT_OK;
}

/* ---- parameters ------------------------------------------------------------------------------ */

// A parameter type by number or by the hyphenated name of its layout
// ("video-encode").
uint16_t parseParamType(const std::string& text) {
    if (auto v = parseNumber(text, 0xffff)) return static_cast<uint16_t>(*v);
    for (unsigned t = 0; t <= 0xffff; ++t) {
        const ParamLayout* l = paramLayout(static_cast<uint16_t>(t));
        if (!l) continue;
        std::string name = l->name;
        for (char& c : name)
            c = (c == ' ') ? '-' : static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (name == text) return l->type;
    }
    throw UsageError("unknown parameter type '" + text +
                     "' (a number, or a name such as video-encode, record-type, serial)");
}

void printRecordPlain(const ParamLayout* layout, const uint8_t* r, size_t size, size_t index,
                      bool many) {
    if (many) std::cout << "[" << index << "]\n";
    const char* indent = many ? "  " : "";
    if (layout && !layout->fields.empty()) {
        for (const ParamField& f : layout->fields) {
            std::cout << indent << f.name << ": " << fieldText(r, f) << "\n";
        }
    } else {
        std::cout << indent << toHex(r, size) << "\n";
    }
}

void printRecordJson(const ParamLayout* layout, const uint8_t* r, size_t size) {
    std::cout << "{\"hex\":" << jsonString(toHex(r, size));
    if (layout) {
        for (const ParamField& f : layout->fields) {
            std::string v = fieldText(r, f);
            bool text = f.kind == ParamField::Kind::Text || f.kind == ParamField::Kind::Ipv4 ||
                        f.kind == ParamField::Kind::Mac;
            std::cout << "," << jsonString(f.name) << ":" << (text ? jsonString(v) : v);
        }
    }
    std::cout << "}";
}

int cmdParam(const GlobalOptions& g, const std::vector<std::string>& args) {
    if (args.empty()) throw UsageError("param needs get, set or reset-video");
    const std::string action = args[0];
    const std::vector<std::string> rest(args.begin() + 1, args.end());
    if (action == "get") {
        Words w = splitWords("param get", rest, {"--channel"}, {"--hex"});
        operandCount(w, "param get", 1, 1, "TYPE");
        uint16_t type = parseParamType(w.operands[0]);
        std::optional<size_t> channel;
        if (auto c = w.get("--channel")) channel = number("--channel", *c, 255);
        const ParamLayout* layout = paramLayout(type);
        if (channel && !layout) {
            throw UsageError("--channel needs a type whose record size is known");
        }
        Link link(g);
        std::vector<uint8_t> value = getParam(link.conn(), type, g.timeout);
        const size_t recSize = layout ? layout->recordSize : value.size();
        size_t first = 0, count = 1;
        if (layout && recSize > 0) count = std::max<size_t>(1, value.size() / recSize);
        if (!layout || value.size() < recSize) count = 1;
        if (channel) {
            if ((*channel + 1) * recSize > value.size()) {
                throw CommandRefused(wire::STATUS_FAILED,
                                     "parameter " + std::to_string(type) + " has no record " +
                                         std::to_string(*channel) + " (" +
                                         std::to_string(value.size() / recSize) + " records)");
            }
            first = *channel;
            count = 1;
        }
        const bool asHex = w.has("--hex") || !layout;
        const size_t size = layout ? std::min(recSize, value.size()) : value.size();
        if (g.json) {
            std::cout << "{\"type\":" << type
                      << ",\"name\":" << jsonString(layout ? layout->name : "")
                      << ",\"length\":" << value.size() << ",\"records\":[";
            for (size_t i = first; i < first + count; ++i) {
                if (i != first) std::cout << ",";
                printRecordJson(layout, value.data() + i * size, size);
            }
            std::cout << "]}\n";
        } else if (asHex && !channel) {
            std::cout << toHex(value) << "\n";
        } else {
            for (size_t i = first; i < first + count; ++i) {
                printRecordPlain(asHex ? nullptr : layout, value.data() + i * size, size, i,
                                 count > 1);
            }
        }
        return EXIT_OK;
    }
    if (action == "set") {
        Words w = splitWords("param set", rest, {"--hex", "--payload", "--file", "--from-file"}, {});
        operandCount(w, "param set", 1, 1, "TYPE");
        uint16_t type = parseParamType(w.operands[0]);
        int sources = w.has("--hex") + w.has("--payload") + w.has("--file") + w.has("--from-file");
        if (sources != 1) throw UsageError("param set needs exactly one of --hex HEX and --file F");
        std::vector<uint8_t> value;
        if (auto h = w.get("--hex")) value = hexBytes("--hex", *h);
        if (auto h = w.get("--payload")) value = hexBytes("--payload", *h);
        for (const char* o : {"--file", "--from-file"}) {
            if (auto f = w.get(o)) value = readFile(*f, wire::MAX_PAYLOAD, /*regularOnly=*/false);
        }
        if (value.size() > wire::MAX_PAYLOAD) {
            throw UsageError("the value is longer than " + std::to_string(wire::MAX_PAYLOAD) +
                             " bytes");
        }
        Link link(g);
        setParam(link.conn(), type, value, g.timeout);
        return done(g, "parameter " + std::to_string(type) + " set (" +
                           std::to_string(value.size()) + " bytes)");
    }
    if (action == "reset-video") {
        Words w = splitWords("param reset-video", rest, {}, {});
        operandCount(w, "param reset-video", 1, 1, "CHANNEL");
        int channel = static_cast<int>(number("CHANNEL", w.operands[0], 127));
        Link link(g);
        resetVideoConfig(link.conn(), channel, g.timeout);
        return done(g, "video config of channel " + std::to_string(channel) + " reset");
    }
    throw UsageError("unknown param action '" + action + "' (get, set, reset-video)");
}

/* ---- clock and information ---------------------------------------------------------------------
 */

int cmdTime(const GlobalOptions& g, const std::vector<std::string>& args) {
    if (args.empty()) throw UsageError("time needs get or set");
    const std::string action = args[0];
    Words w = splitWords("time " + action, {args.begin() + 1, args.end()}, {}, {});
    if (action == "get") {
        operandCount(w, "time get", 0, 0, "no operands");
        Link link(g);
        TimeInfo t = getTime(link.conn(), g.timeout);
        if (g.json) {
            std::cout << "{\"year\":" << t.year << ",\"month\":" << t.month << ",\"day\":" << t.day
                      << ",\"hour\":" << t.hour << ",\"minute\":" << t.minute
                      << ",\"second\":" << t.second << ",\"text\":" << jsonString(formatDateTime(t))
                      << "}\n";
        } else {
            std::cout << formatDateTime(t) << "\n";
        }
        return EXIT_OK;
    }
    if (action == "set") {
        // "2026-12-06 10:00:00" as one word, or date and time as two.
        std::string text;
        for (const std::string& o : w.operands) text += (text.empty() ? "" : " ") + o;
        if (w.operands.empty() || w.operands.size() > 2) {
            throw UsageError("time set needs \"YYYY-MM-DD HH:MM:SS\" or now");
        }
        TimeInfo t;
        if (text == "now") {
            std::time_t now = std::time(nullptr);
            std::tm tm{};
            localtime_r(&now, &tm);
            t = {static_cast<uint32_t>(tm.tm_year + 1900), static_cast<uint32_t>(tm.tm_mon + 1),
                 static_cast<uint32_t>(tm.tm_mday),        static_cast<uint32_t>(tm.tm_hour),
                 static_cast<uint32_t>(tm.tm_min),         static_cast<uint32_t>(tm.tm_sec)};
        } else if (auto p = parseDateTime(text)) {
            t = *p;
        } else {
            throw UsageError("bad time '" + text + "' (\"YYYY-MM-DD HH:MM:SS\" or now)");
        }
        Link link(g);
        setTime(link.conn(), t, g.timeout);
        return done(g, "time set to " + formatDateTime(t));
    }
    throw UsageError("unknown time action '" + action + "' (get, set)");
}

int cmdInfo(const GlobalOptions& g, const std::vector<std::string>& args) {
    Words w = splitWords("info", args, {}, {});
    operandCount(w, "info", 1, 1, "one of version, disk, status, update, platform, wifi");
    const std::string what = w.operands[0];
    static const std::set<std::string> known = {"version", "disk",     "status",
                                                "update",  "platform", "wifi"};
    if (!known.count(what)) {
        throw UsageError("unknown info '" + what +
                         "' (version, disk, status, update, platform, wifi)");
    }
    Link link(g);
    Connection& c = link.conn();
    if (what == "version") {
        VersionInfo v = getVersion(c, g.timeout);
        const std::pair<const char*, const std::string*> rows[] = {
            {"firmware", &v.firmware},
            {"hardware", &v.hardware},
            {"serial_number", &v.serialNumber},
            {"release_date", &v.releaseDate},
            {"system", &v.system}};
        if (g.json) {
            std::cout << "{";
            for (size_t i = 0; i < std::size(rows); ++i) {
                std::cout << (i ? "," : "") << jsonString(rows[i].first) << ":"
                          << jsonString(*rows[i].second);
            }
            std::cout << "}\n";
        } else {
            for (const auto& r : rows) std::cout << r.first << ": " << *r.second << "\n";
        }
    } else if (what == "disk") {
        std::vector<DiskInfo> disks = getHardDisk(c, g.timeout);
        if (g.json) {
            std::cout << "{\"disks\":[";
            for (size_t d = 0; d < disks.size(); ++d) {
                const DiskInfo& k = disks[d];
                std::cout << (d ? "," : "") << "{\"disk\":" << d
                          << ",\"state\":" << jsonString(diskStateName(k.state))
                          << ",\"capacity\":" << k.capacity << ",\"free\":" << k.free
                          << ",\"partitions\":[";
                for (size_t p = 0; p < k.partitions.size(); ++p) {
                    const PartitionInfo& q = k.partitions[p];
                    std::cout << (p ? "," : "") << "{\"partition\":" << p
                              << ",\"state\":" << jsonString(partitionStateName(q.state))
                              << ",\"capacity\":" << q.capacity << ",\"free\":" << q.free
                              << ",\"file_system\":" << q.fileSystem << "}";
                }
                std::cout << "]}";
            }
            std::cout << "]}\n";
        } else {
            for (size_t d = 0; d < disks.size(); ++d) {
                const DiskInfo& k = disks[d];
                std::cout << "disk " << d << ": " << diskStateName(k.state) << ", "
                          << gigabytes(k.capacity) << ", " << gigabytes(k.free) << " free\n";
                for (size_t p = 0; p < k.partitions.size(); ++p) {
                    const PartitionInfo& q = k.partitions[p];
                    std::cout << "  partition " << p << ": " << partitionStateName(q.state) << ", "
                              << gigabytes(q.capacity) << ", " << gigabytes(q.free)
                              << " free, file system " << q.fileSystem << "\n";
                }
            }
        }
    } else if (what == "status") {
        SystemStatus s = getSystemStatus(c, g.timeout);
        const std::pair<const char*, uint32_t> rows[] = {{"uptime", s.uptime},
                                                         {"clock", s.clock},
                                                         {"channels", s.channels},
                                                         {"serial_ports", s.serialPorts},
                                                         {"disks", s.disks},
                                                         {"logins_accepted", s.loginsAccepted},
                                                         {"logins_refused", s.loginsRefused},
                                                         {"server_starts", s.serverStarts},
                                                         {"users", s.users},
                                                         {"log_lines", s.logLines},
                                                         {"record_files", s.recordFiles},
                                                         {"recording_mask", s.recordingMask}};
        if (g.json) {
            std::cout << "{";
            for (size_t i = 0; i < std::size(rows); ++i) {
                std::cout << (i ? "," : "") << jsonString(rows[i].first) << ":" << rows[i].second;
            }
            std::cout << "}\n";
        } else {
            for (const auto& r : rows) {
                std::cout << r.first << ": " << r.second;
                if (std::string(r.first) == "clock")
                    std::cout << " (" << formatEpoch(r.second) << ")";
                if (std::string(r.first) == "uptime") std::cout << " s";
                std::cout << "\n";
            }
        }
    } else if (what == "update") {
        uint32_t u = getUpdateInfo(c, g.timeout);
        bool upload = (u & records::UPDATE_UPLOAD_SUPPORTED) != 0;
        if (g.json) {
            std::cout << "{\"update\":" << u
                      << ",\"upload_supported\":" << (upload ? "true" : "false") << "}\n";
        } else {
            std::cout << "update " << hexWord(u) << (upload ? " (firmware upload supported)" : "")
                      << "\n";
        }
    } else if (what == "platform") {
        uint32_t p = getPlatformType(c, g.timeout);
        if (g.json) {
            std::cout << "{\"platform\":" << p << "}\n";
        } else {
            std::cout << "platform " << p
                      << (p == records::PLATFORM_REFERENCE ? " (reference device)" : "") << "\n";
        }
    } else {
        std::string list = getAccessPoints(c, g.timeout);
        if (g.json) {
            std::cout << "{\"access_points\":" << jsonString(list) << "}\n";
        } else {
            std::cout << list << (list.empty() || list.back() == '\n' ? "" : "\n");
        }
    }
    return EXIT_OK;
}

int cmdVersion(const GlobalOptions& g, const std::vector<std::string>& args) {
    Words w = splitWords("version", args, {}, {});
    if (w.operands.size() != 2 || w.operands[0] != "set")
        throw UsageError("version needs set TEXT");
    if (w.operands[1].size() > records::VERSION_TEXT_SIZE - 1) {
        throw UsageError("version text is longer than " +
                         std::to_string(records::VERSION_TEXT_SIZE - 1) + " characters");
    }
    Link link(g);
    setVersion(link.conn(), w.operands[1], g.timeout);
    return done(g, "firmware version set to " + w.operands[1]);
}

int cmdCamera(const GlobalOptions& g, const std::vector<std::string>& args) {
    Words w = splitWords("camera", args, {}, {});
    operandCount(w, "camera", 1, 1, "init or init-itu");
    if (w.operands[0] != "init" && w.operands[0] != "init-itu") {
        throw UsageError("camera needs init or init-itu");
    }
    Link link(g);
    initCamera(link.conn(), w.operands[0] == "init-itu", g.timeout);
    return done(g, "camera " + w.operands[0] + " done");
}

int cmdSessionFlag(const GlobalOptions& g, const std::vector<std::string>& args) {
    Words w = splitWords("session-flag", args, {}, {});
    operandCount(w, "session-flag", 1, 1, "0 or 1");
    if (w.operands[0] != "0" && w.operands[0] != "1") throw UsageError("session-flag needs 0 or 1");
    Link link(g);
    setSessionFlag(link.conn(), w.operands[0] == "1" ? 1 : 0, g.timeout);
    return done(g, "session flag " + w.operands[0]);
}

/* ---- maintenance
 * ---------------------------------------------------------------------------------- */

// Connects and logs in until it works or `limit` passes.
bool waitForDevice(const GlobalOptions& g, Duration limit) {
    const auto deadline = Clock::now() + limit;
    while (Clock::now() < deadline) {
        try {
            Connection c;
            c.connect(g.host, g.port, std::min<Duration>(g.timeout, Duration(2000)));
            login(c, g.user, g.password, g.timeout);
            try {
                logout(c, std::min<Duration>(g.timeout, Duration(2000)));
            } catch (const Error&) {
            }
            return true;
        } catch (const Error& e) {
            if (e.kind() == Error::Kind::LoginRefused) throw;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    return false;
}

int cmdReboot(const GlobalOptions& g, const std::vector<std::string>& args) {
    Words w = splitWords("reboot", args, {}, {"--wait"});
    operandCount(w, "reboot", 0, 0, "no operands");
    const auto started = Clock::now();
    {
        Link link(g);
        reboot(link.conn(), g.timeout);
        link.abandon();
        // The device closes the session when it goes down.
        try {
            for (;;) link.conn().readMessage(std::max<Duration>(g.timeout, Duration(10000)));
        } catch (const Error&) {
        }
    }
    if (!w.has("--wait")) return done(g, "reboot requested");
    const Duration limit = std::max<Duration>(Duration(60000), g.timeout * 6);
    if (!waitForDevice(g, limit)) {
        throw Error(Error::Kind::Timeout,
                    "the device did not come back within " + formatSeconds(limit) + " s");
    }
    auto took = std::chrono::duration_cast<Duration>(Clock::now() - started);
    return done(g, "device is back after " + formatSeconds(took) + " s");
}

int cmdSimple(const GlobalOptions& g, const std::string& command,
              const std::vector<std::string>& args) {
    Words w = splitWords(command, args, {}, {});
    if (command == "3g-default") {
        operandCount(w, command, 1, 1, "VALUE");
        uint32_t v = static_cast<uint32_t>(number("VALUE", w.operands[0], 0xffffffffu));
        Link link(g);
        default3gConfig(link.conn(), v, g.timeout);
        return done(g, "3G configuration default " + std::to_string(v) + " applied");
    }
    operandCount(w, command, 0, 0, "no operands");
    Link link(g);
    Connection& c = link.conn();
    if (command == "default-setting") {
        defaultSetting(c, g.timeout);
        return done(g, "default settings restored");
    }
    if (command == "resume-default") {
        resumeDefaultParam(c, g.timeout);
        return done(g, "default parameters resumed");
    }
    if (command == "factory-reset") {
        factoryReset(c, g.timeout);
        return done(g, "factory reset done");
    }
    if (command == "cmos-default") {
        cmosDefault(c, g.timeout);
        return done(g, "CMOS defaults restored");
    }
    reset3g(c, g.timeout);
    return done(g, "3G module reset");
}

/* ---- disks
 * ---------------------------------------------------------------------------------------- */

// Polls the hard-disk record until the device no longer answers busy.
std::vector<DiskInfo> waitWhileBusy(Connection& c, Duration timeout, Duration limit) {
    const auto deadline = Clock::now() + limit;
    for (;;) {
        try {
            return getHardDisk(c, timeout);
        } catch (const CommandRefused& e) {
            if (e.status() != wire::STATUS_DISK_BUSY || Clock::now() >= deadline) throw;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
    }
}

int cmdDisk(const GlobalOptions& g, const std::vector<std::string>& args) {
    if (args.empty()) throw UsageError("disk needs fdisk or format");
    const std::string action = args[0];
    const std::vector<std::string> rest(args.begin() + 1, args.end());
    const Duration limit(3600 * 1000 + 60000);  // the device formats for at most an hour
    if (action == "fdisk") {
        Words w = splitWords("disk fdisk", rest, {}, {"--no-wait"});
        operandCount(w, "disk fdisk", 2, 2, "DISK PARTITIONS");
        uint32_t disk = static_cast<uint32_t>(number("DISK", w.operands[0], 0xffffffffu));
        uint32_t parts = static_cast<uint32_t>(number("PARTITIONS", w.operands[1], 0xffffffffu));
        Link link(g);
        startFdisk(link.conn(), disk, parts, g.timeout);
        if (w.has("--no-wait"))
            return done(g, "partitioning of disk " + std::to_string(disk) + " started");
        if (!g.json) std::cout << "partitioning disk " << disk << " ..." << std::endl;
        waitWhileBusy(link.conn(), g.timeout, limit);
        int32_t status = fdiskStatus(link.conn(), g.timeout);
        if (status < 0) {
            throw CommandRefused(wire::STATUS_FAILED,
                                 "partitioning of disk " + std::to_string(disk) + " failed");
        }
        return done(g, "disk " + std::to_string(disk) + " partitioned into " +
                           std::to_string(parts) + " partition" + (parts == 1 ? "" : "s"));
    }
    if (action == "format") {
        Words w = splitWords("disk format", rest, {}, {"--no-wait"});
        operandCount(w, "disk format", 2, 3, "DISK PARTITION [FS]");
        uint32_t disk = static_cast<uint32_t>(number("DISK", w.operands[0], 0xffffffffu));
        uint32_t part = static_cast<uint32_t>(number("PARTITION", w.operands[1], 0xffffffffu));
        uint32_t fs = w.operands.size() > 2
                          ? static_cast<uint32_t>(number("FS", w.operands[2], 0xffffffffu))
                          : 0;
        Link link(g);
        Connection& c = link.conn();
        startFormat(c, disk, part, fs, g.timeout);
        const std::string what =
            "disk " + std::to_string(disk) + " partition " + std::to_string(part);
        if (w.has("--no-wait")) return done(g, "format of " + what + " started");
        Progress bar("format " + what);
        if (!g.json) bar.show(0);  // accepted: the first answer comes after the device's pause
        const auto deadline = Clock::now() + limit;
        int32_t percent = 0;
        for (;;) {
            try {
                percent = formatPercent(c, disk, part, g.timeout);
            } catch (const CommandRefused& e) {
                if (!g.json) bar.finish();
                throw CommandRefused(e.status(), "format of " + what + " failed (status 0xff)");
            }
            if (!g.json) bar.show(percent);
            if (percent >= 100) break;
            if (Clock::now() >= deadline) {
                throw Error(Error::Kind::Timeout, "format of " + what + " did not finish in time");
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(250));
        }
        if (!g.json) bar.finish();
        // The device's watcher ends the busy state within about a second.
        waitWhileBusy(c, g.timeout, Duration(10000));
        if (g.json) {
            std::cout << "{\"result\":\"ok\",\"disk\":" << disk << ",\"partition\":" << part
                      << ",\"percent\":" << percent << "}\n";
            return EXIT_OK;
        }
        std::cout << "format of " << what << " done\n";
        return EXIT_OK;
    }
    throw UsageError("unknown disk action '" + action + "' (fdisk, format)");
}

/* ---- PTZ, key frames, recording, serial, files, worker
 * --------------------------------------------- */

int cmdPtz(const GlobalOptions& g, const std::vector<std::string>& args) {
    Words w = splitWords("ptz", args, {"--speed", "--preset"}, {});
    operandCount(w, "ptz", 2, 2, "CHANNEL ACTION");
    uint32_t channel = static_cast<uint32_t>(number("CHANNEL", w.operands[0], 0xffffffffu));
    std::optional<uint16_t> action = ptzActionNumber(w.operands[1]);
    if (!action) {
        auto n = parseNumber(w.operands[1], 0xffff);
        if (!n) {
            throw UsageError("unknown PTZ action '" + w.operands[1] +
                             "' (up, down, left, right, zoom-in, zoom-out, focus-near, focus-far, "
                             "iris-open, iris-close, stop, set-preset, goto-preset, clear-preset, "
                             "or a number)");
        }
        action = static_cast<uint16_t>(*n);
    }
    uint32_t speed =
        w.get("--speed") ? static_cast<uint32_t>(number("--speed", *w.get("--speed"), 63)) : 8;
    uint32_t preset =
        w.get("--preset") ? static_cast<uint32_t>(number("--preset", *w.get("--preset"), 255)) : 0;
    Link link(g);
    ptz(link.conn(), *action, channel, speed, preset, g.timeout);
    return done(g, "PTZ " + w.operands[1] + " on channel " + std::to_string(channel));
}

int cmdIframe(const GlobalOptions& g, const std::vector<std::string>& args) {
    Words w = splitWords("iframe", args, {}, {});
    operandCount(w, "iframe", 1, 1, "CHANNEL");
    uint32_t channel = static_cast<uint32_t>(number("CHANNEL", w.operands[0], 0xffffffffu));
    Link link(g);
    forceKeyFrame(link.conn(), channel, g.timeout);
    return done(g, "key frame requested on channel " + std::to_string(channel));
}

int cmdRecord(const GlobalOptions& g, const std::vector<std::string>& args) {
    if (args.empty()) throw UsageError("record needs start or stop");
    const std::string action = args[0];
    const std::vector<std::string> rest(args.begin() + 1, args.end());
    if (action == "start") {
        Words w = splitWords("record start", rest, {"--kind", "--minutes"}, {});
        operandCount(w, "record start", 1, 1, "CHANNEL");
        uint32_t channel = static_cast<uint32_t>(number("CHANNEL", w.operands[0], 0xffffffffu));
        uint8_t kind = 0;
        if (auto k = w.get("--kind")) {
            if (*k == "main")
                kind = 0;
            else if (*k == "sub")
                kind = 1;
            else
                throw UsageError("bad value '" + *k + "' for --kind (main or sub)");
        }
        uint8_t minutes = w.get("--minutes")
                              ? static_cast<uint8_t>(number("--minutes", *w.get("--minutes"), 255))
                              : 0;
        Link link(g);
        setHandRecord(link.conn(), channel, kind, minutes, g.timeout);
        return done(g, "recording started on channel " + std::to_string(channel));
    }
    if (action == "stop") {
        Words w = splitWords("record stop", rest, {}, {});
        operandCount(w, "record stop", 1, 1, "CHANNEL");
        uint32_t channel = static_cast<uint32_t>(number("CHANNEL", w.operands[0], 0xffffffffu));
        Link link(g);
        clearHandRecord(link.conn(), channel, g.timeout);
        return done(g, "recording stopped on channel " + std::to_string(channel));
    }
    throw UsageError("unknown record action '" + action + "' (start, stop)");
}

int cmdSerial(const GlobalOptions& g, const std::vector<std::string>& args) {
    if (!args.empty() && args[0] == "attach")
        return runSerialAttach(g, {args.begin() + 1, args.end()});
    if (args.empty() || args[0] != "send") throw UsageError("serial needs send or attach");
    Words w = splitWords("serial send", {args.begin() + 1, args.end()}, {"--hex", "--file"}, {});
    operandCount(w, "serial send", 0, 1, "TEXT, --hex HEX or --file F");
    int sources = int(w.operands.size()) + w.has("--hex") + w.has("--file");
    if (sources != 1)
        throw UsageError("serial send needs exactly one of TEXT, --hex HEX and --file F");
    std::vector<uint8_t> data;
    if (!w.operands.empty()) data.assign(w.operands[0].begin(), w.operands[0].end());
    if (auto h = w.get("--hex")) data = hexBytes("--hex", *h);
    if (auto f = w.get("--file")) {
        data = readFile(*f, wire::SERIAL_MAX_DATA, /*regularOnly=*/false);
    }
    if (data.size() > wire::SERIAL_MAX_DATA) {
        throw UsageError("serial data is longer than " + std::to_string(wire::SERIAL_MAX_DATA) +
                         " bytes");
    }
    Link link(g);
    serialSend(link.conn(), data, g.timeout);
    return done(g, std::to_string(data.size()) + " bytes sent to the serial port");
}

int cmdFile(const GlobalOptions& g, const std::vector<std::string>& args) {
    Words w = splitWords("file", args, {}, {});
    if (w.operands.size() != 2 || w.operands[0] != "delete")
        throw UsageError("file needs delete NAME");
    const std::string& name = w.operands[1];
    if (name.empty() || name.size() > wire::RECORD_FILE_REQUEST_SIZE - 1) {
        throw UsageError("record file name must have 1 to " +
                         std::to_string(wire::RECORD_FILE_REQUEST_SIZE - 1) + " characters");
    }
    Link link(g);
    deleteRecordFile(link.conn(), name, g.timeout);
    return done(g, "record file " + name + " deleted");
}

int cmdWorker(const GlobalOptions& g, const std::vector<std::string>& args) {
    Words w = splitWords("worker", args, {}, {});
    if (w.operands.size() != 1 || w.operands[0] != "start") throw UsageError("worker needs start");
    Link link(g);
    startWorker(link.conn(), std::min<Duration>(g.timeout, Duration(1000)));
    return done(g, "session worker started");
}

// Other spellings that people reach for, and the command they mean.
const std::map<std::string, std::string>& aliases() {
    static const std::map<std::string, std::string> names = {
        {"defaults", "default-setting"},   {"resume-defaults", "resume-default"},
        {"reset-3g", "3g-reset"},          {"record-file", "file"},
    };
    return names;
}

const std::set<std::string>& commandNames() {
    static const std::set<std::string> names = {
        "user",          "log",          "param",          "time",           "info",
        "version",       "camera",       "session-flag",   "ptz",            "iframe",
        "record",        "serial",       "reboot",         "default-setting", "resume-default",
        "factory-reset", "cmos-default", "3g-reset",       "3g-default",     "disk",
        "file",          "worker"};
    return names;
}

int dispatch(const Invocation& inv) {
    const GlobalOptions& g = inv.global;
    auto alias = aliases().find(inv.command);
    const std::string& c = alias == aliases().end() ? inv.command : alias->second;
    const std::vector<std::string>& a = inv.commandArgs;
    if (c == "user") return cmdUser(g, a);
    if (c == "log") return cmdLog(g, a);
    if (c == "param") return cmdParam(g, a);
    if (c == "time") return cmdTime(g, a);
    if (c == "info") return cmdInfo(g, a);
    if (c == "version") return cmdVersion(g, a);
    if (c == "camera") return cmdCamera(g, a);
    if (c == "session-flag") return cmdSessionFlag(g, a);
    if (c == "ptz") return cmdPtz(g, a);
    if (c == "iframe") return cmdIframe(g, a);
    if (c == "record") return cmdRecord(g, a);
    if (c == "serial") return cmdSerial(g, a);
    if (c == "reboot") return cmdReboot(g, a);
    if (c == "disk") return cmdDisk(g, a);
    if (c == "file") return cmdFile(g, a);
    if (c == "worker") return cmdWorker(g, a);
    if (isTransferCommand(c)) return runTransferCommand(inv);
    return cmdSimple(g, c, a);
}

}  // namespace

bool isDeviceCommand(const std::string& command) {
    return commandNames().count(command) != 0 || aliases().count(command) != 0 ||
           isTransferCommand(command);
}

bool deviceCommandWantsHelp(const std::vector<std::string>& args) {
    for (const std::string& a : args) {
        if (a == "--") return false;
        if (a == "-h" || a == "--help") return true;
    }
    return false;
}

int runDeviceCommand(const Invocation& inv) {
    try {
        return dispatch(inv);
    } catch (const UsageError& e) {
        return usageFailure(e.what());
    } catch (const CommandRefused& e) {
        const bool busy =
            e.status() == wire::STATUS_DISK_BUSY || e.status() == wire::STATUS_FDISK_BUSY;
        return fail(e.what(), busy ? EXIT_BUSY : EXIT_FAILED);
    }
}

const char* deviceCommandsUsage() {
    static const std::string text = std::string(DEVICE_USAGE) + transferCommandsUsage();
    return text.c_str();
}

}  // namespace recnet::cli
