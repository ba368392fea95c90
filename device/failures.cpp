/*
 * failures.cpp - the failure table behind --fail NAME=RESULT.
 */
#include "failures.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace {

enum class Returns { Int, Pointer, Nothing };

struct HostFnInfo {
    const char* name;
    Returns returns;
};

// Every host function of host_api.h, in its order there.
constexpr HostFnInfo kHostFns[] = {
    {"readn", Returns::Int},
    {"writen", Returns::Int},
    {"my_malloc", Returns::Pointer},
    {"my_free", Returns::Nothing},
    {"st_param_getSysConfig", Returns::Int},
    {"st_param_getChannelNum", Returns::Int},
    {"st_param_getNetworkStruct", Returns::Int},
    {"st_param_getCollieryInfo", Returns::Int},
    {"st_param_writeLogBuffer", Returns::Int},
    {"st_app_netAuthUser", Returns::Int},
    {"st_stream_getNetStreamWritePos", Returns::Int},
    {"st_stream_netStreamWaiting", Returns::Int},
    {"st_stream_lockMutex", Returns::Int},
    {"st_stream_unlockMutex", Returns::Int},
    {"st_stream_getNetStreamFromPool_ex", Returns::Pointer},
    {"st_stream_deinitStreamLib", Returns::Int},
    {"st_app_netSetParam", Returns::Int},
    {"st_app_netGetParam", Returns::Int},
    {"st_param_getProberStruct", Returns::Int},
    {"st_param_getTerminateStruct", Returns::Int},
    {"st_param_getTimerStruct", Returns::Int},
    {"st_param_getVideoLoseStruct", Returns::Int},
    {"st_param_getVideoMoveStruct", Returns::Int},
    {"st_param_getVideoConfigParam", Returns::Int},
    {"st_param_getVideoEncodeParam", Returns::Int},
    {"st_param_getOsdLogoStruct", Returns::Int},
    {"st_param_getOsdTimeStruct", Returns::Int},
    {"st_param_getOverlayStruct", Returns::Int},
    {"st_param_getPppoeInfoStruct", Returns::Int},
    {"st_param_getRecParamStruct", Returns::Int},
    {"st_param_getCmos", Returns::Int},
    {"st_param_setVideoConfigParam", Returns::Int},
    {"st_app_netSetTime", Returns::Int},
    {"st_app_netGetTime", Returns::Int},
    {"st_app_netGetVersionInfo", Returns::Int},
    {"st_app_netGetHardDiskData", Returns::Int},
    {"st_app_netGetSystemStatusInfo", Returns::Int},
    {"st_app_netGetUpdateSystemInfo", Returns::Int},
    {"st_param_getFlatType", Returns::Int},
    {"st_param_setVersionInfo", Returns::Int},
    {"st_param_initCameraInfo", Returns::Int},
    {"st_param_initCameraItu", Returns::Int},
    {"st_iwlist_iwprivIsRt73", Returns::Int},
    {"st_iwlist_getApInfo", Returns::Int},
    {"st_iwlist_getIwprivApInfo", Returns::Int},
    {"st_app_netGetUserList", Returns::Int},
    {"st_app_netAddUser", Returns::Int},
    {"st_app_netDeleteUser", Returns::Int},
    {"st_app_netModifyUser", Returns::Int},
    {"st_app_netGetLogList", Returns::Int},
    {"st_app_netDeleteLogInfo", Returns::Int},
    {"st_app_netDefaultSetting", Returns::Int},
    {"st_app_netRebootSystem", Returns::Int},
    {"st_param_resetAllStruct", Returns::Int},
    {"st_param_resetFactoryParam", Returns::Int},
    {"st_param_initCmos", Returns::Int},
    {"at_Reset", Returns::Int},
    {"Default3GConfigStruct", Returns::Int},
    {"st_app_fdiskHd", Returns::Int},
    {"st_app_formatPart", Returns::Int},
    {"st_app_getFormatPercent", Returns::Int},
    {"st_comm_openHdLogFile", Returns::Int},
    {"st_comm_sendThreadInfoForTop", Returns::Int},
    {"st_app_netPTZControl", Returns::Int},
    {"st_enc_setIFrameForceFlag", Returns::Int},
    {"st_param_setHandRecordStruct", Returns::Int},
    {"st_record_netDeleteRecordFile", Returns::Int},
    {"st_param_getTransparenceStruct", Returns::Int},
    {"st_param_getSerialStruct", Returns::Int},
    {"st_com_refreshSerialParam", Returns::Int},
    {"st_com_sendDataToCom", Returns::Int},
    {"st_com_getRecBufWritePos", Returns::Int},
    {"st_com_recDataWaiting", Returns::Int},
    {"st_com_getDataFromRecBuf", Returns::Int},
    {"st_com_sendRecBufBroadcast", Returns::Int},
    {"st_param_getFlashTotalSize", Returns::Int},
    {"st_app_setFreeRecordMemFlag", Returns::Int},
    {"st_app_stopAppService", Returns::Int},
    {"st_record_stopRecordService", Returns::Int},
    {"st_enc_stopEncService", Returns::Int},
    {"st_app_netUpdateSystem", Returns::Int},
    {"st_param_setSysRebootFlag", Returns::Int},
    {"st_param_getUpdatePercent", Returns::Int},
    {"st_app_netGetSnapJPEG", Returns::Int},
    {"st_app_netGetSnapJPEGEx", Returns::Int},
    {"st_comm_getIpAddr", Returns::Int},
    {"st_net_getMulticastAddr", Returns::Int},
    {"getTimeInfo", Returns::Int},
    {"freeSockInfoList", Returns::Int},
    {"assert", Returns::Nothing},
};

// Written only by installFailures, before any thread of the module exists.
std::vector<FailureEntry> g_installed;

const HostFnInfo* findHostFn(const std::string& name) {
    for (const HostFnInfo& info : kHostFns)
        if (name == info.name) return &info;
    return nullptr;
}

bool parseInt(const std::string& text, int& out) {
    if (text.empty()) return false;
    errno = 0;
    char* end = nullptr;
    long value = std::strtol(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || value < INT_MIN || value > INT_MAX) return false;
    out = static_cast<int>(value);
    return true;
}

}  // namespace

bool parseFailure(const std::string& text, FailureEntry& out, std::string& error) {
    const size_t eq = text.find('=');
    if (eq == std::string::npos) {
        error = "--fail expects NAME=RESULT, got '" + text + "'";
        return false;
    }
    const std::string name = text.substr(0, eq);
    const std::string result = text.substr(eq + 1);
    const HostFnInfo* info = findHostFn(name);
    if (info == nullptr) {
        error = "--fail: '" + name + "' is not a host function (see --help for the names)";
        return false;
    }
    out.name = name;
    out.result = 0;
    switch (info->returns) {
    case Returns::Nothing:
        error = "--fail: " + name + " returns nothing, so it cannot be made to fail";
        return false;
    case Returns::Pointer:
        // The only failure such a function can report is null.
        return true;
    case Returns::Int:
        if (!parseInt(result, out.result)) {
            error = "--fail: RESULT for " + name + " must be an integer, got '" + result + "'";
            return false;
        }
        return true;
    }
    return false;
}

void installFailures(const std::vector<FailureEntry>& entries) {
    for (const FailureEntry& entry : entries) {
        bool replaced = false;
        for (FailureEntry& e : g_installed) {
            if (e.name == entry.name) {
                e.result = entry.result;
                replaced = true;
            }
        }
        if (!replaced) g_installed.push_back(entry);
    }
}

std::optional<int> injectedFailure(const char* name) {
    for (const FailureEntry& e : g_installed)
        if (std::strcmp(e.name.c_str(), name) == 0) return e.result;
    return std::nullopt;
}

std::string failableFunctionNames() {
    std::string names;
    for (const HostFnInfo& info : kHostFns) {
        if (info.returns == Returns::Nothing) continue;
        if (!names.empty()) names += ' ';
        names += info.name;
    }
    return names;
}
