/*
 * bench_device.h - what the benchmarks and load tools share: a free base
 * port, the device as a child process, what /proc says about it, and small
 * command-line and file-system helpers.
 *
 * Plain POSIX and the standard library, so that in-process tools can link it
 * as well as the ones that drive recnet-device.
 */
#ifndef RECNET_BENCH_DEVICE_H
#define RECNET_BENCH_DEVICE_H

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

namespace bench {

// True when a socket of `type` (SOCK_STREAM or SOCK_DGRAM) can bind `port` on any address now.
bool canBind(int type, uint16_t port);

// A base port in 20000..32000 (below Linux's ephemeral range) whose TCP base and base + 1 and
// UDP base + 4 are free now; 0 when 200 random tries find none.
uint16_t pickBasePort();

// The device as a child process, its standard output and error in a log file; stopped with
// SIGTERM, then SIGKILL after 10 s, when the object goes.
class DeviceProcess {
public:
    // Starts `path args...` with `logPath` (created or truncated) as its output; pid() <= 0 on failure.
    DeviceProcess(const std::string& path, const std::vector<std::string>& args, const std::string& logPath);
    // Stops the device unless it has already exited: SIGTERM, up to 10 s, then SIGKILL.
    ~DeviceProcess();
    DeviceProcess(const DeviceProcess&) = delete;
    DeviceProcess& operator=(const DeviceProcess&) = delete;

    // Waits up to `timeoutMs` for a line beginning "ready" in the log; false when the device
    // exits first, the time runs out or `cancel` (if given) becomes true.
    bool waitReady(int timeoutMs, const std::atomic<bool>* cancel = nullptr);
    // False once the device has exited; its status is then in exitText().
    bool alive();
    // How the device ended ("exited with status 1", "killed by signal 9"), or empty.
    const std::string& exitText() const { return exitText_; }
    // The device's process id; <= 0 when it could not be started.
    pid_t pid() const { return pid_; }

private:
    pid_t pid_ = -1;
    std::string log_;
    bool exited_ = false;
    std::string exitText_;
};

// VmRSS and VmHWM of a process, in KiB.
struct ProcMemory {
    long rssKiB = 0;
    long hwmKiB = 0;
};

// Reads VmRSS and VmHWM from /proc/PID/status once; both zero when unreadable.
ProcMemory readMemory(pid_t pid);

// Open descriptors of `pid` (entries of /proc/PID/fd); -1 when unreadable.
int countDescriptors(pid_t pid);

// Threads of `pid` (entries of /proc/PID/task); -1 when unreadable.
int countThreads(pid_t pid);

// Raises this process's descriptor limit to its hard limit (children inherit it); returns the
// soft limit in force afterwards.
unsigned long long raiseDescriptorLimit();

// A new directory `prefix`-XXXXXX in the system's temporary folder; empty when none can be made.
std::string makeTempDir(const std::string& prefix);

// Reads argv[i + 1] as a decimal int in lo..hi into `out` and advances i; false when it is
// missing, not a number or out of range.
bool intArg(int argc, char** argv, int& i, int lo, int hi, int& out);

}  // namespace bench

#endif
