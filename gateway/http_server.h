/*
 * http_server.h - the gateway's HTTP side (cpp-httplib): the page with every
 * device and channel, a JPEG snapshot per channel, the status as JSON, and
 * live video as fragmented MP4 for the browser's Media Source Extensions.
 *
 *   GET /                      the page
 *   GET /status.json           gateway and device status
 *   GET /NAME/chN.jpg          a snapshot of channel N (from 0)
 *   GET /NAME/chN.mp4          live main stream, chunked fragmented MP4
 *   GET /NAME/chN/sub.mp4      live sub stream
 */
#ifndef RECNET_GATEWAY_HTTP_SERVER_H
#define RECNET_GATEWAY_HTTP_SERVER_H

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include "registry.h"

namespace httplib {
class Server;
}

namespace gateway {

class HttpServer {
public:
    // Binds `bind`:`port` (throws std::runtime_error when it cannot) and
    // serves from a thread of its own.
    HttpServer(Registry& registry, const std::string& bind, uint16_t port);
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;
    // Ends the live streams, stops the server and joins its thread.
    ~HttpServer();

private:
    void routes();
    std::string statusJson();

    Registry& registry_;
    std::unique_ptr<httplib::Server> server_;
    std::atomic<bool> stopping_{false};
    std::atomic<bool> listenEnded_{false};  // the accept loop has returned
    std::atomic<int> liveViewers_{0};
    const std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
    std::thread thread_;
};

// The page: every device and channel with its live video, snapshot link and
// status. Self-contained (no external fetches).
std::string renderPage(Registry& registry);

}  // namespace gateway

#endif
