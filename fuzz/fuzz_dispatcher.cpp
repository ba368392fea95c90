/*
 * fuzz_dispatcher - the payload of every command type, handed straight to
 * DefaultMessageHandler (and MSG_LOGIN to auth_user), as a host or the
 * message thread hands them over: the whole 102416-byte buffer, zero past the
 * payload.
 *
 * Input, up to four messages one after the other on one session:
 *   u8 selector: below 0xf0 picks a known type (index mod count),
 *                otherwise a u16 raw type follows
 *   u16 sub-type, u8 status, u8 flags
 *     flags bit 0: a declared length that is a u32 of the input instead of
 *                  the payload's size (only a direct caller can do that)
 *     flags bit 1: the host's answers fail (writen returns -1)
 *   u16 payload length (cut to what is left and to the payload area),
 *   the payload.
 * The session's socket is one end of a socket pair that a thread drains.
 *
 * A partition format always runs with failing writes: its answer is followed
 * by a one-second pause, which a failed answer skips.
 */
#include <chrono>
#include <cstring>
#include <memory>
#include <thread>

#include "core/session.h"
#include "fuzz_support.h"
#include "handlers/handlers.h"
#include "handlers/maintenance_state.h"

namespace {

constexpr int MESSAGES_PER_INPUT = 4;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::resetHost();
    fuzz::Input in(data, size);
    fuzz::Pair pair;
    CommandSession* session =
        session_create(pair.fd[0], fuzz::loopbackPeer(), NUGetSysConfig(1));
    if (session == nullptr) std::abort();
    fuzz::Drain drain(pair.fd[1]);

    for (int m = 0; m < MESSAGES_PER_INPUT && in.left() > 0; ++m) {
        const uint8_t selector = in.u8();
        const auto& known = fuzz::knownTypes();
        const uint16_t type = selector < 0xf0 ? known[selector % known.size()] : in.u16();
        const uint16_t subtype = in.u16();
        const uint8_t status = in.u8();
        const uint8_t flags = in.u8();
        const uint32_t declaredRaw = (flags & 1) ? in.u32() : 0;
        size_t length = in.u16();
        if (length > in.left()) length = in.left();
        if (length > wire::MAX_PAYLOAD) length = wire::MAX_PAYLOAD;

        // Exactly the buffer's size, so that any read past it is caught.
        auto buffer = std::make_unique<uint8_t[]>(wire::MESSAGE_BUFFER_SIZE);
        std::memset(buffer.get(), 0, wire::MESSAGE_BUFFER_SIZE);
        wire::MessageHeader h;
        h.type = type;
        h.subtype = subtype;
        h.length = (flags & 1) ? declaredRaw : static_cast<uint32_t>(length);
        h.status = status;
        wire::encodeHeader(buffer.get(), h);
        std::vector<uint8_t> payload = in.take(length);
        if (!payload.empty()) std::memcpy(buffer.get() + wire::HEADER_SIZE, payload.data(), payload.size());

        const bool failWrites = (flags & 2) || type == wire::MSG_FORMAT_PART;
        if (failWrites) fake_host::force("writen", -1);
        if (type == wire::MSG_LOGIN)
            auth_user(session, buffer.get());
        else
            DefaultMessageHandler(session, buffer.get());
        if (failWrites) fake_host::unforce("writen");
    }

    // The session's worker and any maintenance worker end before the record.
    session_worker_end(session);
    fuzz::waitForMaintenanceWorkers();
    shutdown(pair.fd[0], SHUT_RDWR);
    drain.join();
    session_destroy_unlinked(session);
    return 0;
}
