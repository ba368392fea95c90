/*
 * commands.cpp - connects, logs in, runs one command and prints its result.
 */
#include "commands.h"

#include <cstdio>
#include <iostream>

#include "cli_support.h"
#include "device_commands.h"
#include "hex.h"
#include "session.h"
#include "stream_commands.h"
#include "top_command.h"

namespace recnet::cli {

namespace {

int cmdLogin(const GlobalOptions& g) {
    Link link(g);
    std::optional<uint32_t> id = link.sessionId();
    if (g.json) {
        std::cout << "{\"session\":" << (id ? std::to_string(*id) : "null") << "}\n";
    } else {
        std::cout << "session " << (id ? std::to_string(*id) : "none") << "\n";
    }
    return EXIT_OK;
}

int cmdEcho(const GlobalOptions& g) {
    Link link(g);
    echo(link.conn(), g.timeout);
    std::cout << (g.json ? "{\"echo\":\"ok\"}" : "echo ok") << "\n";
    return EXIT_OK;
}

int cmdTimeInfo(const GlobalOptions& g) {
    Link link(g);
    TimeInfo t = timeInfo(link.conn(), g.timeout);
    if (g.json) {
        char line[160];
        std::snprintf(line, sizeof line,
                      "{\"year\":%u,\"month\":%u,\"day\":%u,\"hour\":%u,\"minute\":%u,"
                      "\"second\":%u}",
                      t.year, t.month, t.day, t.hour, t.minute, t.second);
        std::cout << line << "\n";
    } else {
        std::cout << formatDateTime(t) << "\n";
    }
    return EXIT_OK;
}

int cmdRaw(const Invocation& inv) {
    const GlobalOptions& g = inv.global;
    Link link(g, inv.rawLogin ? Link::Login::WithKeepAlive : Link::Login::Skip);
    std::optional<Message> reply = rawRequest(link.conn(), inv.raw, g.timeout);
    if (!reply) return fail("no reply within " + formatSeconds(g.timeout) + " s", EXIT_NO_ANSWER);
    const wire::MessageHeader& h = reply->header;
    std::string rest = toHex(h.rest, sizeof h.rest);
    std::string payload = toHex(reply->payload);
    if (g.json) {
        std::cout << "{\"type\":" << h.type << ",\"subtype\":" << h.subtype
                  << ",\"length\":" << h.length << ",\"status\":" << unsigned(h.status)
                  << ",\"rest\":\"" << rest << "\",\"payload\":\"" << payload << "\"}\n";
    } else {
        char line[96];
        std::snprintf(line, sizeof line, "type 0x%04x subtype 0x%04x length %u status 0x%02x rest %s",
                      h.type, h.subtype, h.length, h.status, rest.c_str());
        std::cout << line << "\n" << "payload" << (payload.empty() ? "" : " ") << payload << "\n";
    }
    return EXIT_OK;
}

}  // namespace

int runCommand(const Invocation& inv) {
    if (inv.command == "login") return cmdLogin(inv.global);
    if (inv.command == "echo") return cmdEcho(inv.global);
    if (inv.command == "time-info") return cmdTimeInfo(inv.global);
    if (inv.command == "raw") return cmdRaw(inv);
    if (isDeviceCommand(inv.command)) return runDeviceCommand(inv);
    if (isStreamCommand(inv.command)) return runStreamCommand(inv);
    if (isTopCommand(inv.command)) return runTopCommand(inv);
    throw UsageError("unknown command '" + inv.command + "'");
}

}  // namespace recnet::cli
