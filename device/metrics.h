/*
 * metrics.h - the device's /metrics page: the module's counters
 * (st_net_forEachCounter) and the device's own state in the Prometheus text
 * exposition format, served over HTTP with cpp-httplib.
 */
#ifndef RECNET_DEVICE_METRICS_H
#define RECNET_DEVICE_METRICS_H

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include "non_copyable.h"

namespace httplib {
class Server;
}

// The whole page, every metric named recnet_*: the module's counters (none
// while no module is loaded), the disks' operations, the firmware upload,
// the serial ports' bytes and the frames the stream pool skipped for slow
// readers. Call from any thread while the module, the serial ports and the
// video service that main() owns exist.
std::string renderMetrics();

// The HTTP server of /metrics. Owned by main(): started after the network
// server is listening, stopped before the module is unloaded and the ports
// and the video service go. It binds every address (0.0.0.0), as the module's
// listener does for the base port.
class MetricsServer : NonCopyable {
public:
    MetricsServer();
    ~MetricsServer();

    // Binds 0.0.0.0:port on this thread, so that a taken port is reported
    // here, then serves on a thread of its own. Returns false with a
    // one-line reason in `error`.
    bool start(uint16_t port, std::string& error);
    // Ends the serving and joins its thread; nothing happens when it does
    // not run.
    void stop();

private:
    std::unique_ptr<httplib::Server> server_;
    std::thread thread_;
    std::atomic<bool> finished_{false};  // the serving thread has left listen
};

#endif
