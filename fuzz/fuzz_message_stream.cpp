/*
 * fuzz_message_stream - the byte stream of a command connection, as its
 * message thread reads it.
 *
 * The module runs once in process against the fake host. Each input gets a
 * fresh session on a socket pair and its own MessageThread; a feeder writes
 * the client's bytes in pieces whose sizes the input chooses (so that headers
 * and payloads arrive split), a drain reads every answer, and the feeder's
 * shutdown of its write side ends the thread well before its idle limit.
 *
 * Input: byte 0 = number of piece sizes (mod 9), then that many bytes, each a
 * piece size of 1 + value bytes; the rest is the stream.
 *
 * Two rewrites keep a run short and on this host: a partition format (whose
 * answer is followed by a one-second pause; fuzz_dispatcher covers its
 * payload) becomes a format progress query, and the destination of a UDP
 * stream start is pointed at the loopback address.
 */
#include <pthread.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "command/message_thread.h"
#include "core/session.h"
#include "core/thread_registry.h"
#include "fuzz_support.h"
#include "handlers/maintenance_state.h"

namespace {

void keepOnThisHost(std::vector<uint8_t>& s) {
    size_t off = 0;
    while (off + wire::HEADER_SIZE <= s.size()) {
        const uint32_t length = wire::getU32(s.data(), off + wire::HDR_LENGTH);
        if (length > wire::MAX_PAYLOAD) return;  // the module stops reading here
        const uint16_t type = wire::getU16(s.data(), off + wire::HDR_TYPE);
        const size_t payload = off + wire::HEADER_SIZE;
        const size_t end = payload + length;  // may lie past the input
        if (type == wire::MSG_FORMAT_PART)
            wire::putU16(s.data(), off + wire::HDR_TYPE, wire::MSG_GET_FORMAT_PERCENT);
        if (type == wire::MSG_START_STREAM) {
            // Address bytes of the destination: 4..7 of the socket address.
            const size_t addr = payload + wire::START_DESTINATION + 4;
            const uint8_t loopback[4] = {127, 0, 0, 1};
            for (size_t i = 0; i < 4; ++i)
                if (addr + i < end && addr + i < s.size()) s[addr + i] = loopback[i];
        }
        off = end;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::resetHost();
    fuzz::Input in(data, size);
    std::vector<size_t> pieces;
    const unsigned count = in.u8() % 9;
    for (unsigned i = 0; i < count; ++i) pieces.push_back(1u + in.u8());
    std::vector<uint8_t> stream = in.take(in.left());
    keepOnThisHost(stream);

    fuzz::Pair pair;
    CommandSession* session =
        session_create(pair.fd[0], fuzz::loopbackPeer(), NUGetSysConfig(1));
    if (session == nullptr) std::abort();
    pthread_t thread;
    if (g_messageThreads.start(MessageThread, session, MESSAGE_THREAD_STACK, pair.fd[0],
                               &thread) != 0) {
        session_destroy_unlinked(session);
        return 0;
    }
    pair.fd[0] = -1;  // the session's now: its teardown closes it

    fuzz::Drain drain(pair.fd[1]);
    {
        fuzz::Feeder feeder(pair.fd[1], std::move(stream), std::move(pieces));
    }
    // End of the client's bytes ends the thread's read; it tears the session
    // down (closing its end, which ends the drain) and is joined here.
    g_messageThreads.join(thread);
    drain.join();
    fuzz::waitForMaintenanceWorkers();
    return 0;
}
