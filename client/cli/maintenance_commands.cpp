/*
 * maintenance_commands.cpp - `reboot`, the resets and `disk fdisk | format`.
 */
#include <chrono>
#include <iostream>
#include <thread>

// The library's commands.h; a plain "commands.h" is this folder's.
#include "../lib/commands.h"
#include "commands.h"
#include "errors.h"
#include "link.h"
#include "netserver/wire.h"
#include "output.h"
#include "session.h"

namespace recnet::cli {

namespace {

using Clock = std::chrono::steady_clock;

// Connects and logs in until it works or `limit` passes. A refused login
// ends the wait at once: the device is back, and will not take us.
bool waitForDevice(const GlobalOptions& g, Duration limit) {
    const auto deadline = Clock::now() + limit;
    while (Clock::now() < deadline) {
        try {
            Connection c;
            c.connect(g.host, g.port, std::min<Duration>(g.timeout, Duration(2000)));
            login(c, g.user, loginPassword(g), g.timeout);
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

int rebootCommand(const GlobalOptions& g, bool wait) {
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
    if (!wait) return done(g, "reboot requested");
    const Duration limit = std::max<Duration>(Duration(60000), g.timeout * 6);
    if (!waitForDevice(g, limit)) {
        throw Error(Error::Kind::Timeout,
                    "the device did not come back within " + formatSeconds(limit) + " s");
    }
    auto took = std::chrono::duration_cast<Duration>(Clock::now() - started);
    return done(g, "device is back after " + formatSeconds(took) + " s");
}

// Polls the hard-disk record until the device no longer answers busy.
void waitWhileBusy(Connection& c, Duration timeout, Duration limit) {
    const auto deadline = Clock::now() + limit;
    for (;;) {
        try {
            getHardDisk(c, timeout);
            return;
        } catch (const CommandRefused& e) {
            if (e.status() != wire::STATUS_DISK_BUSY || Clock::now() >= deadline) throw;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
    }
}

// The device formats for at most an hour.
const Duration DISK_LIMIT(3600 * 1000 + 60000);

struct DiskArgs {
    uint32_t disk = 0, second = 0, fileSystem = 0;  // second: partitions or partition
    bool noWait = false;
};

int fdiskCommand(const GlobalOptions& g, const DiskArgs& a) {
    const std::string disk = "disk " + std::to_string(a.disk);
    Link link(g);
    startFdisk(link.conn(), a.disk, a.second, g.timeout);
    if (a.noWait) return done(g, "partitioning of " + disk + " started");
    if (!g.json) std::cout << "partitioning " << disk << " ..." << std::endl;
    waitWhileBusy(link.conn(), g.timeout, DISK_LIMIT);
    if (fdiskStatus(link.conn(), g.timeout) < 0) {
        throw CommandRefused(wire::STATUS_FAILED, "partitioning of " + disk + " failed");
    }
    return done(g, disk + " partitioned into " + std::to_string(a.second) + " partition" +
                       (a.second == 1 ? "" : "s"));
}

int formatCommand(const GlobalOptions& g, const DiskArgs& a) {
    Link link(g);
    Connection& c = link.conn();
    startFormat(c, a.disk, a.second, a.fileSystem, g.timeout);
    const std::string what =
        "disk " + std::to_string(a.disk) + " partition " + std::to_string(a.second);
    if (a.noWait) return done(g, "format of " + what + " started");
    int32_t percent = 0;
    {
        Progress bar("format " + what, g.json);
        bar.show(0);  // accepted: the first answer comes after the device's pause
        const auto deadline = Clock::now() + DISK_LIMIT;
        for (;;) {
            try {
                percent = formatPercent(c, a.disk, a.second, g.timeout);
            } catch (const CommandRefused& e) {
                throw CommandRefused(e.status(), "format of " + what + " failed (status 0xff)");
            }
            bar.show(percent);
            if (percent >= 100) break;
            if (Clock::now() >= deadline) {
                throw Error(Error::Kind::Timeout, "format of " + what + " did not finish in time");
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(250));
        }
    }
    // The device's watcher ends the busy state within about a second.
    waitWhileBusy(c, g.timeout, Duration(10000));
    return emit(g, {{{"result", "ok"}, {"disk", a.disk}, {"partition", a.second}, {"percent", percent}},
                    "format of " + what + " done\n"});
}

void registerDisk(CLI::App& app, Context& ctx) {
    const GlobalOptions& g = ctx.global;
    CLI::App* disk = group(app, "disk", "disk operations: fdisk, format (one at a time)");
    auto fdisk = args<DiskArgs>();
    CLI::App* c = command(*disk, ctx, "fdisk", "partition a disk and wait for the outcome",
                          [&g, fdisk] { return fdiskCommand(g, *fdisk); });
    addNumber(*c, "DISK", fdisk->disk, 0, 0xffffffffu, "disk, from 0")->required();
    addNumber(*c, "PARTITIONS", fdisk->second, 0, 0xffffffffu, "1 to 4 partitions")->required();
    c->add_flag("--no-wait", fdisk->noWait, "only start the partitioning");

    auto format = args<DiskArgs>();
    c = command(*disk, ctx, "format", "format a partition and follow it to 100%",
                [&g, format] { return formatCommand(g, *format); });
    addNumber(*c, "DISK", format->disk, 0, 0xffffffffu, "disk, from 0")->required();
    addNumber(*c, "PARTITION", format->second, 0, 0xffffffffu, "partition, from 0")->required();
    addNumber(*c, "FS", format->fileSystem, 0, 0xffffffffu, "file-system number");
    c->add_flag("--no-wait", format->noWait, "only start the format");
}

// A reset without arguments: `name` (also spelled `alias`) sends `call`.
void addReset(CLI::App& app, Context& ctx, const char* name, const char* alias,
              const char* description, void (*call)(Connection&, Duration), const char* message) {
    const GlobalOptions& g = ctx.global;
    CLI::App* c = command(app, ctx, name, description, [&g, call, message] {
        return acknowledged(g, [&](Connection& conn) { call(conn, g.timeout); }, message);
    });
    if (alias) c->alias(alias);
}

}  // namespace

void addMaintenanceCommands(CLI::App& app, Context& ctx) {
    const GlobalOptions& g = ctx.global;
    auto wait = std::make_shared<bool>(false);
    command(app, ctx, "reboot", "restart the device's server", [&g, wait] {
        return rebootCommand(g, *wait);
    })->add_flag("--wait", *wait, "then log in again every 0.2 s until that works (at most 60 s)");

    addReset(app, ctx, "default-setting", "defaults", "restore the default settings",
             defaultSetting, "default settings restored");
    addReset(app, ctx, "resume-default", "resume-defaults", "resume the default parameters",
             resumeDefaultParam, "default parameters resumed");
    addReset(app, ctx, "factory-reset", nullptr,
             "restore everything, the accounts (admin/admin), version record and clock too",
             factoryReset, "factory reset done");
    addReset(app, ctx, "cmos-default", nullptr, "restore the CMOS defaults", cmosDefault,
             "CMOS defaults restored");
    addReset(app, ctx, "3g-reset", "reset-3g", "reset the 3G module", reset3g, "3G module reset");

    auto value = std::make_shared<uint32_t>(0);
    CLI::App* c = command(app, ctx, "3g-default", "apply a 3G configuration default", [&g, value] {
        return acknowledged(
            g, [&](Connection& conn) { default3gConfig(conn, *value, g.timeout); },
            "3G configuration default " + std::to_string(*value) + " applied");
    });
    addNumber(*c, "VALUE", *value, 0, 0xffffffffu, "the configuration value")->required();

    registerDisk(app, ctx);
}

}  // namespace recnet::cli
