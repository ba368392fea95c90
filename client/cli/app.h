/*
 * app.h - the frame every recnet command hangs on: exit statuses, the global
 * options, and the helpers with which a family file registers its commands on
 * the CLI11 parser.
 *
 * A family file (commands.h lists them) adds its commands with group() and
 * command(); the body of the command chosen on the command line runs after
 * the whole line has been parsed and checked, so that a bad command line never
 * reaches the device.
 */
#ifndef RECNET_CLI_APP_H
#define RECNET_CLI_APP_H

#include <CLI/CLI.hpp>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

#include "connection.h"

namespace recnet::cli {

// Exit statuses of the recnet command.
constexpr int EXIT_OK = 0;
constexpr int EXIT_FAILED = 1;
constexpr int EXIT_USAGE = 2;
constexpr int EXIT_NO_ANSWER = 3;
constexpr int EXIT_BUSY = 4;  // the device answered "busy" (a disk operation runs)

// A command line that cannot be obeyed, found after CLI11's own checks
// (values that depend on each other, file contents); reported like CLI11's
// errors, with the short usage and EXIT_USAGE.
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct GlobalOptions {
    std::string host = "127.0.0.1";
    uint16_t port = 5500;
    std::string user = "admin";
    // --password, or RECNET_PASSWORD; loginPassword() (link.h) falls back
    // to a prompt or the default.
    std::optional<std::string> password;
    mutable std::optional<std::string> promptedPassword;  // asked for at most once
    Duration timeout{5000};
    bool json = false;
};

// What parsing leaves for main: the global options and the chosen command.
struct Context {
    GlobalOptions global;
    std::function<int()> run;  // the chosen command's body; returns the exit status
};

// A group of commands (`user list`, `user add`, ...): `name` under `parent`,
// which needs one of its actions. Returns the existing group when two family
// files add actions to the same one (`serial send`, `serial attach`).
CLI::App* group(CLI::App& parent, const std::string& name, const std::string& description);

// A command `name` under `parent` whose `body` runs once the whole command
// line is parsed. `body` returns the exit status.
CLI::App* command(CLI::App& parent, Context& ctx, const std::string& name,
                  const std::string& description, std::function<int()> body);

// Per-command argument storage that the option bindings and the body share.
template <class T>
std::shared_ptr<T> args() {
    return std::make_shared<T>();
}

/* ---- typed values ------------------------------------------------------------------ */

// A decimal or 0x-hex number from `min` to `max`; handed on in decimal, so
// that CLI11 never reads a leading 0 as octal.
CLI::Validator numberIn(uint64_t min, uint64_t max);

// Binds an unsigned number option or operand `name` to `target`, with the
// range check above and `target`'s value shown as its default in the help.
template <class T>
CLI::Option* addNumber(CLI::App& app, const std::string& name, T& target, uint64_t min,
                       uint64_t max, const std::string& help) {
    return app.add_option(name, target, help)
        ->transform(numberIn(min, max))
        ->type_name("N")
        ->default_str(std::to_string(target));
}

// Binds a seconds option (fractions allowed, at most a day, rounded up to
// milliseconds); zero only when `zeroAllowed`.
CLI::Option* addSeconds(CLI::App& app, const std::string& name, Duration& target,
                        bool zeroAllowed, const std::string& help);

// Binds an option or operand whose value is any of `choices`.
CLI::Option* addChoice(CLI::App& app, const std::string& name, std::string& target,
                       const std::vector<std::string>& choices, const std::string& help);

/* ---- the whole command line ---------------------------------------------------------- */

// The recnet parser with the global options bound to `ctx.global` and every
// family's commands registered.
std::unique_ptr<CLI::App> makeApp(Context& ctx);

// One line that says what is wrong with the command line, for an error that
// CLI11 raised while parsing with `app`: names the actions of a group that
// got none or an unknown one, and the global options given after the command.
std::string explainParseError(const CLI::App& app, const CLI::ParseError& e);

}  // namespace recnet::cli

#endif
