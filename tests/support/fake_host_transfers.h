// Recorded arguments: st_app_netUpdateSystem its size and the image, st_app_netGetSnapJPEG
// its selector, st_app_netGetSnapJPEGEx selector, flag, mode and quality.
#ifndef RECNET_TESTS_FAKE_HOST_TRANSFERS_H
#define RECNET_TESTS_FAKE_HOST_TRANSFERS_H

#include <chrono>
#include <cstdint>
#include <vector>

namespace fake_host::transfers {

using Bytes = std::vector<uint8_t>;

/* st_param_getFlashTotalSize (default 65536). */
void setFlashSize(int bytes);
/* st_app_netUpdateSystem takes `duration`, its percent rising evenly from 0
 * to 100, then returns `result` (default: no time, 0). */
void setFlashWrite(std::chrono::milliseconds duration, int result);
/* The picture that the snapshot functions deliver (default: 100 bytes).
 * setReportedSize makes them report a size other than the picture's (the
 * buffer then holds only the picture's bytes). */
void setPicture(Bytes picture);
void setReportedSize(uint32_t size);
/* Bytes arriving on a serial port (0 or 1): the ring's write position
 * advances and waiters wake. */
void serialArrive(int port, const Bytes& bytes);
/* How long st_com_recDataWaiting waits when nothing wakes it (default 1 s,
 * as a device's wait is bounded). */
void setSerialWaitLimit(std::chrono::milliseconds limit);
/* How many times st_com_recDataWaiting has begun to wait. */
int serialWaits();

}  // namespace fake_host::transfers

#endif
