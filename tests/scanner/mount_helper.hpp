#pragma once

// Mounting in tests, only ever inside a mount namespace of a forked child: whatever the
// test does or however it ends, its mounts go away with the child and never reach the
// machine's own namespace.

#include "common/mount_id.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <fcntl.h>
#include <functional>
#include <gtest/gtest.h>
#include <sched.h>
#include <string>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace qb::test {

/// The exit status of a child that could not mount.
inline constexpr int kNoMounts = 77;

/// Runs `body` in a forked child with a private mount namespace, as the whole of a test:
/// the test fails when a check inside `body` failed (they report on the shared output),
/// and is skipped when mounting is impossible here. Call it before this process starts
/// its worker pool (measuring, scanning, cleaning), since a lock held by one of its
/// threads at the fork is never released in the child: do all the engine work in `body`.
inline void run_in_mount_namespace(const std::function<void()>& body) {
    std::fflush(stdout);
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0) << std::strerror(errno);
    if (pid == 0) {
        if (::unshare(CLONE_NEWNS) != 0 ||
            ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
            ::_exit(kNoMounts);
        }
        int rc = 0;
        try {
            body();
            rc = ::testing::Test::HasFailure() ? 1 : 0;
        } catch (const std::exception& e) {
            std::fprintf(stderr, "exception in the mount namespace: %s\n", e.what());
            rc = 1;
        }
        std::fflush(stdout);
        std::fflush(stderr);
        ::_exit(rc);
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        ASSERT_EQ(errno, EINTR) << std::strerror(errno);
    }
    ASSERT_TRUE(WIFEXITED(status)) << "the child ended by signal " << WTERMSIG(status);
    if (WEXITSTATUS(status) == kNoMounts) {
        GTEST_SKIP() << "mounting is not permitted here";
    }
    EXPECT_EQ(WEXITSTATUS(status), 0) << "a check in the test's mount namespace failed";
}

/// Inside run_in_mount_namespace: mounts a small tmpfs on `dir`, or `source` bound onto it,
/// and ends the child with kNoMounts when that is impossible.
inline void mount_tmpfs(const std::string& dir) {
    if (::mount("qbtest", dir.c_str(), "tmpfs", 0, "size=8m") != 0) {
        std::fprintf(stderr, "cannot mount a tmpfs: %s\n", std::strerror(errno));
        ::_exit(kNoMounts);
    }
}
inline void mount_bind(const std::string& source, const std::string& dir) {
    if (::mount(source.c_str(), dir.c_str(), nullptr, MS_BIND, nullptr) != 0) {
        std::fprintf(stderr, "cannot bind-mount: %s\n", std::strerror(errno));
        ::_exit(kNoMounts);
    }
}

/// Whether the system tells a bind mount of the file system holding `dir` from a plain
/// directory when only `answers` are listened to; asked here, not through the code under test.
inline bool mounts_told_apart(const std::string& dir, MountAnswers answers) {
    if (answers < MountAnswers::NoTable && ::access("/proc/self/mountinfo", R_OK) == 0) {
        return true;
    }
    struct statx sx;
    if (answers == MountAnswers::All && ::statx(AT_FDCWD, dir.c_str(), 0, STATX_MNT_ID, &sx) == 0 &&
        (sx.stx_mask & STATX_MNT_ID) != 0) {
        return true;
    }
    std::vector<unsigned char> buf(sizeof(struct file_handle) + MAX_HANDLE_SZ);
    auto* handle = reinterpret_cast<struct file_handle*>(buf.data());
    handle->handle_bytes = MAX_HANDLE_SZ;
    int mount = -1;
    return answers < MountAnswers::None &&
           (::name_to_handle_at(AT_FDCWD, dir.c_str(), handle, &mount, 0) == 0 ||
            errno == EOVERFLOW);
}

} // namespace qb::test
