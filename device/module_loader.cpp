/*
 * module_loader.cpp - loading libnetserver.so and calling its exports.
 */
#include "module_loader.h"

#include <dlfcn.h>

#include <atomic>
#include <filesystem>
#include <system_error>

namespace {

// The exports that host functions call from the module's threads, in the
// order of ExportSlot. They are set before the server starts and cleared only
// after it has stopped.
enum ExportSlot {
    SESSION_WRITE,
    SESSION_ID,
    SESSION_SOCKET,
    RECV_UPDATE_FILE,
    SNAP_DATA,
    SNAP_STREAM,
    SERIAL_START,
    SERIAL_STOP,
    FOR_EACH_COUNTER,
    EXPORT_COUNT
};
constexpr const char* kExportNames[EXPORT_COUNT] = {
    "st_net_sessionWrite", "st_net_sessionId",   "st_net_sessionSocket", "recvUpdateFile",
    "sendJPEGSnapData",    "sendJPEGSnapStream", "startTransparentCmd",  "stopTransparentCmd",
    "st_net_forEachCounter"};
std::atomic<void*> g_exports[EXPORT_COUNT];

// The export in `slot` as a function of type Fn, or null when no module is
// loaded. POSIX guarantees that dlsym results convert to function pointers.
template <typename Fn>
Fn moduleExport(ExportSlot slot) {
    return reinterpret_cast<Fn>(g_exports[slot].load(std::memory_order_acquire));
}

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
    void* loginRequired = stop ? lookup(handle, path, "st_net_setLoginRequired", error) : nullptr;
    void* maxSessions =
        loginRequired ? lookup(handle, path, "st_net_setMaxSessions", error) : nullptr;
    void* exports[EXPORT_COUNT] = {};
    bool found = maxSessions != nullptr;
    for (int i = 0; found && i < EXPORT_COUNT; ++i) {
        exports[i] = lookup(handle, path, kExportNames[i], error);
        found = exports[i] != nullptr;
    }
    if (!found) {
        dlclose(handle);
        return false;
    }
    handle_ = handle;
    start_ = reinterpret_cast<int (*)()>(start);
    stop_ = reinterpret_cast<int (*)()>(stop);
    setLoginRequired_ = reinterpret_cast<void (*)(int)>(loginRequired);
    setMaxSessions_ = reinterpret_cast<void (*)(int)>(maxSessions);
    for (int i = 0; i < EXPORT_COUNT; ++i) g_exports[i].store(exports[i], std::memory_order_release);
    return true;
}

void NetServerModule::setLoginRequired(bool required) {
    if (setLoginRequired_ != nullptr) setLoginRequired_(required ? 1 : 0);
}

void NetServerModule::setMaxSessions(int max) {
    if (setMaxSessions_ != nullptr) setMaxSessions_(max);
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
    for (auto& slot : g_exports) slot.store(nullptr, std::memory_order_release);
    start_ = nullptr;
    stop_ = nullptr;
    setLoginRequired_ = nullptr;
    setMaxSessions_ = nullptr;
    dlclose(handle_);
    handle_ = nullptr;
}

std::string defaultModulePath() {
    std::error_code ec;
    const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec) return "libnetserver.so";
    const std::filesystem::path beside = exe.parent_path() / "libnetserver.so";
#ifdef RECNET_MODULE_FROM_BIN
    // Installed, the module lives in the library directory under its soname.
    if (!std::filesystem::exists(beside, ec)) {
        const std::filesystem::path installed = exe.parent_path() / RECNET_MODULE_FROM_BIN;
        if (std::filesystem::exists(installed, ec)) return installed.lexically_normal().string();
    }
#endif
    return beside.string();
}

int moduleSessionWrite(CommandSession* session, const void* data, uint32_t length) {
    auto write = moduleExport<int (*)(CommandSession*, const void*, uint32_t)>(SESSION_WRITE);
    return write != nullptr ? write(session, data, length) : -1;
}

uint32_t moduleSessionId(const CommandSession* session) {
    auto id = moduleExport<uint32_t (*)(const CommandSession*)>(SESSION_ID);
    return id != nullptr ? id(session) : 0;
}

int moduleSessionSocket(const CommandSession* session) {
    auto sock = moduleExport<int (*)(const CommandSession*)>(SESSION_SOCKET);
    return sock != nullptr ? sock(session) : -1;
}

int moduleRecvUpdateFile(CommandSession* session, int sock, const NetMessage& request) {
    auto recv = moduleExport<int (*)(CommandSession*, int, NetMessage)>(RECV_UPDATE_FILE);
    return recv != nullptr ? recv(session, sock, request) : -1;
}

int moduleSendSnapshot(int sock, const NetMessage& request) {
    auto send = moduleExport<int (*)(void*, int, NetMessage)>(SNAP_DATA);
    return send != nullptr ? send(nullptr, sock, request) : -1;
}

int moduleSendSnapshotStream(int sock, const NetMessage& request) {
    auto send = moduleExport<int (*)(void*, int, NetMessage)>(SNAP_STREAM);
    return send != nullptr ? send(nullptr, sock, request) : -1;
}

int moduleStartSerialChannel(CommandSession* session) {
    auto start = moduleExport<int (*)(CommandSession*)>(SERIAL_START);
    return start != nullptr ? start(session) : -1;
}

int moduleStopSerialChannel(CommandSession* session) {
    auto stop = moduleExport<int (*)(CommandSession*)>(SERIAL_STOP);
    return stop != nullptr ? stop(session) : -1;
}

bool moduleForEachCounter(CounterVisitor fn, void* context) {
    auto each = moduleExport<void (*)(CounterVisitor, void*)>(FOR_EACH_COUNTER);
    if (each == nullptr) return false;
    each(fn, context);
    return true;
}
