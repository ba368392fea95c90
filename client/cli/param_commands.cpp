/*
 * param_commands.cpp - the device's parameters: `param get`, `param set` and
 * `param reset-video`.
 */
#include <algorithm>
#include <cctype>

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

// The hyphenated name of a layout ("video encode" -> "video-encode").
std::string hyphenated(const char* name) {
    std::string s = name;
    for (char& c : s) {
        c = (c == ' ') ? '-' : static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return s;
}

// TYPE: a parameter type number, or the hyphenated name of its layout,
// handed on as the number.
CLI::Validator paramTypeName() {
    return CLI::Validator(
        [](std::string& text) -> std::string {
            if (parseNumber(text, 0xffff)) return "";
            for (unsigned t = 0; t <= 0xffff; ++t) {
                const ParamLayout* l = paramLayout(static_cast<uint16_t>(t));
                if (l && hyphenated(l->name) == text) {
                    text = std::to_string(l->type);
                    return "";
                }
            }
            return "unknown parameter type '" + text +
                   "' (a number, or a name such as video-encode, record-type, serial)";
        },
        "", "");
}

CLI::Option* addParamType(CLI::App& c, uint16_t& type) {
    return addNumber(c, "TYPE", type, 0, 0xffff, "parameter type number or name")
        ->transform(paramTypeName())
        ->type_name("TYPE")
        ->required();
}

struct GetArgs {
    uint16_t type = 0;
    uint32_t channel = 0;
    CLI::Option* channelGiven = nullptr;
    bool hex = false;
};

// One record as "name: value" lines, or as hex without a layout.
std::string recordText(const ParamLayout* layout, const uint8_t* r, size_t size, size_t index,
                       bool many) {
    std::string out = many ? "[" + std::to_string(index) + "]\n" : "";
    const std::string indent = many ? "  " : "";
    if (layout && !layout->fields.empty()) {
        for (const ParamField& f : layout->fields) {
            out += indent + f.name + ": " + fieldText(r, f) + "\n";
        }
    } else {
        out += indent + toHex(r, size) + "\n";
    }
    return out;
}

Json recordJson(const ParamLayout* layout, const uint8_t* r, size_t size) {
    Json j = {{"hex", toHex(r, size)}};
    if (!layout) return j;
    for (const ParamField& f : layout->fields) {
        const bool text = f.kind == ParamField::Kind::Text || f.kind == ParamField::Kind::Ipv4 ||
                          f.kind == ParamField::Kind::Mac;
        j[f.name] = fieldJson(fieldText(r, f), text);
    }
    return j;
}

int getParamCommand(const GlobalOptions& g, const GetArgs& a) {
    const ParamLayout* layout = paramLayout(a.type);
    const bool oneChannel = a.channelGiven->count() > 0;
    if (oneChannel && !layout) {
        throw UsageError("--channel needs a type whose record size is known");
    }
    Link link(g);
    std::vector<uint8_t> value = getParam(link.conn(), a.type, g.timeout);
    const size_t recSize = layout ? layout->recordSize : value.size();
    size_t first = 0, count = 1;
    if (layout && recSize > 0 && value.size() >= recSize) count = value.size() / recSize;
    if (oneChannel) {
        if ((a.channel + 1) * recSize > value.size()) {
            throw CommandRefused(wire::STATUS_FAILED,
                                 "parameter " + std::to_string(a.type) + " has no record " +
                                     std::to_string(a.channel) + " (" +
                                     std::to_string(value.size() / recSize) + " records)");
        }
        first = a.channel;
        count = 1;
    }
    const bool asHex = a.hex || !layout;
    const size_t size = layout ? std::min(recSize, value.size()) : value.size();
    Result r;
    r.json = {{"type", a.type},
              {"name", layout ? layout->name : ""},
              {"length", value.size()},
              {"records", Json::array()}};
    for (size_t i = first; i < first + count; ++i) {
        r.json["records"].push_back(recordJson(layout, value.data() + i * size, size));
        r.text += recordText(asHex ? nullptr : layout, value.data() + i * size, size, i, count > 1);
    }
    if (asHex && !oneChannel) r.text = toHex(value) + "\n";
    return emit(g, r);
}

struct SetArgs {
    uint16_t type = 0;
    std::string hex, payload, file, fromFile;
};

int setParamCommand(const GlobalOptions& g, const SetArgs& a) {
    const int sources = !a.hex.empty() + !a.payload.empty() + !a.file.empty() + !a.fromFile.empty();
    if (sources != 1) throw UsageError("param set needs exactly one of --hex HEX and --file F");
    std::vector<uint8_t> value;
    if (!a.hex.empty()) value = hexBytes("--hex", a.hex);
    if (!a.payload.empty()) value = hexBytes("--payload", a.payload);
    for (const std::string* f : {&a.file, &a.fromFile}) {
        if (!f->empty()) value = readFile(*f, wire::MAX_PAYLOAD, /*regularOnly=*/false);
    }
    if (value.size() > wire::MAX_PAYLOAD) {
        throw UsageError("the value is longer than " + std::to_string(wire::MAX_PAYLOAD) +
                         " bytes");
    }
    Link link(g);
    setParam(link.conn(), a.type, value, g.timeout);
    return done(g, "parameter " + std::to_string(a.type) + " set (" +
                       std::to_string(value.size()) + " bytes)");
}

}  // namespace

void addParamCommands(CLI::App& app, Context& ctx) {
    const GlobalOptions& g = ctx.global;
    CLI::App* param = group(app, "param", "the device's parameters: get, set, reset-video");
    param->footer(
        "Named types: network (5), prober-alarm (7), ptz-config (9), timer-record (10), "
        "video-lost (11), motion (12), video-config (13), video-encode (14), osd (17), "
        "video-overlay (18), pppoe (20), record-type (21), serial (22), transparence (23), "
        "manual-recording (24), cmos (65), system-configuration (144).");

    auto get = args<GetArgs>();
    CLI::App* c = command(*param, ctx, "get", "print a parameter's records",
                          [&g, get] { return getParamCommand(g, *get); });
    addParamType(*c, get->type);
    get->channelGiven =
        addNumber(*c, "--channel", get->channel, 0, 255, "only the record of channel C")
            ->type_name("C")
            ->default_str("");
    c->add_flag("--hex", get->hex, "print the value as hex");

    auto set = args<SetArgs>();
    c = command(*param, ctx, "set", "send a parameter's value, all records back to back",
                [&g, set] { return setParamCommand(g, *set); });
    addParamType(*c, set->type);
    c->add_option("--hex", set->hex, "the value as hex digit pairs")->type_name("HEX");
    c->add_option("--payload", set->payload, "the same as --hex")->type_name("HEX");
    c->add_option("--file", set->file, "the value from a file (at most 102400 bytes)")
        ->type_name("F");
    c->add_option("--from-file", set->fromFile, "the same as --file")->type_name("F");

    auto channel = std::make_shared<uint32_t>(0);
    c = command(*param, ctx, "reset-video", "put a channel's video config back to its default",
                [&g, channel] {
                    Link link(g);
                    resetVideoConfig(link.conn(), static_cast<int>(*channel), g.timeout);
                    return done(g, "video config of channel " + std::to_string(*channel) +
                                       " reset");
                });
    addNumber(*c, "CHANNEL", *channel, 0, 127, "channel, from 0")->required();
}

}  // namespace recnet::cli
