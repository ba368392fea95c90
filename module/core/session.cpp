/*
 * session.cpp - the command session records and the session list.
 *
 * The list mutex guards the head, every `next` link, the `ending` claims and
 * the stopping mark, and nothing else; it is never held across a socket call
 * or a join.
 */
#include "core/session.h"

#include <unistd.h>

#include <cstdlib>
#include <new>

#include "netserver/host_api.h"

namespace {

struct SessionList {
    std::recursive_mutex mutex;
    CommandSession* head = nullptr;
    bool stopping = false;
    // Ids rise for as long as the module stays loaded, across stop and start.
    // Only the listener assigns them, and one listener runs at a time.
    uint32_t idCounter = 0;
};

SessionList g_list;

/* Runs the destructors and gives the block back; `free` because the host's
 * my_malloc blocks must be releasable with it. */
void releaseRecord(CommandSession* session) {
    session->~CommandSession();
    std::free(session);
}

}  // namespace

CommandSession* session_create(int sock, const sockaddr_in& peer, uint32_t channelCount) {
    void* block = my_malloc(sizeof(CommandSession));
    if (block == nullptr) return nullptr;
    auto* session = new (block) CommandSession();
    session->streams.reset(new (std::nothrow) ChannelStream[channelCount]);
    session->pollConfigs.reset(new (std::nothrow) PollConfig[channelCount]);
    session->mcastJoined.reset(new (std::nothrow) uint8_t[channelCount]());
    if (!session->streams || !session->pollConfigs || !session->mcastJoined) {
        releaseRecord(session);
        return nullptr;
    }
    session->channelCount = channelCount;
    session->workerBusy = 0;
    session->sessionFlag = 1;
    session->auxRun = 1;
    session->running = 0;
    session->sock = sock;
    session->session_id = ++g_list.idCounter;
    session->peer = peer;
    return session;
}

void session_destroy_unlinked(CommandSession* session) {
    releaseRecord(session);
}

bool session_link(CommandSession* session) {
    std::lock_guard<std::recursive_mutex> lock(g_list.mutex);
    if (g_list.stopping) return false;
    session->next = nullptr;
    if (g_list.head == nullptr) {
        g_list.head = session;
    } else {
        CommandSession* last = g_list.head;
        while (last->next != nullptr) last = last->next;
        last->next = session;
    }
    return true;
}

bool session_claim(CommandSession* session, SessionEnding who) {
    std::lock_guard<std::recursive_mutex> lock(g_list.mutex);
    if (session->ending.load() != SESSION_LIVE) return false;
    session->ending = who;
    return true;
}

void session_remove(CommandSession* session) {
    if (session == nullptr) return;
    std::lock_guard<std::recursive_mutex> lock(g_list.mutex);
    if (g_list.head == session) {
        g_list.head = session->next;
    } else {
        CommandSession* prev = g_list.head;
        while (prev != nullptr && prev->next != session) prev = prev->next;
        if (prev == nullptr) return;  // not in the list: leave it alone
        prev->next = session->next;
    }
    releaseRecord(session);
}

std::vector<CommandSession*> session_claim_all_for_stop() {
    std::vector<CommandSession*> claimed;
    std::lock_guard<std::recursive_mutex> lock(g_list.mutex);
    g_list.stopping = true;
    for (CommandSession* s = g_list.head; s != nullptr; s = s->next) {
        if (s->ending.load() == SESSION_LIVE) {
            s->ending = SESSION_ENDED_BY_STOP;
            claimed.push_back(s);
        }
    }
    return claimed;
}

size_t session_count() {
    std::lock_guard<std::recursive_mutex> lock(g_list.mutex);
    size_t n = 0;
    for (CommandSession* s = g_list.head; s != nullptr; s = s->next) ++n;
    return n;
}

bool session_with_live_streams(uint32_t id, const std::function<void(CommandSession*)>& fn) {
    std::unique_lock<std::mutex> streams;
    CommandSession* found = nullptr;
    {
        std::lock_guard<std::recursive_mutex> lock(g_list.mutex);
        for (CommandSession* s = g_list.head; s != nullptr; s = s->next)
            if (s->session_id == id) found = s;  // the last one, as the lookups do
        if (found == nullptr || found->ending.load() != SESSION_LIVE) return false;
        streams = std::unique_lock<std::mutex>(found->streamMutex);
    }
    fn(found);
    return true;
}

CommandSession* session_find_by_id(uint32_t id) {
    std::lock_guard<std::recursive_mutex> lock(g_list.mutex);
    for (CommandSession* s = g_list.head; s != nullptr; s = s->next)
        if (s->session_id == id) return s;
    return nullptr;
}

CommandSession* session_find_by_address(in_addr_t address) {
    std::lock_guard<std::recursive_mutex> lock(g_list.mutex);
    CommandSession* found = nullptr;  // the newest one from that address wins
    for (CommandSession* s = g_list.head; s != nullptr; s = s->next)
        if (s->peer.sin_addr.s_addr == address) found = s;
    return found;
}

bool session_address_may_probe(in_addr_t address) {
    return session_find_by_address(address) != nullptr;
}

int session_write(CommandSession* session, const void* data, size_t length) {
    std::lock_guard<std::mutex> lock(session->sessionMutex);
    int fd = session->sock.load();
    if (fd < 0) return -1;
    return writen(fd, data, static_cast<int>(length)) < 0 ? -1 : 0;
}

int session_write_fd(int fd, const void* data, size_t length) {
    std::unique_lock<std::mutex> writeLock;
    {
        // The session's write lock is taken before the list lock is let go:
        // its teardown closes the socket under that lock before it releases
        // the record, so the record outlives this write.
        std::lock_guard<std::recursive_mutex> lock(g_list.mutex);
        for (CommandSession* s = g_list.head; s != nullptr; s = s->next) {
            if (s->sock.load() == fd) {
                writeLock = std::unique_lock<std::mutex>(s->sessionMutex);
                break;
            }
        }
    }
    return writen(fd, data, static_cast<int>(length)) < 0 ? -1 : 0;
}

void session_close_socket(CommandSession* session) {
    std::lock_guard<std::mutex> lock(session->sessionMutex);
    int fd = session->sock.exchange(-1);
    if (fd >= 0) close(fd);
}

void session_list_reset() {
    std::lock_guard<std::recursive_mutex> lock(g_list.mutex);
    g_list.head = nullptr;
    g_list.stopping = false;
}
