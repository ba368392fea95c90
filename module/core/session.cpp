/*
 * session.cpp - the command session records and the session list.
 *
 * The list mutex guards the head, every `next` link, the `ending` claims and
 * the stopping mark, and nothing else; nothing takes it twice, so it is a
 * plain mutex. It is never held across a socket call or a join, and never
 * waits for a session's own locks: a look-up that needs the record
 * afterwards takes a reference (SessionRef) under the list mutex and locks
 * what it needs after letting the list go.
 */
#include "core/session.h"

#include <unistd.h>

#include <cstdlib>
#include <new>

#include "core/counters.h"
#include "core/module_state.h"
#include "netserver/host_api.h"

namespace {

struct SessionList {
    std::mutex mutex;
    CommandSession* head = nullptr;
    bool stopping = false;
    // Ids rise for as long as the module stays loaded, across stop and start.
    // Only the listener assigns them, and one listener runs at a time.
    uint32_t idCounter = 0;
};

SessionList g_list;
std::atomic<uint32_t> g_records{0};

/* Runs the destructors and gives the block back; `free` because the host's
 * my_malloc blocks must be releasable with it. */
void releaseRecord(CommandSession* session) {
    session->~CommandSession();
    std::free(session);
    g_records.fetch_sub(1);
}

/* Drops one reference; the last one releases the record. */
void session_unref(CommandSession* session) {
    if (session->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) releaseRecord(session);
}

/* A new reference to a record found under the list mutex. */
SessionRef session_ref_locked(CommandSession* session) {
    session->refs.fetch_add(1, std::memory_order_relaxed);
    return SessionRef(session);
}

}  // namespace

SessionRef& SessionRef::operator=(SessionRef&& other) noexcept {
    if (this != &other) {
        reset();
        session_ = other.session_;
        other.session_ = nullptr;
    }
    return *this;
}

void SessionRef::reset() {
    if (session_ != nullptr) session_unref(session_);
    session_ = nullptr;
}

CommandSession* session_create(int sock, const sockaddr_in& peer, uint32_t channelCount) {
    void* block = my_malloc(sizeof(CommandSession));
    if (block == nullptr) return nullptr;
    g_records.fetch_add(1);
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
    session->running = 0;
    session->sock = sock;
    session->session_id = ++g_list.idCounter;
    session->peer = peer;
    return session;
}

void session_destroy_unlinked(CommandSession* session) {
    session_unref(session);
}

bool session_link(CommandSession* session) {
    std::lock_guard<std::mutex> lock(g_list.mutex);
    if (g_list.stopping) return false;
    session->next = nullptr;
    if (g_list.head == nullptr) {
        g_list.head = session;
    } else {
        CommandSession* last = g_list.head;
        while (last->next != nullptr) last = last->next;
        last->next = session;
    }
    counters_session_opened();
    return true;
}

bool session_claim(CommandSession* session, SessionEnding who) {
    std::lock_guard<std::mutex> lock(g_list.mutex);
    if (session->ending.load() != SESSION_LIVE) return false;
    session->ending = who;
    return true;
}

void session_remove(CommandSession* session) {
    if (session == nullptr) return;
    {
        std::lock_guard<std::mutex> lock(g_list.mutex);
        if (g_list.head == session) {
            g_list.head = session->next;
        } else {
            CommandSession* prev = g_list.head;
            while (prev != nullptr && prev->next != session) prev = prev->next;
            if (prev == nullptr) return;  // not in the list: leave it alone
            prev->next = session->next;
        }
    }
    counters_session_closed();
    session_unref(session);
}

std::vector<CommandSession*> session_claim_all_for_stop() {
    std::vector<CommandSession*> claimed;
    std::lock_guard<std::mutex> lock(g_list.mutex);
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
    std::lock_guard<std::mutex> lock(g_list.mutex);
    size_t n = 0;
    for (CommandSession* s = g_list.head; s != nullptr; s = s->next) ++n;
    return n;
}

uint32_t session_records() {
    return g_records.load();
}

SessionRef session_ref_by_id(uint32_t id) {
    std::lock_guard<std::mutex> lock(g_list.mutex);
    CommandSession* found = nullptr;
    for (CommandSession* s = g_list.head; s != nullptr; s = s->next)
        if (s->session_id == id) found = s;  // the last one, as every look-up does
    if (found == nullptr || found->ending.load() != SESSION_LIVE) return SessionRef();
    return session_ref_locked(found);
}

bool session_with_live_streams(uint32_t id, const std::function<void(CommandSession*)>& fn) {
    SessionRef ref = session_ref_by_id(id);
    return ref && session_with_live_streams(ref.get(), fn);
}

bool session_with_live_streams(CommandSession* session, const std::function<void(CommandSession*)>& fn) {
    std::lock_guard<std::mutex> streams(session->streamMutex);
    if (session->ending.load() != SESSION_LIVE) return false;
    fn(session);
    return true;
}

SessionRef session_ref_by_address(in_addr_t address) {
    std::lock_guard<std::mutex> lock(g_list.mutex);
    CommandSession* found = nullptr;
    for (CommandSession* s = g_list.head; s != nullptr; s = s->next)
        if (s->peer.sin_addr.s_addr == address) found = s;
    return found != nullptr ? session_ref_locked(found) : SessionRef();
}

SessionRef session_ref_by_socket(int fd) {
    if (fd < 0) return SessionRef();
    std::lock_guard<std::mutex> lock(g_list.mutex);
    for (CommandSession* s = g_list.head; s != nullptr; s = s->next)
        if (s->sock.load() == fd) return session_ref_locked(s);
    return SessionRef();
}

bool session_address_may_probe(in_addr_t address) {
    std::lock_guard<std::mutex> lock(g_list.mutex);
    for (CommandSession* s = g_list.head; s != nullptr; s = s->next)
        if (s->peer.sin_addr.s_addr == address && session_may_command(s)) return true;
    return false;
}

bool session_may_command(const CommandSession* session) {
    return session->loggedIn.load() != 0 || g_module.loginRequired.load() == 0;
}

int session_write(CommandSession* session, const void* data, size_t length) {
    std::lock_guard<std::mutex> lock(session->sessionMutex);
    int fd = session->sock.load();
    if (fd < 0) return -1;
    return writen(fd, data, static_cast<int>(length)) < 0 ? -1 : 0;
}

int session_write_on(CommandSession* session, int fd, const void* data, size_t length) {
    std::lock_guard<std::mutex> lock(session->sessionMutex);
    if (fd < 0 || session->sock.load() != fd) return -1;
    return writen(fd, data, static_cast<int>(length)) < 0 ? -1 : 0;
}

int session_write_fd(int fd, const void* data, size_t length) {
    // The reference is taken under the list lock, the write lock only after
    // it is released: the list lock never waits for a lock held across I/O.
    SessionRef owner = session_ref_by_socket(fd);
    if (owner) return session_write_on(owner.get(), fd, data, length);
    return writen(fd, data, static_cast<int>(length)) < 0 ? -1 : 0;
}

void session_close_socket(CommandSession* session) {
    std::lock_guard<std::mutex> lock(session->sessionMutex);
    int fd = session->sock.exchange(-1);
    if (fd >= 0) close(fd);
}

void session_list_reset() {
    std::lock_guard<std::mutex> lock(g_list.mutex);
    g_list.head = nullptr;
    g_list.stopping = false;
}
