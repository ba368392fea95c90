// Child processes for end-to-end tests, their output captured and every wait bounded.
#ifndef RECNET_TESTS_PROCESS_H
#define RECNET_TESTS_PROCESS_H

#include <sys/types.h>

#include <string>
#include <vector>

namespace testproc {

struct Result {
    int exitCode = -1;  // -1 when the process did not end in time (it is killed)
    std::string out;
    std::string err;
};

/* Runs a program to its end, at most `timeoutMs`. */
Result run(const std::string& program, const std::vector<std::string>& args, int timeoutMs = 20000);

/* A long-running child (the device). Killed with SIGKILL if still running
 * when destroyed. */
class Child {
public:
    Child(const std::string& program, const std::vector<std::string>& args);
    ~Child();
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    /* Reads standard output until a line starting with `prefix` arrives, or
     * `timeoutMs` passes, or the child closes its output. Returns the line or "". */
    std::string waitForLine(const std::string& prefix, int timeoutMs);
    void signal(int sig);
    pid_t pid() const { return pid_; }
    /* Waits for the end; returns the exit code, or -1 after `timeoutMs`. */
    int wait(int timeoutMs);
    /* Standard output and error so far (after wait, all of it). */
    std::string out();
    std::string err();

private:
    void drain(int fd, std::string& into, int timeoutMs);
    pid_t pid_ = -1;
    int outFd_ = -1;
    int errFd_ = -1;
    std::string out_, err_;
    bool reaped_ = false;
};

}  // namespace testproc

#endif
