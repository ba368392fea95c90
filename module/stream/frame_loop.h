/*
 * frame_loop.h - what the TCP, UDP and multicast senders share: channel
 * selection with the channel tour, the frame loop over the host's stream
 * pool, and cutting a frame into fragments (layout: wire.h FRAGMENT_*).
 */
#ifndef NETSERVER_STREAM_FRAME_LOOP_H
#define NETSERVER_STREAM_FRAME_LOOP_H

#include <netinet/in.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "core/session.h"

/* Writes fragment `index` of a frame into `out` (room for
 * wire::FRAGMENT_SIZE_MAX) and returns its size on the wire (header and
 * payload). */
size_t fragment_build(const uint8_t* frameHeader, const uint8_t* data, uint32_t dataLength,
                      uint32_t index, uint8_t* out);

/* The channel a tour moves to from `current`: at least one step, on until a
 * channel whose mask bit is set; a step goes to current + 1, or to 0 after
 * the last channel. A mask that selects no existing channel keeps `current`;
 * channels from 32 up have no mask bit and are never selected. */
int32_t tour_next(int32_t current, uint32_t mask, int32_t channelCount);

/* How one sender differs from the others, and what it shares with its
 * stoppers. Thread: the sender's own. */
struct StreamSender {
    // Behaviour.
    bool resetCursorOnSelect;   // TCP: start each selection from a clean cursor
    bool clearWaitOnSelect;     // TCP: a selection does not wait for a key frame
    bool endOnSendFailure;      // TCP, UDP: a failed send ends the sender
    const char* tooLongFormat;  // printed with the total of a frame that is too big

    // Shared with the stoppers and the message thread.
    std::atomic<uint32_t>* running;
    std::atomic<uint32_t>* sendEnabled;  // null: always sends (multicast)
    std::atomic<uint32_t>* frameFilter;  // null: every frame (multicast)
    std::atomic<uint32_t>* waitKeyFrame;
    const PollConfig* poll;

    // The stream.
    uint32_t transport;    // wire::TRANSPORT_*, for the counters
    int32_t channel;
    uint32_t kind;
    uint32_t* cursor;      // five words, handed to the pool
    int32_t channelCount;  // for the tour

    // Sends one fragment; false when it did not go out whole.
    bool (*send)(void* context, const uint8_t* fragment, size_t size);
    void* context;
};

/* A sender's datagram destination; datagram_send_fragment sends one
 * fragment there (the UDP and the multicast senders' send function). */
struct DatagramTarget {
    int sock;
    sockaddr_in destination;
};
bool datagram_send_fragment(void* target, const uint8_t* fragment, size_t size);

/* Runs passes until the running flag is 0 or, for a sender that ends on a
 * failed send, a send fails. The pool lock is held only while a frame is
 * fetched and a fragment copied, never across a send. */
void stream_run(StreamSender& sender);

#endif
