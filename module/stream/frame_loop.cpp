/*
 * frame_loop.cpp - channel selection, the frame loop and fragmenting, shared
 * by every stream sender; see frame_loop.h.
 */
#include "stream/frame_loop.h"

#include <sys/socket.h>

#include <cstdio>
#include <cstring>
#include <ctime>

#include "core/counters.h"
#include "netserver/host_api.h"
#include "netserver/wire.h"

namespace {

constexpr uint32_t FILTER_VIDEO = 1;
constexpr uint32_t FILTER_AUDIO = 2;
constexpr int32_t TOUR_DWELL_MIN = 1;  // seconds

/* Where a sender reads from, and what its selection noted. */
struct Selection {
    int32_t current;
    uint32_t enabled;
    time_t since;
};

/* Picks the channel to read (the tour's next one, or the sender's own) and
 * starts the cursor at the pool's live end. */
void stream_select(StreamSender& s, Selection& sel) {
    uint32_t enabled = s.poll->enabled.load(std::memory_order_relaxed);
    if (enabled != 0)
        sel.current = tour_next(sel.current, s.poll->mask.load(std::memory_order_relaxed), s.channelCount);
    else
        sel.current = s.channel;
    sel.enabled = enabled;
    sel.since = time(nullptr);
    if (s.resetCursorOnSelect) std::memset(s.cursor, 0, 5 * sizeof(uint32_t));
    if (s.clearWaitOnSelect) s.waitKeyFrame->store(0);
    s.cursor[0] = st_stream_getNetStreamWritePos(sel.current, static_cast<int>(s.kind));
    s.cursor[1] = st_stream_getNetStreamWritePos(sel.current, static_cast<int>(s.kind));
    s.cursor[4] = s.cursor[0];
}

bool stream_reselect_due(const StreamSender& s, const Selection& sel) {
    uint32_t enabled = s.poll->enabled.load(std::memory_order_relaxed);
    if (enabled != sel.enabled) return true;
    if (enabled == 0) return false;
    time_t elapsed = time(nullptr) - sel.since;
    // A dwell below one second would re-select on every pass and never send.
    int32_t dwell = s.poll->dwell.load(std::memory_order_relaxed);
    if (dwell < TOUR_DWELL_MIN) dwell = TOUR_DWELL_MIN;
    return elapsed > dwell || elapsed < 0;
}

/* Whether the sender wants this frame at all. */
bool stream_wants(StreamSender& s, uint8_t type) {
    if (s.sendEnabled != nullptr && s.sendEnabled->load(std::memory_order_relaxed) != 1) return false;
    if (s.waitKeyFrame->load(std::memory_order_relaxed) == 1) {
        if (type != wire::FRAME_TYPE_KEY) return false;
        s.waitKeyFrame->store(0, std::memory_order_relaxed);
    }
    if (s.frameFilter != nullptr) {
        uint32_t filter = s.frameFilter->load(std::memory_order_relaxed);
        if (filter == FILTER_VIDEO && type != wire::FRAME_TYPE_KEY && type != wire::FRAME_TYPE_OTHER)
            return false;
        if (filter == FILTER_AUDIO && type != wire::FRAME_TYPE_AUDIO) return false;
    }
    return true;
}

enum class LoopEnd { NoFrame, Stopped, SendFailed };

/* Sends frames while the pool has them. */
LoopEnd stream_frame_loop(StreamSender& s, int32_t channel) {
    const int kind = static_cast<int>(s.kind);
    uint8_t staging[wire::FRAGMENT_SIZE_MAX];
    for (;;) {
        // Checked per frame as well: a pool that always has a frame ready
        // would otherwise keep a stopped sender in this loop.
        if (s.running->load(std::memory_order_relaxed) == 0) return LoopEnd::Stopped;
        st_stream_lockMutex(channel, kind, s.cursor[4]);
        NetFrame* frame = st_stream_getNetStreamFromPool_ex(channel, kind, s.cursor);
        if (frame == nullptr || frame->invalid == 1) {
            st_stream_unlockMutex(channel, kind, s.cursor[4]);
            return LoopEnd::NoFrame;
        }
        const uint8_t type = frame->header[wire::FRAME_TYPE];
        const uint32_t length = wire::getU32(frame->header, wire::FRAME_DATA_LENGTH);
        if (!stream_wants(s, type)) {
            st_stream_unlockMutex(channel, kind, s.cursor[4]);
            continue;
        }
        const uint64_t total = static_cast<uint64_t>(length) + wire::FRAME_HEADER_SIZE;
        if (total > wire::FRAME_TOTAL_MAX) {
            printf(s.tooLongFormat, static_cast<int>(total > 0x7fffffff ? 0x7fffffff : total));
            st_stream_unlockMutex(channel, kind, s.cursor[4]);
            continue;
        }
        const uint32_t count = wire::fragmentCount(length);
        size_t sent = 0;  // bytes of this frame on the wire so far
        for (uint32_t i = 0; i < count; ++i) {
            if (i > 0) {
                st_stream_lockMutex(channel, kind, s.cursor[4]);
                // The slot may have been rewritten while we were sending.
                if (wire::getU32(frame->header, wire::FRAME_SEQUENCE) != s.cursor[2] || frame->invalid == 1) {
                    s.cursor[3] = 0xFFFFFFFFu;
                    st_stream_unlockMutex(channel, kind, s.cursor[4]);
                    counters_frame_dropped(s.transport, FrameDrop::SlotRewritten, sent);
                    break;
                }
            }
            size_t size = fragment_build(frame->header, frame->data, length, i, staging);
            st_stream_unlockMutex(channel, kind, s.cursor[4]);
            if (!s.send(s.context, staging, size)) {
                counters_frame_dropped(s.transport, FrameDrop::SendFailed, sent);
                if (s.endOnSendFailure) return LoopEnd::SendFailed;
                break;  // the rest of this frame is dropped
            }
            sent += size;
            if (i + 1 == count) counters_frame_sent(s.transport, sent);
        }
    }
}

}  // namespace

size_t fragment_build(const uint8_t* frameHeader, const uint8_t* data, uint32_t dataLength,
                      uint32_t index, uint8_t* out) {
    using namespace wire;
    uint8_t* payload = out + FRAGMENT_HEADER_SIZE;
    size_t size;
    if (index == 0) {
        size_t n = dataLength < FIRST_FRAGMENT_DATA ? dataLength : FIRST_FRAGMENT_DATA;
        std::memcpy(payload, frameHeader, FRAME_HEADER_SIZE);
        if (n != 0) std::memcpy(payload + FRAME_HEADER_SIZE, data, n);
        size = FRAME_HEADER_SIZE + n;
    } else {
        size_t offset = FIRST_FRAGMENT_DATA + static_cast<size_t>(index - 1) * FRAGMENT_PAYLOAD_MAX;
        size_t left = dataLength - offset;
        size = left < FRAGMENT_PAYLOAD_MAX ? left : FRAGMENT_PAYLOAD_MAX;
        std::memcpy(payload, data + offset, size);
    }
    FragmentHeader h;
    h.sequence = getU32(frameHeader, FRAME_SEQUENCE);
    h.dataLength = dataLength;
    h.payloadLength = static_cast<uint32_t>(size);
    h.count = static_cast<uint8_t>(fragmentCount(dataLength));
    h.index = static_cast<uint8_t>(index);
    h.type = frameHeader[FRAME_TYPE];
    encodeFragmentHeader(out, h);
    return FRAGMENT_HEADER_SIZE + size;
}

int32_t tour_next(int32_t current, uint32_t mask, int32_t channelCount) {
    if (channelCount <= 0) return current;
    int32_t candidate = current;
    for (int32_t step = 0; step < channelCount; ++step) {
        candidate = (candidate < channelCount - 1 && candidate >= 0) ? candidate + 1 : 0;
        if (candidate < 32 && (mask >> candidate) & 1u) return candidate;
    }
    return current;
}

bool datagram_send_fragment(void* context, const uint8_t* fragment, size_t size) {
    auto* target = static_cast<DatagramTarget*>(context);
    ssize_t sent = sendto(target->sock, fragment, size, 0,
                          reinterpret_cast<const sockaddr*>(&target->destination), sizeof target->destination);
    return sent == static_cast<ssize_t>(size);
}

void stream_run(StreamSender& s) {
    Selection sel{s.channel, 0, 0};
    stream_select(s, sel);
    counters_stream_started(s.transport, s.channel);
    while (s.running->load(std::memory_order_relaxed) != 0) {
        if (stream_reselect_due(s, sel)) {
            stream_select(s, sel);
            continue;
        }
        st_stream_netStreamWaiting(sel.current, static_cast<int>(s.kind));
        if (stream_frame_loop(s, sel.current) == LoopEnd::SendFailed) break;
    }
    counters_stream_ended(s.transport, s.channel);
}
