/*
 * module_loader.cpp - loading libnetserver.so and calling its exports.
 */
#include "module_loader.h"

#include <dlfcn.h>

#include <atomic>
#include <filesystem>
#include <system_error>

namespace {

using SessionWriteFn = int (*)(CommandSession*, const void*, uint32_t);
using SessionIdFn = uint32_t (*)(const CommandSession*);

// The host functions call these from the module's threads; they are set before
// the server starts and cleared only after it has stopped.
std::atomic<SessionWriteFn> g_sessionWrite{nullptr};
std::atomic<SessionIdFn> g_sessionId{nullptr};

// Looks up `name`; on failure fills `error` and returns null.
void* lookup(void* handle, const std::string& path, const char* name, std::string& error) {
    dlerror();
    void* symbol = dlsym(handle, name);
    if (symbol == nullptr) {
        const char* reason = dlerror();
        error = "module " + path + " does not export " + name +
                (reason != nullptr ? std::string(": ") + reason : std::string());
    }
    return symbol;
}

}  // namespace

NetServerModule::~NetServerModule() { unload(); }

bool NetServerModule::load(const std::string& path, std::string& error) {
    // A bare file name would make dlopen search the library path; the device
    // means the file of that name in the current directory.
    const std::string file = path.find('/') == std::string::npos ? "./" + path : path;
    void* handle = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        const char* reason = dlerror();
        error = "cannot load module " + path + ": " +
                (reason != nullptr ? reason : "unknown error");
        return false;
    }
    void* start = lookup(handle, path, "st_net_startNetServer", error);
    void* stop = start ? lookup(handle, path, "st_net_stopNetServer", error) : nullptr;
    void* write = stop ? lookup(handle, path, "st_net_sessionWrite", error) : nullptr;
    void* id = write ? lookup(handle, path, "st_net_sessionId", error) : nullptr;
    if (id == nullptr) {
        dlclose(handle);
        return false;
    }
    // POSIX guarantees that dlsym results convert to function pointers.
    handle_ = handle;
    start_ = reinterpret_cast<int (*)()>(start);
    stop_ = reinterpret_cast<int (*)()>(stop);
    g_sessionWrite.store(reinterpret_cast<SessionWriteFn>(write), std::memory_order_release);
    g_sessionId.store(reinterpret_cast<SessionIdFn>(id), std::memory_order_release);
    return true;
}

int NetServerModule::start() {
    if (start_ == nullptr || started_) return -1;
    // A failed start still leaves state behind that only the stop releases.
    started_ = true;
    return start_();
}

int NetServerModule::stop() {
    if (!started_) return 0;
    started_ = false;
    return stop_();
}

void NetServerModule::unload() {
    stop();
    if (handle_ == nullptr) return;
    // The stop has joined every module thread, so no host function can still
    // be about to call through these.
    g_sessionWrite.store(nullptr, std::memory_order_release);
    g_sessionId.store(nullptr, std::memory_order_release);
    start_ = nullptr;
    stop_ = nullptr;
    dlclose(handle_);
    handle_ = nullptr;
}

std::string defaultModulePath() {
    std::error_code ec;
    const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec) return "libnetserver.so";
    return (exe.parent_path() / "libnetserver.so").string();
}

int moduleSessionWrite(CommandSession* session, const void* data, uint32_t length) {
    const SessionWriteFn write = g_sessionWrite.load(std::memory_order_acquire);
    return write != nullptr ? write(session, data, length) : -1;
}

uint32_t moduleSessionId(const CommandSession* session) {
    const SessionIdFn id = g_sessionId.load(std::memory_order_acquire);
    return id != nullptr ? id(session) : 0;
}
