/*
 * host_maintenance.cpp - default settings, resets, reboot, the 3G module and
 * the maintenance threads' helpers.
 */
#include <fcntl.h>
#include <pthread.h>

#include <cstdio>
#include <ctime>
#include <string>

#include "control.h"
#include "device_state.h"
#include "failures.h"
#include "netserver/host_api.h"
#include "netserver/records.h"
#include "netserver/wire.h"
#include "param_table.h"
#include "unique_fd.h"

namespace {
namespace rec = records;
}

// Every parameter record back to its default (the channel and serial port
// counts, base port and address stay). Returns 0, or -1 on a store failure.
extern "C" int st_app_netDefaultSetting(void) {
    if (auto injected = injectedFailure("st_app_netDefaultSetting")) return *injected;
    if (!resetAllParams()) return -1;
    deviceLog(wire::LOG_CATEGORY_SYSTEM, "default settings restored");
    return 0;
}

// The same as st_app_netDefaultSetting (MSG_RESUME_DEFAULT_PARAM).
extern "C" int st_param_resetAllStruct(void) {
    if (auto injected = injectedFailure("st_param_resetAllStruct")) return *injected;
    return resetAllParams() ? 0 : -1;
}

// Factory state: parameters, user accounts (admin/admin only), version
// record and device clock back to their defaults. The log, the disks and the
// record files stay. Returns 0, or -1 on a store failure.
extern "C" int st_param_resetFactoryParam(void) {
    if (auto injected = injectedFailure("st_param_resetFactoryParam")) return *injected;
    const bool ok = resetAllParams() && resetUsersToDefault() && resetVersionRecord() && resetDeviceClock();
    deviceLog(wire::LOG_CATEGORY_SYSTEM, ok ? "factory reset" : "factory reset failed");
    return ok ? 0 : -1;
}

// Records a reboot; the control thread restarts the server once the caller
// has returned. Returns 0.
extern "C" int st_app_netRebootSystem(void) {
    if (auto injected = injectedFailure("st_app_netRebootSystem")) return *injected;
    requestServerRestart("reboot");
    return 0;
}

// The CMOS record back to its default. Returns 0, or -1 on a store failure.
extern "C" int st_param_initCmos(void) {
    if (auto injected = injectedFailure("st_param_initCmos")) return *injected;
    return resetParamLogged(wire::PARAM_CMOS, wire::LOG_CATEGORY_SYSTEM, "CMOS settings restored");
}

// The device has no 3G modem: the reset is only logged. Returns 0.
extern "C" int at_Reset(void) {
    if (auto injected = injectedFailure("at_Reset")) return *injected;
    deviceLog(wire::LOG_CATEGORY_SYSTEM, "3G module reset");
    return 0;
}

// The 3G settings back to their defaults; without a modem only logged.
// Returns 0.
extern "C" int Default3GConfigStruct(uint32_t value) {
    if (auto injected = injectedFailure("Default3GConfigStruct")) return *injected;
    deviceLog(wire::LOG_CATEGORY_SYSTEM, "3G settings restored (" + std::to_string(value) + ")");
    return 0;
}

// Opens the hard-disk log (hdlog.txt in the state folder) and notes the
// opening there with the device time. Returns 0, or -1 when it cannot be
// written.
extern "C" int st_comm_openHdLogFile(void) {
    if (auto injected = injectedFailure("st_comm_openHdLogFile")) return *injected;
    const std::string path = deviceState().stateDir + "/hdlog.txt";
    UniqueFd fd(::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644));
    if (!fd) return -1;
    const std::time_t now = static_cast<std::time_t>(deviceNow());
    std::tm local{};
    char line[64];
    localtime_r(&now, &local);
    const size_t n = std::strftime(line, sizeof line, "%Y-%m-%d %H:%M:%S hard-disk log opened\n", &local);
    return ::write(fd.get(), line, n) == static_cast<ssize_t>(n) ? 0 : -1;
}

// Names the calling thread (at most 15 characters), so that top and ps show
// the module's worker threads by name. Returns 0, or -1.
extern "C" int st_comm_sendThreadInfoForTop(const char* name) {
    if (auto injected = injectedFailure("st_comm_sendThreadInfoForTop")) return *injected;
    if (name == nullptr) return -1;
    const std::string shortName = std::string(name).substr(0, 15);
    return pthread_setname_np(pthread_self(), shortName.c_str()) == 0 ? 0 : -1;
}
