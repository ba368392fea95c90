/*
 * framing.cpp - message framing on a command connection; see framing.h.
 */
#include "core/framing.h"

#include <poll.h>
#include <sys/mman.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include <unistd.h>

#include "core/counters.h"
#include "netserver/host_api.h"

FrameResult framing_check_header(const uint8_t* header) {
    // Unsigned comparison: a length with the top bit set is just too long.
    if (wire::getU32(header, wire::HDR_LENGTH) > wire::MAX_PAYLOAD) return FrameResult::TooLong;
    return FrameResult::Ok;
}

MessageBuffer::MessageBuffer() {
    page_ = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    size_ = (wire::MESSAGE_BUFFER_SIZE + page_ - 1) / page_ * page_;
    void* p = mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    data_ = p == MAP_FAILED ? nullptr : static_cast<uint8_t*>(p);
}

MessageBuffer::~MessageBuffer() {
    if (data_ != nullptr) munmap(data_, size_);
}

void MessageBuffer::clear() {
    std::memset(data_, 0, page_);
    if (!beyondFirstPage_) return;
    // Private anonymous pages read as zero once given back; if the system
    // refuses, zero them by hand.
    if (madvise(data_ + page_, size_ - page_, MADV_DONTNEED) != 0) std::memset(data_ + page_, 0, size_ - page_);
    beyondFirstPage_ = false;
}

FrameResult framing_read_message(int fd, MessageBuffer& message, bool checkMagic) {
    message.clear();
    uint8_t* buffer = message.get();
    if (readn(fd, buffer, static_cast<int>(wire::HEADER_SIZE)) <= 0) return FrameResult::Closed;
    if (framing_check_header(buffer) != FrameResult::Ok) return FrameResult::TooLong;
    uint32_t length = wire::getU32(buffer, wire::HDR_LENGTH);
    message.markWritten(wire::HEADER_SIZE + length);
    if (length != 0 && readn(fd, buffer + wire::HEADER_SIZE, static_cast<int>(length)) <= 0)
        return FrameResult::Closed;
    if (checkMagic && wire::getU32(buffer, wire::HDR_MAGIC) != wire::MSG_MAGIC)
        return FrameResult::BadMagic;
    return FrameResult::Ok;
}

bool framing_wait_readable(int fd, int timeoutMs) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() < 0) left = std::chrono::milliseconds(0);
        pollfd p{fd, POLLIN, 0};
        int n = poll(&p, 1, static_cast<int>(left.count()));
        if (n > 0) return true;
        if (n == 0) {
            errno = ETIMEDOUT;
            return false;
        }
        if (errno != EINTR) return false;
    }
}

int framing_send_reply(CommandSession* session, uint8_t* message, uint8_t status,
                       uint32_t payloadLength) {
    wire::putU32(message, wire::HDR_LENGTH, payloadLength);
    wire::putU8(message, wire::HDR_STATUS, status);
    counters_command(wire::getU16(message, wire::HDR_TYPE), status);
    return session_write(session, message, wire::HEADER_SIZE + payloadLength);
}
