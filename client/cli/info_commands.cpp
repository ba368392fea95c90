/*
 * info_commands.cpp - the device's clock and information: `time`, `info`,
 * `version set`, `camera` and `session-flag`.
 */
#include <cstdio>
#include <ctime>
#include <utility>

// The library's commands.h; a plain "commands.h" is this folder's.
#include "../lib/commands.h"
#include "commands.h"
#include "hex.h"
#include "link.h"
#include "netserver/records.h"
#include "output.h"
#include "values.h"

namespace recnet::cli {

namespace {

std::string gigabytes(uint64_t bytes) {
    char b[32];
    std::snprintf(b, sizeof b, "%.1f GB", static_cast<double>(bytes) / 1e9);
    return b;
}

Result versionResult(const VersionInfo& v) {
    const std::pair<const char*, const std::string*> fields[] = {
        {"firmware", &v.firmware},         {"hardware", &v.hardware},
        {"serial_number", &v.serialNumber}, {"release_date", &v.releaseDate},
        {"system", &v.system}};
    Result r;
    for (const auto& [name, value] : fields) {
        r.json[name] = *value;
        r.text += std::string(name) + ": " + *value + "\n";
    }
    return r;
}

Result diskResult(const std::vector<DiskInfo>& disks) {
    Result r;
    r.json["disks"] = Json::array();
    for (size_t d = 0; d < disks.size(); ++d) {
        const DiskInfo& k = disks[d];
        Json parts = Json::array();
        r.text += "disk " + std::to_string(d) + ": " + diskStateName(k.state) + ", " +
                  gigabytes(k.capacity) + ", " + gigabytes(k.free) + " free\n";
        for (size_t p = 0; p < k.partitions.size(); ++p) {
            const PartitionInfo& q = k.partitions[p];
            parts.push_back({{"partition", p},
                             {"state", partitionStateName(q.state)},
                             {"capacity", q.capacity},
                             {"free", q.free},
                             {"file_system", q.fileSystem}});
            r.text += "  partition " + std::to_string(p) + ": " + partitionStateName(q.state) +
                      ", " + gigabytes(q.capacity) + ", " + gigabytes(q.free) +
                      " free, file system " + std::to_string(q.fileSystem) + "\n";
        }
        r.json["disks"].push_back({{"disk", d},
                                   {"state", diskStateName(k.state)},
                                   {"capacity", k.capacity},
                                   {"free", k.free},
                                   {"partitions", parts}});
    }
    return r;
}

Result statusResult(const SystemStatus& s) {
    const std::pair<std::string, uint32_t> fields[] = {
        {"uptime", s.uptime},           {"clock", s.clock},
        {"channels", s.channels},       {"serial_ports", s.serialPorts},
        {"disks", s.disks},             {"logins_accepted", s.loginsAccepted},
        {"logins_refused", s.loginsRefused}, {"server_starts", s.serverStarts},
        {"users", s.users},             {"log_lines", s.logLines},
        {"record_files", s.recordFiles}, {"recording_mask", s.recordingMask}};
    Result r;
    for (const auto& [name, value] : fields) {
        r.json[name] = value;
        // The readable forms of the uptime and the clock, in the text only.
        const std::string unit = name == "uptime"  ? " s"
                                 : name == "clock" ? " (" + formatEpoch(value) + ")"
                                                   : "";
        r.text += name + ": " + std::to_string(value) + unit + "\n";
    }
    return r;
}

// One `info` action: a command that fetches a record and prints it.
void addInfo(CLI::App& info, Context& ctx, const char* name, const char* description,
             std::function<Result(Connection&, Duration)> fetch) {
    const GlobalOptions& g = ctx.global;
    command(info, ctx, name, description, [&g, fetch = std::move(fetch)] {
        Link link(g);
        return emit(g, fetch(link.conn(), g.timeout));
    });
}

void registerInfo(CLI::App& app, Context& ctx) {
    CLI::App* info = group(app, "info", "the device's information records");
    addInfo(*info, ctx, "version", "firmware, hardware, serial number, release date, system",
            [](Connection& c, Duration t) { return versionResult(getVersion(c, t)); });
    addInfo(*info, ctx, "disk", "the disks and their partitions",
            [](Connection& c, Duration t) { return diskResult(getHardDisk(c, t)); });
    addInfo(*info, ctx, "status", "uptime, clock, channels, logins, server starts, ...",
            [](Connection& c, Duration t) { return statusResult(getSystemStatus(c, t)); });
    addInfo(*info, ctx, "update", "the update capabilities", [](Connection& c, Duration t) {
        const uint32_t u = getUpdateInfo(c, t);
        const bool upload = (u & records::UPDATE_UPLOAD_SUPPORTED) != 0;
        return Result{{{"update", u}, {"upload_supported", upload}},
                      "update " + hexWord(u) + (upload ? " (firmware upload supported)" : "") +
                          "\n"};
    });
    addInfo(*info, ctx, "platform", "the platform type", [](Connection& c, Duration t) {
        const uint32_t p = getPlatformType(c, t);
        return Result{{{"platform", p}},
                      "platform " + std::to_string(p) +
                          (p == records::PLATFORM_REFERENCE ? " (reference device)" : "") + "\n"};
    });
    addInfo(*info, ctx, "wifi", "the access-point list, as the device sends it",
            [](Connection& c, Duration t) {
                const std::string list = getAccessPoints(c, t);
                return Result{{{"access_points", list}},
                              list + (list.empty() || list.back() == '\n' ? "" : "\n")};
            });
}

// "now" or a date and time (one word, or date and time as two).
TimeInfo timeToSet(const std::vector<std::string>& words) {
    std::string text;
    for (const std::string& w : words) text += (text.empty() ? "" : " ") + w;
    if (text != "now") {
        if (auto p = parseDateTime(text)) return *p;
        throw UsageError("bad time '" + text + "' (\"YYYY-MM-DD HH:MM:SS\" or now)");
    }
    std::time_t now = std::time(nullptr);
    std::tm tm{};
    localtime_r(&now, &tm);
    return {static_cast<uint32_t>(tm.tm_year + 1900), static_cast<uint32_t>(tm.tm_mon + 1),
            static_cast<uint32_t>(tm.tm_mday),        static_cast<uint32_t>(tm.tm_hour),
            static_cast<uint32_t>(tm.tm_min),         static_cast<uint32_t>(tm.tm_sec)};
}

void registerTime(CLI::App& app, Context& ctx) {
    const GlobalOptions& g = ctx.global;
    CLI::App* time = group(app, "time", "the device's clock: get, set");
    command(*time, ctx, "get", "print the device's clock", [&g] {
        Link link(g);
        TimeInfo t = getTime(link.conn(), g.timeout);
        const std::string text = formatDateTime(t);
        return emit(g, {{{"year", t.year},
                         {"month", t.month},
                         {"day", t.day},
                         {"hour", t.hour},
                         {"minute", t.minute},
                         {"second", t.second},
                         {"text", text}},
                        text + "\n"});
    });
    auto words = std::make_shared<std::vector<std::string>>();
    CLI::App* set = command(*time, ctx, "set", "set the device's clock", [&g, words] {
        const TimeInfo t = timeToSet(*words);
        Link link(g);
        setTime(link.conn(), t, g.timeout);
        return done(g, "time set to " + formatDateTime(t));
    });
    set->add_option("TIME", *words, "\"YYYY-MM-DD HH:MM:SS\", or now (this machine's local time)")
        ->expected(1, 2)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
        ->required();
}

}  // namespace

void addInfoCommands(CLI::App& app, Context& ctx) {
    const GlobalOptions& g = ctx.global;
    registerTime(app, ctx);
    registerInfo(app, ctx);

    auto text = std::make_shared<std::string>();
    CLI::App* c = command(*group(app, "version", "the version record"), ctx, "set",
                          "set the firmware text (the other fields stay)", [&g, text] {
                              Link link(g);
                              setVersion(link.conn(), *text, g.timeout);
                              return done(g, "firmware version set to " + *text);
                          });
    c->add_option("TEXT", *text, "the firmware text")
        ->required()
        ->check(CLI::Validator(
            [](std::string& s) -> std::string {
                const size_t max = records::VERSION_TEXT_SIZE - 1;
                return s.size() > max ? "version text is longer than " + std::to_string(max) +
                                            " characters"
                                      : "";
            },
            "", ""));

    CLI::App* camera = group(app, "camera", "camera initialisation: init, init-itu");
    for (const char* kind : {"init", "init-itu"}) {
        const bool itu = std::string(kind) == "init-itu";
        command(*camera, ctx, kind, itu ? "initialise the camera (ITU)" : "initialise the camera",
                [&g, itu, kind] {
                    Link link(g);
                    initCamera(link.conn(), itu, g.timeout);
                    return done(g, std::string("camera ") + kind + " done");
                });
    }

    auto flag = std::make_shared<std::string>();
    c = command(app, ctx, "session-flag", "set the session flag", [&g, flag] {
        Link link(g);
        setSessionFlag(link.conn(), *flag == "1" ? 1 : 0, g.timeout);
        return done(g, "session flag " + *flag);
    });
    addChoice(*c, "VALUE", *flag, {"0", "1"}, "0 or 1")->required();
}

}  // namespace recnet::cli
