/*
 * main.cpp - recnet-gateway: the channels of recnet devices as RTSP paths,
 * snapshots, status and live video for the browser.
 *
 * The main thread blocks SIGINT and SIGTERM before any other thread starts
 * (so they all inherit the mask), starts the servers and waits for one of
 * the signals; then each server stops and joins its own threads.
 */
#include <signal.h>

#include <gst/gst.h>

#include <exception>
#include <iostream>

#include "http_server.h"
#include "options.h"
#include "registry.h"
#include "rtsp_server.h"

// Under LeakSanitizer: GLib and GStreamer keep some allocations of their own
// until the process ends (type system, thread pools); their code is not
// instrumented, so those blocks show no frame of ours. Ignored by other builds.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libglib-2.0.so\nleak:libgobject-2.0.so\nleak:libgstreamer-1.0.so\n";
}

int main(int argc, char** argv) {
    gateway::GatewayConfig config;
    int exitCode = 0;
    if (!gateway::parseOptions(argc, argv, config, exitCode)) return exitCode;

    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    signal(SIGPIPE, SIG_IGN);

    gst_init(nullptr, nullptr);
    try {
        gateway::Registry registry(config);
        gateway::RtspServer rtsp(registry, config.bind, config.rtspPort);
        gateway::HttpServer http(registry, config.bind, config.httpPort);
        std::cout << "ready rtsp=" << config.rtspPort << " http=" << config.httpPort
                  << " devices=" << config.devices.size() << std::endl;
        int received = 0;
        sigwait(&signals, &received);
        std::cerr << "gateway: stopping\n";
    } catch (const std::exception& e) {
        std::cerr << "recnet-gateway: " << e.what() << "\n";
        return 1;
    }
    return 0;
}
