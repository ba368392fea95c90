/*
 * counters.cpp - the server's counters and st_net_forEachCounter; see
 * counters.h.
 */
#include "core/counters.h"

#include <atomic>
#include <cstdio>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "netserver/netserver.h"
#include "netserver/wire.h"

namespace {

constexpr int TRANSPORTS = 3;  // wire::TRANSPORT_TCP .. TRANSPORT_MULTICAST
const char* const TRANSPORT_NAMES[TRANSPORTS] = {"tcp", "udp", "multicast"};
// Bounds the command table: a peer can choose the status byte of an echo,
// and a table that grew with every choice would be memory for the asking.
constexpr size_t COMMAND_KEYS_KEPT = 1024;

struct TransportCounters {
    std::atomic<uint64_t> frames{0};
    std::atomic<uint64_t> bytes{0};
    std::atomic<uint64_t> slotRewritten{0};
    std::atomic<uint64_t> sendFailed{0};
};

struct Counters {
    std::atomic<uint64_t> sessionsOpen{0};
    std::atomic<uint64_t> sessionsTotal{0};
    std::atomic<uint64_t> loginsAccepted{0};
    std::atomic<uint64_t> loginsRefused{0};
    std::atomic<uint64_t> commandsUncounted{0};  // beyond COMMAND_KEYS_KEPT
    TransportCounters transports[TRANSPORTS];

    std::mutex tableMutex;  // guards the two maps, held only to update or copy them
    std::map<std::pair<uint16_t, uint8_t>, uint64_t> commands;
    std::map<std::pair<uint32_t, int32_t>, uint64_t> streams;  // (transport, channel)
};

Counters& counters() {
    static Counters c;
    return c;
}

/* The transport's slot, or null for a value no sender uses. */
TransportCounters* transportSlot(uint32_t transport) {
    if (transport < wire::TRANSPORT_TCP || transport > wire::TRANSPORT_MULTICAST) return nullptr;
    return &counters().transports[transport - wire::TRANSPORT_TCP];
}

const char* transportName(uint32_t transport) {
    if (transport < wire::TRANSPORT_TCP || transport > wire::TRANSPORT_MULTICAST) return "other";
    return TRANSPORT_NAMES[transport - wire::TRANSPORT_TCP];
}

/* One line of the snapshot handed to the caller. */
struct Sample {
    const char* name;
    std::string labels;
    uint64_t value;
};

}  // namespace

void counters_session_opened() {
    counters().sessionsOpen.fetch_add(1, std::memory_order_relaxed);
    counters().sessionsTotal.fetch_add(1, std::memory_order_relaxed);
}

void counters_session_closed() {
    counters().sessionsOpen.fetch_sub(1, std::memory_order_relaxed);
}

void counters_login(bool accepted) {
    (accepted ? counters().loginsAccepted : counters().loginsRefused).fetch_add(1, std::memory_order_relaxed);
}

void counters_command(uint16_t type, uint8_t status) {
    if (type == wire::MSG_SESSION_ID) return;
    Counters& c = counters();
    std::lock_guard<std::mutex> lock(c.tableMutex);
    auto it = c.commands.find({type, status});
    if (it != c.commands.end()) {
        ++it->second;
    } else if (c.commands.size() < COMMAND_KEYS_KEPT) {
        c.commands.emplace(std::make_pair(type, status), 1);
    } else {
        c.commandsUncounted.fetch_add(1, std::memory_order_relaxed);
    }
}

void counters_stream_started(uint32_t transport, int32_t channel) {
    Counters& c = counters();
    std::lock_guard<std::mutex> lock(c.tableMutex);
    ++c.streams[{transport, channel}];
}

void counters_stream_ended(uint32_t transport, int32_t channel) {
    Counters& c = counters();
    std::lock_guard<std::mutex> lock(c.tableMutex);
    // The entry stays at 0, so that a scraper sees the stream end rather
    // than vanish.
    uint64_t& live = c.streams[{transport, channel}];
    if (live > 0) --live;
}

void counters_frame_sent(uint32_t transport, size_t bytes) {
    if (TransportCounters* t = transportSlot(transport)) {
        t->frames.fetch_add(1, std::memory_order_relaxed);
        t->bytes.fetch_add(bytes, std::memory_order_relaxed);
    }
}

void counters_frame_dropped(uint32_t transport, FrameDrop reason, size_t bytes) {
    if (TransportCounters* t = transportSlot(transport)) {
        (reason == FrameDrop::SlotRewritten ? t->slotRewritten : t->sendFailed)
            .fetch_add(1, std::memory_order_relaxed);
        t->bytes.fetch_add(bytes, std::memory_order_relaxed);
    }
}

/* Thread: any host thread. Copies everything first and calls `fn` with no
 * lock held, so that `fn` may take as long as it likes. */
void st_net_forEachCounter(void (*fn)(const char* name, const char* labels, uint64_t value, void* context),
                           void* context) {
    if (fn == nullptr) return;
    Counters& c = counters();
    std::vector<Sample> samples;
    samples.push_back({"sessions_open", "", c.sessionsOpen.load()});
    samples.push_back({"sessions_total", "", c.sessionsTotal.load()});
    samples.push_back({"logins_total", "result=\"accepted\"", c.loginsAccepted.load()});
    samples.push_back({"logins_total", "result=\"refused\"", c.loginsRefused.load()});
    for (int i = 0; i < TRANSPORTS; ++i) {
        const TransportCounters& t = c.transports[i];
        const std::string transport = std::string("transport=\"") + TRANSPORT_NAMES[i] + "\"";
        samples.push_back({"stream_frames_sent_total", transport, t.frames.load()});
        samples.push_back({"stream_bytes_sent_total", transport, t.bytes.load()});
        samples.push_back({"stream_frames_dropped_total", transport + ",reason=\"slot_rewritten\"",
                           t.slotRewritten.load()});
        samples.push_back({"stream_frames_dropped_total", transport + ",reason=\"send_failed\"",
                           t.sendFailed.load()});
    }
    {
        std::lock_guard<std::mutex> lock(c.tableMutex);
        char labels[64];
        for (const auto& [key, count] : c.commands) {
            snprintf(labels, sizeof labels, "type=\"0x%04x\",status=\"%u\"", key.first,
                     static_cast<unsigned>(key.second));
            samples.push_back({"commands_total", labels, count});
        }
        if (const uint64_t other = c.commandsUncounted.load(); other != 0)
            samples.push_back({"commands_total", "type=\"other\",status=\"other\"", other});
        for (const auto& [key, live] : c.streams) {
            snprintf(labels, sizeof labels, "transport=\"%s\",channel=\"%d\"", transportName(key.first),
                     static_cast<int>(key.second));
            samples.push_back({"streams_live", labels, live});
        }
    }
    for (const Sample& s : samples) fn(s.name, s.labels.c_str(), s.value, context);
}
