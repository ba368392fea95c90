/*
 * fd.h - an owning file descriptor.
 */
#ifndef RECNET_CLIENT_FD_H
#define RECNET_CLIENT_FD_H

#include <unistd.h>

#include <utility>

namespace recnet {

// Owns one descriptor and closes it when destroyed; movable, not copyable.
class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) noexcept : fd_(fd) {}
    Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Fd& operator=(Fd&& other) noexcept {
        if (this != &other) reset(std::exchange(other.fd_, -1));
        return *this;
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() { reset(); }

    // The descriptor, or -1 when none is owned.
    int get() const noexcept { return fd_; }
    bool valid() const noexcept { return fd_ >= 0; }

    // Closes the owned descriptor (if any) and takes ownership of `fd`.
    void reset(int fd = -1) noexcept {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }

private:
    int fd_ = -1;
};

}  // namespace recnet

#endif
