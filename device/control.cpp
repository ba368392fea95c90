/*
 * control.cpp - the device's control thread.
 */
#include "control.h"

#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>

#include "device_state.h"
#include "netserver/records.h"

namespace {

struct Requests {
    std::mutex mutex;
    std::condition_variable wake;
    bool restart = false;  // guarded by mutex
    bool stop = false;     // guarded by mutex
    std::string why;       // guarded by mutex
};

// Never destroyed, so that no exit path has to order its destruction after
// the module's threads (the firmware writer asks for a restart).
Requests& requests() {
    static Requests* r = new Requests;
    return *r;
}

std::mutex& g_mutex = requests().mutex;
std::condition_variable& g_wake = requests().wake;
bool& g_restart = requests().restart;
bool& g_stop = requests().stop;
std::string& g_why = requests().why;

}  // namespace

void requestServerRestart(const char* why) {
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        g_restart = true;
        g_why = why;
    }
    g_wake.notify_all();
}

void ControlThread::start() {
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        g_stop = false;
    }
    thread_ = std::thread([this] { run(); });
}

void ControlThread::stop() {
    if (!thread_.joinable()) return;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        g_stop = true;
    }
    g_wake.notify_all();
    thread_.join();
}

void ControlThread::run() {
    std::unique_lock<std::mutex> lock(g_mutex);
    for (;;) {
        g_wake.wait(lock, [] { return g_stop || g_restart; });
        if (g_stop) return;
        g_restart = false;
        const std::string why = g_why;
        lock.unlock();
        // The stop ends every session, joining the thread whose callback asked.
        module_.stop();
        deviceLog(wire::LOG_CATEGORY_SYSTEM, "server stopped: " + why);
        if (module_.start() == 0) {
            deviceCountServerStart();
            deviceLog(wire::LOG_CATEGORY_SYSTEM, "server restarted");
        } else {
            deviceLog(wire::LOG_CATEGORY_SYSTEM, "server restart failed");
        }
        lock.lock();
    }
}
