/*
 * account_commands.cpp - the device's accounts (`user`) and its log (`log`).
 */
#include <cstdio>

// The library's commands.h; a plain "commands.h" is this folder's.
#include "../lib/commands.h"
#include "commands.h"
#include "hex.h"
#include "link.h"
#include "netserver/records.h"
#include "netserver/wire.h"
#include "output.h"
#include "values.h"

namespace recnet::cli {

namespace {

struct UserArgs {
    std::string name, password;
    uint32_t rights = records::RIGHTS_ALL;
    CLI::Option* rightsGiven = nullptr;  // modify: whether --rights was given
};

// --rights M: a bit mask, decimal, 0x-hex or "all".
void addRights(CLI::App& c, UserArgs& a) {
    a.rightsGiven =
        addNumber(c, "--rights", a.rights, 0, 0xffffffffu,
                  "rights bit mask, or all: 1 live video, 2 PTZ, 4 parameters, 8 users, "
                  "16 maintenance")
            ->transform([](std::string s) { return s == "all" ? std::to_string(records::RIGHTS_ALL) : s; })
            ->type_name("M");
}

int listUsersCommand(const GlobalOptions& g) {
    Link link(g);
    Result r;
    r.json["users"] = Json::array();
    for (const UserInfo& u : listUsers(link.conn(), g.timeout)) {
        r.json["users"].push_back({{"name", u.name}, {"rights", u.rights}});
        char line[80];
        std::snprintf(line, sizeof line, "%-23s rights %s\n", u.name.c_str(),
                      hexWord(u.rights).c_str());
        r.text += line;
    }
    return emit(g, r);
}

int modifyUserCommand(const GlobalOptions& g, const UserArgs& a) {
    const bool newRights = a.rightsGiven->count() > 0;
    if (!newRights && a.password.empty()) {
        throw UsageError("user modify needs --password or --rights");
    }
    std::optional<uint32_t> rights;
    if (newRights) rights = a.rights;
    Link link(g);
    if (!rights) {
        // The record always carries the rights: keep the stored ones.
        for (const UserInfo& u : listUsers(link.conn(), g.timeout)) {
            if (u.name == a.name) rights = u.rights;
        }
        if (!rights) throw CommandRefused(wire::STATUS_FAILED, "no user '" + a.name + "'");
    }
    modifyUser(link.conn(), a.name, a.password, *rights, g.timeout);
    return done(g, "user " + a.name + " modified");
}

void registerUser(CLI::App& app, Context& ctx) {
    const GlobalOptions& g = ctx.global;
    CLI::App* user = group(app, "user", "the device's accounts: list, add, delete, modify");
    command(*user, ctx, "list", "list the accounts (never their passwords)",
            [&g] { return listUsersCommand(g); });

    auto add = args<UserArgs>();
    CLI::App* c = command(*user, ctx, "add", "add an account", [&g, add] {
        Link link(g);
        addUser(link.conn(), add->name, add->password, add->rights, g.timeout);
        return done(g, "user " + add->name + " added");
    });
    c->add_option("NAME", add->name, "user name (cut to 23 characters)")->required();
    c->add_option("PASSWORD", add->password, "password (cut to 23 characters)")->required();
    addRights(*c, *add);

    auto del = args<UserArgs>();
    c = command(*user, ctx, "delete", "delete an account (not the last one)", [&g, del] {
        Link link(g);
        deleteUser(link.conn(), del->name, g.timeout);
        return done(g, "user " + del->name + " deleted");
    });
    c->add_option("NAME", del->name, "user name")->required();

    auto mod = args<UserArgs>();
    c = command(*user, ctx, "modify", "change an account's password or rights",
                [&g, mod] { return modifyUserCommand(g, *mod); });
    c->add_option("NAME", mod->name, "user name")->required();
    c->add_option("--password", mod->password, "the new password (default: keep it)")
        ->check(CLI::Validator(
            [](std::string& s) { return s.empty() ? std::string("needs a non-empty value") : ""; },
            "", ""));
    addRights(*c, *mod);
}

struct LogArgs {
    LogQuery query;
    std::string since, until, category;
    bool all = false;
    CLI::Option* maxGiven = nullptr;
};

uint32_t parseCategory(const std::string& text) {
    for (uint32_t c = wire::LOG_CATEGORY_SYSTEM; c <= wire::LOG_CATEGORY_OPERATION; ++c) {
        if (text == logCategoryName(c)) return c;
    }
    if (auto v = parseNumber(text, 0xffffffffu)) return static_cast<uint32_t>(*v);
    throw UsageError("bad value '" + text +
                     "' for --category (system, disk, control, operation or a number)");
}

// The filters both log actions take; `a` holds them until the command runs.
void addLogFilters(CLI::App& c, LogArgs& a) {
    c.add_option("--since", a.since, "lines at or after T")->type_name("T");
    c.add_option("--until", a.until, "lines at or before T")->type_name("T");
    c.add_option("--category", a.category,
                 "system (1), disk (2), control (3), operation (4) or a number")
        ->type_name("C");
    a.maxGiven = addNumber(c, "--max", a.query.max, 0, 0xffffffffu,
                           "at most N lines, the oldest that match")
                     ->default_str("");
    c.footer(
        "T is \"YYYY-MM-DD HH:MM:SS\", \"YYYY-MM-DD HH:MM\", \"YYYY-MM-DD\" (local time) or "
        "seconds since 1970.");
}

// The query of the filters; whether any filter was given.
bool logQuery(LogArgs& a) {
    if (!a.since.empty()) a.query.since = parseTimeBound("--since", a.since);
    if (!a.until.empty()) a.query.until = parseTimeBound("--until", a.until);
    if (!a.category.empty()) a.query.category = parseCategory(a.category);
    return !a.since.empty() || !a.until.empty() || !a.category.empty() || a.maxGiven->count() > 0;
}

int listLogCommand(const GlobalOptions& g, LogArgs& a) {
    logQuery(a);
    Link link(g);
    Result r;
    r.json["log"] = Json::array();
    for (const LogEntry& e : listLog(link.conn(), a.query, g.timeout)) {
        const std::string when = formatEpoch(e.time), category = logCategoryName(e.category);
        r.json["log"].push_back({{"id", e.id},
                                 {"time", e.time},
                                 {"time_text", when},
                                 {"category", e.category},
                                 {"category_name", category},
                                 {"text", e.text}});
        char line[160];
        std::snprintf(line, sizeof line, "%6u  %s  %-9s  %s\n", e.id, when.c_str(),
                      category.c_str(), e.text.c_str());
        r.text += line;
    }
    return emit(g, r);
}

void registerLog(CLI::App& app, Context& ctx) {
    const GlobalOptions& g = ctx.global;
    CLI::App* log = group(app, "log", "the device log: list, delete");
    auto list = args<LogArgs>();
    addLogFilters(*command(*log, ctx, "list", "list the log lines that match the filters",
                           [&g, list] { return listLogCommand(g, *list); }),
                  *list);

    auto del = args<LogArgs>();
    CLI::App* c = command(*log, ctx, "delete", "delete what log list lists with the same filters",
                          [&g, del] {
                              const bool filtered = logQuery(*del);
                              if (!filtered && !del->all) {
                                  throw UsageError(
                                      "log delete needs a filter, or --all to delete the whole log");
                              }
                              if (filtered && del->all) {
                                  throw UsageError("log delete: --all goes without filters");
                              }
                              Link link(g);
                              deleteLog(link.conn(), del->query, g.timeout);
                              return done(g, "log lines deleted");
                          });
    addLogFilters(*c, *del);
    c->add_flag("--all", del->all, "delete the whole log (without filters)");
}

}  // namespace

void addAccountCommands(CLI::App& app, Context& ctx) {
    registerUser(app, ctx);
    registerLog(app, ctx);
}

}  // namespace recnet::cli
