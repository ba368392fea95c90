/*
 * http_server.cpp - page, snapshots, status and fMP4 live video over HTTP.
 */
#include "http_server.h"

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <iostream>
#include <mutex>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <thread>

#include "fmp4.h"
#include "timeline.h"

namespace gateway {

namespace {

constexpr std::chrono::milliseconds READY_WAIT{6000};
// Worker threads: each live viewer holds one while it watches.
constexpr size_t WORKERS = 32;
// Frames queued for a browser that reads too slowly; beyond this it skips
// to the next key frame instead of falling further behind.
constexpr size_t QUEUE_FRAMES_MAX = 100;

// One browser's live stream: frames from the path, waiting to be muxed and
// written by the connection's worker thread.
class LiveViewer {
public:
    // Called by the path under its lock.
    void push(const FramePtr& f, bool kept) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (kept) {
            ++kept_;
            newestKept_ = f->captureUs;
        }
        if (queue_.size() >= QUEUE_FRAMES_MAX) {
            queue_.clear();
            waitKey_ = true;
        }
        if (waitKey_ && !f->key) return;
        waitKey_ = false;
        queue_.push_back({f, kept});
        ready_.notify_one();
    }
    // Waits at most `wait` for a frame.
    bool pop(std::chrono::milliseconds wait, FramePtr& f, bool& kept) {
        std::unique_lock<std::mutex> lock(mutex_);
        if (!ready_.wait_for(lock, wait, [this] { return !queue_.empty(); })) return false;
        f = queue_.front().first;
        kept = queue_.front().second;
        queue_.pop_front();
        return true;
    }
    // The capture time that media time 0 stands for (see Timeline): the
    // kept frames take 1 ms each, the newest of them at (kept - 1) ms.
    uint64_t captureOrigin() {
        std::lock_guard<std::mutex> lock(mutex_);
        return kept_ == 0 ? 0 : newestKept_ - (kept_ - 1) * 1000;
    }

    LivePath* path = nullptr;
    uint64_t id = 0;

private:
    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<std::pair<FramePtr, bool>> queue_;
    uint64_t kept_ = 0;
    uint64_t newestKept_ = 0;
    bool waitKey_ = true;
};

void sendError(httplib::Response& res, int status, const std::string& text) {
    res.status = status;
    res.set_content(text + "\n", "text/plain");
}

}  // namespace

HttpServer::HttpServer(Registry& registry, const std::string& bind, uint16_t port)
    : registry_(registry), server_(std::make_unique<httplib::Server>()) {
    server_->new_task_queue = [] { return new httplib::ThreadPool(WORKERS); };
    // An idle kept-alive connection holds a worker, and stop() waits for it.
    server_->set_keep_alive_timeout(1);
    routes();
    if (!server_->bind_to_port(bind.c_str(), port)) {
        throw std::runtime_error("cannot listen for HTTP on " + bind + ":" + std::to_string(port));
    }
    thread_ = std::thread([this] {
        server_->listen_after_bind();
        listenEnded_ = true;
    });
    // stop() does nothing to a server that has not entered its accept loop
    // yet, so a stop right after the start would leave the thread listening
    // for ever: the server is handed out only once it runs (or has failed).
    while (!server_->is_running() && !listenEnded_) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (listenEnded_) {
        thread_.join();
        throw std::runtime_error("cannot serve HTTP on " + bind + ":" + std::to_string(port));
    }
}

HttpServer::~HttpServer() {
    stopping_ = true;
    server_->stop();
    thread_.join();
}

void HttpServer::routes() {
    server_->Get("/", [this](const httplib::Request&, httplib::Response& res) {
        res.set_content(renderPage(registry_), "text/html; charset=utf-8");
    });
    server_->Get("/status.json", [this](const httplib::Request&, httplib::Response& res) {
        res.set_content(statusJson(), "application/json");
    });
    server_->Get(R"(/([A-Za-z0-9_-]+)/ch(\d{1,3})\.jpg)", [this](const httplib::Request& req,
                                                                 httplib::Response& res) {
        const std::string path = std::string(req.matches[1]) + "/ch" + std::string(req.matches[2]);
        Registry::Lookup found = registry_.resolve(path);
        if (found.status != 200) {
            std::cerr << "gateway: HTTP " << req.path << ": " << found.status << " " << found.error << "\n";
            return sendError(res, found.status, found.error);
        }
        try {
            std::vector<uint8_t> jpeg = registry_.device(req.matches[1])->snapshot(std::stoul(req.matches[2]));
            if (jpeg.empty()) return sendError(res, 503, "the device took no picture");
            res.set_header("Cache-Control", "no-store");
            res.set_content(std::string(jpeg.begin(), jpeg.end()), "image/jpeg");
        } catch (const GatewayError& e) {
            std::cerr << "gateway: HTTP " << req.path << ": " << e.status() << " " << e.what() << "\n";
            sendError(res, e.status(), e.what());
        }
    });
    server_->Get(R"(/([A-Za-z0-9_-]+/ch\d{1,3}(/sub)?)\.mp4)", [this](const httplib::Request& req,
                                                                     httplib::Response& res) {
        Registry::Lookup found = registry_.resolve(req.matches[1]);
        const int ready = found.status == 200 ? found.path->waitReady(READY_WAIT) : found.status;
        if (ready != 200) {
            std::cerr << "gateway: HTTP " << req.path << ": " << ready << " " << found.error << "\n";
            return sendError(res, ready, found.error.empty() ? "no picture from the device" : found.error);
        }
        auto viewer = std::make_shared<LiveViewer>();
        viewer->path = found.path;
        viewer->id = found.path->subscribe([v = viewer.get()](const FramePtr& f, bool kept) { v->push(f, kept); });
        liveViewers_.fetch_add(1);
        res.set_header("Cache-Control", "no-store");
        res.set_header("X-Capture-Origin-Us", std::to_string(viewer->captureOrigin()));
        auto muxer = std::make_shared<Fmp4Muxer>();
        auto timeline = std::make_shared<Timeline>();
        // The codec goes in a header so that the page can set up its
        // SourceBuffer before the first bytes arrive; it is known once the
        // first frame (a key frame) is muxed, so the header waits for it.
        FramePtr first;
        bool firstKept = false;
        if (!viewer->pop(READY_WAIT, first, firstKept) || !muxer->start(first->data.data(), first->data.size())) {
            found.path->unsubscribe(viewer->id);
            liveViewers_.fetch_sub(1);
            return sendError(res, 503, "no decodable key frame from the device");
        }
        res.set_header("X-Codec", muxer->codec());
        // The frame waiting for its successor, and its time: the next frame's
        // time gives its duration (an estimate would leave gaps that the
        // browser stalls on, or overlaps).
        struct Pending {
            FramePtr frame;
            uint64_t time = 0;
        };
        auto pending = std::make_shared<Pending>(Pending{first, timeline->next(first->captureUs, firstKept)});
        res.set_chunked_content_provider(
            "video/mp4",
            [this, viewer, muxer, timeline, pending](size_t offset, httplib::DataSink& sink) {
                if (offset == 0 && !sink.write(reinterpret_cast<const char*>(muxer->initSegment().data()),
                                               muxer->initSegment().size())) {
                    return false;
                }
                while (!stopping_) {
                    FramePtr next;
                    bool kept = false;
                    if (!viewer->pop(std::chrono::milliseconds(200), next, kept)) {
                        if (!sink.is_writable()) return false;
                        continue;
                    }
                    const uint64_t nextTime = timeline->next(next->captureUs, kept);
                    const uint64_t span = std::min<uint64_t>(nextTime - pending->time, 1000000);
                    const Frame& cur = *pending->frame;
                    std::vector<uint8_t> frag = muxer->fragment(cur.data.data(), cur.data.size(), cur.key,
                                                                pending->time, static_cast<uint32_t>(span));
                    *pending = Pending{next, nextTime};
                    return sink.write(reinterpret_cast<const char*>(frag.data()), frag.size());
                }
                return false;
            },
            [this, viewer](bool) {
                viewer->path->unsubscribe(viewer->id);
                liveViewers_.fetch_sub(1);
            });
    });
}

std::string HttpServer::statusJson() {
    nlohmann::json j;
    j["uptime"] = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - started_).count();
    j["deviceStreams"] = registry_.deviceStreams();
    j["browserViewers"] = liveViewers_.load();
    j["devices"] = nlohmann::json::array();
    for (const auto& link : registry_.devices()) {
        nlohmann::json d;
        d["name"] = link->config().name;
        d["address"] = link->config().host + ":" + std::to_string(link->config().port);
        try {
            const DeviceStatus s = link->status();
            d["online"] = true;
            d["firmware"] = s.firmware;
            d["uptime"] = s.uptime;
            d["channels"] = s.channels;
            d["sessions"] = s.sessions;
            d["disks"] = nlohmann::json::array();
            for (const auto& disk : s.disks) {
                d["disks"].push_back({{"state", disk.state}, {"capacity", disk.capacity}, {"free", disk.free}});
            }
        } catch (const GatewayError& e) {
            d["online"] = false;
            d["status"] = e.status();
            d["error"] = e.what();
        }
        j["devices"].push_back(d);
    }
    return j.dump();
}

}  // namespace gateway
