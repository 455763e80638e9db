#pragma once

// One owned file descriptor, closed when its owner goes away. What scans, measures or
// removes holds one with a slot of the descriptor budget (dir::HeldFd, dir::Handle in
// common/dir.hpp); a bare UniqueFd is for the few others (the terminal, a test's files).

#include <cerrno>
#include <unistd.h>

namespace qb {

class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(UniqueFd&& o) noexcept : fd_(o.release()) {}
    UniqueFd& operator=(UniqueFd&& o) noexcept {
        reset(o.release());
        return *this;
    }
    ~UniqueFd() { reset(); }

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    /// Gives the descriptor up without closing it; -1 is held afterwards.
    int release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }
    /// Closes the descriptor held, if any, and holds `fd` instead. Returns 0, or the
    /// errno of the close (which matters after writing).
    int reset(int fd = -1) {
        int err = 0;
        if (fd_ >= 0 && ::close(fd_) != 0) {
            err = errno;
        }
        fd_ = fd;
        return err;
    }

private:
    int fd_ = -1;
};

} // namespace qb
