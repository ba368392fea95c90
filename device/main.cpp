/*
 * main.cpp - recnet-device: the reference host of libnetserver.so.
 *
 * Startup: options, state directory, port check, module load, signal set-up,
 * server start, readiness probe, "ready" line. Then it waits for SIGINT or
 * SIGTERM and stops the server from this thread, never from a callback.
 */
#include <signal.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

#include "device_state.h"
#include "failures.h"
#include "metrics.h"
#include "module_loader.h"
#include "control.h"
#include "options.h"
#include "ports.h"
#include "serial_ports.h"
#include "stream_producer.h"

namespace {

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
constexpr auto kReadyTimeout = std::chrono::seconds(5);

int fail(const std::string& message, int status = kExitFailure) {
    std::fprintf(stderr, "recnet-device: %s\n", message.c_str());
    return status;
}

// The signals that end the device. Blocked in every thread (the module's
// threads inherit the mask from this one) and taken by sigwait in main.
sigset_t stopSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}

// Blocks the stop signals and ignores SIGPIPE: a client that goes away must
// cost its session, not the process. Call before any thread exists.
bool setUpSignals(std::string& error) {
    const sigset_t set = stopSignals();
    const int rc = pthread_sigmask(SIG_BLOCK, &set, nullptr);
    if (rc != 0) {
        error = std::string("cannot block SIGINT/SIGTERM: ") + std::strerror(rc);
        return false;
    }
    struct sigaction ignore{};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    if (sigaction(SIGPIPE, &ignore, nullptr) != 0) {
        error = std::string("cannot ignore SIGPIPE: ") + std::strerror(errno);
        return false;
    }
    return true;
}

// Waits for SIGINT or SIGTERM.
void waitForStopSignal() {
    const sigset_t set = stopSignals();
    int sig = 0;
    while (sigwait(&set, &sig) != 0) {
    }
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    std::string error;
    switch (parseOptions(argc, argv, options, error)) {
    case ParseOutcome::Help:
        printUsage(stdout);
        return 0;
    case ParseOutcome::Error:
        return fail(error, kExitUsage);
    case ParseOutcome::Run:
        break;
    }
    const DeviceState& device = options.device;
    if (!prepareStateDir(device.stateDir, error)) return fail(error);
    if (!checkPortsFree(device.basePort, error)) return fail(error);

    // Everything the host functions read is in place before the module can call them.
    setDeviceState(device);
    installFailures(options.failures);
    if (!prepareDeviceState(error)) return fail(error);
    // Before the load, in case the module's initialisers start a thread.
    if (!setUpSignals(error)) return fail(error);

    // Declared before the module, so that it outlives it: the producers stop
    // only after st_net_stopNetServer has joined every sender.
    VideoService video;
    SerialPorts serial;
    NetServerModule module;
    ControlThread control(module);  // restarts the server on request; stopped before the unload
    MetricsServer metrics;          // reads all of the above; stopped first
    const std::string path = options.modulePath.empty() ? defaultModulePath()
                                                        : options.modulePath;
    if (!module.load(path, error)) return fail(error);
    // Before the start, so that no connection is ever served without them.
    module.setLoginRequired(options.loginRequired);
    module.setMaxSessions(options.maxSessions);
    if (!video.start(options.video, device.channels, deviceTakeKeyFrameRequest, error))
        return fail(error);

    if (!startSerialPorts(serial, device.serialPorts, error)) return fail(error);

    if (module.start() != 0) {
        module.unload();
        return fail("the network server did not start (st_net_startNetServer failed)");
    }
    if (!waitUntilListening(device.basePort, kReadyTimeout)) {
        module.unload();
        return fail("the network server is not accepting connections on port " +
                    std::to_string(device.basePort) + " after 5 s");
    }
    if (options.metricsPort != 0 && !metrics.start(options.metricsPort, error)) {
        module.unload();
        return fail(error);
    }
    std::printf("ready base-port=%u channels=%u\n", static_cast<unsigned>(device.basePort),
                static_cast<unsigned>(device.channels));
    std::fflush(stdout);
    deviceCountServerStart();
    control.start();

    waitForStopSignal();
    metrics.stop();
    control.stop();
    module.stop();  // returns once a running partitioning or format has ended
    module.unload();
    setDeviceSerialPorts(nullptr);
    closeDeviceState();
    video.stop();
    return 0;
}
