/*
 * options.cpp - command-line parsing.
 *
 * Hand-written rather than getopt_long: the command line has two option
 * scopes (global options before the command, the command's own after it), and
 * an explicit loop states that rule more plainly than re-running getopt.
 */
#include "options.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <optional>

#include "cli_support.h"
#include "device_commands.h"
#include "hex.h"
#include "stream_commands.h"
#include "top_command.h"

namespace recnet::cli {

namespace {

const char USAGE[] =
    "usage: recnet [GLOBAL OPTIONS] COMMAND [COMMAND OPTIONS]\n"
    "\n"
    "global options:\n"
    "  --host H        recorder address or IPv4 host name (default 127.0.0.1)\n"
    "  --port P        command port (default 5500)\n"
    "  --user U        user name (default admin)\n"
    "  --password W    password (default admin)\n"
    "  --timeout S     seconds to wait for a connection or an answer (default 5)\n"
    "  --json          print results as JSON\n"
    "  -h, --help      print this text\n"
    "\n"
    "commands:\n"
    "  login           log in and print the session id\n"
    "  echo            log in, send an echo and check it comes back unchanged\n"
    "  time-info       log in and print the device's time\n"
    "  raw TYPE        send one message and print the first reply\n"
    "      --subtype S     sub-type (default 0)\n"
    "      --payload HEX   payload bytes as hex digits (default none)\n"
    "      --status B      status byte of the request (default 0)\n"
    "      --rest HEX      the three header bytes after the status (default 000000)\n"
    "      --no-login      send without logging in first\n"
    "    TYPE, S and B are decimal or 0x-prefixed hex.\n"
    "\n"
    "exit status: 0 success, 1 failure, 2 bad command line, 3 no answer in time\n";

// The --timeout value: seconds as std::from_chars reads them (no sign, no
// white space), more than 0 and at most a day.
Duration timeoutSeconds(const std::string& opt, const std::string& text) {
    double s = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), s);
    // Upper bound keeps the milliseconds well inside an int for poll.
    if (ec != std::errc() || end != text.data() + text.size() || !std::isfinite(s) || s <= 0 ||
        s > 86400) {
        throw UsageError("bad value '" + text + "' for " + opt +
                         " (seconds, more than 0 and at most 86400)");
    }
    return Duration(static_cast<long long>(std::ceil(s * 1000)));
}

// Applies one global option; false when `name` is not one.
bool globalOption(Invocation& inv, OptionCursor& cur, const std::string& name,
                  const std::optional<std::string>& inl) {
    GlobalOptions& g = inv.global;
    if (name == "--host") {
        g.host = cur.value(name, inl);
        if (g.host.empty()) throw UsageError("--host needs a non-empty value");
    } else if (name == "--port") {
        std::string text = cur.value(name, inl);
        auto p = parseNumber(text, 65535);
        if (!p || *p == 0) {
            throw UsageError("bad value '" + text + "' for --port (a number from 1 to 65535)");
        }
        g.port = static_cast<uint16_t>(*p);
    } else if (name == "--user") {
        g.user = cur.value(name, inl);
    } else if (name == "--password") {
        g.password = cur.value(name, inl);
    } else if (name == "--timeout") {
        g.timeout = timeoutSeconds(name, cur.value(name, inl));
    } else if (name == "--json") {
        if (inl) throw UsageError("--json takes no value");
        g.json = true;
    } else if (name == "-h" || name == "--help") {
        inv.help = true;
    } else {
        return false;
    }
    return true;
}

// Applies one option of the raw command; false when `name` is not one.
bool rawOption(Invocation& inv, OptionCursor& cur, const std::string& name,
               const std::optional<std::string>& inl) {
    if (name == "--subtype") {
        inv.raw.subtype = static_cast<uint16_t>(number(name, cur.value(name, inl), 0xffff));
    } else if (name == "--payload") {
        inv.raw.payload = hexBytes(name, cur.value(name, inl));
        if (inv.raw.payload.size() > wire::MAX_PAYLOAD) {
            throw UsageError("--payload is longer than " + std::to_string(wire::MAX_PAYLOAD) +
                             " bytes");
        }
    } else if (name == "--status") {
        inv.raw.status = static_cast<uint8_t>(number(name, cur.value(name, inl), 0xff));
    } else if (name == "--rest") {
        std::vector<uint8_t> rest = hexBytes(name, cur.value(name, inl));
        if (rest.size() != 3) throw UsageError("--rest needs exactly 3 bytes (6 hex digits)");
        std::copy(rest.begin(), rest.end(), inv.raw.rest.begin());
    } else if (name == "--no-login") {
        if (inl) throw UsageError("--no-login takes no value");
        inv.rawLogin = false;
    } else {
        return false;
    }
    return true;
}

}  // namespace

const char* usageText() {
    static const std::string text = std::string(USAGE) + deviceCommandsUsage() + streamCommandsUsage() + topCommandUsage();
    return text.c_str();
}

const char* shortUsage() {
    return "usage: recnet [GLOBAL OPTIONS] COMMAND [COMMAND OPTIONS] (recnet --help for more)\n";
}

Invocation parseCommandLine(const std::vector<std::string>& args) {
    Invocation inv;
    size_t i = 0;
    OptionCursor cur{args, i};

    // Global options, up to the first argument that is not an option.
    for (; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--") {
            ++i;
            break;
        }
        if (a.empty() || a[0] != '-' || a == "-") break;
        std::optional<std::string> inl;
        std::string name = cur.name(inl);
        if (!globalOption(inv, cur, name, inl)) throw UsageError("unknown option " + name);
    }
    if (inv.help) return inv;
    if (i >= args.size()) throw UsageError("no command given");
    inv.command = args[i++];
    if (inv.command == "help") {
        inv.help = true;
        return inv;
    }
    if (isDeviceCommand(inv.command) || isStreamCommand(inv.command) || isTopCommand(inv.command)) {  // parsed by the command itself
        inv.commandArgs.assign(args.begin() + static_cast<std::ptrdiff_t>(i), args.end());
        inv.help = isDeviceCommand(inv.command) ? deviceCommandWantsHelp(inv.commandArgs)
                                                : streamCommandWantsHelp(inv.commandArgs);
        return inv;
    }
    if (inv.command != "login" && inv.command != "echo" && inv.command != "time-info" &&
        inv.command != "raw") {
        throw UsageError("unknown command '" + inv.command + "'");
    }

    // The command's own options and operands, in any order.
    std::vector<std::string> operands;
    bool optionsEnded = false;
    for (; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (optionsEnded || a.empty() || a[0] != '-' || a == "-") {
            operands.push_back(a);
            continue;
        }
        if (a == "--") {
            optionsEnded = true;
            continue;
        }
        std::optional<std::string> inl;
        std::string name = cur.name(inl);
        if (name == "-h" || name == "--help") {
            inv.help = true;
            return inv;
        }
        if (inv.command == "raw" && rawOption(inv, cur, name, inl)) continue;
        if (isGlobalOption(name)) {
            throw UsageError("option " + name + " goes before the command");
        }
        throw UsageError("unknown option " + name + " for " + inv.command);
    }

    if (inv.command == "raw") {
        if (operands.size() != 1) throw UsageError("raw needs exactly one TYPE");
        inv.raw.type = static_cast<uint16_t>(number("TYPE", operands[0], 0xffff));
    } else if (!operands.empty()) {
        throw UsageError(inv.command + " takes no operands (got '" + operands[0] + "')");
    }
    return inv;
}

}  // namespace recnet::cli
