/*
 * stream_commands.cpp - `recnet stream` and `recnet probe`.
 */
#include "stream_commands.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <optional>

#include "cli_support.h"
#include "commands.h"
#include "probe.h"
#include "stream.h"

namespace recnet::cli {

namespace {

using Clock = std::chrono::steady_clock;

const char USAGE[] =
    "\n"
    "live video:\n"
    "  stream          record a channel's live video to an H.264 file\n"
    "      --channel N          channel, from 0 (required)\n"
    "      --kind K             0 main stream (default), 1 sub stream\n"
    "      --transport T        tcp (default), udp or multicast\n"
    "      --group-base A       multicast group base of the device (default 239.255.0.0)\n"
    "      --tour-mask M        channel tour over the channels whose bit is set\n"
    "      --dwell S            seconds per channel of the tour (default 5)\n"
    "      --out FILE           the H.264 Annex B file to write (required)\n"
    "      --frames K           stop after K frames\n"
    "      --seconds S          stop after S seconds (default: until interrupted)\n"
    "  probe           print the address and port the device sees our datagrams from\n";

struct StreamArgs {
    StreamOptions stream;
    std::string out;
    std::optional<uint64_t> frames;
    std::optional<Duration> seconds;
};

StreamArgs parseStreamArgs(const GlobalOptions& g, const std::vector<std::string>& args) {
    StreamArgs a;
    a.stream.host = g.host;
    a.stream.port = g.port;
    a.stream.user = g.user;
    a.stream.password = g.password;
    a.stream.timeout = g.timeout;
    bool haveChannel = false, haveDwell = false;
    size_t i = 0;
    OptionCursor cur{args, i};
    for (; i < args.size(); ++i) {
        std::optional<std::string> inl;
        const std::string name = cur.name(inl);
        if (name == "--channel") {
            a.stream.channel = static_cast<int32_t>(number(name, cur.value(name, inl), 255));
            haveChannel = true;
        } else if (name == "--kind") {
            a.stream.kind = static_cast<uint8_t>(number(name, cur.value(name, inl), 1));
        } else if (name == "--transport") {
            std::string t = cur.value(name, inl);
            if (t == "tcp") a.stream.transport = Transport::Tcp;
            else if (t == "udp") a.stream.transport = Transport::Udp;
            else if (t == "multicast") a.stream.transport = Transport::Multicast;
            else throw UsageError("bad value '" + t + "' for --transport (tcp, udp or multicast)");
        } else if (name == "--group-base") {
            a.stream.groupBase = cur.value(name, inl);
            try {
                multicastGroup(a.stream.groupBase, 1, 0, 0);
            } catch (const std::invalid_argument&) {
                throw UsageError("bad value '" + a.stream.groupBase +
                                 "' for --group-base (an IPv4 address)");
            }
        } else if (name == "--tour-mask") {
            a.stream.tourMask =
                static_cast<uint32_t>(number(name, cur.value(name, inl), 0xffffffff));
        } else if (name == "--dwell") {
            a.stream.tourDwell = static_cast<int32_t>(number(name, cur.value(name, inl), 86400));
            haveDwell = true;
        } else if (name == "--out") {
            a.out = cur.value(name, inl);
            if (a.out.empty()) throw UsageError("--out needs a file name");
        } else if (name == "--frames") {
            a.frames = number(name, cur.value(name, inl), 1000000000);
            if (*a.frames == 0) throw UsageError("--frames needs at least 1");
        } else if (name == "--seconds") {
            a.seconds = seconds(name, cur.value(name, inl), /*zeroAllowed=*/false);
        } else if (name.rfind("-", 0) == 0) {
            throw UsageError("unknown option " + name + " for stream");
        } else {
            throw UsageError("stream takes no operands (got '" + name + "')");
        }
    }
    if (!haveChannel) throw UsageError("stream needs --channel N");
    if (a.out.empty()) throw UsageError("stream needs --out FILE");
    if (a.frames && a.seconds) throw UsageError("--frames and --seconds exclude each other");
    if (haveDwell && !a.stream.tourMask) throw UsageError("--dwell needs --tour-mask");
    return a;
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

int cmdStream(const Invocation& inv) {
    StreamArgs a;
    try {
        a = parseStreamArgs(inv.global, inv.commandArgs);
    } catch (const UsageError& e) {
        return usageFailure(e.what());
    }
    const GlobalOptions& g = inv.global;
    AnnexBRecorder recorder(a.out);
    FrameAssembler assembler([&recorder](const FrameView& f) { recorder.write(f); });
    InterruptGuard guard;

    StreamClient client(a.stream);
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
        if (a.seconds && now - start >= *a.seconds) break;
        if (a.frames && recorder.stats().frames >= *a.frames) break;
        Duration wait(100);
        if (a.seconds) {
            auto left = std::chrono::duration_cast<Duration>(*a.seconds - (now - start));
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
    char line[256];
    if (g.json) {
        std::snprintf(line, sizeof line,
                      "{\"frames\":%llu,\"lost\":%llu,\"bytes\":%llu,\"seconds\":%.1f,"
                      "\"skipped\":%llu,\"fragments\":%llu,\"bad_fragments\":%llu,"
                      "\"transport\":\"%s\"}",
                      static_cast<unsigned long long>(r.frames),
                      static_cast<unsigned long long>(s.lost),
                      static_cast<unsigned long long>(r.bytes), seconds,
                      static_cast<unsigned long long>(r.skipped),
                      static_cast<unsigned long long>(s.fragments),
                      static_cast<unsigned long long>(s.badFragments),
                      transportName(a.stream.transport));
    } else {
        std::snprintf(line, sizeof line, "frames %llu lost %llu bytes %llu seconds %.1f",
                      static_cast<unsigned long long>(r.frames),
                      static_cast<unsigned long long>(s.lost),
                      static_cast<unsigned long long>(r.bytes), seconds);
    }
    std::cout << line << "\n";
    if (!failure.empty()) return fail(failure, status);
    if (r.frames == 0) return fail("no key frame received; " + a.out + " is empty", EXIT_FAILED);
    return EXIT_OK;
}

int cmdProbe(const Invocation& inv) {
    if (!inv.commandArgs.empty()) {
        return usageFailure("probe takes no options or operands (got '" + inv.commandArgs[0] + "')");
    }
    const GlobalOptions& g = inv.global;
    ProbeResult r;
    {
        // The responder answers only while the session exists.
        Link link(g);
        r = probeAddress(link.conn(), g.timeout);
    }
    if (g.json) {
        std::cout << "{\"address\":\"" << r.address << "\",\"port\":" << r.port
                  << ",\"family\":" << r.family << ",\"local_port\":" << r.localPort << "}\n";
    } else {
        std::cout << "address " << r.address << " port " << r.port << "\n";
    }
    return EXIT_OK;
}

}  // namespace

bool isStreamCommand(const std::string& command) {
    return command == "stream" || command == "probe";
}

bool streamCommandWantsHelp(const std::vector<std::string>& args) {
    return std::any_of(args.begin(), args.end(),
                       [](const std::string& a) { return a == "-h" || a == "--help"; });
}

int runStreamCommand(const Invocation& inv) {
    if (inv.command == "probe") return cmdProbe(inv);
    return cmdStream(inv);
}

const char* streamCommandsUsage() { return USAGE; }

}  // namespace recnet::cli
