/*
 * soak_load.h - the load the soak run puts on the device: idle logged-in
 * sessions kept alive, sessions streaming live video, and connection churn.
 * Each owns its threads and joins them when destroyed.
 */
#pragma once

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "connection.h"
#include "netserver/wire.h"
#include "session.h"
#include "soak_support.h"
#include "stream.h"

namespace soak {

/* ---- idle sessions ----------------------------------------------------------- */

/* Logged-in sessions that stay idle. OPEN_IN_FLIGHT opener threads log them
 * in through the client library; one keeper thread polls all of them, sends
 * each a keep-alive every KEEPALIVE_MS (spread over the interval) and counts
 * and drops whatever arrives. */
class IdleSessions {
public:
    IdleSessions(uint16_t port, int target, Failures& failures)
        : port_(port), target_(target), failures_(failures), start_(Clock::now()) {
        for (int i = 0; i < OPEN_IN_FLIGHT; ++i) openers_.emplace_back([this] { openSessions(); });
        keeper_ = std::thread([this] { keep(); });
    }
    ~IdleSessions() {
        stop_.store(true);
        for (auto& t : openers_) t.join();
        keeper_.join();
    }
    int open() const { return open_.load(); }
    /* Sessions whose opening has ended, one way or the other. */
    int settled() const { return settled_.load(); }
    int dropped() const { return dropped_.load(); }
    uint64_t keepalives() const { return keepalives_.load(); }
    uint64_t unexpectedBytes() const { return unexpectedBytes_.load(); }
    double openSeconds() const { return openSeconds_.load(); }

private:
    struct Idle {
        std::unique_ptr<recnet::Connection> conn;
        Clock::time_point nextKeepalive;
    };

    /* An opener: logs in sessions until all are claimed or the time is over. */
    void openSessions() {
        const auto deadline = start_ + std::chrono::seconds(OPEN_LIMIT_S);
        while (!stop_.load() && !g_interrupted.load() && next_.fetch_add(1) < target_) {
            try {
                if (Clock::now() >= deadline) throw std::runtime_error("opening time over");
                auto conn = std::make_unique<recnet::Connection>();
                conn->connect("127.0.0.1", port_, milliseconds(5000));
                recnet::login(*conn, "admin", "admin", milliseconds(LOGIN_TIMEOUT_MS));
                std::lock_guard<std::mutex> lock(mutex_);
                fresh_.push_back(std::move(conn));
                open_.fetch_add(1);
            } catch (const std::exception& e) {
                failures_.add("idle open", e.what());
            }
            if (settled_.fetch_add(1) + 1 == target_) openSeconds_.store(secondsSince(start_));
        }
    }

    void drop(Idle& s, const std::string& detail) {
        s.conn.reset();
        open_.fetch_sub(1);
        dropped_.fetch_add(1);
        failures_.add("idle session closed", detail);
    }

    /* Reads and counts what arrived; drops the session on EOF or an error. */
    void drain(Idle& s) {
        uint8_t buf[4096];
        for (int i = 0; i < 64; ++i) {
            ssize_t n = ::recv(s.conn->nativeHandle(), buf, sizeof buf, MSG_DONTWAIT);
            if (n > 0) {
                unexpectedBytes_.fetch_add(static_cast<uint64_t>(n));
            } else {
                if (n == 0) drop(s, "EOF on a logged-in idle session");
                else if (errno != EAGAIN && errno != EWOULDBLOCK) drop(s, std::strerror(errno));
                return;
            }
        }
    }

    void keep() {
        const std::vector<uint8_t> keepalive = rawHeader(wire::MSG_KEEPALIVE, 0);
        std::vector<Idle> sessions;
        std::vector<pollfd> fds;
        auto gone = [](const Idle& s) { return !s.conn; };
        while (!stop_.load() && !g_interrupted.load()) {
            {
                std::lock_guard<std::mutex> lock(mutex_);
                for (auto& c : fresh_)
                    sessions.push_back({std::move(c), Clock::now() + milliseconds(rng_() % KEEPALIVE_MS)});
                fresh_.clear();
            }
            const auto now = Clock::now();
            for (auto& s : sessions) {
                if (now < s.nextKeepalive) continue;
                s.nextKeepalive += milliseconds(KEEPALIVE_MS);
                // 16 bytes into a send buffer that is otherwise empty: all or nothing.
                ssize_t n = ::send(s.conn->nativeHandle(), keepalive.data(), keepalive.size(),
                                   MSG_NOSIGNAL | MSG_DONTWAIT);
                if (n == static_cast<ssize_t>(keepalive.size())) keepalives_.fetch_add(1);
                else drop(s, n < 0 ? std::strerror(errno) : "keep-alive sent in part");
            }
            sessions.erase(std::remove_if(sessions.begin(), sessions.end(), gone), sessions.end());
            fds.clear();
            for (const auto& s : sessions) fds.push_back({s.conn->nativeHandle(), POLLIN, 0});
            if (::poll(fds.data(), fds.size(), 50) <= 0) continue;
            for (size_t k = 0; k < fds.size(); ++k)
                if (fds[k].revents != 0) drain(sessions[k]);
            sessions.erase(std::remove_if(sessions.begin(), sessions.end(), gone), sessions.end());
        }
    }

    const uint16_t port_;
    const int target_;
    Failures& failures_;
    const Clock::time_point start_;
    std::mutex mutex_;
    std::vector<std::unique_ptr<recnet::Connection>> fresh_;  // logged in, not yet kept; under mutex_
    std::minstd_rand rng_{12345};                             // keeper only
    std::atomic<int> next_{0}, open_{0}, settled_{0}, dropped_{0};
    std::atomic<uint64_t> keepalives_{0}, unexpectedBytes_{0};
    std::atomic<double> openSeconds_{0};
    std::atomic<bool> stop_{false};
    std::vector<std::thread> openers_;
    std::thread keeper_;
};

/* ---- streaming sessions ---------------------------------------------------- */

class Streams {
public:
    Streams(uint16_t port, int count, int channels, Failures& failures) : failures_(failures) {
        // One login at a time: each takes the device's password hash.
        for (int i = 0; i < count; ++i) ready_.push_back(std::make_unique<std::atomic<int>>(0));
        for (int i = 0; i < count && !g_interrupted.load(); ++i) {
            std::atomic<int>& ready = *ready_[static_cast<size_t>(i)];
            threads_.emplace_back([this, port, i, channels, &ready] { run(port, i % channels, ready); });
            auto deadline = Clock::now() + milliseconds(LOGIN_TIMEOUT_MS + 5000);
            while (ready.load() == 0 && Clock::now() < deadline) std::this_thread::sleep_for(milliseconds(10));
            // Should `ready` never be set, the thread is left to fail on its
            // own time-outs.
            if (ready.load() == 0) {
                stop_.store(true);  // a device that stalls this long: stop trying
                break;
            }
        }
    }
    ~Streams() {
        stop_.store(true);
        for (auto& t : threads_) t.join();
    }
    int alive() const { return alive_.load(); }
    uint64_t frames() const { return frames_.load(); }
    uint64_t lost() const { return lost_.load(); }

private:
    void run(uint16_t port, int channel, std::atomic<int>& ready) {
        bool signalled = false;
        try {
            recnet::StreamOptions o;
            o.port = port;
            o.channel = channel;
            o.timeout = milliseconds(LOGIN_TIMEOUT_MS);
            recnet::StreamClient client(o);
            alive_.fetch_add(1);
            ready.store(1);
            signalled = true;
            uint64_t counted = 0, lostCounted = 0;
            recnet::FrameAssembler assembler([](const recnet::FrameView&) {});
            bool ended = false;
            while (!stop_.load() && !g_interrupted.load()) {
                if (!client.receive(milliseconds(100), assembler)) {
                    ended = true;
                    break;
                }
                frames_.fetch_add(assembler.stats().frames - counted);
                lost_.fetch_add(assembler.stats().lost - lostCounted);
                counted = assembler.stats().frames;
                lostCounted = assembler.stats().lost;
            }
            alive_.fetch_sub(1);
            if (ended) failures_.add("stream ended", "channel " + std::to_string(channel));
        } catch (const std::exception& e) {
            if (signalled)
                alive_.fetch_sub(1);
            else
                ready.store(1);
            failures_.add("stream failed", e.what());
        }
    }

    Failures& failures_;
    std::vector<std::unique_ptr<std::atomic<int>>> ready_;  // per stream: it has started or failed
    std::vector<std::thread> threads_;
    std::atomic<bool> stop_{false};
    std::atomic<int> alive_{0};
    std::atomic<uint64_t> frames_{0}, lost_{0};
};

/* ---- churn ------------------------------------------------------------------ */

struct ChurnCounters {
    std::atomic<uint64_t> connections{0};  // command and data connections opened
    std::atomic<uint64_t> commands{0}, streams{0}, halfHeaders{0}, shortPayloads{0};
};

class Churn {
public:
    Churn(uint16_t port, int workers, int channels, double seconds, Failures& failures)
        : port_(port), channels_(channels), failures_(failures) {
        end_ = Clock::now() + milliseconds(static_cast<long>(seconds * 1000));
        for (int i = 0; i < workers; ++i) threads_.emplace_back([this, i] { run(i); });
    }
    ~Churn() { join(); }
    void join() {
        for (auto& t : threads_)
            if (t.joinable()) t.join();
    }
    ChurnCounters counters;

private:
    /* A connection that is dropped in the middle of a message. */
    void dropMidMessage(std::minstd_rand& rng, bool promisePayload) {
        recnet::Connection conn;
        conn.connect("127.0.0.1", port_, milliseconds(5000));
        counters.connections.fetch_add(1);
        if (rng() % 2) recnet::login(conn, "admin", "admin", milliseconds(LOGIN_TIMEOUT_MS));
        std::vector<uint8_t> bytes;
        if (promisePayload) {
            // A header that promises a payload, then only part of it.
            uint16_t type = rng() % 2 ? wire::MSG_LOGIN : wire::MSG_ECHO;
            bytes = rawHeader(type, wire::LOGIN_REQUEST_SIZE);
            bytes.resize(wire::HEADER_SIZE + 1 + rng() % 40, 0);
            counters.shortPayloads.fetch_add(1);
        } else {
            bytes = rawHeader(wire::MSG_ECHO, 0);
            bytes.resize(1 + rng() % (wire::HEADER_SIZE - 1));
            counters.halfHeaders.fetch_add(1);
        }
        if (::send(conn.nativeHandle(), bytes.data(), bytes.size(), MSG_NOSIGNAL) !=
            static_cast<ssize_t>(bytes.size()))
            throw std::runtime_error("partial message not sent");
        // Closing is the point; the destructor closes.
    }

    void command(std::minstd_rand& rng) {
        recnet::Connection conn;
        conn.connect("127.0.0.1", port_, milliseconds(5000));
        counters.connections.fetch_add(1);
        recnet::login(conn, "admin", "admin", milliseconds(LOGIN_TIMEOUT_MS));
        if (rng() % 2) {
            recnet::echo(conn, milliseconds(5000));
        } else {
            recnet::RawRequest req;
            req.type = MSG_GET_TIME;
            auto answer = recnet::rawRequest(conn, req, milliseconds(5000));
            if (!answer) throw std::runtime_error("get-time: no answer");
            if (answer->header.type != MSG_GET_TIME || answer->header.status != wire::STATUS_OK)
                throw std::runtime_error("get-time: unexpected answer");
        }
        counters.commands.fetch_add(1);
        if (rng() % 2) recnet::logout(conn, milliseconds(5000));
    }

    void briefStream(std::minstd_rand& rng) {
        recnet::StreamOptions o;
        o.port = port_;
        o.channel = static_cast<int32_t>(rng() % static_cast<unsigned>(channels_));
        o.timeout = milliseconds(LOGIN_TIMEOUT_MS);
        recnet::StreamClient client(o);
        counters.connections.fetch_add(2);
        recnet::FrameAssembler assembler([](const recnet::FrameView&) {});
        auto until = Clock::now() + milliseconds(300 + rng() % 700);
        while (Clock::now() < until && !g_interrupted.load())
            if (!client.receive(milliseconds(50), assembler)) throw std::runtime_error("brief stream ended");
        counters.streams.fetch_add(1);
        if (assembler.stats().frames == 0) failures_.add("brief stream: no frame", "within 0.3..1 s");
        client.stop();
    }

    void run(int index) {
        std::minstd_rand rng(1000u + static_cast<unsigned>(index));
        // Bounded by time and by count.
        for (long i = 0; i < 1000000 && Clock::now() < end_ && !g_interrupted.load(); ++i) {
            unsigned r = rng() % 100;
            const char* what = "churn command";
            try {
                if (r < 60) {
                    command(rng);
                } else if (r < 72) {
                    what = "churn brief stream";
                    briefStream(rng);
                } else if (r < 86) {
                    what = "churn half header";
                    dropMidMessage(rng, false);
                } else {
                    what = "churn short payload";
                    dropMidMessage(rng, true);
                }
            } catch (const std::exception& e) {
                failures_.add(what, e.what());
                sleepMs(200);  // a failing device is not hammered
            }
        }
    }

    uint16_t port_;
    int channels_;
    Failures& failures_;
    Clock::time_point end_;
    std::vector<std::thread> threads_;
};

}  // namespace soak
