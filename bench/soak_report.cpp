/*
 * soak_report.cpp - growth over the churn and the device's output, summed up.
 */
#include "soak_report.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <map>

namespace soak {

namespace {

double meanOf(const std::vector<double>& v, size_t from, size_t to) {
    double sum = 0;
    for (size_t i = from; i < to; ++i) sum += v[i];
    return to > from ? sum / static_cast<double>(to - from) : 0;
}

}  // namespace

/* First against last quarter of the churn samples after the warm-up. RSS
 * samples include the password checks in flight (19 MiB each, at most one
 * per core of the device's machine at once), so the RSS means move with
 * them; the quiet samples before and after the churn show what stays. */
void reportGrowth(const std::vector<Sample>& all, double churnStart, double warmup, int workers) {
    std::vector<Sample> s;
    for (const auto& x : all)
        if (x.phase == "churn" && x.t >= churnStart + warmup) s.push_back(x);
    std::printf("\ngrowth over the churn (after %.0f s warm-up, %zu samples, first vs last quarter):\n",
                warmup, s.size());
    if (s.size() < 4) {
        std::printf("  too few samples to judge (need 4)\n");
        return;
    }
    size_t q = s.size() / 4;
    struct Metric {
        const char* name;
        double slack;
        std::vector<double> v;
    };
    Metric metrics[] = {{"RSS MiB", 8.0, {}}, {"fds", 2.0 * workers + 8, {}}, {"threads", 1.0 * workers + 4, {}}};
    for (const auto& x : s) {
        metrics[0].v.push_back(x.proc.rssMiB);
        metrics[1].v.push_back(x.proc.fds);
        metrics[2].v.push_back(x.proc.threads);
    }
    for (auto& m : metrics) {
        double first = meanOf(m.v, 0, q), last = meanOf(m.v, s.size() - q, s.size());
        bool grows = last > first * 1.10 && last - first > m.slack;
        std::printf("  %-8s first %9.1f  last %9.1f  (%+.1f %%)  %s\n", m.name, first, last,
                    first > 0 ? (last - first) / first * 100 : 0, grows ? "GROWTH" : "flat");
    }
}

/* The most frequent lines of the device's output, a hint of what it went through. */
void summariseLog(const std::string& path) {
    std::ifstream in(path);
    std::map<std::string, long> counts;
    std::string line;
    long total = 0;
    while (std::getline(in, line)) {
        ++total;
        // Numbers vary (session ids, addresses): fold them.
        std::string key;
        for (char c : line) {
            if (std::isdigit(static_cast<unsigned char>(c))) {
                if (key.empty() || key.back() != '#') key += '#';
            } else {
                key += c;
            }
        }
        if (counts.size() < 10000 || counts.count(key)) ++counts[key];
    }
    std::vector<std::pair<long, std::string>> top;
    for (auto& [k, n] : counts) top.emplace_back(n, k);
    std::sort(top.rbegin(), top.rend());
    std::printf("\ndevice output: %ld lines; most frequent (digits folded to #):\n", total);
    for (size_t i = 0; i < top.size() && i < 8; ++i)
        std::printf("  %7ld  %.100s\n", top[i].first, top[i].second.c_str());
}

}  // namespace soak
