/*
 * rtsp_server.cpp - RTSP on GStreamer's RTSP server library.
 */
#include "rtsp_server.h"

#include <gst/app/gstappsrc.h>
#include <gst/gst.h>
#include <gst/rtsp-server/rtsp-server.h>

#include <iostream>
#include <stdexcept>

#include "timeline.h"

namespace gateway {

namespace {

constexpr std::chrono::milliseconds READY_WAIT{6000};
// Clients are served on pool threads, so that one DESCRIBE that waits for a
// device does not hold up the others.
constexpr int CLIENT_THREADS = 16;
// A pipeline that stops taking frames must not make its queue grow.
constexpr guint64 QUEUE_BYTES_MAX = 8 << 20;
constexpr const char* FEEDER_KEY = "recnet-feeder";

// One viewer's media: subscribed to a path, pushing its frames into the
// media's appsrc. Lives as data of the media; unsubscribes when the media is
// unprepared (the viewer left) or destroyed.
//
// A live media plays from the moment it is prepared (at DESCRIBE, which
// needs the first frames for its SDP), so what the path hands over then is
// gone before the viewer's PLAY. At PLAY the feeder subscribes again, and the
// viewer's first frames are the path's kept key frame and its successors.
class Feeder {
public:
    Feeder(LivePath* path, GstElement* appsrc) : path_(path), appsrc_(appsrc) {}
    ~Feeder() {
        stop();
        gst_object_unref(appsrc_);
    }
    // (Re)subscribes to the path.
    void start() {
        std::lock_guard<std::mutex> lock(mutex_);
        if (subscribed_) path_->unsubscribe(id_);
        id_ = path_->subscribe([this](const FramePtr& f, bool kept) { push(f, kept); });
        subscribed_ = true;
    }
    void stop() {
        std::lock_guard<std::mutex> lock(mutex_);
        if (subscribed_) path_->unsubscribe(id_);
        subscribed_ = false;
    }

private:
    // Called by the path under its lock, one frame at a time.
    void push(const FramePtr& f, bool kept) {
        GstBuffer* buffer = gst_buffer_new_allocate(nullptr, f->data.size(), nullptr);
        gst_buffer_fill(buffer, 0, f->data.data(), f->data.size());
        GST_BUFFER_PTS(buffer) = timeline_.next(f->captureUs, kept) * GST_USECOND;
        if (!f->key) GST_BUFFER_FLAG_SET(buffer, GST_BUFFER_FLAG_DELTA_UNIT);
        gst_app_src_push_buffer(GST_APP_SRC(appsrc_), buffer);
    }

    LivePath* const path_;
    GstElement* const appsrc_;  // owned reference
    std::mutex mutex_;          // guards id_ and subscribed_
    uint64_t id_ = 0;
    bool subscribed_ = false;
    Timeline timeline_;         // used by the path's thread only, under the path's lock
};

void destroyFeeder(gpointer data) { delete static_cast<Feeder*>(data); }

void onUnprepared(GstRTSPMedia*, gpointer data) { static_cast<Feeder*>(data)->stop(); }

// A new media of a path's factory: finds its appsrc and subscribes it.
void onMediaConfigure(GstRTSPMediaFactory*, GstRTSPMedia* media, gpointer data) {
    auto* path = static_cast<LivePath*>(data);
    GstElement* element = gst_rtsp_media_get_element(media);
    GstElement* appsrc = gst_bin_get_by_name_recurse_up(GST_BIN(element), "src");
    gst_object_unref(element);
    if (!appsrc) return;
    GstCaps* caps = gst_caps_from_string("video/x-h264,stream-format=byte-stream,alignment=au");
    g_object_set(appsrc, "caps", caps, "format", GST_FORMAT_TIME, "is-live", TRUE, "max-bytes",
                 QUEUE_BYTES_MAX, "leaky-type", GST_APP_LEAKY_TYPE_DOWNSTREAM, nullptr);
    gst_caps_unref(caps);
    auto* feeder = new Feeder(path, appsrc);
    g_object_set_data_full(G_OBJECT(media), FEEDER_KEY, feeder, destroyFeeder);
    g_signal_connect(media, "unprepared", G_CALLBACK(onUnprepared), feeder);
    feeder->start();
}

// After the PLAY answer, when the viewer's transport is active.
void onPlay(GstRTSPClient*, GstRTSPContext* ctx, gpointer) {
    if (!ctx->media) return;
    if (auto* feeder = static_cast<Feeder*>(g_object_get_data(G_OBJECT(ctx->media), FEEDER_KEY))) feeder->start();
}

GstRTSPStatusCode rtspStatus(int status) {
    switch (status) {
        case 200: return GST_RTSP_STS_OK;
        case 401: return GST_RTSP_STS_UNAUTHORIZED;
        case 404: return GST_RTSP_STS_NOT_FOUND;
        case 504: return GST_RTSP_STS_GATEWAY_TIMEOUT;
        default: return GST_RTSP_STS_SERVICE_UNAVAILABLE;
    }
}

GstRTSPStatusCode onPreDescribe(GstRTSPClient*, GstRTSPContext* ctx, gpointer data) {
    auto* self = static_cast<RtspServer*>(data);
    if (!ctx->uri || !ctx->uri->abspath) return GST_RTSP_STS_NOT_FOUND;
    return rtspStatus(self->prepare(ctx->uri->abspath));
}

void onClientConnected(GstRTSPServer*, GstRTSPClient* client, gpointer data) {
    g_signal_connect(client, "pre-describe-request", G_CALLBACK(onPreDescribe), data);
    g_signal_connect(client, "play-request", G_CALLBACK(onPlay), nullptr);
}

}  // namespace

RtspServer::RtspServer(Registry& registry, const std::string& bind, uint16_t port)
    : registry_(registry) {
    context_ = g_main_context_new();
    loop_ = g_main_loop_new(context_, FALSE);
    server_ = gst_rtsp_server_new();
    gst_rtsp_server_set_address(server_, bind.c_str());
    const std::string service = std::to_string(port);
    gst_rtsp_server_set_service(server_, service.c_str());
    GstRTSPThreadPool* pool = gst_rtsp_server_get_thread_pool(server_);
    gst_rtsp_thread_pool_set_max_threads(pool, CLIENT_THREADS);
    g_object_unref(pool);
    g_signal_connect(server_, "client-connected", G_CALLBACK(onClientConnected), this);
    sourceId_ = gst_rtsp_server_attach(server_, context_);
    if (sourceId_ == 0) {
        g_object_unref(server_);
        g_main_loop_unref(loop_);
        g_main_context_unref(context_);
        throw std::runtime_error("cannot listen for RTSP on " + bind + ":" + service);
    }
    thread_ = std::thread([this] { g_main_loop_run(loop_); });
}

RtspServer::~RtspServer() {
    // The quit runs inside the loop: a g_main_loop_quit before the thread has
    // entered g_main_loop_run would be forgotten, and the join would wait for
    // ever.
    GSource* quit = g_idle_source_new();
    g_source_set_callback(
        quit,
        [](gpointer loop) -> gboolean {
            g_main_loop_quit(static_cast<GMainLoop*>(loop));
            return G_SOURCE_REMOVE;
        },
        loop_, nullptr);
    g_source_attach(quit, context_);
    g_source_unref(quit);
    thread_.join();
    GSource* source = g_main_context_find_source_by_id(context_, sourceId_);
    if (source) g_source_destroy(source);
    // Ends every client connection and its media before the registry's
    // paths go away.
    GstRTSPSessionPool* sessions = gst_rtsp_server_get_session_pool(server_);
    gst_rtsp_server_client_filter(
        server_,
        [](GstRTSPServer*, GstRTSPClient* client, gpointer) {
            gst_rtsp_client_close(client);
            return GST_RTSP_FILTER_REMOVE;
        },
        nullptr);
    gst_rtsp_session_pool_filter(
        sessions, [](GstRTSPSessionPool*, GstRTSPSession*, gpointer) { return GST_RTSP_FILTER_REMOVE; },
        nullptr);
    g_object_unref(sessions);
    g_object_unref(server_);
    gst_rtsp_thread_pool_cleanup();
    g_main_loop_unref(loop_);
    g_main_context_unref(context_);
}

int RtspServer::prepare(const std::string& path) {
    Registry::Lookup found = registry_.resolve(path);
    if (found.status != 200) {
        std::cerr << "gateway: RTSP " << path << ": " << found.status << " " << found.error << "\n";
        return found.status;
    }
    const int ready = found.path->waitReady(READY_WAIT);
    if (ready != 200) {
        std::cerr << "gateway: RTSP " << path << ": " << ready << " no picture from the device\n";
        return ready;
    }
    const std::string mount = "/" + found.path->name();
    std::lock_guard<std::mutex> lock(mutex_);
    if (mounted_.insert(mount).second) {
        GstRTSPMediaFactory* factory = gst_rtsp_media_factory_new();
        gst_rtsp_media_factory_set_launch(
            factory, "( appsrc name=src ! h264parse ! rtph264pay name=pay0 pt=96 config-interval=-1 )");
        gst_rtsp_media_factory_set_shared(factory, FALSE);
        gst_rtsp_media_factory_set_protocols(
            factory, static_cast<GstRTSPLowerTrans>(GST_RTSP_LOWER_TRANS_UDP | GST_RTSP_LOWER_TRANS_TCP));
        g_signal_connect(factory, "media-configure", G_CALLBACK(onMediaConfigure), found.path);
        GstRTSPMountPoints* mounts = gst_rtsp_server_get_mount_points(server_);
        gst_rtsp_mount_points_add_factory(mounts, mount.c_str(), factory);
        g_object_unref(mounts);
    }
    return 200;
}

}  // namespace gateway
