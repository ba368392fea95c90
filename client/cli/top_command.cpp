/*
 * top_command.cpp - `recnet top`: fetches http://HOST:PORT/metrics (the
 * device's --metrics-port) and shows what the device is doing, with rates
 * from one fetch to the next.
 */
#include <httplib.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <map>
#include <sstream>
#include <thread>
#include <vector>

#include "commands.h"
#include "link.h"
#include "output.h"

namespace recnet::cli {

namespace {

using Clock = std::chrono::steady_clock;

const char* const kTransports[] = {"tcp", "udp", "multicast"};

// One sample of the page: recnet_NAME{LABELS} VALUE.
struct Sample {
    std::string name;
    std::map<std::string, std::string> labels;
    double value = 0;
};

// The samples of one fetch and when it was made.
struct Scrape {
    std::vector<Sample> samples;
    Clock::time_point at;

    // The sum of `name` over the samples whose labels include `match`.
    double sum(const std::string& name, const std::map<std::string, std::string>& match = {}) const {
        double total = 0;
        for (const Sample& s : samples) {
            if (s.name != name) continue;
            bool all = true;
            for (const auto& [k, v] : match) {
                auto it = s.labels.find(k);
                all = all && it != s.labels.end() && it->second == v;
            }
            if (all) total += s.value;
        }
        return total;
    }
};

// Reads `key="value"` pairs separated by commas (no escapes: the device's
// label values are names and numbers).
std::map<std::string, std::string> parseLabels(const std::string& text) {
    std::map<std::string, std::string> labels;
    size_t at = 0;
    while (at < text.size()) {
        const size_t eq = text.find("=\"", at);
        if (eq == std::string::npos) break;
        const size_t close = text.find('"', eq + 2);
        if (close == std::string::npos) break;
        labels[text.substr(at, eq - at)] = text.substr(eq + 2, close - eq - 2);
        at = close + 1;
        if (at < text.size() && text[at] == ',') ++at;
    }
    return labels;
}

// The samples of a page in the Prometheus text format; comments and lines it
// cannot read are passed over.
std::vector<Sample> parsePage(const std::string& page) {
    std::vector<Sample> samples;
    std::istringstream lines(page);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.empty() || line[0] == '#') continue;
        const size_t space = line.rfind(' ');
        if (space == std::string::npos) continue;
        Sample s;
        std::string head = line.substr(0, space);
        const size_t brace = head.find('{');
        if (brace != std::string::npos && head.back() == '}') {
            s.labels = parseLabels(head.substr(brace + 1, head.size() - brace - 2));
            head.resize(brace);
        }
        char* end = nullptr;
        s.value = std::strtod(line.c_str() + space + 1, &end);
        if (end == line.c_str() + space + 1) continue;
        s.name = head.rfind("recnet_", 0) == 0 ? head.substr(7) : head;
        samples.push_back(std::move(s));
    }
    return samples;
}

Scrape fetch(httplib::Client& client, const std::string& where) {
    httplib::Result r = client.Get("/metrics");
    if (!r) throw std::runtime_error("cannot fetch " + where + ": " + httplib::to_string(r.error()) +
                                 " error (does the device run with --metrics-port?)");
    if (r->status != 200) throw std::runtime_error(where + " answered HTTP " + std::to_string(r->status));
    return {parsePage(r->body), Clock::now()};
}

// "12.5" per second from `before` to `now`, or "-" without a `before`.
std::string rate(const Scrape& now, const Scrape* before, const std::string& name,
                 const std::map<std::string, std::string>& match = {}) {
    if (before == nullptr) return "-";
    const double seconds = std::chrono::duration<double>(now.at - before->at).count();
    if (seconds <= 0) return "-";
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", (now.sum(name, match) - before->sum(name, match)) / seconds);
    return text;
}

std::string count(double v) {
    char text[32];
    std::snprintf(text, sizeof text, "%.0f", v);
    return text;
}

std::string screen(const std::string& where, const Scrape& now, const Scrape* before) {
    std::ostringstream out;
    out << "recnet top  " << where << "\n\n";
    out << "sessions   open " << count(now.sum("sessions_open")) << "  total " << count(now.sum("sessions_total"))
        << "\n";
    out << "logins     accepted " << count(now.sum("logins_total", {{"result", "accepted"}})) << "  refused "
        << count(now.sum("logins_total", {{"result", "refused"}})) << "\n";
    out << "commands   answered " << count(now.sum("commands_total")) << "  per second "
        << rate(now, before, "commands_total") << "\n";
    out << "streams   ";
    for (const char* t : kTransports) out << " " << t << " " << count(now.sum("streams_live", {{"transport", t}}));
    out << "\n\n";
    char line[160];
    std::snprintf(line, sizeof line, "%-10s %12s %14s %12s %10s %10s\n", "video", "frames", "bytes", "bytes/s",
                  "rewritten", "failed");
    out << line;
    for (const char* t : kTransports) {
        const std::map<std::string, std::string> m = {{"transport", t}};
        std::snprintf(line, sizeof line, "%-10s %12s %14s %12s %10s %10s\n", t,
                      count(now.sum("stream_frames_sent_total", m)).c_str(),
                      count(now.sum("stream_bytes_sent_total", m)).c_str(),
                      rate(now, before, "stream_bytes_sent_total", m).c_str(),
                      count(now.sum("stream_frames_dropped_total", {{"transport", t}, {"reason", "slot_rewritten"}}))
                          .c_str(),
                      count(now.sum("stream_frames_dropped_total", {{"transport", t}, {"reason", "send_failed"}}))
                          .c_str());
        out << line;
    }
    out << "pool       frames skipped for slow readers " << count(now.sum("stream_pool_frames_skipped_total"))
        << "\n\n";
    out << "disks      partitioning " << count(now.sum("disk_operation", {{"operation", "partitioning"}}))
        << "  formatting " << count(now.sum("disk_operation", {{"operation", "formatting"}})) << "\n";
    out << "upgrade    " << (now.sum("upgrade_running") > 0 ? "running " : "idle ")
        << count(now.sum("upgrade_percent")) << "%\n";
    out << "serial     received " << count(now.sum("serial_bytes_total", {{"direction", "received"}}))
        << "  sent " << count(now.sum("serial_bytes_total", {{"direction", "sent"}})) << " bytes\n";
    return out.str();
}


// Shows the counters of the page at `port` (0: --port + 10) until Ctrl-C,
// or one screen when `once`.
int runTop(const GlobalOptions& g, unsigned port, bool once) {
    if (port == 0) port = g.port + 10u;
    if (port > 65535) return usageFailure("--port + 10 is no port; give --metrics-port");
    const std::string where = "http://" + g.host + ":" + std::to_string(port) + "/metrics";
    httplib::Client client(g.host, static_cast<int>(port));
    const auto timeout = std::chrono::duration_cast<std::chrono::microseconds>(g.timeout);
    client.set_connection_timeout(timeout);
    client.set_read_timeout(timeout);

    InterruptGuard guard;
    const bool tty = ::isatty(STDOUT_FILENO) == 1;
    try {
        Scrape last = fetch(client, where);
        bool first = true;
        for (;;) {
            // Waits a second in small steps, so that Ctrl-C ends it at once.
            for (int i = 0; i < 10 && !guard.interrupted(); ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            if (guard.interrupted()) break;
            Scrape now = fetch(client, where);
            if (tty && !once) std::cout << "\033[H\033[2J";
            else if (!first) std::cout << "\n";
            std::cout << screen(where, now, &last) << std::flush;
            first = false;
            if (once) break;
            last = std::move(now);
        }
    } catch (const std::runtime_error& e) {
        return fail(e.what(), EXIT_FAILED);
    }
    return EXIT_OK;
}

struct TopArgs {
    unsigned port = 0;
    bool once = false;
};

}  // namespace

void addTopCommand(CLI::App& app, Context& ctx) {
    auto a = args<TopArgs>();
    const GlobalOptions& g = ctx.global;
    CLI::App* c = command(app, ctx, "top",
                          "show the device's counters from its /metrics page, refreshed every "
                          "second until interrupted (the device runs with --metrics-port)",
                          [&g, a] { return runTop(g, a->port, a->once); });
    c->alias("stats");
    c->add_option("--metrics-port", a->port, "HTTP port of the page (default: --port + 10)")
        ->transform(numberIn(1, 65535))
        ->type_name("P");
    c->add_flag("--once", a->once, "print one screen (two fetches a second apart) and exit");
}

}  // namespace recnet::cli
