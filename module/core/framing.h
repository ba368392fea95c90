/*
 * framing.h - reading one message off a command connection, and forming
 * replies from requests.
 *
 * The checks are kept apart from the socket (framing_check_header) so that they
 * can be exercised on bytes alone.
 */
#ifndef NETSERVER_COMMAND_FRAMING_H
#define NETSERVER_COMMAND_FRAMING_H

#include <cstddef>
#include <cstdint>

#include "core/session.h"
#include "netserver/wire.h"

enum class FrameResult {
    Ok,          // a whole message is in the buffer
    BadMagic,    // a whole message was read, but its magic is wrong
    TooLong,     // the header announces more than the payload area holds
    Closed,      // the peer closed, a read failed or timed out
};

/* A 102416-byte message buffer for a connection's whole life. clear() zeroes
 * the first page by hand and gives the pages behind it back to the system
 * (they read as zero again) only when something was written there, so that a
 * small message costs a short memset, and an idle connection no buffer memory
 * however large its last message was. Whoever writes past the first page says
 * so with markWritten(); the module's in-place replies (at most the 72-byte
 * colliery answer) stay within it. Thread: its owner's. */
class MessageBuffer {
public:
    MessageBuffer();
    ~MessageBuffer();
    MessageBuffer(const MessageBuffer&) = delete;
    MessageBuffer& operator=(const MessageBuffer&) = delete;

    /* Null when no memory could be had. */
    uint8_t* get() const { return data_; }
    /* Every byte reads as zero afterwards. */
    void clear();
    /* Bytes up to `end` may have been written. */
    void markWritten(size_t end) { beyondFirstPage_ = beyondFirstPage_ || end > page_; }

private:
    uint8_t* data_ = nullptr;
    size_t size_ = 0;
    size_t page_ = 0;
    bool beyondFirstPage_ = false;
};

/* Judges a 16-byte header before its payload is read: TooLong for a length
 * above the payload area, otherwise Ok. The magic is judged after the payload
 * has been read, so that a message with a wrong magic is consumed whole. */
FrameResult framing_check_header(const uint8_t* header);

/* Clears the buffer, then reads one message from `fd` through the host's
 * readn: header, length check, payload, and (when `checkMagic`) the magic.
 * Bytes past the declared length read as zero. */
FrameResult framing_read_message(int fd, MessageBuffer& buffer, bool checkMagic = true);

/* Waits until `fd` is readable, at most `timeoutMs`; a signal does not
 * shorten the wait. False on time-out (errno ETIMEDOUT) or error. */
bool framing_wait_readable(int fd, int timeoutMs);

/* Writes a reply built from the request header in `message`: length and status
 * set, everything else as received, followed by `payloadLength` bytes that the
 * caller has already placed in the buffer's payload area. One write of
 * 16 + payloadLength bytes under the session's write lock. Returns 0 or -1. */
int framing_send_reply(CommandSession* session, uint8_t* message, uint8_t status,
                       uint32_t payloadLength);

#endif
