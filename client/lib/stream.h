/*
 * stream.h - live video from a recorder: frames reassembled from fragments,
 * an H.264 recorder that writes them to a playable file, and a stream client
 * that starts a channel over TCP, UDP or multicast and feeds what it receives
 * into an assembler. The frame header and the fragments are laid out as in
 * netserver/wire.h (FRAME_*, FRAGMENT_*).
 */
#ifndef RECNET_CLIENT_STREAM_H
#define RECNET_CLIENT_STREAM_H

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "connection.h"
#include "fd.h"
#include "keepalive.h"

namespace recnet {

// One complete frame, valid during the call that hands it over.
struct FrameView {
    uint32_t sequence = 0;
    uint8_t type = 0;                 // 1 key frame, 2 other
    const uint8_t* header = nullptr;  // the 32-byte frame header
    const uint8_t* data = nullptr;
    uint32_t dataLength = 0;
    bool afterLoss = false;  // frames were lost between the previous frame and this one
};

struct AssemblerStats {
    uint64_t fragments = 0;     // fragments accepted
    uint64_t badFragments = 0;  // fragments refused (inconsistent lengths, count or index)
    uint64_t frames = 0;        // complete frames handed over
    uint64_t lost = 0;          // frames dropped incomplete, or missing from the sequence
};

// Puts frames together from their fragments, in arrival order. A frame that
// misses a fragment (an index out of turn, a new sequence number before the
// last fragment) is dropped and counted lost; so is every frame whose number a
// rising sequence skips. A sequence that jumps back or far ahead (another
// channel of a tour, a restarted source) starts afresh without counting.
class FrameAssembler {
public:
    using FrameSink = std::function<void(const FrameView&)>;
    explicit FrameAssembler(FrameSink sink);

    // Takes one fragment: header and payload, `size` bytes in all (a datagram,
    // or one fragment cut from the TCP byte stream). Returns false when the
    // fragment is refused.
    bool feed(const uint8_t* fragment, size_t size);

    const AssemblerStats& stats() const noexcept { return stats_; }

    // Bytes on the wire (fragment headers included) still to come before the
    // frame in progress is complete; 0 when no frame is in progress.
    size_t bytesToComplete() const noexcept;

private:
    void dropCurrent();
    void noteSequence(uint32_t seq);

    FrameSink sink_;
    AssemblerStats stats_;
    std::vector<uint8_t> frame_;  // frame header and data of the frame being built
    bool building_ = false;       // frame_ holds a frame in progress
    bool skipping_ = false;       // the rest of `seq_` is dropped (already counted lost)
    uint32_t seq_ = 0;            // sequence of the frame in progress or being skipped
    uint32_t dataLength_ = 0;
    uint32_t count_ = 0;          // full fragment count
    uint32_t next_ = 0;           // index expected next
    uint8_t type_ = 0;
    int lastChannel_ = -1;        // channel (frame header byte 12) of the last frame begun
    bool haveLast_ = false;       // lastSeq_ is valid
    uint32_t lastSeq_ = 0;        // highest sequence seen so far (any fragment)
    bool lossPending_ = false;    // a frame was lost since the last one handed over
};

struct RecorderStats {
    uint64_t frames = 0;   // frames written
    uint64_t bytes = 0;    // data bytes written
    uint64_t skipped = 0;  // complete frames not written while waiting for a key frame
};

// Writes the data of complete frames to an H.264 Annex B file. The file
// starts at a key frame; after a lost frame or a change of channel (frame
// header byte 12) it waits for the next key frame again, so the file always
// decodes. Throws std::runtime_error when the file cannot be opened or written.
class AnnexBRecorder {
public:
    explicit AnnexBRecorder(const std::string& path);
    AnnexBRecorder(const AnnexBRecorder&) = delete;
    AnnexBRecorder& operator=(const AnnexBRecorder&) = delete;
    ~AnnexBRecorder();

    void write(const FrameView& frame);
    // Flushes and closes the file; throws when that fails. Idempotent.
    void close();
    const RecorderStats& stats() const noexcept { return stats_; }

private:
    std::string path_;
    std::FILE* file_ = nullptr;
    RecorderStats stats_;
    bool synced_ = false;  // writing (a key frame opened the current run)
    int channel_ = -1;     // channel of the last frame
};

enum class Transport { Tcp, Udp, Multicast };

// "tcp", "udp", "multicast".
const char* transportName(Transport t);

struct StreamOptions {
    std::string host = "127.0.0.1";
    uint16_t port = 5500;  // command port; data port + 1
    std::string user = "admin";
    std::string password = "admin";
    Duration timeout{5000};  // connection and each answer
    int32_t channel = 0;
    uint8_t kind = 0;  // 0 main, 1 sub
    Transport transport = Transport::Tcp;
    // Channel tour, set on the session before the stream starts.
    std::optional<uint32_t> tourMask;
    int32_t tourDwell = 5;  // seconds
    std::string groupBase = "239.255.0.0";  // multicast: group base of the device
};

// The group address (dotted) and port of a channel's multicast stream:
// the base's fourth number replaced by kind * 16 + channel, the port
// (base port - 1 - channel - 16 * kind) modulo 65536. Throws
// std::invalid_argument when `groupBase` is not a dotted IPv4 address.
struct MulticastGroup {
    std::string address;
    uint16_t port = 0;
};
MulticastGroup multicastGroup(const std::string& groupBase, uint16_t basePort, int32_t channel,
                              uint8_t kind);

// One live stream of one channel: logs in on a command connection (kept alive
// while streaming), sets the tour when asked, starts the stream over the
// chosen transport and receives its fragments. Not thread-safe; one thread
// drives it. The destructor stops the stream and logs out, best effort.
class StreamClient {
public:
    // Connects and starts; throws recnet::Error on failure.
    explicit StreamClient(const StreamOptions& options);
    StreamClient(const StreamClient&) = delete;
    StreamClient& operator=(const StreamClient&) = delete;
    ~StreamClient();

    // Waits at most `wait` for data and feeds every fragment that has arrived
    // into `assembler`. Returns false when the stream has ended (the server
    // closed the data connection or the command connection failed).
    // Throws Error(Protocol) when the TCP byte stream is not made of fragments.
    bool receive(Duration wait, FrameAssembler& assembler);

    // Stops the stream and ends the session; further receive() returns false.
    void stop() noexcept;

    uint32_t sessionId() const noexcept { return sessionId_; }

private:
    void startTcp();
    void startUdp();
    void startMulticast();
    bool receiveTcp(Duration wait, FrameAssembler& assembler);
    void setWakeThreshold(const FrameAssembler& assembler);
    bool receiveDatagrams(Duration wait, FrameAssembler& assembler);
    bool commandConnectionAlive();
    enum class WaitResult { Readable, Nothing, Ended };
    // Waits at most `wait` until `fd` is readable, watching the command
    // connection meanwhile: Ended when that connection has failed.
    WaitResult waitReadable(int fd, Duration wait);

    StreamOptions opt_;
    Connection conn_;
    std::unique_ptr<KeepAlive> keepAlive_;
    uint32_t sessionId_ = 0;
    Connection dataConn_;         // TCP: the data connection
    Fd udp_;                      // UDP and multicast: the receiving socket
    std::vector<uint8_t> buf_;    // TCP receive buffer
    size_t head_ = 0, tail_ = 0;  // unparsed bytes are buf_[head_, tail_)
    int wakeThreshold_ = 1;       // SO_RCVLOWAT of the data connection
    bool stopped_ = false;
};

}  // namespace recnet

#endif
