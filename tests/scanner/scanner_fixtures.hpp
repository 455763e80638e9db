#pragma once

// Shared by the scanner tests: a plain sequential measurement to compare the parallel
// one with, and a way to rerun this test program as the unprivileged user (a fresh
// process, so the worker pool starts anew inside it).

#include "scanner/candidate.hpp"
#include "support/test_support.hpp"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace qb::test {

/// Opens the directory `path` for reading, whatever its length: a path too long for one
/// call is followed one component at a time from its longest prefix that is not.
inline int open_dir_any_length(const std::string& path) {
    constexpr int kFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
    if (path.size() < PATH_MAX) {
        return ::open(path.c_str(), kFlags);
    }
    const std::size_t slash = path.rfind('/');
    int parent = open_dir_any_length(path.substr(0, slash));
    if (parent < 0) {
        return -1;
    }
    int fd = ::openat(parent, path.c_str() + slash + 1, kFlags);
    ::close(parent);
    return fd;
}

/// lstat of `path`, whatever its length.
inline int lstat_any_length(const std::string& path, struct stat& st) {
    if (path.size() < PATH_MAX) {
        return ::lstat(path.c_str(), &st);
    }
    const std::size_t slash = path.rfind('/');
    int parent = open_dir_any_length(path.substr(0, slash));
    if (parent < 0) {
        return -1;
    }
    int rc = ::fstatat(parent, path.c_str() + slash + 1, &st, AT_SYMLINK_NOFOLLOW);
    ::close(parent);
    return rc;
}

/// Walks with paths, one lstat per entry, and counts what the measuring rules say:
/// links left out, each regular file's (device, inode) once, directories' blocks.
/// Paths too long for one call count all the same.
inline TreeStats reference_measure(const std::string& root) {
    TreeStats s;
    std::set<std::pair<dev_t, ino_t>> files;
    std::vector<std::string> todo{root};
    bool first = true;
    while (!todo.empty()) {
        std::string path = todo.back();
        todo.pop_back();
        struct stat st;
        bool is_root = first;
        first = false;
        if (lstat_any_length(path, st) != 0) {
            continue;
        }
        bool read_dir = S_ISDIR(st.st_mode);
        if (S_ISLNK(st.st_mode)) {
            struct stat target;
            read_dir = is_root && ::stat(path.c_str(), &target) == 0 && S_ISDIR(target.st_mode);
        } else {
            s.entries += 1;
            if (st.st_mtim.tv_sec >= 0) {
                u128 t = static_cast<u128>(st.st_mtim.tv_sec) * 1'000'000'000u +
                         static_cast<u128>(st.st_mtim.tv_nsec);
                if (!s.newest_mtime_nanos || t > *s.newest_mtime_nanos) {
                    s.newest_mtime_nanos = t;
                }
            }
            if (S_ISDIR(st.st_mode)) {
                s.allocated_bytes += static_cast<std::uint64_t>(st.st_blocks) * 512;
            } else if (S_ISREG(st.st_mode) && files.insert({st.st_dev, st.st_ino}).second) {
                s.bytes += static_cast<std::uint64_t>(st.st_size);
                s.allocated_bytes += static_cast<std::uint64_t>(st.st_blocks) * 512;
            }
        }
        if (!read_dir) {
            continue;
        }
        int fd = open_dir_any_length(path);
        DIR* dir = fd >= 0 ? ::fdopendir(fd) : nullptr;
        if (dir == nullptr) {
            if (fd >= 0) {
                ::close(fd);
            }
            continue;
        }
        while (struct dirent* d = ::readdir(dir)) {
            std::string name = d->d_name;
            if (name != "." && name != "..") {
                todo.push_back(path + (path.back() == '/' ? "" : "/") + name);
            }
        }
        ::closedir(dir);
    }
    if (s.newest_mtime_nanos) {
        s.modified_unix = static_cast<std::uint64_t>(*s.newest_mtime_nanos / 1'000'000'000u);
    }
    return s;
}

/// One line per field, for comparisons that show what differs.
inline std::string describe(const TreeStats& s) {
    auto opt = [](const auto& v) {
        return v ? std::to_string(static_cast<unsigned long long>(*v)) : std::string("none");
    };
    std::string newest = "none";
    if (s.newest_mtime_nanos) {
        u128 n = *s.newest_mtime_nanos;
        newest = std::to_string(static_cast<unsigned long long>(n / 1'000'000'000u)) + "." +
                 std::to_string(static_cast<unsigned long long>(n % 1'000'000'000u));
    }
    return "newest=" + newest + " bytes=" + std::to_string(s.bytes) +
           " allocated=" + std::to_string(s.allocated_bytes) +
           " entries=" + std::to_string(s.entries) + " modified=" + opt(s.modified_unix);
}

/// This test program's own path, read while /proc/self is still readable.
inline std::string self_exe() {
    char buf[PATH_MAX];
    ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : std::string();
}

/// Set in the environment of a rerun: which child task to perform.
inline constexpr const char* kChildModeVar = "QB_SCANNER_TEST_CHILD";

/// Reruns this program as the unprivileged user with `vars` added to its environment;
/// the rerun performs the child task named by `mode` instead of the tests. With
/// `max_open_files` the rerun may hold only that many descriptors, and it starts with
/// `inherited` of them open besides the standard three. Returns its exit status, or none
/// when privileges cannot be dropped here.
inline std::optional<int> rerun_unprivileged(const std::string& mode,
                                             const std::map<std::string, std::string>& vars,
                                             std::optional<rlim_t> max_open_files = {},
                                             int inherited = 0) {
    // The checkout may lie where the unprivileged user cannot search.
    std::string exe = reachable_copy(self_exe());
    return run_unprivileged([&] {
        if (max_open_files) {
            struct rlimit rl {
                *max_open_files, *max_open_files
            };
            ::setrlimit(RLIMIT_NOFILE, &rl);
        }
        ::setenv(kChildModeVar, mode.c_str(), 1);
        for (const auto& [k, v] : vars) {
            ::setenv(k.c_str(), v.c_str(), 1);
        }
        // Nothing of this process's descriptors but the standard three and those it is
        // meant to inherit: the rerun counts what it may open.
        ::close_range(3, ~0U, 0);
        for (int i = 0; i < inherited; ++i) {
            ::open("/dev/null", O_RDONLY);
        }
        char* argv[] = {exe.data(), nullptr};
        ::execv(exe.c_str(), argv);
        return 126;
    });
}

/// The child tasks, defined beside the tests that use them; each returns an exit status.
int measure_child_main();
int scan_child_main();
int pool_child_main();

/// Runs a child task instead of the tests when this process is such a rerun.
inline const int child_dispatch = [] {
    const char* mode = std::getenv(kChildModeVar);
    if (mode == nullptr) {
        return 0;
    }
    std::string m = mode;
    int rc = m == "measure" ? measure_child_main()
             : m == "scan"  ? scan_child_main()
             : m == "pool"  ? pool_child_main()
                            : 127;
    std::fflush(nullptr);
    ::_exit(rc);
}();

/// A chain whose paths pass the system's path length limit part of the way down, made
/// through descriptors: `levels` directories of `name_size` letters, each holding a file
/// "f" of 5 bytes, the last one's of `last_bytes`; the last five each hold `branches`
/// directories "b<i>" too, with a file "g" of 2 bytes. With `owner`, the directories are the
/// unprivileged user's (chown_tree goes by path and cannot reach them).
inline void build_overlong_chain(const std::string& root, int levels = 25,
                                 std::size_t name_size = 200, std::size_t last_bytes = 5,
                                 std::optional<std::pair<unsigned, unsigned>> owner = {},
                                 int branches = 0) {
    std::string name(name_size, 'L');
    // A directory in `at` holding one file named by the letter of its content.
    auto make_dir = [&owner](int at, const std::string& dir, char file, std::size_t bytes) {
        EXPECT_EQ(::mkdirat(at, dir.c_str(), 0755), 0);
        if (owner) {
            EXPECT_EQ(::fchownat(at, dir.c_str(), owner->first, owner->second, AT_SYMLINK_NOFOLLOW),
                      0);
        }
        int fd = ::openat(at, dir.c_str(), O_RDONLY | O_DIRECTORY);
        const std::string content(bytes, file);
        const char file_name[] = {file, '\0'};
        int f = ::openat(fd, file_name, O_WRONLY | O_CREAT, 0644);
        EXPECT_EQ(::write(f, content.data(), content.size()), static_cast<ssize_t>(bytes));
        ::close(f);
        return fd;
    };
    int fd = ::open(root.c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(fd, 0);
    for (int i = 0; i < levels; ++i) {
        int next = make_dir(fd, name, 'f', i + 1 == levels ? last_bytes : 5);
        ::close(fd);
        ASSERT_GE(next, 0);
        fd = next;
        for (int b = 0; i + 5 >= levels && b < branches; ++b) {
            ::close(make_dir(fd, "b" + std::to_string(b), 'g', 2));
        }
    }
    ::close(fd);
}

/// Removes a directory tree through descriptors, for trees too deep for path-based
/// removal. Only for trees the test created inside its own temporary directory.
inline void remove_tree_at(int dirfd, const char* name) {
    int fd = ::openat(dirfd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd >= 0) {
        DIR* dir = ::fdopendir(fd);
        std::vector<std::pair<std::string, bool>> entries;
        while (struct dirent* d = ::readdir(dir)) {
            std::string n = d->d_name;
            if (n != "." && n != "..") {
                entries.emplace_back(n, d->d_type == DT_DIR);
            }
        }
        for (const auto& [n, is_dir] : entries) {
            if (is_dir) {
                remove_tree_at(::dirfd(dir), n.c_str());
            } else {
                ::unlinkat(::dirfd(dir), n.c_str(), 0);
            }
        }
        ::closedir(dir);
    }
    ::unlinkat(dirfd, name, AT_REMOVEDIR);
}

/// Removes `parent`/`name` through descriptors when it goes out of scope, however the
/// test ends.
struct RemoveDeepTree {
    std::string parent;
    std::string name;
    ~RemoveDeepTree() {
        int fd = ::open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd >= 0) {
            remove_tree_at(fd, name.c_str());
            ::close(fd);
        }
    }
};

} // namespace qb::test
