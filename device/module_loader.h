/*
 * module_loader.h - loading libnetserver.so and calling its exports.
 */
#ifndef RECNET_DEVICE_MODULE_LOADER_H
#define RECNET_DEVICE_MODULE_LOADER_H

#include <cstdint>
#include <string>

#include "netserver/netserver.h"
#include "non_copyable.h"

// The loaded module: its dlopen handle and the exports the device calls.
// One instance per process; the destructor stops a running server and
// unloads the module.
class NetServerModule : NonCopyable {
public:
    NetServerModule() = default;
    ~NetServerModule();

    // dlopens `path` (RTLD_NOW, so every host function must resolve now) and
    // looks up the exports. Returns false with a one-line reason in `error`.
    bool load(const std::string& path, std::string& error);

    // st_net_setLoginRequired: false lets clients command the device without
    // a login. The module keeps it across a stop and a start. Call after load.
    void setLoginRequired(bool required);

    // st_net_setMaxSessions: at most `max` command sessions, 0 for no cap.
    // Kept across a stop and a start like the above. Call after load.
    void setMaxSessions(int max);

    // st_net_startNetServer; its result. Call once after load.
    int start();

    // st_net_stopNetServer, if the server was started; its result, or 0.
    int stop();

    // Stops a running server, then dlcloses the module.
    void unload();

private:
    void* handle_ = nullptr;
    bool started_ = false;
    int (*start_)() = nullptr;
    int (*stop_)() = nullptr;
    void (*setLoginRequired_)(int) = nullptr;
    void (*setMaxSessions_)(int) = nullptr;
};

// The default module: libnetserver.so in the directory of the running
// executable (the build tree), else the installed module in the library
// directory next to the executable's (<bin>/../lib/libnetserver.so.1), or just
// the file name when /proc/self/exe cannot be read.
std::string defaultModulePath();

// The module's st_net_sessionWrite. Returns -1 when no module is loaded.
int moduleSessionWrite(CommandSession* session, const void* data, uint32_t length);

// The module's st_net_sessionId. Returns 0 when no module is loaded.
uint32_t moduleSessionId(const CommandSession* session);

// The module's st_net_sessionSocket: the session's command socket, or -1
// (also when no module is loaded).
int moduleSessionSocket(const CommandSession* session);

// The module's transfer functions, for the host functions that run on a
// session's message thread. Each returns -1 when no module is loaded.
// recvUpdateFile: a firmware upload on the session's connection.
int moduleRecvUpdateFile(CommandSession* session, int sock, const NetMessage& request);
// sendJPEGSnapData and sendJPEGSnapStream on `sock`.
int moduleSendSnapshot(int sock, const NetMessage& request);
int moduleSendSnapshotStream(int sock, const NetMessage& request);
// startTransparentCmd and stopTransparentCmd for the session.
int moduleStartSerialChannel(CommandSession* session);
int moduleStopSerialChannel(CommandSession* session);

// The module's st_net_forEachCounter. False (fn not called) when no module
// is loaded.
using CounterVisitor = void (*)(const char* name, const char* labels, uint64_t value, void* context);
bool moduleForEachCounter(CounterVisitor fn, void* context);

#endif
