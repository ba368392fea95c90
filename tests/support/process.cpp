#include "process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

extern char** environ;

namespace testproc {

namespace {

using Clock = std::chrono::steady_clock;

int msLeft(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left < 0 ? 0 : static_cast<int>(left);
}

pid_t spawn(const std::string& program, const std::vector<std::string>& args, int& outFd, int& errFd) {
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) return -1;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    close(err[1]);
    outFd = out[0];
    errFd = err[0];
    return pid;
}

/* Reads what is there now (after waiting at most `ms` for the first byte).
 * Returns false at end of file. */
bool readSome(int fd, std::string& into, int ms) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, ms) <= 0) return true;
    char buf[4096];
    ssize_t n = read(fd, buf, sizeof buf);
    if (n <= 0) return false;
    into.append(buf, static_cast<size_t>(n));
    return true;
}

}  // namespace

Result run(const std::string& program, const std::vector<std::string>& args, int timeoutMs) {
    Child child(program, args);
    const int exitCode = child.wait(timeoutMs);
    return {exitCode, child.out(), child.err()};
}

Child::Child(const std::string& program, const std::vector<std::string>& args) {
    pid_ = spawn(program, args, outFd_, errFd_);
}

Child::~Child() {
    if (pid_ > 0 && !reaped_) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    if (outFd_ >= 0) close(outFd_);
    if (errFd_ >= 0) close(errFd_);
}

void Child::drain(int fd, std::string& into, int timeoutMs) {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (readSome(fd, into, std::min(msLeft(deadline), 50)) && msLeft(deadline) > 0) {
    }
}

std::string Child::waitForLine(const std::string& prefix, int timeoutMs) {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        size_t start = 0;
        for (size_t nl; (nl = out_.find('\n', start)) != std::string::npos; start = nl + 1) {
            if (out_.compare(start, prefix.size(), prefix) == 0) return out_.substr(start, nl - start);
        }
        if (msLeft(deadline) == 0) return "";
        if (!readSome(outFd_, out_, std::min(msLeft(deadline), 100))) return "";
        readSome(errFd_, err_, 0);
    }
}

void Child::signal(int sig) {
    if (pid_ > 0 && !reaped_) kill(pid_, sig);
}

int Child::wait(int timeoutMs) {
    if (pid_ <= 0) return -1;
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        // Keep the pipes drained so that a chatty child cannot block on them.
        readSome(outFd_, out_, 0);
        readSome(errFd_, err_, 0);
        int status = 0;
        pid_t r = waitpid(pid_, &status, WNOHANG);
        if (r == pid_) {
            reaped_ = true;
            drain(outFd_, out_, 200);
            drain(errFd_, err_, 200);
            if (WIFEXITED(status)) return WEXITSTATUS(status);
            return 128 + WTERMSIG(status);
        }
        if (msLeft(deadline) == 0) return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

std::string Child::out() {
    readSome(outFd_, out_, 0);
    return out_;
}

std::string Child::err() {
    readSome(errFd_, err_, 0);
    return err_;
}

}  // namespace testproc
