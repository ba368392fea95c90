/*
 * commands.cpp - connects, logs in, runs one command and prints its result.
 */
#include "commands.h"

#include <algorithm>
#include <cstdio>
#include <exception>
#include <iostream>
#include <memory>

#include "device_commands.h"
#include "errors.h"
#include "hex.h"
#include "keepalive.h"
#include "session.h"
#include "stream_commands.h"

namespace recnet::cli {

namespace {

// An open command connection, with the session's keep-alive running while it
// is logged in and a polite logout at the end.
class Link {
public:
    explicit Link(const GlobalOptions& g) : g_(g), exceptionsAtStart_(std::uncaught_exceptions()) {
        conn_.connect(g.host, g.port, g.timeout);
    }

    ~Link() {
        keepAlive_.reset();
        // After a failure the conversation is in an unknown state and the
        // error is what matters; the server ends the session when the
        // connection closes.
        if (!loggedIn_ || std::uncaught_exceptions() > exceptionsAtStart_) return;
        // Leaving is best effort: the command's result is already printed.
        try {
            logout(conn_, std::min<Duration>(g_.timeout, Duration(2000)));
        } catch (const Error&) {
        }
    }

    // Logs in with the global credentials and starts the keep-alive, so that
    // long waits (a large --timeout) do not lose the session.
    std::optional<uint32_t> logIn() {
        std::optional<uint32_t> id = login(conn_, g_.user, g_.password, g_.timeout);
        loggedIn_ = true;
        keepAlive_ = std::make_unique<KeepAlive>(conn_);
        return id;
    }

    Connection& conn() { return conn_; }

private:
    const GlobalOptions& g_;
    int exceptionsAtStart_;
    Connection conn_;
    bool loggedIn_ = false;
    std::unique_ptr<KeepAlive> keepAlive_;  // declared after conn_: stopped first
};

int cmdLogin(const GlobalOptions& g) {
    Link link(g);
    std::optional<uint32_t> id = link.logIn();
    if (g.json) {
        std::cout << "{\"session\":" << (id ? std::to_string(*id) : "null") << "}\n";
    } else {
        std::cout << "session " << (id ? std::to_string(*id) : "none") << "\n";
    }
    return EXIT_OK;
}

int cmdEcho(const GlobalOptions& g) {
    Link link(g);
    link.logIn();
    echo(link.conn(), g.timeout);
    std::cout << (g.json ? "{\"echo\":\"ok\"}" : "echo ok") << "\n";
    return EXIT_OK;
}

int cmdTimeInfo(const GlobalOptions& g) {
    Link link(g);
    link.logIn();
    TimeInfo t = timeInfo(link.conn(), g.timeout);
    char line[160];
    if (g.json) {
        std::snprintf(line, sizeof line,
                      "{\"year\":%u,\"month\":%u,\"day\":%u,\"hour\":%u,\"minute\":%u,"
                      "\"second\":%u}",
                      t.year, t.month, t.day, t.hour, t.minute, t.second);
    } else {
        std::snprintf(line, sizeof line, "%04u-%02u-%02u %02u:%02u:%02u", t.year, t.month, t.day,
                      t.hour, t.minute, t.second);
    }
    std::cout << line << "\n";
    return EXIT_OK;
}

int cmdRaw(const Invocation& inv) {
    const GlobalOptions& g = inv.global;
    Link link(g);
    if (inv.rawLogin) link.logIn();
    std::optional<Message> reply = rawRequest(link.conn(), inv.raw, g.timeout);
    if (!reply) {
        std::cerr << "recnet: no reply within " << formatSeconds(g.timeout) << " s\n";
        return EXIT_NO_ANSWER;
    }
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
    throw UsageError("unknown command '" + inv.command + "'");
}

}  // namespace recnet::cli
