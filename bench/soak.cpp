/*
 * soak.cpp - many sessions, a few streams and connection churn against the
 * device, with the device's memory, descriptors and threads over time.
 *
 *   soak [--sessions N] [--streams K] [--churn-seconds T] [--workers W]
 *        [--sample-ms MS] [--channels C] [--warmup-seconds S] [--device PATH]
 *
 * Starts recnet-device (the path built in, or --device) on a free base port
 * with a temporary state directory and its output in a log file there. Then:
 *
 *  1. the echo round trip of a fresh session on the idle device (connect, log
 *     in, 20 untimed echoes, then 200 timed; median and p99);
 *  2. N logged-in sessions: N - K idle ones, logged in by a few opener
 *     threads and then kept by one thread with poll(), each sending a
 *     keep-alive every 5 s and discarding whatever arrives; K that stream
 *     channel i % C over TCP (one thread each, frames discarded);
 *  3. the echo round trip again with the N sessions open;
 *  4. T seconds of churn by W workers: connect, log in, one command (echo or
 *     get-time), sometimes a brief stream, sometimes a connection dropped in
 *     the middle of a message;
 *  5. a few quiet seconds, a last sample and the round trip once more.
 *
 * Every sample-ms it prints the device's VmRSS, open descriptors and threads
 * with the sessions open and the churn so far. At the end it compares the
 * first and the last quarter of the churn samples (after the warm-up) and
 * the quiet samples before and after the churn.
 *
 * The device runs --max-sessions N plus room for the churn. Every login
 * checks a password hash that costs 19 MiB on purpose, at most one check per
 * core at once; opening sessions keeps a few logins in flight, and the memory
 * of the checks in flight shows in RSS samples.
 */
#include <signal.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "bench_device.h"
#include "soak_load.h"
#include "soak_report.h"
#include "soak_support.h"

using namespace soak;

namespace {

void onSignal(int) { g_interrupted.store(true); }

void usage() {
    std::fprintf(stderr,
                 "usage: soak [--sessions N] [--streams K] [--churn-seconds T] [--workers W]\n"
                 "            [--sample-ms MS] [--channels C] [--warmup-seconds S] [--device PATH]\n");
}

}  // namespace

int main(int argc, char** argv) {
    int sessions = 1000, streams = 20, churnSeconds = 60, workers = 4, sampleMs = 2000;
    int channels = 4, warmupSeconds = 10;
    const int echoes = 200;
    std::string device = RECNET_DEVICE_PATH;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        bool ok = true;
        if (a == "--sessions") ok = bench::intArg(argc, argv, i, 1, 20000, sessions);
        else if (a == "--streams") ok = bench::intArg(argc, argv, i, 0, 200, streams);
        else if (a == "--churn-seconds") ok = bench::intArg(argc, argv, i, 0, 24 * 3600, churnSeconds);
        else if (a == "--workers") ok = bench::intArg(argc, argv, i, 0, 64, workers);
        else if (a == "--sample-ms") ok = bench::intArg(argc, argv, i, 100, 600000, sampleMs);
        else if (a == "--channels") ok = bench::intArg(argc, argv, i, 1, 255, channels);
        else if (a == "--warmup-seconds") ok = bench::intArg(argc, argv, i, 0, 3600, warmupSeconds);
        else if (a == "--device" && i + 1 < argc) device = argv[++i];
        else ok = false;
        if (!ok) {
            usage();
            return 2;
        }
    }
    if (streams > sessions) streams = sessions;
    ::signal(SIGPIPE, SIG_IGN);
    ::signal(SIGINT, onSignal);
    ::signal(SIGTERM, onSignal);

    // Our sockets and the device's: the device inherits the raised limit.
    const unsigned long long limit = bench::raiseDescriptorLimit();
    std::printf("descriptor limit %llu (this process and the device)\n", limit);
    if (limit < static_cast<unsigned long long>(sessions + 2 * streams + 4 * workers + 64))
        std::printf("warning: the descriptor limit is low for %d sessions\n", sessions);

    const uint16_t port = bench::pickBasePort();
    const std::string tmpl = bench::makeTempDir("soak");
    if (port == 0 || tmpl.empty()) {
        std::fprintf(stderr, "soak: no free port or temporary directory\n");
        return 1;
    }
    const std::string logPath = tmpl + "/device.log";
    // The device's session cap (256 unless told) with room for the churn and
    // the round-trip probes above the sessions this run holds open.
    const int cap = sessions + 2 * workers + 32;
    const std::vector<std::string> args{"--base-port", std::to_string(port), "--state", tmpl + "/state",
                                        "--channels", std::to_string(channels), "--max-sessions",
                                        std::to_string(cap)};

    int status = 0;
    Failures failures;
    {
        bench::DeviceProcess dev(device, args, logPath);
        if (!dev.waitReady(30000, &g_interrupted)) {
            std::fprintf(stderr, "soak: %s did not start (%s)\n", device.c_str(), dev.exitText().c_str());
            status = 1;
        } else {
            std::printf("device pid %d, base port %u, %d channels, at most %d sessions; %d sessions "
                        "(%d streaming), churn %d s with %d workers, sample every %d ms\n\n",
                        static_cast<int>(dev.pid()), port, channels, cap, sessions, streams, churnSeconds,
                        workers, sampleMs);
            Sampler sampler(dev, sampleMs, failures);
            sampler.setPhase("idle");
            sampler.sampleNow();
            RoundTrip idleRt = measureEcho(port, echoes);
            printRoundTrip("idle device:", idleRt);
            const Sample baseline = sampler.sampleNow();

            sampler.setPhase("open");
            auto idle = std::make_unique<IdleSessions>(port, sessions - streams, failures);
            sampler.setSources(idle.get(), nullptr, nullptr);
            while (!g_interrupted.load() && !sampler.deviceGone() && idle->settled() < sessions - streams)
                sleepMs(100);
            std::printf("idle sessions: %d of %d open after %.1f s\n", idle->open(), sessions - streams,
                        idle->openSeconds());
            std::unique_ptr<Streams> streaming;
            if (!g_interrupted.load() && !sampler.deviceGone()) {
                streaming = std::make_unique<Streams>(port, streams, channels, failures);
                sampler.setSources(idle.get(), streaming.get(), nullptr);
                std::printf("streaming sessions: %d of %d\n", streaming->alive(), streams);
            }
            sampler.setPhase("loaded");
            sleepMs(3000);  // let the streams and keep-alives settle
            const Sample loaded = sampler.sampleNow();
            RoundTrip loadedRt = measureEcho(port, echoes);
            printRoundTrip("with sessions open:", loadedRt);

            double churnStart = 0;
            Sample beforeChurn = loaded, afterChurn = loaded;
            if (churnSeconds > 0 && !g_interrupted.load() && !sampler.deviceGone()) {
                sampler.setPhase("churn");
                beforeChurn = sampler.sampleNow();
                churnStart = beforeChurn.t;
                auto churn = std::make_unique<Churn>(port, workers, channels, churnSeconds, failures);
                sampler.setSources(idle.get(), streaming.get(), churn.get());
                churn->join();
                std::printf("churn: %llu connections, %llu commands, %llu brief streams, %llu half "
                            "headers, %llu short payloads\n",
                            static_cast<unsigned long long>(churn->counters.connections.load()),
                            static_cast<unsigned long long>(churn->counters.commands.load()),
                            static_cast<unsigned long long>(churn->counters.streams.load()),
                            static_cast<unsigned long long>(churn->counters.halfHeaders.load()),
                            static_cast<unsigned long long>(churn->counters.shortPayloads.load()));
                sampler.setPhase("quiet");
                sampler.sampleNow();
                sampler.setSources(idle.get(), streaming.get(), nullptr);
                churn.reset();
                sleepMs(5000);
                afterChurn = sampler.sampleNow();
            }
            RoundTrip afterRt = measureEcho(port, echoes);
            printRoundTrip("after the churn:", afterRt);
            sampler.stop();
            const bool gone = sampler.deviceGone() || !dev.alive();

            // ---- the summary ----
            std::printf("\n==== summary ====\n");
            if (gone) {
                std::printf("THE DEVICE IS GONE: %s\n", dev.exitText().empty() ? "its /proc entry vanished"
                                                                                : dev.exitText().c_str());
                status = 1;
            }
            std::printf("idle device:         RSS %.1f MiB, %d fds, %d threads\n", baseline.proc.rssMiB,
                        baseline.proc.fds, baseline.proc.threads);
            std::printf("with %4d sessions:   RSS %.1f MiB, %d fds, %d threads  (%.1f KiB RSS per session)"
                        "  target <= 200 MiB: %s\n",
                        loaded.open, loaded.proc.rssMiB, loaded.proc.fds, loaded.proc.threads,
                        loaded.open > 0 ? (loaded.proc.rssMiB - baseline.proc.rssMiB) * 1024 / loaded.open : 0,
                        loaded.proc.rssMiB <= 200 ? "met" : "MISSED");
            if (idleRt.ok && loadedRt.ok) {
                double ratio = loadedRt.medianUs / idleRt.medianUs;
                std::printf("echo median ratio, %d sessions / idle: %.2fx (p99 %.2fx)  target <= 1.5x: %s\n",
                            loaded.open, ratio, loadedRt.p99Us / idleRt.p99Us, ratio <= 1.5 ? "met" : "MISSED");
            }
            if (churnSeconds > 0) {
                std::printf("before churn (t=%.0f s): RSS %.1f MiB, %d fds, %d threads, %d open\n",
                            beforeChurn.t, beforeChurn.proc.rssMiB, beforeChurn.proc.fds,
                            beforeChurn.proc.threads, beforeChurn.open);
                std::printf("after churn, quiet (t=%.0f s): RSS %.1f MiB, %d fds, %d threads, %d open\n",
                            afterChurn.t, afterChurn.proc.rssMiB, afterChurn.proc.fds,
                            afterChurn.proc.threads, afterChurn.open);
                std::printf("difference: RSS %+.1f MiB, %+d fds, %+d threads\n",
                            afterChurn.proc.rssMiB - beforeChurn.proc.rssMiB,
                            afterChurn.proc.fds - beforeChurn.proc.fds,
                            afterChurn.proc.threads - beforeChurn.proc.threads);
                reportGrowth(sampler.samples(), churnStart, warmupSeconds, workers);
            }
            std::printf("\nidle sessions: %d open at the end, %d closed by the device, %llu keep-alives "
                        "sent, %llu unexpected bytes received\n",
                        idle->open(), idle->dropped(), static_cast<unsigned long long>(idle->keepalives()),
                        static_cast<unsigned long long>(idle->unexpectedBytes()));
            if (streaming)
                std::printf("streams: %d alive at the end, %llu frames, %llu lost\n", streaming->alive(),
                            static_cast<unsigned long long>(streaming->frames()),
                            static_cast<unsigned long long>(streaming->lost()));
            failures.print();
            std::fflush(stdout);
            streaming.reset();
            idle.reset();
        }
    }
    summariseLog(logPath);
    std::error_code ec;
    std::filesystem::remove_all(tmpl, ec);
    if (g_interrupted.load()) std::printf("interrupted\n");
    return status;
}
