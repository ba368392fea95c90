/*
 * rtsp_server.h - the gateway's RTSP server (GStreamer's RTSP server
 * library): every path of the registry as rtsp://HOST:PORT/NAME/chN[/sub],
 * H.264 over RTP/UDP or RTP/TCP (interleaved).
 *
 * Each viewer gets a media of its own (appsrc ! h264parse ! rtph264pay) fed
 * from the path it subscribes to, so that it starts with the path's kept
 * key frame instead of waiting for the next one.
 */
#ifndef RECNET_GATEWAY_RTSP_SERVER_H
#define RECNET_GATEWAY_RTSP_SERVER_H

#include <cstdint>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "registry.h"

typedef struct _GMainContext GMainContext;
typedef struct _GMainLoop GMainLoop;
typedef struct _GstRTSPServer GstRTSPServer;

namespace gateway {

class RtspServer {
public:
    // Listens on `bind`:`port` and serves from a thread of its own. Throws
    // std::runtime_error when the port cannot be bound. gst_init must have run.
    RtspServer(Registry& registry, const std::string& bind, uint16_t port);
    RtspServer(const RtspServer&) = delete;
    RtspServer& operator=(const RtspServer&) = delete;
    // Stops the main loop and joins its thread.
    ~RtspServer();

    // Called by the server for a DESCRIBE of `path`: checks the path, starts
    // its device stream and mounts a factory for it. Returns the RTSP status.
    int prepare(const std::string& path);

private:
    Registry& registry_;
    GMainContext* context_ = nullptr;
    GMainLoop* loop_ = nullptr;
    GstRTSPServer* server_ = nullptr;
    unsigned sourceId_ = 0;
    std::mutex mutex_;             // guards mounted_
    std::set<std::string> mounted_;
    std::thread thread_;
};

}  // namespace gateway

#endif
