#pragma once

// Mounting in tests, only ever inside a mount namespace of a forked child: whatever the
// test does or however it ends, its mounts go away with the child and never reach the
// machine's own namespace. A test that is not run as root gets one all the same, inside
// a user namespace of the child's own where the kernel allows that; such a namespace also
// gives root's reach over the test's own files to a test that needs no mounts.

#include "common/mount_id.hpp"
#include "common/unique_fd.hpp"
#include "support/test_support.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <fcntl.h>
#include <functional>
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <optional>
#include <sched.h>
#include <string>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace qb::test {

/// The exit status of a child that could not mount, or not become root.
inline constexpr int kNoMounts = 77;

namespace detail {

// On failure errno tells the first step that failed, not the close after it.
inline bool write_proc_file(const char* path, const std::string& text) {
    UniqueFd fd(::open(path, O_WRONLY | O_CLOEXEC));
    if (!fd.valid()) {
        return false;
    }
    const ssize_t written = ::write(fd.get(), text.data(), text.size());
    const int error = written < 0 ? errno : EIO;
    if (written != static_cast<ssize_t>(text.size())) {
        fd.reset();
        errno = error;
        return false;
    }
    return fd.reset() == 0;
}

// Makes the process root of a user namespace of its own (with a mount namespace), its
// own ids being that namespace's 0: it then has what a root run has over the caller's
// files (mounting, binding over /etc/passwd, reading what chmod locked away; the programs
// it starts keep it too) and sees them owned by uid 0, as a root run does. No other
// account exists in there: the files of chown_tree and the user of run_unprivileged are
// out of its reach.
inline bool enter_user_namespace() {
    const std::string uid = std::to_string(::geteuid());
    const std::string gid = std::to_string(::getegid());
    return ::unshare(CLONE_NEWUSER | CLONE_NEWNS) == 0 &&
           write_proc_file("/proc/self/setgroups", "deny") &&
           write_proc_file("/proc/self/uid_map", "0 " + uid + " 1\n") &&
           write_proc_file("/proc/self/gid_map", "0 " + gid + " 1\n");
}

// Root unshares the mount namespace alone; anyone else, or root where that is refused,
// through a user namespace.
inline bool enter_mount_namespace() {
    return ((::geteuid() == 0 && ::unshare(CLONE_NEWNS) == 0) || enter_user_namespace()) &&
           ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
}

// Runs `body` in a forked child once `enter` made it ready, as the whole of a test: the
// test fails when a check inside `body` failed (they report on the shared output), and is
// skipped when `enter` was refused a privilege. Any other failure of `enter` is a fault of
// the set-up, and fails the test.
inline void run_in_child(bool (*enter)(), const std::function<void()>& body) {
    std::fflush(stdout);
    // The errno of a failed `enter`, from the child.
    int report[2];
    ASSERT_EQ(::pipe2(report, O_CLOEXEC | O_NONBLOCK), 0) << std::strerror(errno);
    UniqueFd reader(report[0]);
    UniqueFd writer(report[1]);
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0) << std::strerror(errno);
    if (pid == 0) {
        if (!enter()) {
            const int error = errno;
            if (error == EPERM) {
                ::_exit(kNoMounts);
            }
            (void)!::write(writer.get(), &error, sizeof error);
            ::_exit(1);
        }
        // Tests that count the descriptors open in `body` see only their own.
        reader.reset();
        writer.reset();
        int rc = 0;
        try {
            body();
            rc = ::testing::Test::HasFailure() ? 1 : 0;
        } catch (const std::exception& e) {
            std::fprintf(stderr, "exception in the child: %s\n", e.what());
            rc = 1;
        }
        std::fflush(stdout);
        std::fflush(stderr);
        ::_exit(rc);
    }
    writer.reset();
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        ASSERT_EQ(errno, EINTR) << std::strerror(errno);
    }
    if (int error = 0;
        ::read(reader.get(), &error, sizeof error) == static_cast<ssize_t>(sizeof error)) {
        ADD_FAILURE() << "the test's child could not be set up: " << std::strerror(error);
        return;
    }
    ASSERT_TRUE(WIFEXITED(status)) << "the child ended by signal " << WTERMSIG(status);
    if (WEXITSTATUS(status) == kNoMounts) {
        GTEST_SKIP() << (::geteuid() == 0 ? "mounting is not permitted here"
                                          : "the kernel allows no user namespace here");
    }
    EXPECT_EQ(WEXITSTATUS(status), 0) << "a check in the test's child failed";
}

} // namespace detail

/// Runs `body` in a forked child with a private mount namespace, as the whole of a test:
/// the test fails when a check inside `body` failed (they report on the shared output),
/// and is skipped when mounting is impossible here (for an unprivileged user, when the
/// kernel allows no user namespace). The skip cannot end the calling test: one that checks
/// more afterwards returns first when IsSkipped(). Call it before this process starts its
/// worker pool (measuring, scanning, cleaning), since a lock held by one of its threads at
/// the fork is never released in the child: do all the engine work in `body`.
inline void run_in_mount_namespace(const std::function<void()>& body) {
    detail::run_in_child(detail::enter_mount_namespace, body);
}

/// As run_in_mount_namespace, for a `body` that needs root's reach over what the test
/// made (reading or emptying what chmod locked away) rather than mounts: it runs as root
/// when the test does, else as root of a user namespace, over the caller's own files only.
inline void run_as_root(const std::function<void()>& body) {
    detail::run_in_child([] { return ::geteuid() == 0 || detail::enter_user_namespace(); }, body);
}

/// Inside a child: takes the overriding of file modes out of this thread's effective
/// capabilities, so that a mode closes a directory to root too. Threads started later
/// inherit that; so call it before the worker pool starts.
inline bool drop_mode_override() {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct caps[_LINUX_CAPABILITY_U32S_3] = {};
    if (::syscall(SYS_capget, &header, caps) != 0) {
        return false;
    }
    caps[0].effective &= ~((1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH));
    return ::syscall(SYS_capset, &header, caps) == 0;
}

/// What `make` returns when it runs in run_as_root's child; none when the test was skipped
/// for want of one.
inline std::optional<std::string> output_as_root(const std::function<std::string()>& make) {
    TempDir out;
    run_as_root([&] { write_file(out / "output", make()); });
    if (::testing::Test::IsSkipped() || !exists_nofollow(out / "output")) {
        return std::nullopt;
    }
    return read_file(out / "output");
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
    if (answers < MountAnswers::NoProc && ::access("/proc/self/fdinfo", R_OK) == 0) {
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
    return answers < MountAnswers::NoHandles &&
           (::name_to_handle_at(AT_FDCWD, dir.c_str(), handle, &mount, 0) == 0 ||
            errno == EOVERFLOW);
}

/// Whether statx alone tells mounts apart here when only `answers` are listened to: a mount
/// id, and which directories are mount roots (kernels from 5.8). Elsewhere the mount table is
/// read where a target is checked, and a mount below it refuses the target before it is
/// entered.
inline bool statx_tells_mounts(const std::string& dir, MountAnswers answers) {
    struct statx sx;
    return answers == MountAnswers::All &&
           ::statx(AT_FDCWD, dir.c_str(), 0, STATX_MNT_ID, &sx) == 0 &&
           (sx.stx_mask & STATX_MNT_ID) != 0 &&
           (sx.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) != 0;
}

} // namespace qb::test
