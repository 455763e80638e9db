#pragma once

// A file system mounted by the test on a directory of its own TempDir, and unmounted
// again before the TempDir goes away (declare it after the TempDir).

#include <cerrno>
#include <cstring>
#include <string>
#include <sys/mount.h>

namespace qb::test {

class ScratchMount {
public:
    /// A small tmpfs on `dir`.
    static ScratchMount tmpfs(const std::string& dir) {
        int rc = ::mount("qbtest", dir.c_str(), "tmpfs", 0, "size=8m");
        return ScratchMount(dir, rc == 0 ? 0 : errno);
    }
    /// `source` bound onto `dir`.
    static ScratchMount bind(const std::string& source, const std::string& dir) {
        int rc = ::mount(source.c_str(), dir.c_str(), nullptr, MS_BIND, nullptr);
        return ScratchMount(dir, rc == 0 ? 0 : errno);
    }

    ScratchMount(ScratchMount&& o) noexcept : dir_(std::move(o.dir_)), error_(o.error_) {
        o.error_ = -1;
    }
    ScratchMount(const ScratchMount&) = delete;
    ScratchMount& operator=(const ScratchMount&) = delete;
    ~ScratchMount() {
        if (error_ == 0) {
            ::umount2(dir_.c_str(), MNT_DETACH);
        }
    }

    bool mounted() const { return error_ == 0; }
    /// Why the mount failed, for the skip message.
    std::string why() const { return std::string("cannot mount: ") + std::strerror(error_); }

private:
    ScratchMount(std::string dir, int error) : dir_(std::move(dir)), error_(error) {}
    std::string dir_;
    int error_;
};

} // namespace qb::test
