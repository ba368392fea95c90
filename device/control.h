/*
 * control.h - the device's control thread: it restarts the network server
 * when a host function asks for it (reboot, firmware written).
 *
 * A host function runs on a thread of the module and must not stop the
 * server itself (the stop would wait for that very thread), so it only
 * records the request; this thread acts on it after the callback returned.
 */
#ifndef RECNET_DEVICE_CONTROL_H
#define RECNET_DEVICE_CONTROL_H

#include <thread>

#include "module_loader.h"
#include "non_copyable.h"

// Records a restart request; callable from any thread. `why` goes to the log.
void requestServerRestart(const char* why);

// Owned by main; started after the server, stopped and joined before the
// module is unloaded. Not copyable.
class ControlThread : NonCopyable {
public:
    explicit ControlThread(NetServerModule& module) : module_(module) {}
    ~ControlThread() { stop(); }

    void start();
    // Wakes the thread, waits for a restart in progress and joins it.
    void stop();

private:
    void run();
    NetServerModule& module_;
    std::thread thread_;
};

#endif
