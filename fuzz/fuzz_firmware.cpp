/*
 * fuzz_firmware - a firmware upload as recvUpdateFile receives it: the
 * request's size word, then the chunk stream.
 *
 * Input: u8 flags, u32 size word, then the chunk stream (16-byte chunk
 * headers, length at 8, and their data) that the client sends after the
 * acknowledgement.
 *   flags bit 0: no session (the answers go out through session_write_fd)
 *   flags bit 1: the flash write fails
 *   flags bit 2: another maintenance operation holds the busy flag
 * The fake flash holds 4096 bytes, so an accepted image is small.
 *
 * Time: an upload lets the host's services settle for 60 ms and polls the
 * flash write every 2 s. This program's sleep() and usleep() take
 * milliseconds and microseconds as thousandths, so that a complete upload
 * costs a few milliseconds; the order of events is unchanged.
 */
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <memory>

#include "core/session.h"
#include "fake_host_transfers.h"
#include "fuzz_support.h"
#include "handlers/maintenance_state.h"
#include "transfer/transfer.h"
#include "netserver/records.h"

extern "C" unsigned int sleep(unsigned int seconds) {
    timespec t{0, static_cast<long>(seconds) * 1000000L};
    nanosleep(&t, nullptr);
    return 0;
}

extern "C" int usleep(useconds_t microseconds) {
    timespec t{0, static_cast<long>(microseconds)};  // a thousandth of the wait
    nanosleep(&t, nullptr);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::resetHost();
    fuzz::Input in(data, size);
    const uint8_t flags = in.u8();
    const uint32_t sizeWord = in.u32();
    fake_host::transfers::setFlashSize(4096);
    if (flags & 2) fake_host::transfers::setFlashWrite(std::chrono::milliseconds(0), -1);

    auto request = std::make_unique<NetMessage>();
    std::memset(request->bytes, 0, sizeof request->bytes);
    wire::MessageHeader h;
    h.type = wire::MSG_TIME_INFO;
    h.subtype = records::TRANSFER_FIRMWARE;
    h.length = 4;
    wire::encodeHeader(request->bytes, h);
    wire::putU32(request->bytes, wire::HEADER_SIZE, sizeWord);

    fuzz::Pair pair;
    CommandSession* session =
        (flags & 1) ? nullptr : session_create(pair.fd[0], fuzz::loopbackPeer(), NUGetSysConfig(1));
    const bool holdBusy = (flags & 4) && maintenance_try_acquire();

    fuzz::Drain drain(pair.fd[1]);
    fuzz::Feeder feeder(pair.fd[1], in.take(in.left()), {});
    recvUpdateFile(session, pair.fd[0], *request);
    shutdown(pair.fd[0], SHUT_RDWR);
    feeder.join();
    drain.join();

    if (holdBusy) maintenance_release();
    if (maintenance_busy()) {
        std::fprintf(stderr, "fuzz_firmware: the upload left the busy flag set\n");
        std::abort();
    }
    if (updateImage != nullptr) {
        std::fprintf(stderr, "fuzz_firmware: the upload kept its image\n");
        std::abort();
    }
    if (session != nullptr) session_destroy_unlinked(session);
    return 0;
}
