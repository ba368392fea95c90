/*
 * soak_report.h - the soak run's samples of the device over time and what
 * it reports from them and from the device's output.
 */
#pragma once

#include <atomic>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench_device.h"
#include "soak_load.h"
#include "soak_support.h"

namespace soak {

/* ---- samples ---------------------------------------------------------------- */

struct Sample {
    double t = 0;
    std::string phase;
    int open = 0;
    ProcStats proc;
    uint64_t churn = 0;
    int failures = 0;
};

/* Samples on its own thread; the phase and the sources change as the run goes. */
class Sampler {
public:
    Sampler(bench::DeviceProcess& device, int periodMs, Failures& failures)
        : device_(device), periodMs_(periodMs), failures_(failures), start_(Clock::now()) {
        std::printf("%8s %-8s %6s %9s %6s %8s %8s %6s\n", "t(s)", "phase", "open", "RSS(MiB)", "fds",
                    "threads", "churn", "fail");
        std::fflush(stdout);
        thread_ = std::thread([this] { run(); });
    }
    ~Sampler() { stop(); }
    void stop() {
        stop_.store(true);
        if (thread_.joinable()) thread_.join();
    }
    void setPhase(const std::string& phase) {
        std::lock_guard<std::mutex> lock(mutex_);
        phase_ = phase;
    }
    void setSources(IdleSessions* idle, Streams* streams, Churn* churn) {
        std::lock_guard<std::mutex> lock(mutex_);
        idle_ = idle;
        streams_ = streams;
        churn_ = churn;
    }
    /* Takes one sample now (also printed) and returns it; the device's state
     * is all zero when the device is gone. */
    Sample sampleNow() {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!takeLocked()) return Sample{};
        return samples_.back();
    }
    std::vector<Sample> samples() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return samples_;
    }
    bool deviceGone() const { return gone_.load(); }

private:
    bool takeLocked() {
        Sample s;
        s.t = secondsSince(start_);
        s.phase = phase_;
        s.open = (idle_ ? idle_->open() : 0) + (streams_ ? streams_->alive() : 0);
        s.churn = churn_ ? churn_->counters.connections.load() : churnCarry_;
        if (churn_) churnCarry_ = s.churn;
        s.failures = failures_.total();
        s.proc = readProc(device_.pid());
        if (!s.proc.ok || !device_.alive()) {
            gone_.store(true);
            return false;
        }
        samples_.push_back(s);
        std::printf("%8.1f %-8s %6d %9.1f %6d %8d %8llu %6d\n", s.t, s.phase.c_str(), s.open,
                    s.proc.rssMiB, s.proc.fds, s.proc.threads, static_cast<unsigned long long>(s.churn),
                    s.failures);
        std::fflush(stdout);
        return true;
    }
    void run() {
        auto next = Clock::now();
        while (!stop_.load()) {
            next += milliseconds(periodMs_);
            while (!stop_.load() && Clock::now() < next) std::this_thread::sleep_for(milliseconds(20));
            if (stop_.load()) break;
            std::lock_guard<std::mutex> lock(mutex_);
            if (!takeLocked()) break;
        }
    }

    bench::DeviceProcess& device_;
    int periodMs_;
    Failures& failures_;
    Clock::time_point start_;
    mutable std::mutex mutex_;  // guards everything below
    std::string phase_ = "start";
    IdleSessions* idle_ = nullptr;
    Streams* streams_ = nullptr;
    Churn* churn_ = nullptr;
    uint64_t churnCarry_ = 0;
    std::vector<Sample> samples_;
    std::atomic<bool> gone_{false};
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

/* First against last quarter of the churn samples after the warm-up. */
void reportGrowth(const std::vector<Sample>& all, double churnStart, double warmup, int workers);
/* The most frequent lines of the device's output, digits folded. */
void summariseLog(const std::string& path);

}  // namespace soak
