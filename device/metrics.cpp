/*
 * metrics.cpp - the /metrics page and its HTTP server; see metrics.h.
 */
#include "metrics.h"

#include <httplib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <vector>

#include "device_state.h"
#include "module_loader.h"
#include "netserver/host_api.h"
#include "netserver/records.h"
#include "netserver/wire.h"
#include "serial_ports.h"
#include "stream_pool.h"
#include "stream_producer.h"

namespace {

namespace rec = records;

constexpr const char* kPrefix = "recnet_";
// The page is small and quick to make: one worker, one request per
// connection, and a peer that stalls is given up after a short wait.
constexpr int kWorkers = 1;
constexpr time_t kIoTimeoutSeconds = 2;

struct Sample {
    std::string labels;  // without braces, "" for none
    uint64_t value;
};

// One metric family: its help text, type and samples, in the order of the page.
struct Family {
    std::string help;
    bool counter = false;
    std::vector<Sample> samples;
};

class Page {
public:
    Family& family(const std::string& name, const char* help, bool counter) {
        auto [it, added] = families_.try_emplace(name);
        if (added) {
            order_.push_back(name);
            it->second.help = help;
            it->second.counter = counter;
        }
        return it->second;
    }
    void add(const std::string& name, const char* help, bool counter, std::string labels, uint64_t value) {
        family(name, help, counter).samples.push_back({std::move(labels), value});
    }
    std::string text() const {
        std::string out;
        for (const std::string& name : order_) {
            const Family& f = families_.at(name);
            // Appended piece by piece: GCC 12 at -O3 warns (-Wrestrict) inside
            // operator+ of a literal and a temporary string.
            out.append("# HELP ").append(kPrefix).append(name).append(" ").append(f.help).append("\n");
            out.append("# TYPE ").append(kPrefix).append(name).append(f.counter ? " counter\n" : " gauge\n");
            for (const Sample& s : f.samples) {
                out.append(kPrefix).append(name);
                if (!s.labels.empty()) out.append("{").append(s.labels).append("}");
                out.append(" ").append(std::to_string(s.value)).append("\n");
            }
        }
        return out;
    }

private:
    std::map<std::string, Family> families_;
    std::vector<std::string> order_;
};

// The help text of a module counter; the module documents its names in
// netserver.h.
const char* moduleHelp(const std::string& name) {
    static const std::map<std::string, const char*> help = {
        {"sessions_open", "Command sessions open now."},
        {"sessions_total", "Command sessions opened since the module was loaded."},
        {"logins_total", "Logins the device checked, by result."},
        {"commands_total", "Commands answered, by message type and answer status."},
        {"streams_live", "Live video senders running, by transport and channel."},
        {"stream_frames_sent_total", "Video frames sent whole, by transport."},
        {"stream_bytes_sent_total", "Video bytes sent (fragment and frame headers included), by transport."},
        {"stream_frames_dropped_total",
         "Video frames given up, by transport and reason: slot_rewritten (a slow reader was overtaken) "
         "or send_failed."},
    };
    auto it = help.find(name);
    return it != help.end() ? it->second : "Counter of the network server module.";
}

void addModuleCounter(const char* name, const char* labels, uint64_t value, void* context) {
    const std::string n = name;
    const bool counter = n.size() > 6 && n.compare(n.size() - 6, 6, "_total") == 0;
    static_cast<Page*>(context)->add(n, moduleHelp(n), counter, labels, value);
}

std::string label(const char* key, long value) { return std::string(key) + "=\"" + std::to_string(value) + "\""; }

// Partitioning and formatting per disk, and the format progress of every
// partition that has one, from the same host functions the module asks.
void addDisks(Page& page) {
    uint8_t record[wire::HARDDISK_RECORD_SIZE] = {};
    if (st_app_netGetHardDiskData(record) != 0) return;
    const uint32_t disks = std::min<uint32_t>(wire::getU32(record, rec::HD_DISK_COUNT), rec::HD_MAX_DISKS);
    for (uint32_t d = 0; d < disks; ++d) {
        const uint8_t* entry = record + rec::HD_DISKS + d * rec::HD_DISK_SIZE;
        const uint32_t state = wire::getU32(entry, rec::HD_DISK_STATE);
        const char* help = "1 while the disk's operation runs, by operation.";
        page.add("disk_operation", help, false, label("disk", d) + ",operation=\"partitioning\"",
                 state == rec::DISK_PARTITIONING ? 1 : 0);
        page.add("disk_operation", help, false, label("disk", d) + ",operation=\"formatting\"",
                 state == rec::DISK_FORMATTING ? 1 : 0);
        const uint32_t parts = std::min<uint32_t>(wire::getU32(entry, rec::HD_DISK_PARTITIONS), rec::HD_MAX_PARTITIONS);
        for (uint32_t p = 0; p < parts; ++p) {
            const int percent = st_app_getFormatPercent(d, p);
            if (percent < 0) continue;  // never formatted
            page.add("disk_format_percent", "Progress of the partition's format, 100 once formatted.", false,
                     label("disk", d) + "," + label("partition", p), static_cast<uint64_t>(percent));
        }
    }
}

void addUpgrade(Page& page) {
    const FirmwareProgress fw = firmwareProgress();
    page.add("upgrade_running", "1 while a firmware upload runs.", false, "", fw.running ? 1 : 0);
    page.add("upgrade_percent", "Progress of the running or last flash write.", false, "",
             static_cast<uint64_t>(fw.percent < 0 ? 0 : fw.percent));
}

void addSerial(Page& page) {
    const SerialPorts* ports = deviceSerialPorts();
    if (ports == nullptr) return;
    const char* help = "Bytes the serial port received from its line and sent to it.";
    for (int p = 0; p < ports->count(); ++p) {
        const SerialPorts::ByteCounts b = ports->bytes(p);
        page.add("serial_bytes_total", help, true, label("port", p) + ",direction=\"received\"", b.received);
        page.add("serial_bytes_total", help, true, label("port", p) + ",direction=\"sent\"", b.sent);
    }
}

void addStreamPool(Page& page) {
    const streampool::StreamPool* pool = currentStreamPool();
    if (pool == nullptr) return;
    for (int c = 0; c < pool->channels(); ++c)
        for (int k = 0; k < streampool::KIND_COUNT; ++k)
            page.add("stream_pool_frames_skipped_total",
                     "Frames that readers of the stream pool skipped because the ring overtook them.", true,
                     label("channel", c) + "," + label("kind", k), pool->ring(c, k)->skippedFrames());
}

}  // namespace

std::string renderMetrics() {
    Page page;
    moduleForEachCounter(addModuleCounter, &page);
    addDisks(page);
    addUpgrade(page);
    addSerial(page);
    addStreamPool(page);
    return page.text();
}

MetricsServer::MetricsServer() = default;

MetricsServer::~MetricsServer() { stop(); }

bool MetricsServer::start(uint16_t port, std::string& error) {
    server_ = std::make_unique<httplib::Server>();
    server_->new_task_queue = [] { return new httplib::ThreadPool(kWorkers); };
    server_->set_keep_alive_max_count(1);
    server_->set_read_timeout(kIoTimeoutSeconds, 0);
    server_->set_write_timeout(kIoTimeoutSeconds, 0);
    server_->Get("/metrics", [](const httplib::Request&, httplib::Response& response) {
        response.set_content(renderMetrics(), "text/plain; version=0.0.4; charset=utf-8");
    });
    if (!server_->bind_to_port("0.0.0.0", port)) {
        error = "cannot serve metrics on TCP port " + std::to_string(port) + " (taken?)";
        server_.reset();
        return false;
    }
    finished_ = false;
    thread_ = std::thread([this] {
        server_->listen_after_bind();
        finished_ = true;
    });
    return true;
}

void MetricsServer::stop() {
    if (!server_) return;
    // The library's stop reaches only a listen that has begun, so it is
    // repeated until the serving thread has left (at once, normally).
    while (!finished_.load()) {
        server_->stop();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (thread_.joinable()) thread_.join();
    server_.reset();
}
