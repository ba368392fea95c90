/*
 * device_fixture.h - the real recnet-device on a free base port, and the real
 * recnet CLI pointed at it.
 */
#ifndef RECNET_TESTS_DEVICE_FIXTURE_H
#define RECNET_TESTS_DEVICE_FIXTURE_H

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

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

/* A running device. `ready` holds its ready line ("" when it did not start). */
struct Device {
    uint16_t port = testnet::pickBasePort();
    std::string state = tempDir();
    std::unique_ptr<testproc::Child> child;
    std::string ready;

    explicit Device(std::vector<std::string> extra = {}) {
        std::vector<std::string> args = {"--base-port", std::to_string(port), "--state", state};
        args.insert(args.end(), extra.begin(), extra.end());
        child = std::make_unique<testproc::Child>(RECNET_DEVICE_PATH, args);
        ready = child->waitForLine("ready", 15000);
    }
    ~Device() {
        if (child) {
            child->signal(SIGTERM);
            child->wait(10000);
        }
        std::error_code ec;
        std::filesystem::remove_all(state, ec);
    }

    /* The pseudo-terminal the device printed as "serial N: PATH" before its
     * ready line, or "". */
    std::string serialPath(int port) const {
        const std::string prefix = "serial " + std::to_string(port) + ": ";
        const std::string out = child->out();
        const size_t at = out.find(prefix);
        if (at == std::string::npos) return "";
        const size_t from = at + prefix.size();
        return out.substr(from, out.find('\n', from) - from);
    }

    /* Opens the pseudo-terminal of serial port `port` (read and write), or -1. */
    int openSerial(int port) const {
        const std::string path = serialPath(port);
        return path.empty() ? -1 : ::open(path.c_str(), O_RDWR | O_NOCTTY);
    }
    /* Runs the CLI against this device: global options first, then `args`. */
    testproc::Result cli(std::vector<std::string> args, std::vector<std::string> globals = {}) const {
        std::vector<std::string> all = {"--port", std::to_string(port), "--timeout", "5"};
        all.insert(all.end(), globals.begin(), globals.end());
        all.insert(all.end(), args.begin(), args.end());
        return testproc::run(RECNET_CLI_PATH, all);
    }
};

inline bool contains(const std::string& haystack, const std::string& needle) {
    return haystack.find(needle) != std::string::npos;
}

/* What arrives at `fd` until `want` bytes came or 5 s passed. */
inline std::string readUpTo(int fd, size_t want) {
    std::string got;
    for (int i = 0; i < 20 && got.size() < want; ++i) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 250) <= 0) continue;
        char buf[64];
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n > 0) got.append(buf, static_cast<size_t>(n));
    }
    return got;
}

}  // namespace e2e

#endif
