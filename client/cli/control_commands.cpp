/*
 * control_commands.cpp - commands that act on channels, the serial port and
 * record files: `ptz`, `iframe`, `record`, `serial send`, `file delete` and
 * `worker start`.
 */
// The library's commands.h; a plain "commands.h" is this folder's.
#include "../lib/commands.h"
#include "commands.h"
#include "hex.h"
#include "link.h"
#include "netserver/wire.h"
#include "output.h"
#include "values.h"

namespace recnet::cli {

namespace {

// ACTION: a PTZ action name, or the action number (the message's sub-type).
std::optional<uint16_t> ptzAction(const std::string& text) {
    if (auto a = ptzActionNumber(text)) return a;
    if (auto n = parseNumber(text, 0xffff)) return static_cast<uint16_t>(*n);
    return std::nullopt;
}

struct PtzArgs {
    uint32_t channel = 0, speed = 8, preset = 0;
    std::string action;
};

void registerPtz(CLI::App& app, Context& ctx) {
    const GlobalOptions& g = ctx.global;
    auto a = args<PtzArgs>();
    CLI::App* c = command(app, ctx, "ptz", "move a channel's camera", [&g, a] {
        return acknowledged(
            g,
            [&](Connection& conn) {
                ptz(conn, *ptzAction(a->action), a->channel, a->speed, a->preset, g.timeout);
            },
            "PTZ " + a->action + " on channel " + std::to_string(a->channel));
    });
    addNumber(*c, "CHANNEL", a->channel, 0, 0xffffffffu, "channel, from 0")->required();
    c->add_option("ACTION", a->action,
                  "up, down, left, right, zoom-in, zoom-out, focus-near, focus-far, iris-open, "
                  "iris-close, stop, set-preset, goto-preset, clear-preset, or a number")
        ->required()
        ->check(CLI::Validator(
            [](std::string& s) {
                return ptzAction(s) ? std::string() : "unknown PTZ action '" + s + "'";
            },
            "", ""));
    addNumber(*c, "--speed", a->speed, 0, 63, "speed, 1 to 63");
    addNumber(*c, "--preset", a->preset, 0, 255, "preset, 1 to 255");
}

struct RecordArgs {
    uint32_t channel = 0;
    std::string kind = "main";
    uint8_t minutes = 0;
};

void registerRecord(CLI::App& app, Context& ctx) {
    const GlobalOptions& g = ctx.global;
    CLI::App* record = group(app, "record", "manual recording: start, stop");
    auto start = args<RecordArgs>();
    CLI::App* c = command(*record, ctx, "start", "start recording a channel", [&g, start] {
        const uint8_t kind = start->kind == "sub" ? 1 : 0;
        return acknowledged(
            g,
            [&](Connection& conn) {
                setHandRecord(conn, start->channel, kind, start->minutes, g.timeout);
            },
            "recording started on channel " + std::to_string(start->channel));
    });
    addNumber(*c, "CHANNEL", start->channel, 0, 0xffffffffu, "channel, from 0")->required();
    addChoice(*c, "--kind", start->kind, {"main", "sub"}, "the stream to record")
        ->capture_default_str();
    addNumber(*c, "--minutes", start->minutes, 0, 255, "minutes to record; 0: until record stop");

    auto stop = std::make_shared<uint32_t>(0);
    c = command(*record, ctx, "stop", "stop recording a channel", [&g, stop] {
        return acknowledged(
            g, [&](Connection& conn) { clearHandRecord(conn, *stop, g.timeout); },
            "recording stopped on channel " + std::to_string(*stop));
    });
    addNumber(*c, "CHANNEL", *stop, 0, 0xffffffffu, "channel, from 0")->required();
}

struct SerialSendArgs {
    std::string text, hex, file;
    std::vector<CLI::Option*> sources;
};

int serialSendCommand(const GlobalOptions& g, const SerialSendArgs& a) {
    int given = 0;
    for (const CLI::Option* o : a.sources) given += o->count() > 0;
    if (given != 1) {
        throw UsageError("serial send needs exactly one of TEXT, --hex HEX and --file F");
    }
    std::vector<uint8_t> data(a.text.begin(), a.text.end());
    if (a.sources[1]->count() > 0) data = hexBytes("--hex", a.hex);
    if (a.sources[2]->count() > 0) {
        data = readFile(a.file, wire::SERIAL_MAX_DATA, /*regularOnly=*/false);
    }
    if (data.size() > wire::SERIAL_MAX_DATA) {
        throw UsageError("serial data is longer than " + std::to_string(wire::SERIAL_MAX_DATA) +
                         " bytes");
    }
    return acknowledged(
        g, [&](Connection& conn) { serialSend(conn, data, g.timeout); },
        std::to_string(data.size()) + " bytes sent to the serial port");
}

}  // namespace

void addControlCommands(CLI::App& app, Context& ctx) {
    const GlobalOptions& g = ctx.global;
    registerPtz(app, ctx);

    auto channel = std::make_shared<uint32_t>(0);
    CLI::App* c = command(app, ctx, "iframe", "ask for a key frame on a channel", [&g, channel] {
        return acknowledged(
            g,
            [&](Connection& conn) { forceKeyFrame(conn, *channel, g.timeout); },
            "key frame requested on channel " + std::to_string(*channel));
    });
    addNumber(*c, "CHANNEL", *channel, 0, 0xffffffffu, "channel, from 0")->required();

    registerRecord(app, ctx);

    auto send = args<SerialSendArgs>();
    c = command(*group(app, "serial", "the serial port: send, attach"), ctx, "send",
                "send bytes to the serial port (at most 1024)",
                [&g, send] { return serialSendCommand(g, *send); });
    send->sources = {
        c->add_option("TEXT", send->text, "the bytes as text"),
        c->add_option("--hex", send->hex, "the bytes as hex digit pairs")->type_name("HEX"),
        c->add_option("--file", send->file, "the bytes of a file")->type_name("F")};

    auto name = std::make_shared<std::string>();
    c = command(*group(app, "file", "record files: delete")->alias("record-file"), ctx, "delete",
                "delete a record file", [&g, name] {
                    return acknowledged(
                        g, [&](Connection& conn) { deleteRecordFile(conn, *name, g.timeout); },
                        "record file " + *name + " deleted");
                });
    c->add_option("NAME", *name, "the file's name in the device's record folder")
        ->required()
        ->check(CLI::Validator(
            [](std::string& s) -> std::string {
                const size_t max = wire::RECORD_FILE_REQUEST_SIZE - 1;
                if (!s.empty() && s.size() <= max) return "";
                return "record file name must have 1 to " + std::to_string(max) + " characters";
            },
            "", ""));

    command(*group(app, "worker", "the session worker: start"), ctx, "start",
            "start the session worker", [&g] {
                Link link(g);
                startWorker(link.conn(), std::min<Duration>(g.timeout, Duration(1000)));
                return done(g, "session worker started");
            });
}

}  // namespace recnet::cli
