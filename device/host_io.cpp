/*
 * host_io.cpp - host functions for socket I/O, memory and assertions.
 */
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "failures.h"
#include "netserver/host_api.h"

// Reads exactly n bytes from fd, retrying after signals. Returns n, 0 when the
// peer closed the connection before n bytes arrived, -1 on a read error
// (including a receive time-out). n == 0 reads nothing and returns 0.
extern "C" int readn(int fd, void* buffer, int n) {
    if (auto injected = injectedFailure("readn")) return *injected;
    if (n < 0 || (n > 0 && buffer == nullptr)) {
        errno = EINVAL;
        return -1;
    }
    auto* p = static_cast<char*>(buffer);
    int done = 0;
    while (done < n) {
        // read() rather than recv(), so the module's pipes and socketpairs work too.
        const ssize_t got = ::read(fd, p + done, static_cast<size_t>(n - done));
        if (got > 0) {
            done += static_cast<int>(got);
        } else if (got == 0) {
            return 0;
        } else if (errno != EINTR) {
            return -1;
        }
    }
    return n;
}

// Writes exactly n bytes to the socket fd, retrying after signals. Returns n,
// or -1 on an error (including a send time-out). MSG_NOSIGNAL turns a closed
// peer into EPIPE instead of a process-wide SIGPIPE.
extern "C" int writen(int fd, const void* buffer, int n) {
    if (auto injected = injectedFailure("writen")) return *injected;
    if (n < 0 || (n > 0 && buffer == nullptr)) {
        errno = EINVAL;
        return -1;
    }
    const auto* p = static_cast<const char*>(buffer);
    int done = 0;
    while (done < n) {
        const ssize_t sent = ::send(fd, p + done, static_cast<size_t>(n - done), MSG_NOSIGNAL);
        if (sent > 0) {
            done += static_cast<int>(sent);
        } else if (sent < 0 && errno == EINTR) {
            continue;
        } else {
            // send() never returns 0 for a non-empty buffer; guard the loop anyway.
            if (sent == 0) errno = EIO;
            return -1;
        }
    }
    return n;
}

// malloc, so the blocks can be released with free() as the module does.
// Returns null on failure; a zero size still gets a distinct block so that
// null always means failure.
extern "C" void* my_malloc(unsigned int size) {
    if (injectedFailure("my_malloc")) return nullptr;
    return std::malloc(size != 0 ? size : 1);
}

// Releases a block of my_malloc (or malloc).
extern "C" void my_free(void* block) { std::free(block); }

// The module's assertion: a false condition is a programming error in the
// module or the device, so the process stops with a core dump.
extern "C" void(assert)(int condition) {
    if (condition != 0) return;
    std::fputs("recnet-device: host assertion failed\n", stderr);
    std::abort();
}
