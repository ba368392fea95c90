/*
 * fuzz_data_handshake - the client's bytes on a data connection: the session
 * id message and the channel subscription that TcpSendThread reads before it
 * streams.
 *
 * One session lives for the whole process (id 1: the first record created in
 * this process), linked into the session list so that a handshake can bind
 * to it. Each input is served as an accepted data connection
 * (stream_serve_data_connection) on one end of a socket pair; the feeder
 * writes the input and shuts its write side down, a drain reads the answers.
 * A connection that attached to the session streams (the fake pool has no
 * frames, so nothing is sent) until the run stops its sender, as the
 * session's teardown would.
 */
#include <chrono>
#include <mutex>
#include <thread>

#include "core/session.h"
#include "core/thread_registry.h"
#include "fuzz_support.h"
#include "stream/stream_control.h"

namespace {

CommandSession* g_session = nullptr;

bool anyAttached(CommandSession* s) {
    std::lock_guard<std::mutex> lock(s->streamMutex);
    for (uint32_t c = 0; c < s->channelCount; ++c)
        if (s->streams[c].hasSender) return true;
    return false;
}

void stopSenders(CommandSession* s) { stream_stop_session_senders(s); }

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::startModuleOnce();
    // The command end is never read or written: nothing in a handshake
    // answers on the command connection.
    static fuzz::Pair command;
    g_session = session_create(command.fd[0], fuzz::loopbackPeer(), NUGetSysConfig(1));
    if (g_session == nullptr || !session_link(g_session)) std::abort();
    g_session->running = 1;
    command.fd[0] = -1;  // the session's
    if (g_session->session_id != 1) {
        std::fprintf(stderr, "fuzz_data_handshake: session id %u, the corpus expects 1\n",
                     g_session->session_id);
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::resetHost();
    fuzz::Pair pair;
    fuzz::Drain drain(pair.fd[1]);
    stream_serve_data_connection(pair.fd[0], fuzz::loopbackPeer(40001));
    pair.fd[0] = -1;  // the connection's thread (or its attached entry) owns it
    {
        fuzz::Feeder feeder(pair.fd[1], std::vector<uint8_t>(data, data + size), {});
    }
    // The thread either gives up (closing its end, which ends the drain) or
    // attaches to the session; whichever comes first.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    bool attached = false;
    while (!drain.ended() && std::chrono::steady_clock::now() < deadline) {
        if (anyAttached(g_session)) {
            attached = true;
            break;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    if (attached) stopSenders(g_session);
    drain.join();
    g_dataThreads.reap();
    return 0;
}
