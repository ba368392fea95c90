/*
 * bench_device.cpp - the shared pieces of the benchmarks and load tools.
 */
#include "bench_device.h"

#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <thread>

extern char** environ;

namespace bench {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

int countEntries(const std::string& dir) {
    DIR* d = ::opendir(dir.c_str());
    if (d == nullptr) return -1;
    int n = 0;
    while (dirent* e = ::readdir(d))
        if (e->d_name[0] != '.') ++n;
    ::closedir(d);
    return n;
}

}  // namespace

bool canBind(int type, uint16_t port) {
    int fd = ::socket(AF_INET, type | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    bool ok = ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::close(fd);
    return ok;
}

uint16_t pickBasePort() {
    std::mt19937 rng(std::random_device{}());
    std::uniform_int_distribution<int> dist(20000, 32000);
    for (int i = 0; i < 200; ++i) {
        auto base = static_cast<uint16_t>(dist(rng));
        if (canBind(SOCK_STREAM, base) && canBind(SOCK_STREAM, base + 1) && canBind(SOCK_DGRAM, base + 4))
            return base;
    }
    return 0;
}

DeviceProcess::DeviceProcess(const std::string& path, const std::vector<std::string>& args,
                             const std::string& logPath)
    : log_(logPath) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    std::vector<char*> argv{const_cast<char*>(path.c_str())};
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    if (posix_spawn(&pid_, path.c_str(), &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
}

DeviceProcess::~DeviceProcess() {
    if (pid_ <= 0 || exited_) return;
    ::kill(pid_, SIGTERM);
    for (int i = 0; i < 100; ++i) {
        if (::waitpid(pid_, nullptr, WNOHANG) == pid_) return;
        std::this_thread::sleep_for(milliseconds(100));
    }
    std::fprintf(stderr, "the device (pid %d) did not stop within 10 s of SIGTERM; killed\n",
                 static_cast<int>(pid_));
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
}

bool DeviceProcess::waitReady(int timeoutMs, const std::atomic<bool>* cancel) {
    const auto deadline = Clock::now() + milliseconds(timeoutMs);
    while (Clock::now() < deadline && !(cancel != nullptr && cancel->load())) {
        if (!alive()) return false;
        std::ifstream in(log_);
        std::string line;
        while (std::getline(in, line))
            if (line.rfind("ready", 0) == 0) return true;
        std::this_thread::sleep_for(milliseconds(100));
    }
    return false;
}

bool DeviceProcess::alive() {
    if (pid_ <= 0 || exited_) return false;
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) != pid_) return true;
    exited_ = true;
    char text[64];
    if (WIFSIGNALED(status))
        std::snprintf(text, sizeof text, "killed by signal %d", WTERMSIG(status));
    else
        std::snprintf(text, sizeof text, "exited with status %d", WEXITSTATUS(status));
    exitText_ = text;
    return false;
}

ProcMemory readMemory(pid_t pid) {
    ProcMemory m;
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) m.rssKiB = std::atol(line.c_str() + 6);
        if (line.rfind("VmHWM:", 0) == 0) m.hwmKiB = std::atol(line.c_str() + 6);
    }
    return m;
}

int countDescriptors(pid_t pid) { return countEntries("/proc/" + std::to_string(pid) + "/fd"); }

int countThreads(pid_t pid) { return countEntries("/proc/" + std::to_string(pid) + "/task"); }

unsigned long long raiseDescriptorLimit() {
    rlimit nofile{};
    if (::getrlimit(RLIMIT_NOFILE, &nofile) != 0) return 0;
    rlim_t soft = nofile.rlim_cur;
    nofile.rlim_cur = nofile.rlim_max;
    if (::setrlimit(RLIMIT_NOFILE, &nofile) == 0) soft = nofile.rlim_max;
    return static_cast<unsigned long long>(soft);
}

std::string makeTempDir(const std::string& prefix) {
    std::error_code ec;
    std::string path = (std::filesystem::temp_directory_path(ec) / (prefix + "-XXXXXX")).string();
    if (ec || ::mkdtemp(path.data()) == nullptr) return {};
    return path;
}

bool intArg(int argc, char** argv, int& i, int lo, int hi, int& out) {
    if (i + 1 >= argc) return false;
    char* end = nullptr;
    long v = std::strtol(argv[++i], &end, 10);
    if (end == argv[i] || *end != '\0' || v < lo || v > hi) return false;
    out = static_cast<int>(v);
    return true;
}

}  // namespace bench
