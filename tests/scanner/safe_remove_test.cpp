#include "common/os_error.hpp"
#include "scanner/mount_helper.hpp"
#include "scanner/safe_remove.hpp"
#include "support/test_support.hpp"

#include <algorithm>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <functional>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace qb {
namespace {

using test::exists_nofollow;
using test::list_tree;
using test::make_dirs;
using test::make_symlink;
using test::TempDir;
using test::write_file;

DirIdentity identity(const std::string& path) {
    struct stat st;
    EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
    return identity_of(st);
}

// The numbers of this process's open descriptors ("." and ".." too).
std::vector<int> descriptors() {
    std::vector<int> fds;
    if (DIR* d = ::opendir("/proc/self/fd")) {
        while (const dirent* e = ::readdir(d)) {
            fds.push_back(std::atoi(e->d_name));
        }
        ::closedir(d);
    }
    return fds;
}

std::size_t open_descriptors() {
    return descriptors().size();
}

// Whether this process holds the directory `id` open.
bool holds_open(const DirIdentity& id) {
    const std::vector<int> fds = descriptors();
    return std::any_of(fds.begin(), fds.end(), [&](int fd) {
        struct stat st;
        return ::fstat(fd, &st) == 0 && identity_of(st) == id;
    });
}

// The homes that every removal here keeps out of: none under the test's directories.
const ProtectedDirs& homes() {
    static const ProtectedDirs dirs{SystemEnv{}};
    return dirs;
}

// The error, marked "refused: " when nothing inside the directory was visited.
std::string error_text(const Result<Ok, WalkFailure>& r) {
    if (r) {
        return "<removed>";
    }
    return (r.error().refused ? "refused: " : "") + r.error().error.to_string();
}

TEST(SafeRemove, RemovesEverythingWithoutFollowingLinks) {
    TempDir t;
    write_file(t / "outside/keep.txt", "keep");
    write_file(t / "outside/dir/inner.txt", "inner");
    const auto outside_before = list_tree(t / "outside");

    const std::string victim = t / "victim";
    write_file(victim + "/a.txt", "a");
    write_file(victim + "/sub/deeper/c.bin", std::string(10000, 'c'));
    write_file(victim + "/name\nwith\xff bytes/x", "x");
    make_dirs(victim + "/empty");
    make_symlink(t / "outside/keep.txt", victim + "/link_to_file");
    make_symlink(t / "outside/dir", victim + "/sub/link_to_dir");
    make_symlink(t / "nothing", victim + "/dangling");
    ASSERT_EQ(::link((t / "outside/keep.txt").c_str(), (victim + "/hard").c_str()), 0);
    ASSERT_EQ(::mkfifo((victim + "/fifo").c_str(), 0644), 0);
    write_file(victim + "/ro/inside.txt", "ro");
    ASSERT_EQ(::chmod((victim + "/ro").c_str(), 0555), 0);

    // With root's reach: the owner alone may not empty a read-only directory.
    test::run_as_root([&] {
        auto removed = remove_tree(victim, identity(victim), homes());
        EXPECT_TRUE(removed) << error_text(removed);
    });
    if (IsSkipped()) {
        return;
    }
    EXPECT_FALSE(exists_nofollow(victim));
    EXPECT_EQ(list_tree(t / "outside"), outside_before);
    EXPECT_EQ(test::read_file(t / "outside/keep.txt"), "keep");
}

// Builds dir/<name>/<name>/... `levels` deep with raw descriptors, so that the whole
// path may exceed what a single path lookup accepts.
void make_chain(const std::string& dir, const std::string& name, int levels) {
    int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(fd, 0);
    for (int i = 0; i < levels; ++i) {
        ASSERT_EQ(::mkdirat(fd, name.c_str(), 0755), 0);
        int f = ::openat(fd, "file", O_WRONLY | O_CREAT, 0644);
        ASSERT_GE(f, 0);
        ::close(f);
        ASSERT_EQ(::mkdirat(fd, "side", 0755), 0);
        int next = ::openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY);
        ::close(fd);
        ASSERT_GE(next, 0);
        fd = next;
    }
    ::close(fd);
}

TEST(SafeRemove, DeepTreesBeyondTheOpenListingBudgetAndPathLimit) {
    TempDir t;
    const std::size_t fds_before = open_descriptors();

    // 60 levels, each with a file and a sibling directory, so listings are read ahead and
    // reopened through ".." on the way back up.
    make_dirs(t / "wide");
    make_chain(t / "wide", "a", 60);
    auto wide = remove_tree(t / "wide", identity(t / "wide"), homes());
    EXPECT_TRUE(wide) << error_text(wide);
    EXPECT_FALSE(exists_nofollow(t / "wide"));

    // 25 levels of 200-byte names: longer than any single path the system accepts.
    make_dirs(t / "long");
    make_chain(t / "long", std::string(200, 'n'), 25);
    auto long_tree = remove_tree(t / "long", identity(t / "long"), homes());
    EXPECT_TRUE(long_tree) << error_text(long_tree);
    EXPECT_FALSE(exists_nofollow(t / "long"));

    EXPECT_EQ(open_descriptors(), fds_before);
}

// Links in place of the target or its parent are covered with the clean executor.
TEST(SafeRemove, RefusesAnotherDirectoryOrAPathItCannotFollowPlainly) {
    TempDir t;
    const std::size_t fds_before = open_descriptors();
    write_file(t / "real/victim/file", "data");
    const DirIdentity id = identity(t / "real/victim");
    DirIdentity other = id;
    other.inode += 1;

    // The refusals speak as the final validation does.
    struct Case {
        std::string path;
        DirIdentity expected;
        std::string reason;
    };
    const std::vector<Case> cases{
        {t / "real/victim", other, std::string(kIdentityChanged)},
        {t / "real/victim/file", id, std::string(kNotARealDirectory)},
        {t / "real/missing", id, cannot_stat_text(ENOENT)},
        {t / "real/victim/file/below", id, cannot_stat_text(ENOTDIR)},
        {"real/victim", id, cannot_stat_text(EINVAL)},
        {t / "real/../real/victim", id, cannot_stat_text(EINVAL)},
        {"/", id, cannot_stat_text(EINVAL)},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(error_text(remove_tree(c.path, c.expected, homes())), "refused: " + c.reason)
            << c.path;
    }
    EXPECT_EQ(cannot_stat_text(ENOENT), "cannot stat path: " + os_error_text(ENOENT));
    // Gone between two looks: the mount's lookup says so, rather than that nothing tells.
    auto probe = MountProbe::of(AT_FDCWD, (t / "real").c_str());
    ASSERT_TRUE(probe);
    auto gone = probe->place(AT_FDCWD, (t / "real/missing").c_str(), identity(t / "real").device);
    ASSERT_FALSE(gone);
    EXPECT_EQ(gone.error(), ENOENT);
    EXPECT_EQ(test::read_file(t / "real/victim/file"), "data");
    EXPECT_EQ(open_descriptors(), fds_before);
}

// Empties the tree as the remover does, and meddles once the target is open.
class MeddlingRemover : public TreeVisitor {
public:
    explicit MeddlingRemover(std::function<void()> meddle) : meddle_(std::move(meddle)) {}

    std::optional<IoError> enter_dir(int, const struct stat&) override {
        if (auto meddle = std::exchange(meddle_, nullptr)) {
            meddle();
        }
        return std::nullopt;
    }
    std::optional<IoError> non_dir(int parent_fd, const char* name) override {
        return unlink_at(parent_fd, name, 0);
    }
    std::optional<IoError> mount_point(const std::string& path) override {
        return IoError::from_text(contains_mount_point(path));
    }
    std::optional<IoError> leave_dir(int parent_fd, const char* name) override {
        return unlink_at(parent_fd, name, AT_REMOVEDIR);
    }

private:
    static std::optional<IoError> unlink_at(int fd, const char* name, int flags) {
        if (::unlinkat(fd, name, flags) != 0) {
            return IoError::from_errno(errno);
        }
        return std::nullopt;
    }
    std::function<void()> meddle_;
};

TEST(SafeRemove, TheEmptiedTargetIsRemovedOnlyWhileItsNameLeadsToIt) {
    TempDir t;
    write_file(t / "victim/a.txt", "a");
    write_file(t / "victim/sub/b.txt", "b");
    // The whole tree moved away, an empty directory left under its name.
    MeddlingRemover remover([&] {
        EXPECT_EQ(::rename((t / "victim").c_str(), (t / "moved").c_str()), 0);
        make_dirs(t / "victim");
    });
    auto walked = walk_tree(t / "victim", identity(t / "victim"), remover);
    ASSERT_FALSE(walked);
    EXPECT_EQ(walked.error().to_string(), kIdentityChangedDuringRemoval);
    // The directory now under the name stays; the one moved away was emptied.
    EXPECT_EQ(list_tree(t.path()), (std::vector<std::string>{"d moved", "d victim"}));
}

// A bind mount keeps the device number of its file system, inside the target or as the
// target itself; mounts of other file systems are covered with the clean executor. Without
// statx's mount ids the file handles' tell it, without those the one /proc gives for an open
// directory, which holds wherever the mount went since; where nothing does, the target is
// refused. Where statx marks no mount roots, the table tells what lies there at the start.
TEST(SafeRemove, DoesNotEnterABindMount) {
    TempDir t;
    write_file(t / "elsewhere/precious", "bound");
    const DirIdentity elsewhere = identity(t / "elsewhere");
    const std::vector<std::pair<std::string, MountAnswers>> cases{
        {"all", MountAnswers::All},
        {"no-statx", MountAnswers::NoStatx},
        {"no-handles", MountAnswers::NoHandles},
        {"no-proc", MountAnswers::NoProc},
    };
    test::run_in_mount_namespace([&] {
        for (const auto& [name, answers] : cases) {
            SCOPED_TRACE(name);
            const std::string victim = t / (name + "/victim");
            const std::string bound = victim + "/sub/bound";
            const std::string target = t / (name + "/target");
            write_file(victim + "/a.txt", "a");
            make_dirs(bound);
            make_dirs(target);
            const bool untold = answers == MountAnswers::NoProc;
            if (!untold && !test::mounts_told_apart(t.path(), answers)) {
                continue; // no such answer on this system
            }
            set_mount_answers(answers);
            test::mount_bind(t / "elsewhere", bound);
            ASSERT_EQ(identity(bound).device, identity(victim).device);
            const std::string cannot_tell = "refused: " + std::string(kCannotTellMounts);
            const std::string inside = "contains a mount point: " + bound;
            EXPECT_EQ(error_text(remove_tree(victim, identity(victim), homes())),
                      untold ? cannot_tell
                             : (test::statx_tells_mounts(victim, answers) ? "" : "refused: ") +
                                   inside);

            test::mount_bind(t / "elsewhere", target);
            EXPECT_EQ(error_text(remove_tree(target, identity(target), homes())),
                      untold ? cannot_tell : "refused: " + std::string(kTargetIsMountPoint));

            // Met once the removal is under way: mounted on a directory not entered yet,
            // detached or moved away right after the removal opened it, or brought in by a
            // directory renamed into the tree.
            const std::string holder = t / (name + "/holder");
            const std::string away = t / (name + "/away");
            make_dirs(holder + "/bound");
            make_dirs(away);
            test::mount_bind(t / "elsewhere", holder + "/bound");
            // `act` before the removal's first look at a mount once it holds the bound one open.
            auto once_opened = [&](std::function<void()> act) {
                set_mount_answers(answers, [=, &elsewhere](int) mutable {
                    if (act && holds_open(elsewhere)) {
                        std::exchange(act, nullptr)();
                    }
                    return 0;
                });
            };
            const std::vector<std::pair<std::string, std::function<void(const std::string&)>>>
                meddles{
                    {"later",
                     [&](const std::string& sub) {
                         test::mount_bind(t / "elsewhere", sub + "/bound");
                     }},
                    {"detached",
                     [&](const std::string& sub) {
                         test::mount_bind(t / "elsewhere", sub + "/bound");
                         once_opened([=] {
                             ASSERT_EQ(::umount2((sub + "/bound").c_str(), MNT_DETACH), 0);
                         });
                     }},
                    {"moved",
                     [&](const std::string& sub) {
                         test::mount_bind(t / "elsewhere", sub + "/bound");
                         once_opened([=] {
                             ASSERT_EQ(::mount((sub + "/bound").c_str(), away.c_str(), nullptr,
                                               MS_MOVE, nullptr),
                                       0);
                         });
                     }},
                    {"renamed",
                     [&](const std::string& sub) {
                         ASSERT_EQ(::rename(holder.c_str(), sub.c_str()), 0);
                     }},
                };
            for (const auto& [how, meddle] : meddles) {
                SCOPED_TRACE(how);
                const std::string tree = t / (name + "/" + how);
                write_file(tree + "/a.txt", "a");
                make_dirs(tree + (how == "renamed" ? "" : "/sub/bound"));
                MeddlingRemover remover([&] { meddle(tree + "/sub"); });
                auto walked = walk_tree(tree, identity(tree), remover);
                set_mount_answers(answers);
                EXPECT_EQ(walked ? "<removed>" : walked.error().to_string(),
                          untold ? kCannotTellMounts
                                 : "contains a mount point: " + tree + "/sub/bound");
            }
        }
    });
    EXPECT_EQ(list_tree(t / "elsewhere"), std::vector<std::string>{"f precious"});
    EXPECT_EQ(test::read_file(t / "elsewhere/precious"), "bound");

    // The target's mount answers, one inside it does not, or its lookup on the open directory
    // fails: that one is not entered.
    for (auto [answers, err] :
         {std::pair{MountAnswers::NoProc, 0}, {MountAnswers::NoHandles, EIO}}) {
        write_file(t / "untold/sub/keep", "keep");
        MeddlingRemover remover(
            [answers, err] { set_mount_answers(answers, [err](int) { return err; }); });
        auto walked = walk_tree(t / "untold", identity(t / "untold"), remover);
        set_mount_answers(MountAnswers::All);
        EXPECT_EQ(walked ? "<removed>" : walked.error().to_string(),
                  err == 0 ? std::string(kCannotTellMounts) : IoError::from_errno(err).to_string());
        EXPECT_EQ(test::read_file(t / "untold/sub/keep"), "keep");
    }
}

} // namespace
} // namespace qb
