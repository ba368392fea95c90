/*
 * session_commands.cpp - the commands of the session itself: login, echo,
 * time-info and raw.
 */
#include <algorithm>
#include <cstdio>

#include "commands.h"
#include "hex.h"
#include "link.h"
#include "output.h"
#include "session.h"
#include "values.h"

namespace recnet::cli {

namespace {

struct RawArgs {
    RawRequest request;
    std::string payload, rest = "000000";
    bool noLogin = false;
};

// Sends the request and prints the first reply (header and payload).
int runRaw(const GlobalOptions& g, const RawArgs& a) {
    RawRequest request = a.request;
    request.payload = hexBytes("--payload", a.payload);
    if (request.payload.size() > wire::MAX_PAYLOAD) {
        throw UsageError("--payload is longer than " + std::to_string(wire::MAX_PAYLOAD) +
                         " bytes");
    }
    std::vector<uint8_t> rest = hexBytes("--rest", a.rest);
    if (rest.size() != 3) throw UsageError("--rest needs exactly 3 bytes (6 hex digits)");
    std::copy(rest.begin(), rest.end(), request.rest.begin());

    Link link(g, a.noLogin ? Link::Login::Skip : Link::Login::WithKeepAlive);
    std::optional<Message> reply = rawRequest(link.conn(), request, g.timeout);
    if (!reply) return fail("no reply within " + formatSeconds(g.timeout) + " s", EXIT_NO_ANSWER);
    const wire::MessageHeader& h = reply->header;
    const std::string restHex = toHex(h.rest, sizeof h.rest);
    const std::string payload = toHex(reply->payload);
    char line[96];
    std::snprintf(line, sizeof line, "type 0x%04x subtype 0x%04x length %u status 0x%02x rest %s",
                  h.type, h.subtype, h.length, h.status, restHex.c_str());
    return emit(g, {{{"type", h.type},
                     {"subtype", h.subtype},
                     {"length", h.length},
                     {"status", h.status},
                     {"rest", restHex},
                     {"payload", payload}},
                    std::string(line) + "\npayload" + (payload.empty() ? "" : " ") + payload +
                        "\n"});
}

}  // namespace

void addSessionCommands(CLI::App& app, Context& ctx) {
    const GlobalOptions& g = ctx.global;
    command(app, ctx, "login", "log in and print the session id", [&g] {
        Link link(g);
        std::optional<uint32_t> id = link.sessionId();
        return emit(g, {{{"session", id ? Json(*id) : Json(nullptr)}},
                        "session " + (id ? std::to_string(*id) : "none") + "\n"});
    });
    command(app, ctx, "echo", "log in, send an echo and check it comes back unchanged", [&g] {
        Link link(g);
        echo(link.conn(), g.timeout);
        return emit(g, {{{"echo", "ok"}}, "echo ok\n"});
    });
    command(app, ctx, "time-info", "log in and print the device's clock", [&g] {
        Link link(g);
        TimeInfo t = timeInfo(link.conn(), g.timeout);
        return emit(g, {{{"year", t.year},
                         {"month", t.month},
                         {"day", t.day},
                         {"hour", t.hour},
                         {"minute", t.minute},
                         {"second", t.second}},
                        formatDateTime(t) + "\n"});
    });

    auto a = args<RawArgs>();
    CLI::App* raw = command(app, ctx, "raw", "send one message and print the first reply",
                            [&g, a] { return runRaw(g, *a); });
    addNumber(*raw, "TYPE", a->request.type, 0, 0xffff, "message type")->required();
    addNumber(*raw, "--subtype", a->request.subtype, 0, 0xffff, "header sub-type");
    raw->add_option("--payload", a->payload,
                    "payload as hex digit pairs (spaces between pairs and a leading 0x allowed)")
        ->type_name("HEX");
    addNumber(*raw, "--status", a->request.status, 0, 0xff, "the request's status byte");
    raw->add_option("--rest", a->rest, "the three header bytes after the status byte")
        ->type_name("HEX")
        ->capture_default_str();
    raw->add_flag("--no-login", a->noLogin,
                  "send on a fresh connection without logging in (and without keep-alives)");
}

}  // namespace recnet::cli
