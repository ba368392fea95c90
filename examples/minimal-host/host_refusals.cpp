/*
 * host_refusals.cpp - the host functions that host.cpp does not serve. The
 * module is loaded with RTLD_NOW, so each one must exist; each refuses at
 * once (-1, no frame, position 0). A stream, a serial forwarding or a command
 * other than a login therefore finds nothing on this host; the login test
 * never starts one. Defining them against the installed host_api.h also
 * checks that the header and the installed module agree on the contract.
 */
#include "netserver/host_api.h"

extern "C" {

int st_param_getCollieryInfo(void*) { return -1; }
uint32_t st_stream_getNetStreamWritePos(int, int) { return 0; }
int st_stream_netStreamWaiting(int, int) { return -1; }
int st_stream_lockMutex(int, int, uint32_t) { return -1; }
int st_stream_unlockMutex(int, int, uint32_t) { return -1; }
NetFrame* st_stream_getNetStreamFromPool_ex(int, int, uint32_t*) { return nullptr; }
int st_stream_deinitStreamLib(void) { return -1; }
int st_app_netSetParam(uint16_t, const void*) { return -1; }
int st_app_netGetParam(uint16_t, void*, uint32_t*) { return -1; }
int st_param_getProberStruct(int, void*) { return -1; }
int st_param_getTerminateStruct(int, void*) { return -1; }
int st_param_getTimerStruct(int, int, void*) { return -1; }
int st_param_getVideoLoseStruct(int, void*) { return -1; }
int st_param_getVideoMoveStruct(int, int, void*) { return -1; }
int st_param_getVideoConfigParam(int, void*) { return -1; }
int st_param_getVideoEncodeParam(int, void*) { return -1; }
int st_param_getOsdLogoStruct(int, void*) { return -1; }
int st_param_getOsdTimeStruct(int, void*) { return -1; }
int st_param_getOverlayStruct(int, void*) { return -1; }
int st_param_getPppoeInfoStruct(void*) { return -1; }
int st_param_getRecParamStruct(void*) { return -1; }
int st_param_getCmos(void*) { return -1; }
int st_param_setVideoConfigParam(int, VideoConfigRecord) { return -1; }
int st_app_netSetTime(uint32_t, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t) { return -1; }
int st_app_netGetTime(void*) { return -1; }
int st_app_netGetVersionInfo(void*) { return -1; }
int st_app_netGetHardDiskData(void*) { return -1; }
int st_app_netGetSystemStatusInfo(void*) { return -1; }
int st_app_netGetUpdateSystemInfo(void*) { return -1; }
int st_param_getFlatType(void) { return -1; }
int st_param_setVersionInfo(VersionRecord) { return -1; }
int st_param_initCameraInfo(void) { return -1; }
int st_param_initCameraItu(void) { return -1; }
int st_iwlist_iwprivIsRt73(void) { return -1; }
int st_iwlist_getApInfo(void*, int) { return -1; }
int st_iwlist_getIwprivApInfo(void*, int) { return -1; }
int st_app_netGetUserList(UserNode**) { return -1; }
int st_app_netAddUser(UserRecord) { return -1; }
int st_app_netDeleteUser(UserRecord) { return -1; }
int st_app_netModifyUser(UserRecord) { return -1; }
int st_app_netGetLogList(LogQuery, LogNode**) { return -1; }
int st_app_netDeleteLogInfo(LogQuery) { return -1; }
int st_app_netDefaultSetting(void) { return -1; }
int st_app_netRebootSystem(void) { return -1; }
int st_param_resetAllStruct(void) { return -1; }
int st_param_resetFactoryParam(void) { return -1; }
int st_param_initCmos(void) { return -1; }
int at_Reset(void) { return -1; }
int Default3GConfigStruct(uint32_t) { return -1; }
int st_app_fdiskHd(uint32_t, uint32_t, int32_t) { return -1; }
int st_app_formatPart(uint32_t, uint32_t, uint32_t, int32_t) { return -1; }
int st_app_getFormatPercent(uint32_t, uint32_t) { return -1; }
int st_comm_openHdLogFile(void) { return -1; }
int st_app_netPTZControl(uint16_t, PtzCommand) { return -1; }
int st_enc_setIFrameForceFlag(int, int) { return -1; }
int st_param_setHandRecordStruct(uint32_t, HandRecordSetting) { return -1; }
int st_record_netDeleteRecordFile(const char*) { return -1; }
int st_param_getTransparenceStruct(void*) { return -1; }
int st_param_getSerialStruct(int, void*) { return -1; }
int st_com_refreshSerialParam(int, uint32_t, uint32_t, uint32_t, uint32_t) { return -1; }
int st_com_sendDataToCom(int, const uint8_t*, uint32_t) { return -1; }
int st_com_getRecBufWritePos(int) { return -1; }
int st_com_recDataWaiting(int) { return -1; }
int st_com_getDataFromRecBuf(int, uint32_t*) { return -1; }
int st_com_sendRecBufBroadcast(int) { return -1; }
int st_param_getFlashTotalSize(void) { return -1; }
int st_app_setFreeRecordMemFlag(int) { return -1; }
int st_app_stopAppService(void) { return -1; }
int st_record_stopRecordService(void) { return -1; }
int st_enc_stopEncService(void) { return -1; }
int st_app_netUpdateSystem(const void*, int) { return -1; }
int st_param_setSysRebootFlag(void) { return -1; }
int st_param_getUpdatePercent(void) { return -1; }
int st_app_netGetSnapJPEG(uint32_t, void*, uint32_t*) { return -1; }
int st_app_netGetSnapJPEGEx(uint32_t, void*, uint32_t*, int, int, int) { return -1; }
int st_net_getMulticastAddr(const char*, char*) { return -1; }
int getTimeInfo(CommandSession*, void*) { return -1; }

}  // extern "C"
