#ifndef RECNET_TESTS_DEVICE_FIXTURE_H
#define RECNET_TESTS_DEVICE_FIXTURE_H

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "net.h"
#include "process.h"

namespace e2e {

inline std::string tempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "recnet-e2e-XXXXXX").string();
    return mkdtemp(tmpl.data()) ? tmpl : std::string();
}

inline bool contains(const std::string& haystack, const std::string& needle) {
    return haystack.find(needle) != std::string::npos;
}

/* A running device; `ready` is its ready line ("" when it did not start, a failure). */
struct Device {
    std::vector<std::string> extra;
    std::string state = tempDir();
    uint16_t port = 0;
    std::unique_ptr<testproc::Child> child;
    std::string ready;

    explicit Device(std::vector<std::string> args = {}) : extra(std::move(args)) { start(); }
    ~Device() {
        if (child) {
            child->signal(SIGTERM);
            child->wait(10000);
        }
        std::error_code ec;
        std::filesystem::remove_all(state, ec);
    }
    /* Starts the device on a new base port, with the same state folder. */
    void start() {
        port = testnet::pickBasePort();
        std::vector<std::string> args = {"--base-port", std::to_string(port), "--state", state};
        args.insert(args.end(), extra.begin(), extra.end());
        child = std::make_unique<testproc::Child>(RECNET_DEVICE_PATH, args);
        ready = child->waitForLine("ready", 15000);
        EXPECT_FALSE(ready.empty()) << "the device did not start: " << child->err();
    }
    /* SIGTERM, and a clean exit (a sanitizer report fails it). */
    void stop() {
        child->signal(SIGTERM);
        EXPECT_EQ(child->wait(20000), 0) << child->err();
        EXPECT_FALSE(contains(child->err(), "Sanitizer") || contains(child->err(), "runtime error"))
            << child->err();
        child.reset();
    }
    /* Runs the CLI against this device: global options first, then `args`. */
    testproc::Result cli(std::vector<std::string> args, std::vector<std::string> globals = {}) const {
        std::vector<std::string> all = {"--port", std::to_string(port), "--timeout", "5"};
        all.insert(all.end(), globals.begin(), globals.end());
        all.insert(all.end(), args.begin(), args.end());
        return testproc::run(RECNET_CLI_PATH, all);
    }
    /* The CLI's standard output, for a command that must succeed. */
    std::string ok(std::vector<std::string> args, std::vector<std::string> globals = {}) const {
        testproc::Result r = cli(args, globals);
        EXPECT_EQ(r.exitCode, 0) << args.front() << ": " << r.err;
        return r.out;
    }
};

/* ffprobe's values of `entries` for the first video stream of `file`. */
inline std::string ffprobe(const std::string& file, const std::string& entries) {
    auto r = testproc::run("/usr/bin/ffprobe", {"-v", "error", "-count_frames", "-select_streams", "v:0",
                                                "-show_entries", entries, "-of", "csv=p=0", file}, 30000);
    return r.exitCode == 0 ? r.out : r.err;
}

/* Logs `c` in as admin/admin: the 100-byte answer (empty when an accepted login had no session id). */
inline testnet::Bytes logIn(testnet::RawClient& c) {
    c.send(testnet::message(1, testnet::loginRecord("admin", "admin")));
    testnet::Bytes answer = c.recv(100);
    if (answer.size() == 100 && answer[12] == 0 && c.recv(20).size() != 20) answer.clear();
    return answer;
}

}  // namespace e2e

#endif
