/*
 * options.cpp - the device's command line, on CLI11.
 *
 * Every option is one line of makeParser(): its name, the field it sets, its
 * range and help; the help shows each field's default from a fresh Options.
 * Values that need more than a range (addresses, the failure list, the video
 * source) are checked by their own validators or after the parse.
 */
#include "options.h"

#include <arpa/inet.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

// The highest base port whose UDP responder port (base + 4) still exists.
constexpr long kMaxBasePort = 65535 - 4;
// Synthetic frames up to 4 MiB (the module sends frames of up to 1 MiB with
// their 32-byte header and skips larger ones) and up to 1000 frames a second.
constexpr long kMaxFrameSize = 4L << 20;
// The flash size is an i32 on the wire, and an image is held in memory whole.
constexpr long kMaxFlashSize = 1L << 30;
constexpr long kMaxFps = 1000;
// Each session holds a socket and threads; more than this is no recorder's load.
constexpr long kMaxSessions = 65535;

// What the parse fills besides Options' own fields.
struct Raw {
    std::string source = "clip";
    std::vector<std::string> failures;
    bool open = false;
};

// A decimal number from `min` to `max`, handed on in canonical form (so that
// CLI11 never reads a leading 0 as octal).
CLI::Validator decimalIn(long min, long max) {
    return CLI::Validator(
        [min, max](std::string& text) -> std::string {
            errno = 0;
            char* end = nullptr;
            const long value = std::strtol(text.c_str(), &end, 10);
            if (text.empty() || errno != 0 || *end != '\0' || value < min || value > max) {
                return "expects a number from " + std::to_string(min) + " to " +
                       std::to_string(max) + ", got '" + text + "'";
            }
            text = std::to_string(value);
            return "";
        },
        "", "");
}

// A dotted-decimal IPv4 address, handed on in canonical form; a multicast
// one when `multicast`.
CLI::Validator ipv4(bool multicast, const std::string& example) {
    return CLI::Validator(
        [multicast, example](std::string& text) -> std::string {
            in_addr addr{};
            if (inet_pton(AF_INET, text.c_str(), &addr) != 1 ||
                (multicast && !IN_MULTICAST(ntohl(addr.s_addr)))) {
                return std::string("expects an IPv4 ") + (multicast ? "multicast " : "") +
                       "address like " + example + ", got '" + text + "'";
            }
            char canonical[INET_ADDRSTRLEN] = {};
            inet_ntop(AF_INET, &addr, canonical, sizeof canonical);
            text = canonical;
            return "";
        },
        "", "");
}

CLI::Validator nonEmpty(const std::string& what) {
    return CLI::Validator(
        [what](std::string& text) { return text.empty() ? "expects " + what : std::string(); },
        "", "");
}

template <class T>
void number(CLI::App& app, const std::string& name, T& field, long min, long max,
            const std::string& shape, const std::string& help) {
    app.add_option(name, field, help + ", " + std::to_string(min) + ".." + std::to_string(max))
        ->transform(decimalIn(min, max))
        ->type_name(shape)
        ->default_str(std::to_string(field));
}

CLI::Option* text(CLI::App& app, const std::string& name, std::string& field,
                  const std::string& shape, const std::string& help) {
    return app.add_option(name, field, help)->type_name(shape)->capture_default_str();
}

// Breaks a space-separated list into indented lines of at most `width` columns.
std::string wrapWords(const std::string& words, size_t width) {
    const std::string indent = "  ";
    std::string out;
    std::string line = indent;
    size_t start = 0;
    while (start < words.size()) {
        size_t end = words.find(' ', start);
        if (end == std::string::npos) end = words.size();
        const std::string word = words.substr(start, end - start);
        if (line.size() > indent.size() && line.size() + 1 + word.size() > width) {
            out += line + "\n";
            line = indent;
        }
        if (line.size() > indent.size()) line += ' ';
        line += word;
        start = end + 1;
    }
    if (line.size() > indent.size()) out += line + "\n";
    return out;
}

// The parser, bound to `o` and `raw`.
std::unique_ptr<CLI::App> makeParser(Options& o, Raw& raw) {
    auto app = std::make_unique<CLI::App>(
        "Reference host for libnetserver.so: loads the module, provides its host functions and "
        "runs the network server until SIGINT or SIGTERM.",
        "recnet-device");
    // As before CLI11: an option given twice takes the last value.
    app->option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    DeviceState& d = o.device;
    VideoConfig& v = o.video;
    CLI::App& a = *app;
    number(a, "--base-port", d.basePort, 1, kMaxBasePort, "N",
           "command port N, data port N+1, UDP port N+4");
    number(a, "--channels", d.channels, 0, 255, "N", "video channels");
    number(a, "--serial-ports", d.serialPorts, 0, 255, "N",
           "serial ports; each is a pseudo-terminal");
    number(a, "--disks", d.disks, 1, 8, "N", "simulated hard disks");
    number(a, "--format-seconds", d.formatSeconds, 0, 3600, "S", "how long a format runs");
    number(a, "--flash-size", d.flashSize, 1, kMaxFlashSize, "BYTES",
           "size of the firmware flash (flash.bin in the state directory)");
    number(a, "--flash-speed", d.flashSpeed, 1, kMaxFlashSize, "BYTES_PER_S",
           "how fast an image is written to the flash");
    text(a, "--address", d.addressText, "A", "the device's own IPv4 address")
        ->transform(ipv4(false, "192.168.1.10"));
    text(a, "--state", d.stateDir, "DIR", "state directory, created if missing")
        ->check(nonEmpty("a directory"));
    a.add_option("--fail", raw.failures,
                 "host function NAME returns RESULT instead of doing its work; repeatable; for "
                 "my_malloc any RESULT means null")
        ->type_name("NAME=RESULT")
        ->allow_extra_args(false)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    text(a, "--module", o.modulePath, "PATH", "module to load")
        ->default_str("libnetserver.so beside this executable, else the installed "
                      "libnetserver.so.1")
        ->check(nonEmpty("a path"));
    text(a, "--video", v.mainClip, "FILE", "H.264 Annex B file of the main streams")
        ->default_str("main.h264 of the media directory")
        ->check(nonEmpty("a file"));
    text(a, "--sub-video", v.subClip, "FILE", "H.264 Annex B file of the sub streams")
        ->default_str("sub.h264 of the media directory")
        ->check(nonEmpty("a file"));
    text(a, "--media-dir", v.mediaDir, "DIR", "directory of the sample clips")
        ->default_str("share/recnet/media of the installation, else media/ beside this "
                      "executable")
        ->check(nonEmpty("a directory"));
    number(a, "--clip-fps", v.clipFps, 1, kMaxFps, "N", "frames per second of the clips");
    text(a, "--source", raw.source, "S", "clip or synthetic")
        ->check(CLI::Validator(
            [](std::string& s) {
                return s == "clip" || s == "synthetic"
                           ? std::string()
                           : "expects clip or synthetic, got '" + s + "'";
            },
            "", ""));
    number(a, "--frame-size", v.frameSize, 0, kMaxFrameSize, "BYTES", "synthetic frame size");
    number(a, "--fps", v.fps, 0, kMaxFps, "N",
           "synthetic frames per second; 0 makes a frame whenever a reader has taken the last");
    text(a, "--multicast-base", d.multicastBase, "A", "multicast group base")
        ->transform(ipv4(true, "239.255.0.0"));
    number(a, "--metrics-port", o.metricsPort, 0, 65535, "P",
           "serve the counters as Prometheus text on http://0.0.0.0:P/metrics (0: off)");
    number(a, "--max-sessions", o.maxSessions, 0, kMaxSessions, "N",
           "at most N command sessions at once (0: no cap); a connection beyond them is closed");
    a.add_flag("--open", raw.open,
               "UNSAFE: serve commands without a login first, so any TCP client that reaches "
               "the device can command it; only for peers that never log in, on a network of "
               "your own");
    a.footer("NAME is one of:\n" + wrapWords(failableFunctionNames(), 78) +
             "\n"
             "For each serial port the device first prints\n"
             "  serial N: PATH\n"
             "(the pseudo-terminal to attach a terminal program to). Once the server\n"
             "accepts connections it prints\n"
             "  ready base-port=N channels=N\n"
             "on standard output. Startup errors go to standard error, one line each;\n"
             "the exit status is 2 for a bad command line and 1 for other failures.");
    return app;
}

// Sets what the parse left in `raw`; false with `error` for a bad entry.
bool applyRaw(const Raw& raw, Options& o, std::string& error) {
    o.video.source =
        raw.source == "synthetic" ? VideoConfig::Source::Synthetic : VideoConfig::Source::Clip;
    o.loginRequired = !raw.open;
    // s_addr holds the octets in network order, i.e. in written order in memory.
    in_addr addr{};
    inet_pton(AF_INET, o.device.addressText.c_str(), &addr);
    static_assert(sizeof addr.s_addr == 4);
    std::memcpy(o.device.address.data(), &addr.s_addr, 4);
    for (const std::string& f : raw.failures) {
        FailureEntry entry{};
        if (!parseFailure(f, entry, error)) return false;
        o.failures.push_back(entry);
    }
    return true;
}

}  // namespace

ParseOutcome parseOptions(int argc, char** argv, Options& options, std::string& error) {
    Raw raw;
    std::unique_ptr<CLI::App> app = makeParser(options, raw);
    try {
        app->parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        return ParseOutcome::Help;
    } catch (const CLI::ExtrasError&) {
        // Our own wording: one line that names the word and where help is.
        const std::string word = app->remaining().empty() ? "" : app->remaining().front();
        error = (word.rfind("-", 0) == 0 ? "unknown option '" : "unexpected argument '") + word +
                "' (see --help)";
        return ParseOutcome::Error;
    } catch (const CLI::ParseError& e) {
        error = e.what();
        return ParseOutcome::Error;
    }
    return applyRaw(raw, options, error) ? ParseOutcome::Run : ParseOutcome::Error;
}

void printUsage(std::FILE* out) {
    Options defaults;
    Raw raw;
    std::fputs(makeParser(defaults, raw)->help().c_str(), out);
}
