/*
 * stream_commands.cpp - live video: `stream` records a channel to an H.264
 * file, `probe` asks which address and port the device sees this host's
 * datagrams from.
 */

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <iostream>
#include <optional>

#include "commands.h"
#include "hex.h"
#include "link.h"
#include "output.h"
#include "probe.h"
#include "stream.h"

namespace recnet::cli {

namespace {

using Clock = std::chrono::steady_clock;

struct StreamArgs {
    StreamOptions stream;
    std::string transport = "tcp";
    std::string out;
    uint64_t frames = 0;
    Duration seconds{0};
    CLI::Option *framesGiven = nullptr, *secondsGiven = nullptr;
};

// The stream's options as the library takes them: the session's from the
// global options, the channel's from the command line.
StreamOptions streamOptions(const GlobalOptions& g, const StreamArgs& a) {
    StreamOptions s = a.stream;
    s.host = g.host;
    s.port = g.port;
    s.user = g.user;
    s.password = loginPassword(g);
    s.timeout = g.timeout;
    s.transport = a.transport == "udp"         ? Transport::Udp
                  : a.transport == "multicast" ? Transport::Multicast
                                               : Transport::Tcp;
    return s;
}

// The live line: on a terminal rewritten in place, otherwise one per second.
class LiveLine {
public:
    LiveLine() : tty_(::isatty(STDERR_FILENO) == 1) {}
    void show(uint64_t frames, double fps, double kbits, uint64_t lost) {
        char line[128];
        std::snprintf(line, sizeof line, "frames %llu  fps %.1f  kbit/s %.0f  lost %llu",
                      static_cast<unsigned long long>(frames), fps, kbits,
                      static_cast<unsigned long long>(lost));
        if (tty_) {
            std::fprintf(stderr, "\r%-60s", line);
            shown_ = true;
        } else {
            std::fprintf(stderr, "%s\n", line);
        }
        std::fflush(stderr);
    }
    void finish() {
        if (tty_ && shown_) std::fputc('\n', stderr);
    }

private:
    bool tty_;
    bool shown_ = false;
};

int streamCommand(const GlobalOptions& g, const StreamArgs& a) {
    const StreamOptions options = streamOptions(g, a);
    const bool byFrames = a.framesGiven->count() > 0, bySeconds = a.secondsGiven->count() > 0;
    AnnexBRecorder recorder(a.out);
    FrameAssembler assembler([&recorder](const FrameView& f) { recorder.write(f); });
    InterruptGuard guard;

    StreamClient client(options);
    LiveLine live;
    const auto start = Clock::now();
    auto lastShow = start;
    auto lastData = start;
    uint64_t shownFrames = 0, shownBytes = 0, seenFragments = 0;
    std::string failure;
    int status = EXIT_OK;
    for (;;) {
        if (guard.interrupted()) break;
        auto now = Clock::now();
        if (bySeconds && now - start >= a.seconds) break;
        if (byFrames && recorder.stats().frames >= a.frames) break;
        Duration wait(100);
        if (bySeconds) {
            auto left = std::chrono::duration_cast<Duration>(a.seconds - (now - start));
            wait = std::clamp(left, Duration(1), wait);
        }
        if (!client.receive(wait, assembler)) {
            failure = "the server ended the stream";
            status = EXIT_FAILED;
            break;
        }
        now = Clock::now();
        if (assembler.stats().fragments != seenFragments) {
            seenFragments = assembler.stats().fragments;
            lastData = now;
        } else if (now - lastData > g.timeout) {
            failure = "no video from " + g.host + " within " + formatSeconds(g.timeout) + " s";
            status = EXIT_NO_ANSWER;
            break;
        }
        if (now - lastShow >= std::chrono::seconds(1)) {
            double dt = std::chrono::duration<double>(now - lastShow).count();
            const RecorderStats& r = recorder.stats();
            live.show(r.frames, (r.frames - shownFrames) / dt, (r.bytes - shownBytes) * 8 / dt / 1000,
                      assembler.stats().lost);
            shownFrames = r.frames;
            shownBytes = r.bytes;
            lastShow = now;
        }
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    client.stop();
    recorder.close();
    live.finish();

    const RecorderStats& r = recorder.stats();
    const AssemblerStats& s = assembler.stats();
    char text[128];
    std::snprintf(text, sizeof text, "frames %llu lost %llu bytes %llu seconds %.1f\n",
                  static_cast<unsigned long long>(r.frames),
                  static_cast<unsigned long long>(s.lost),
                  static_cast<unsigned long long>(r.bytes), seconds);
    emit(g, {{{"frames", r.frames},
              {"lost", s.lost},
              {"bytes", r.bytes},
              {"seconds", std::round(seconds * 10) / 10},
              {"skipped", r.skipped},
              {"fragments", s.fragments},
              {"bad_fragments", s.badFragments},
              {"transport", transportName(options.transport)}},
             text});
    if (!failure.empty()) return fail(failure, status);
    if (r.frames == 0) return fail("no key frame received; " + a.out + " is empty", EXIT_FAILED);
    return EXIT_OK;
}

int probeCommand(const GlobalOptions& g) {
    ProbeResult r;
    {
        // The responder answers only while the session exists.
        Link link(g);
        r = probeAddress(link.conn(), g.timeout);
    }
    return emit(g, {{{"address", r.address},
                     {"port", r.port},
                     {"family", r.family},
                     {"local_port", r.localPort}},
                    "address " + r.address + " port " + std::to_string(r.port) + "\n"});
}

}  // namespace

void addStreamCommands(CLI::App& app, Context& ctx) {
    const GlobalOptions& g = ctx.global;
    auto a = args<StreamArgs>();
    CLI::App* c = command(app, ctx, "stream", "record a channel's live video to an H.264 file",
                          [&g, a] { return streamCommand(g, *a); });
    StreamOptions& s = a->stream;
    addNumber(*c, "--channel", s.channel, 0, 255, "channel, from 0")->required();
    addNumber(*c, "--kind", s.kind, 0, 1, "0 main stream, 1 sub stream");
    addChoice(*c, "--transport", a->transport, {"tcp", "udp", "multicast"},
              "tcp: a data connection; udp: datagrams to this host; multicast: the group")
        ->capture_default_str();
    c->add_option("--group-base", s.groupBase, "the device's multicast group base")
        ->capture_default_str()
        ->type_name("A")
        ->check(CLI::Validator(
            [](std::string& text) -> std::string {
                try {
                    multicastGroup(text, 1, 0, 0);
                    return "";
                } catch (const std::invalid_argument&) {
                    return "bad value '" + text + "' (an IPv4 address)";
                }
            },
            "", ""));
    CLI::Option* tour = c->add_option_function<std::string>(
                             "--tour-mask",
                             [&s](const std::string& m) {
                                 s.tourMask = static_cast<uint32_t>(*parseNumber(m, 0xffffffffu));
                             },
                             "channel tour over the channels whose bit is set")
                            ->transform(numberIn(0, 0xffffffffu))
                            ->type_name("M");
    addNumber(*c, "--dwell", s.tourDwell, 0, 86400, "seconds per channel of the tour")
        ->needs(tour);
    c->add_option("--out", a->out, "the H.264 Annex B file to write (replaced)")
        ->required()
        ->type_name("FILE")
        ->check(CLI::Validator(
            [](std::string& f) { return f.empty() ? std::string("needs a file name") : ""; }, "",
            ""));
    a->framesGiven = addNumber(*c, "--frames", a->frames, 1, 1000000000, "stop after K frames")
                         ->default_str("");
    a->secondsGiven = addSeconds(*c, "--seconds", a->seconds, false,
                                 "stop after S seconds (default: until SIGINT or SIGTERM)")
                          ->excludes(a->framesGiven);

    command(app, ctx, "probe", "print the address and port the device sees our datagrams from",
            [&g] { return probeCommand(g); });
}

}  // namespace recnet::cli
