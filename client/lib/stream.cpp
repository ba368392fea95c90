/*
 * stream.cpp - frame reassembly, the H.264 file recorder and the stream
 * client over TCP, UDP and multicast.
 */
#include "stream.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "errors.h"
#include "netserver/records.h"
#include "netserver/wire.h"
#include "session.h"

namespace recnet {

namespace {

using wire::FRAGMENT_HEADER_SIZE;
using wire::FRAGMENT_PAYLOAD_MAX;
using wire::FRAGMENT_SIZE_MAX;
using wire::FRAME_HEADER_SIZE;

// A rising sequence that jumps further than this is a new run (another
// channel, a restarted source), not a loss.
constexpr uint32_t SEQUENCE_GAP_MAX = 1000;

// TCP receive buffer: large blocks, few system calls.
constexpr size_t TCP_BUFFER_SIZE = 1 << 20;
// The largest wait threshold on the data connection: the kernel makes the
// receive buffer this large at least.
constexpr size_t WAKE_THRESHOLD_MAX = 256 << 10;

// Payload bytes of fragment `index` of a frame of `total` bytes (header included).
uint32_t payloadOf(uint32_t total, uint32_t index) {
    uint64_t start = static_cast<uint64_t>(index) * FRAGMENT_PAYLOAD_MAX;
    return static_cast<uint32_t>(std::min<uint64_t>(FRAGMENT_PAYLOAD_MAX, total - start));
}

int msOf(Duration d) {
    if (d.count() <= 0) return 0;
    return static_cast<int>(std::min<long long>(d.count(), 1000 * 1000 * 1000));
}

// The local and the remote IPv4 address of a connected socket.
sockaddr_in localOf(int fd) {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        throw Error(Error::Kind::Connect, std::string("getsockname: ") + std::strerror(errno));
    }
    return a;
}

// The socket address in its 16-byte wire form at `off`.
void putSockaddr(uint8_t* buf, size_t off, const sockaddr_in& a) {
    wire::AddressV4 w;
    w.port = ntohs(a.sin_port);
    w.address = ntohl(a.sin_addr.s_addr);
    wire::putAddressV4(buf, off, w);
}

Fd udpSocket() {
    Fd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd.valid()) {
        throw Error(Error::Kind::Connect, std::string("cannot open a UDP socket: ") +
                                              std::strerror(errno));
    }
    // Room for bursts of a large frame: the device does not pace its datagrams.
    int size = 8 << 20;
    ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    return fd;
}

void bindOrThrow(int fd, const sockaddr_in& a, const std::string& what) {
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) {
        throw Error(Error::Kind::Connect, "cannot bind " + what + ": " + std::strerror(errno));
    }
}

void expectAnswer(const Message& m, uint16_t type, const char* what) {
    if (m.header.type != type || m.header.status != wire::STATUS_OK) {
        throw Error(Error::Kind::Protocol,
                    std::string(what) + " refused (type " + std::to_string(m.header.type) +
                        ", status " + std::to_string(m.header.status) + ")");
    }
}

}  // namespace

/* ---- FrameAssembler ------------------------------------------------------ */

FrameAssembler::FrameAssembler(FrameSink sink) : sink_(std::move(sink)) {}

void FrameAssembler::dropCurrent() {
    if (building_) {
        ++stats_.lost;
        lossPending_ = true;
    }
    building_ = false;
    skipping_ = true;  // the rest of this sequence is of no use
}

void FrameAssembler::noteSequence(uint32_t seq) {
    lastSeq_ = seq;
    haveLast_ = true;
}

size_t FrameAssembler::bytesToComplete() const noexcept {
    if (!building_) return 0;
    const size_t total = static_cast<size_t>(dataLength_) + FRAME_HEADER_SIZE;
    const size_t received = static_cast<size_t>(next_) * FRAGMENT_PAYLOAD_MAX;
    return total - received + static_cast<size_t>(count_ - next_) * FRAGMENT_HEADER_SIZE;
}

bool FrameAssembler::feed(const uint8_t* p, size_t size) {
    if (size < FRAGMENT_HEADER_SIZE) {
        ++stats_.badFragments;
        return false;
    }
    const wire::FragmentHeader h = wire::decodeFragmentHeader(p);
    const uint32_t seq = h.sequence;
    const uint32_t dataLength = h.dataLength;
    const uint32_t payload = h.payloadLength;
    const uint8_t index8 = h.index;
    const uint8_t type = h.type;
    const uint64_t total64 = static_cast<uint64_t>(dataLength) + FRAME_HEADER_SIZE;
    const uint32_t count = wire::fragmentCount(dataLength);
    // Checks that need no context: a fragment failing them cannot be placed.
    if (payload == 0 || payload > FRAGMENT_PAYLOAD_MAX || size != FRAGMENT_HEADER_SIZE + payload ||
        total64 > wire::FRAME_TOTAL_MAX || h.count != static_cast<uint8_t>(count)) {
        ++stats_.badFragments;
        if ((building_ || skipping_) && seq == seq_) dropCurrent();
        return false;
    }
    const uint32_t total = static_cast<uint32_t>(total64);
    const uint8_t* body = p + FRAGMENT_HEADER_SIZE;

    if ((building_ || skipping_) && seq == seq_) {
        ++stats_.fragments;
        if (skipping_) return true;
        if (index8 != static_cast<uint8_t>(next_)) {  // a fragment went missing
            dropCurrent();
            return true;
        }
        if (dataLength != dataLength_ || type != type_ || payload != payloadOf(total, next_)) {
            --stats_.fragments;
            ++stats_.badFragments;
            dropCurrent();
            return false;
        }
        std::memcpy(frame_.data() + static_cast<size_t>(next_) * FRAGMENT_PAYLOAD_MAX, body, payload);
        ++next_;
    } else {
        // A new frame begins; an unfinished one is lost.
        if (building_) dropCurrent();
        building_ = false;
        skipping_ = false;
        seq_ = seq;
        if (index8 != 0) {  // its beginning is gone
            ++stats_.fragments;
            ++stats_.lost;
            lossPending_ = true;
            skipping_ = true;
            noteSequence(seq);
            return true;
        }
        if (payload != payloadOf(total, 0)) {
            ++stats_.badFragments;
            skipping_ = true;
            return false;
        }
        ++stats_.fragments;
        // Frames a rising sequence skipped never arrived. Only within one
        // channel: a tour's next channel has numbers of its own.
        const int channel = body[wire::FRAME_CHANNEL];
        if (haveLast_ && channel == lastChannel_ && seq > lastSeq_ &&
            seq - lastSeq_ <= SEQUENCE_GAP_MAX && seq - lastSeq_ > 1) {
            stats_.lost += seq - lastSeq_ - 1;
            lossPending_ = true;
        }
        lastChannel_ = channel;
        noteSequence(seq);
        if (frame_.size() < total) frame_.resize(total);
        std::memcpy(frame_.data(), body, payload);
        building_ = true;
        dataLength_ = dataLength;
        count_ = count;
        type_ = type;
        next_ = 1;
    }

    if (next_ == count_) {
        FrameView v;
        v.sequence = seq_;
        v.type = type_;
        v.header = frame_.data();
        v.data = frame_.data() + FRAME_HEADER_SIZE;
        v.dataLength = dataLength_;
        v.afterLoss = lossPending_;
        lossPending_ = false;
        building_ = false;
        skipping_ = true;  // a repeated fragment of this frame is ignored
        ++stats_.frames;
        if (sink_) sink_(v);
    }
    return true;
}

/* ---- AnnexBRecorder ------------------------------------------------------ */

AnnexBRecorder::AnnexBRecorder(const std::string& path) : path_(path) {
    file_ = std::fopen(path.c_str(), "wb");
    if (!file_) throw std::runtime_error("cannot create " + path + ": " + std::strerror(errno));
}

AnnexBRecorder::~AnnexBRecorder() {
    if (file_) std::fclose(file_);
}

void AnnexBRecorder::write(const FrameView& frame) {
    if (!file_) return;
    const int channel = frame.header[wire::FRAME_CHANNEL];
    if (channel != channel_ || frame.afterLoss) synced_ = false;
    channel_ = channel;
    if (!synced_) {
        if (frame.type != wire::FRAME_TYPE_KEY) {
            ++stats_.skipped;
            return;
        }
        synced_ = true;
    }
    if (frame.dataLength > 0 &&
        std::fwrite(frame.data, 1, frame.dataLength, file_) != frame.dataLength) {
        throw std::runtime_error("cannot write " + path_ + ": " + std::strerror(errno));
    }
    ++stats_.frames;
    stats_.bytes += frame.dataLength;
}

void AnnexBRecorder::close() {
    if (!file_) return;
    std::FILE* f = file_;
    file_ = nullptr;
    if (std::fclose(f) != 0) {
        throw std::runtime_error("cannot write " + path_ + ": " + std::strerror(errno));
    }
}

/* ---- multicast group ----------------------------------------------------- */

const char* transportName(Transport t) {
    switch (t) {
        case Transport::Tcp: return "tcp";
        case Transport::Udp: return "udp";
        case Transport::Multicast: return "multicast";
    }
    return "?";
}

MulticastGroup multicastGroup(const std::string& groupBase, uint16_t basePort, int32_t channel,
                              uint8_t kind) {
    in_addr a{};
    if (::inet_pton(AF_INET, groupBase.c_str(), &a) != 1) {
        throw std::invalid_argument("'" + groupBase + "' is not an IPv4 address");
    }
    uint8_t b[4];
    std::memcpy(b, &a.s_addr, 4);
    b[3] = static_cast<uint8_t>(kind * 16 + channel);
    char text[INET_ADDRSTRLEN];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
    MulticastGroup g;
    g.address = text;
    g.port = static_cast<uint16_t>(static_cast<uint32_t>(basePort) - 1u -
                                   static_cast<uint32_t>(channel) - 16u * kind);
    return g;
}

/* ---- StreamClient -------------------------------------------------------- */

StreamClient::StreamClient(const StreamOptions& options) : opt_(options) {
    conn_.connect(opt_.host, opt_.port, opt_.timeout);
    std::optional<uint32_t> id = login(conn_, opt_.user, opt_.password, opt_.timeout);
    if (!id && opt_.transport == Transport::Tcp) {
        throw Error(Error::Kind::Protocol,
                    "the server assigned no session id, which the data connection needs");
    }
    sessionId_ = id.value_or(0);
    keepAlive_ = std::make_unique<KeepAlive>(conn_);

    if (opt_.tourMask) {
        std::vector<uint8_t> poll(16, 0);
        wire::putI32(poll.data(), wire::POLL_CHANNEL, opt_.channel);
        wire::putU32(poll.data(), wire::POLL_ENABLED, 1);
        wire::putI32(poll.data(), wire::POLL_DWELL, opt_.tourDwell);
        wire::putU32(poll.data(), wire::POLL_MASK, *opt_.tourMask);
        conn_.sendMessage(wire::MSG_SET_POLL_CONFIG, 0, poll);
        expectAnswer(conn_.readMessage(opt_.timeout), wire::MSG_SET_POLL_CONFIG,
                     "the channel tour setting");
    }
    switch (opt_.transport) {
        case Transport::Tcp: startTcp(); break;
        case Transport::Udp: startUdp(); break;
        case Transport::Multicast: startMulticast(); break;
    }
}

StreamClient::~StreamClient() { stop(); }

void StreamClient::startTcp() {
    std::vector<uint8_t> req(wire::START_REQUEST_SIZE, 0);
    wire::putI32(req.data(), wire::START_CHANNEL, opt_.channel);
    wire::putU32(req.data(), wire::START_TRANSPORT, wire::TRANSPORT_TCP);
    wire::putU8(req.data(), wire::START_KIND, opt_.kind);
    conn_.sendMessage(wire::MSG_START_STREAM, 0, req);
    expectAnswer(conn_.readMessage(opt_.timeout), wire::MSG_START_STREAM, "the stream start");

    // The data connection: bind it to the session, then subscribe the channel.
    const uint16_t dataPort = static_cast<uint16_t>(opt_.port + wire::DATA_PORT_OFFSET);
    dataConn_.connect(opt_.host, dataPort, opt_.timeout);
    std::vector<uint8_t> id(wire::DATA_SESSION_ID_SIZE);
    wire::putU32(id.data(), wire::DATA_SESSION_ID, sessionId_);
    dataConn_.sendMessage(0, 0, id);
    Message bound = dataConn_.readMessage(opt_.timeout);
    if (bound.header.length != 0 || bound.header.status != wire::STATUS_OK) {
        throw Error(Error::Kind::Protocol, "unexpected answer to the data connection's session id");
    }
    std::vector<uint8_t> sub(wire::SUBSCRIBE_SIZE, 0);
    wire::putI32(sub.data(), wire::SUBSCRIBE_CHANNEL, opt_.channel);
    wire::putU8(sub.data(), wire::SUBSCRIBE_KIND, opt_.kind);
    dataConn_.sendMessage(0, 0, sub);
    Message subscribed;
    try {
        subscribed = dataConn_.readMessage(opt_.timeout);
    } catch (const Error& e) {
        if (e.kind() == Error::Kind::Closed) {
            throw Error(Error::Kind::Protocol, "the server closed the data connection: session " +
                                                   std::to_string(sessionId_) + " not accepted");
        }
        throw;
    }
    if (subscribed.header.length != 8 || subscribed.payload != sub) {
        throw Error(Error::Kind::Protocol, "unexpected answer to the channel subscription");
    }
    buf_.resize(TCP_BUFFER_SIZE);
}

void StreamClient::setWakeThreshold(const FrameAssembler& assembler) {
    // Nothing can be done with part of a frame, so the wait ends when the
    // frame in progress can be complete: one wake-up per frame instead of one
    // per segment, which leaves the processor to the sender. Between frames
    // any byte wakes us, so no frame is ever delayed. If the server cuts a
    // frame short, the next frames' bytes count towards the threshold.
    const size_t missing = assembler.bytesToComplete();
    const size_t buffered = tail_ - head_;
    const int want = missing > buffered
                         ? static_cast<int>(std::min(missing - buffered, WAKE_THRESHOLD_MAX))
                         : 1;
    if (want == wakeThreshold_) return;
    if (::setsockopt(dataConn_.nativeHandle(), SOL_SOCKET, SO_RCVLOWAT, &want, sizeof want) == 0)
        wakeThreshold_ = want;
}

void StreamClient::startUdp() {
    // Datagrams come to the address by which the server knows this host.
    sockaddr_in local = localOf(conn_.nativeHandle());
    local.sin_port = 0;
    udp_ = udpSocket();
    bindOrThrow(udp_.get(), local, "the UDP socket");
    sockaddr_in bound = localOf(udp_.get());

    std::vector<uint8_t> req(wire::START_REQUEST_SIZE, 0);
    wire::putI32(req.data(), wire::START_CHANNEL, opt_.channel);
    wire::putU32(req.data(), wire::START_TRANSPORT, wire::TRANSPORT_UDP);
    putSockaddr(req.data(), wire::START_DESTINATION, bound);
    wire::putU8(req.data(), wire::START_KIND, opt_.kind);
    conn_.sendMessage(wire::MSG_START_STREAM, 0, req);
    expectAnswer(conn_.readMessage(opt_.timeout), wire::MSG_START_STREAM, "the stream start");
}

void StreamClient::startMulticast() {
    MulticastGroup g;
    try {
        g = multicastGroup(opt_.groupBase, opt_.port, opt_.channel, opt_.kind);
    } catch (const std::invalid_argument& e) {
        throw Error(Error::Kind::Protocol, std::string("multicast group base ") + e.what());
    }
    udp_ = udpSocket();
    int one = 1;
    ::setsockopt(udp_.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(g.port);
    ::inet_pton(AF_INET, g.address.c_str(), &a.sin_addr);
    bindOrThrow(udp_.get(), a, "the multicast group " + g.address + ":" + std::to_string(g.port));
    // Joined on the interface that reaches the device, before the start, so
    // that the first datagrams are not missed.
    ip_mreq m{};
    m.imr_multiaddr = a.sin_addr;
    m.imr_interface = localOf(conn_.nativeHandle()).sin_addr;
    if (::setsockopt(udp_.get(), IPPROTO_IP, IP_ADD_MEMBERSHIP, &m, sizeof m) != 0) {
        throw Error(Error::Kind::Connect, "cannot join the multicast group " + g.address + ": " +
                                              std::strerror(errno));
    }
    std::vector<uint8_t> req(wire::START_REQUEST_SIZE, 0);
    wire::putI32(req.data(), wire::START_CHANNEL, opt_.channel);
    wire::putU32(req.data(), wire::START_TRANSPORT, wire::TRANSPORT_MULTICAST);
    wire::putU8(req.data(), wire::START_KIND, opt_.kind);
    conn_.sendMessage(wire::MSG_START_STREAM, 0, req);  // never answered
}

bool StreamClient::receive(Duration wait, FrameAssembler& assembler) {
    if (stopped_) return false;
    if (keepAlive_ && keepAlive_->failed()) return false;
    return opt_.transport == Transport::Tcp ? receiveTcp(wait, assembler)
                                            : receiveDatagrams(wait, assembler);
}

bool StreamClient::commandConnectionAlive() {
    // The server sends nothing unasked while we stream; readable means closed
    // (or an unexpected message, which is read and ignored).
    try {
        conn_.tryReadMessage(Duration(0));
        return true;
    } catch (const Error& e) {
        return e.kind() == Error::Kind::Timeout || e.kind() == Error::Kind::Protocol;
    }
}

StreamClient::WaitResult StreamClient::waitReadable(int fd, Duration wait) {
    pollfd p[2] = {{fd, POLLIN, 0}, {conn_.nativeHandle(), POLLIN, 0}};
    const int n = ::poll(p, 2, msOf(wait));
    if (n < 0) return errno == EINTR ? WaitResult::Nothing : WaitResult::Ended;
    if (n == 0) return WaitResult::Nothing;
    if (p[1].revents != 0 && !commandConnectionAlive()) return WaitResult::Ended;
    return p[0].revents != 0 ? WaitResult::Readable : WaitResult::Nothing;
}

bool StreamClient::receiveTcp(Duration wait, FrameAssembler& assembler) {
    // Read first and wait only when nothing is there: while video flows, a
    // poll before every read would double the system calls.
    bool waited = false;
    for (int reads = 0; reads < 64; ++reads) {
        if (head_ > 0 && buf_.size() - tail_ < FRAGMENT_SIZE_MAX) {
            std::memmove(buf_.data(), buf_.data() + head_, tail_ - head_);
            tail_ -= head_;
            head_ = 0;
        }
        const size_t room = buf_.size() - tail_;
        ssize_t got = ::recv(dataConn_.nativeHandle(), buf_.data() + tail_, room, MSG_DONTWAIT);
        if (got == 0) return false;
        if (got < 0) {
            if (errno == EINTR) continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK) return false;
            if (waited || reads > 0) return true;
            setWakeThreshold(assembler);
            const WaitResult r = waitReadable(dataConn_.nativeHandle(), wait);
            if (r != WaitResult::Readable) return r == WaitResult::Nothing;
            waited = true;
            continue;
        }
        tail_ += static_cast<size_t>(got);
        while (tail_ - head_ >= FRAGMENT_HEADER_SIZE) {
            const uint8_t* f = buf_.data() + head_;
            uint32_t payload = wire::getU32(f, wire::FRAGMENT_PAYLOAD_LENGTH);
            if (payload == 0 || payload > FRAGMENT_PAYLOAD_MAX) {
                throw Error(Error::Kind::Protocol,
                            "bad fragment on the data connection: payload length " +
                                std::to_string(payload));
            }
            size_t size = FRAGMENT_HEADER_SIZE + payload;
            if (tail_ - head_ < size) break;
            assembler.feed(f, size);
            head_ += size;
        }
        if (head_ == tail_) head_ = tail_ = 0;
        // A read that did not fill the room took everything there was.
        if (static_cast<size_t>(got) < room) return true;
    }
    return true;
}

bool StreamClient::receiveDatagrams(Duration wait, FrameAssembler& assembler) {
    const WaitResult r = waitReadable(udp_.get(), wait);
    if (r != WaitResult::Readable) return r == WaitResult::Nothing;
    uint8_t d[FRAGMENT_SIZE_MAX + 64];
    for (int i = 0; i < 4096; ++i) {
        ssize_t got = ::recv(udp_.get(), d, sizeof d, MSG_DONTWAIT);
        if (got < 0) {
            if (errno == EINTR) continue;
            return true;  // EAGAIN: drained; other errors show again at the next call
        }
        assembler.feed(d, static_cast<size_t>(got));
    }
    return true;
}

void StreamClient::stop() noexcept {
    if (stopped_) return;
    stopped_ = true;
    try {
        if (keepAlive_) keepAlive_->stop();
        std::vector<uint8_t> ch(wire::STOP_REQUEST_SIZE);
        wire::putI32(ch.data(), wire::STOP_CHANNEL, opt_.channel);
        conn_.sendMessage(wire::MSG_STOP_STREAM, 0, ch);  // never answered
        dataConn_.shutdown();
        logout(conn_, std::min<Duration>(opt_.timeout, Duration(2000)));
    } catch (const std::exception&) {
        // Best effort: the server ends the session when the connection closes.
    }
    keepAlive_.reset();
}

}  // namespace recnet
