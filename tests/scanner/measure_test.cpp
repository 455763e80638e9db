#include "common/dir.hpp"
#include "scanner/measure.hpp"
#include "scanner/mount_helper.hpp"
#include "scanner/pool.hpp"
#include "scanner/walk.hpp"
#include "scanner_fixtures.hpp"

#include <atomic>
#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>
#include <random>
#include <stdexcept>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace qb::test {
namespace {

void set_mtime(const std::string& path, std::int64_t sec, long nsec = 0) {
    struct timespec times[2];
    times[0].tv_sec = sec;
    times[0].tv_nsec = nsec;
    times[1] = times[0];
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << path;
}

// Sets one modification time on every entry of the tree, the root included.
void set_tree_mtime(const std::string& root, std::int64_t sec) {
    for (const auto& line : list_tree(root)) {
        set_mtime(root + "/" + line.substr(2), sec);
    }
    set_mtime(root, sec);
}

std::uint64_t blocks_of(const std::string& path) {
    struct stat st;
    EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
    return static_cast<std::uint64_t>(st.st_blocks) * 512;
}

void make_deep_chain(const std::string& base, int levels, const std::string& name) {
    std::string p = base;
    for (int i = 0; i < levels; ++i) {
        p += "/" + name;
    }
    make_dirs(p);
    write_file(p + "/leaf", "bottom");
}

// A tree with every kind of entry the measurement has to get right. `outside` is a
// directory beside the tree for link targets.
void build_mixed_tree(const std::string& root, const std::string& outside, unsigned seed) {
    std::mt19937 rng(seed);
    auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
    make_dirs(root);
    write_file(outside + "/big", std::string(50'000, 'x'));
    std::vector<std::string> dirs{root};
    std::vector<std::string> files;
    for (int i = 0; i < 120; ++i) {
        std::string parent = dirs[static_cast<std::size_t>(pick(static_cast<int>(dirs.size())))];
        std::string dir = parent + "/d" + std::to_string(i);
        make_dirs(dir);
        dirs.push_back(dir);
        for (int f = pick(6); f > 0; --f) {
            std::string file = dir + "/f" + std::to_string(f);
            write_file(file, std::string(static_cast<std::size_t>(pick(20'000)), 'a'));
            files.push_back(file);
        }
    }
    for (int i = 0; i < 25; ++i) {
        const std::string& target =
            files[static_cast<std::size_t>(pick(static_cast<int>(files.size())))];
        std::string link = dirs[static_cast<std::size_t>(pick(static_cast<int>(dirs.size())))] +
                           "/hard" + std::to_string(i);
        ASSERT_EQ(::link(target.c_str(), link.c_str()), 0) << link;
    }
    ASSERT_EQ(::link((outside + "/big").c_str(), (root + "/hard-outside").c_str()), 0);
    make_symlink(outside + "/big", root + "/sym-file");
    make_symlink(outside, root + "/sym-dir");
    make_symlink("missing", root + "/sym-dangling");
    make_dirs(root + "/empty-a/empty-b");
    ASSERT_EQ(::mkfifo((root + "/pipe").c_str(), 0644), 0);
    // One directory far wider than a listing buffer.
    for (int i = 0; i < 3000; ++i) {
        write_file(root + "/wide/entry-with-a-longish-name-" + std::to_string(i), "w");
    }
    // A full binary tree: every directory on the way down waits for a second child, so
    // with few descriptors to spare the deeper ones are opened by path.
    std::vector<std::string> level{root + "/bin"};
    for (int depth = 0; depth < 10; ++depth) {
        std::vector<std::string> next;
        for (const auto& d : level) {
            for (const char* c : {"/0", "/1"}) {
                make_dirs(d + c);
                next.push_back(d + c);
            }
        }
        level = std::move(next);
    }
    make_deep_chain(root, 300, "n");
    // Unreadable in three ways, for an unprivileged measurer.
    write_file(root + "/no-access/inside/x", "hidden");
    write_file(root + "/search-only/inside/y", "hidden");
    write_file(root + "/list-only/inside/z", "hidden");
    write_file(root + "/list-only/top", "listed");
    ::chmod((root + "/no-access").c_str(), 0);
    ::chmod((root + "/search-only").c_str(), 0111);
    ::chmod((root + "/list-only").c_str(), 0444);
    // Times from before the epoch, in the future, and with nanoseconds.
    set_mtime(files[0], -86'400 * 400);
    set_mtime(files[1], 4'102'444'800, 123'456'789);
}

TEST(MeasureTree, CountsWhatTheRulesSayOnSmallTrees) {
    TempDir t;
    // An empty directory: no bytes, its own allocation, one entry, its own time.
    make_dirs(t / "empty");
    set_mtime(t / "empty", 1'600'000'000, 5);
    TreeStats empty = measure_tree(t / "empty");
    EXPECT_EQ(empty.bytes, 0u);
    EXPECT_EQ(empty.allocated_bytes, blocks_of(t / "empty"));
    EXPECT_EQ(empty.entries, 1u);
    ASSERT_TRUE(empty.newest_mtime_nanos);
    EXPECT_TRUE(*empty.newest_mtime_nanos == static_cast<u128>(1'600'000'000) * 1'000'000'000u + 5);
    EXPECT_EQ(empty.modified_unix, 1'600'000'000u);

    // Two hard links to one 1,000-byte file count the bytes once, the entries twice.
    write_file(t / "links/a", std::string(1000, 'x'));
    ASSERT_EQ(::link((t / "links/a").c_str(), (t / "links/b").c_str()), 0);
    TreeStats links = measure_tree(t / "links");
    EXPECT_EQ(links.bytes, 1000u);
    EXPECT_EQ(links.entries, 3u);
    EXPECT_EQ(links.allocated_bytes, blocks_of(t / "links") + blocks_of(t / "links/a"));

    // A link to a large file outside adds nothing, not even an entry.
    write_file(t / "outside", std::string(100'000, 'y'));
    make_dirs(t / "withlink");
    make_symlink(t / "outside", t / "withlink/l");
    make_symlink(t.path(), t / "withlink/up");
    TreeStats withlink = measure_tree(t / "withlink");
    EXPECT_EQ(withlink.bytes, 0u);
    EXPECT_EQ(withlink.entries, 1u);

    // Times before the epoch are passed over; with nothing else there is no time.
    write_file(t / "old/f", "abc");
    set_tree_mtime(t / "old", -1'000);
    TreeStats old = measure_tree(t / "old");
    EXPECT_EQ(old.entries, 2u);
    EXPECT_EQ(old.bytes, 3u);
    EXPECT_FALSE(old.newest_mtime_nanos);
    EXPECT_FALSE(old.modified_unix);
    set_mtime(t / "old", 0); // the epoch itself counts
    EXPECT_EQ(measure_tree(t / "old").modified_unix, 0u);

    // Nothing there: nothing counted.
    TreeStats missing = measure_tree(t / "missing");
    EXPECT_EQ(missing.entries, 0u);
    EXPECT_FALSE(missing.newest_mtime_nanos);

    // Past the system's path length, everything still counts: the remover removes it.
    make_dirs(t / "deep/node_modules");
    RemoveDeepTree cleanup{t / "deep", "node_modules"};
    build_overlong_chain(t / "deep/node_modules", 20, 240, 3'000'000);
    TreeStats deep = measure_tree(t / "deep/node_modules");
    EXPECT_EQ(deep.bytes, 3'000'000u + 19 * 5);
    EXPECT_EQ(deep.entries, 1u + 20 * 2);
}

TEST(MeasureTree, ParallelResultEqualsASequentialWalk) {
    for (unsigned seed : {1u, 2u, 3u}) {
        TempDir t;
        RemoveDeepTree cleanup{t.path(), "tree"}; // deeper than path-based removal reaches
        make_dirs(t / "outside");
        build_mixed_tree(t / "tree", t / "outside", seed);
        build_overlong_chain(t / "tree");
        TreeStats expected = reference_measure(t / "tree");
        TreeStats got = measure_tree(t / "tree");
        EXPECT_EQ(describe(got), describe(expected)) << "seed " << seed;
        EXPECT_TRUE(got.same_fingerprint(expected));
        EXPECT_GT(expected.entries, 3500u); // the fixture really is there
        // The same tree through a root given with a trailing separator.
        EXPECT_EQ(describe(measure_tree(t / "tree/")), describe(expected));
        // Measured while other trees are measured at once.
        std::vector<TreeStats> many(6);
        PoolJobs jobs;
        for (auto& slot : many) {
            measure_tree_async(jobs, t / "tree", [&slot](TreeStats s) { slot = s; });
        }
        jobs.wait();
        for (const auto& s : many) {
            EXPECT_EQ(describe(s), describe(expected));
        }
    }
}

TEST(MeasureTree, RootGivenAsALinkIsReadButNotCounted) {
    TempDir t;
    write_file(t / "real/a", "12345");
    make_symlink(t / "real", t / "link");
    TreeStats s = measure_tree(t / "link");
    EXPECT_EQ(s.entries, 1u);
    EXPECT_EQ(s.bytes, 5u);
    EXPECT_EQ(describe(s), describe(reference_measure(t / "link")));
}

TEST(MeasureTree, AHardLinkIntoTwoTreesCountsInFullInEach) {
    TempDir t;
    write_file(t / "one/file", std::string(4096, 'q'));
    make_dirs(t / "two");
    ASSERT_EQ(::link((t / "one/file").c_str(), (t / "two/file").c_str()), 0);
    EXPECT_EQ(measure_tree(t / "one").bytes, 4096u);
    EXPECT_EQ(measure_tree(t / "two").bytes, 4096u);
}

int measure_child(const std::string& root, const std::string& out) {
    std::ofstream o(out);
    TreeStats measured;
    {
        // Few kept slots to spare, so most children are opened by path. Taken from the
        // budget rather than by a low limit on open files, which would leave the
        // sanitizers' runtime none of its own.
        dir::KeptSlots held;
        held.take(dir::keep_capacity() - 2);
        measured = measure_tree(root);
    }
    o << describe(measured) << "\n" << describe(reference_measure(root)) << "\n";
    return o ? 0 : 1;
}

TEST(MeasureTree, UnreadablePartsAreLeftOutExactlyAsASequentialWalkLeavesThem) {
    TempDir t;
    make_dirs(t / "outside");
    build_mixed_tree(t / "tree", t / "outside", 7);
    make_dirs(t / "out");
    chown_tree(t.path());
    auto as_root = output_as_root([&] { return describe(reference_measure(t / "tree")); });
    if (!as_root) {
        return;
    }
    auto rc = rerun_unprivileged(
        "measure", {{"QB_CHILD_ROOT", t / "tree"}, {"QB_CHILD_OUT", t / "out/result"}});
    if (!rc) {
        GTEST_SKIP() << "cannot run as an unprivileged user here";
    }
    ASSERT_EQ(*rc, 0);
    std::string text = read_file(t / "out/result");
    auto nl = text.find('\n');
    ASSERT_NE(nl, std::string::npos);
    std::string parallel = text.substr(0, nl);
    std::string sequential = text.substr(nl + 1, text.find('\n', nl + 1) - nl - 1);
    EXPECT_EQ(parallel, sequential);
    // The unreadable directories hid their contents from the unprivileged walk.
    EXPECT_NE(sequential, *as_root);
}

// Descriptors taken by something outside the budget: what could not be opened for that
// reason is named, not passed off as an empty tree.
TEST(MeasureTree, ADescriptorShortageIsNamedNotHidden) {
    TempDir t;
    // Every kept slot taken: no directory stays open for its children, and those too deep
    // to open by path open down from an ancestor, so the whole tree counts all the same.
    make_dirs(t / "deep");
    RemoveDeepTree cleanup{t.path(), "deep"};
    build_overlong_chain(t / "deep");
    auto whole = measure_dir(t / "deep");
    ASSERT_TRUE(whole);
    EXPECT_EQ(whole->errors, std::vector<std::string>{});
    {
        dir::KeptSlots all;
        all.take(dir::keep_capacity());
        auto got = measure_dir(t / "deep");
        ASSERT_TRUE(got);
        EXPECT_EQ(got->errors, std::vector<std::string>{});
        EXPECT_EQ(describe(got->stats), describe(whole->stats));
    }

    write_file(t / "c/a/b", "x");
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        // A small limit, so that using it all up is quick wherever the test runs.
        struct rlimit small {
            256, 256
        };
        ::setrlimit(RLIMIT_NOFILE, &small);
        measure_tree(t / "c/a"); // the pool starts while it still can
        while (::open("/dev/null", O_RDONLY) >= 0) {
        }
        std::optional<MeasuredDir> got;
        {
            PoolJobs jobs;
            measure_dir_async(jobs, t / "c",
                              [&got](std::optional<MeasuredDir> m) { got = std::move(m); });
            jobs.wait();
        }
        bool named =
            got && got->errors == std::vector<std::string>{walk_error_text(t / "c", EMFILE)};
        // A callback that throws on the way still leaves the measurement reported, once.
        int reports = 0;
        bool threw = false;
        {
            PoolJobs jobs;
            FoundCache found;
            found.path = t / "c";
            measure_candidate_async(
                jobs, found, 0, 0, [&reports](std::optional<Candidate>) { ++reports; },
                [](std::string) { throw std::runtime_error("on_error failed"); });
            try {
                jobs.wait();
            } catch (const std::runtime_error&) {
                threw = true;
            }
        }
        ::_exit(!named ? 1 : !threw || reports != 1 ? 2 : 0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

// A directory opened by path, or down from an ancestor when it is too deep for a path,
// must be the one its parent listed: each swap below, made once its parent is listed,
// would otherwise bring 5000 bytes from elsewhere into the tree.
TEST(MeasureTree, ADirectoryReplacedBeforeItIsOpenedIsLeftOut) {
    TempDir t;
    // A root whose path nearly reaches the limit, so that its subdirectory "m" is too deep.
    std::string root = t / "r";
    while (root.size() < kPathMax - 200) {
        root += "/" + std::string(std::min<std::size_t>(150, kPathMax - 160 - root.size()), 'r');
    }
    make_dirs(root);
    RemoveDeepTree cleanup{t.path(), "r"};
    const std::string m(kPathMax - root.size() + 10, 'm');
    // Names inside the root, through a descriptor: the paths are too long.
    auto in_root = [&root](const std::function<void(int)>& f) {
        int fd = ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        f(fd);
        ::close(fd);
    };
    auto fill_m = [&](int root_fd) {
        ASSERT_EQ(::mkdirat(root_fd, m.c_str(), 0755), 0);
        int fd = ::openat(root_fd, m.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        int file = ::openat(fd, "big", O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        ASSERT_EQ(::write(file, std::string(5000, 'o').data(), 5000), 5000);
        ::close(file);
        ::close(fd);
    };
    in_root(fill_m);
    write_file(t / "tree/a/b/own", "own");
    write_file(t / "outside/b/big", std::string(5000, 'o'));
    // Two directories too deep for a path, "a" and "b", each holding a "c", below the root's
    // "m": a descent climbs back from one through ".." to open the other, and must land
    // in "m" again; t/q holds an "a" and a "b" of its own.
    std::string climb = root;
    climb.replace(t.path().size() + 1, 1, "s");
    make_dirs(climb);
    RemoveDeepTree climb_cleanup{t.path(), "s"};
    auto in_m = [&](const std::function<void(int)>& f) {
        int fd = ::open(climb.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        ASSERT_EQ(::mkdirat(fd, m.c_str(), 0755) == 0 || errno == EEXIST, true);
        int m_fd = ::openat(fd, m.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        ASSERT_GE(m_fd, 0);
        f(m_fd);
        ::close(m_fd);
        ::close(fd);
    };
    in_m([](int m_fd) {
        for (const char* dir : {"a", "a/c", "b", "b/c"}) {
            ASSERT_EQ(::mkdirat(m_fd, dir, 0755), 0);
        }
    });
    write_file(t / "q/a/big", std::string(5000, 'o'));
    write_file(t / "q/b/big", std::string(5000, 'o'));
    struct Case {
        std::string name, measured, listed; // the swap comes at the first listing below `listed`
        std::function<void(const std::string& dir)> swap;
        std::uint64_t entries;
    };
    const std::vector<Case> cases{
        {"a directory on the way swapped for a link", t / "tree", t / "tree/a",
         [&](const std::string&) {
             ASSERT_EQ(::rename((t / "tree/a").c_str(), (t / "moved").c_str()), 0);
             make_symlink(t / "outside", t / "tree/a");
         },
         3}, // the root, a, and b as a listed it
        {"the ancestor it opens down from replaced", root, root,
         [&](const std::string&) {
             int old_fd = ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
             ASSERT_EQ(::rename(root.c_str(), (root + "-old").c_str()), 0);
             make_dirs(root);
             in_root([&](int fd) {
                 ASSERT_EQ(::renameat(old_fd, m.c_str(), fd, m.c_str()), 0); // the same m
             });
             ::close(old_fd);
         },
         2}, // the root and m as it listed it
        {"the directory itself replaced", root, root,
         [&](const std::string&) {
             in_root([&](int fd) {
                 ASSERT_EQ(::renameat(fd, m.c_str(), fd, "gone"), 0);
                 fill_m(fd);
             });
         },
         2},
        {"the parent it climbs back to moved away", climb, climb + "/" + m + "/",
         [&](const std::string& dir) {
             in_m([&](int m_fd) {
                 int q = ::open((t / "q").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
                 const std::string name = dir.substr(dir.rfind('/') + 1);
                 ASSERT_EQ(::renameat(m_fd, name.c_str(), q, "moved"), 0);
                 ::close(q);
             });
         },
         6}, // the root, m, a, b, and both c
    };
    for (const Case& k : cases) {
        std::atomic<bool> swapped{false};
        set_listed_hook([&](const std::string& dir) {
            if (dir.starts_with(k.listed) && !swapped.exchange(true)) {
                k.swap(dir);
            }
        });
        std::optional<MeasuredDir> got;
        {
            // Every kept slot taken: no directory stays open for its children, so they open
            // by path, or down from the root.
            dir::KeptSlots all;
            all.take(dir::keep_capacity());
            got = measure_dir(k.measured);
        }
        set_listed_hook({});
        ASSERT_TRUE(got) << k.name;
        EXPECT_EQ(got->stats.entries, k.entries) << k.name;
        EXPECT_EQ(got->stats.bytes, 0u) << k.name;
        EXPECT_EQ(got->errors, std::vector<std::string>{}) << k.name;
    }
}

TEST(MeasureTree, AForkedChildMeasuresAloneWithTheSameResult) {
    TempDir t;
    make_dirs(t / "outside");
    build_mixed_tree(t / "tree", t / "outside", 11);
    TreeStats expected = measure_tree(t / "tree"); // the pool is running now
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        TreeStats s = measure_tree(t / "tree");
        ::_exit(describe(s) == describe(expected) ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

// Whatever tells the mount apart: statx, file handles or the mount table. A plain
// subdirectory is no mount, and one mounted after the walk began is met all the same.
TEST(MeasureTree, AFileSeenTwiceThroughABindMountCountsOnce) {
    TempDir t;
    write_file(t / "tree/a/file", std::string(3000, 'm'));
    make_dirs(t / "tree/a/sub");
    make_dirs(t / "tree/b");
    make_dirs(t / "late/x/c");
    run_in_mount_namespace([&] {
        mount_bind(t / "tree/a", t / "tree/b");
        for (MountAnswers answers :
             {MountAnswers::All, MountAnswers::NoStatx, MountAnswers::NoHandles}) {
            SCOPED_TRACE(static_cast<int>(answers));
            set_mount_answers(answers);
            TreeStats s = measure_tree(t / "tree");
            EXPECT_EQ(s.bytes, 3000u);
            EXPECT_EQ(describe(s), describe(reference_measure(t / "tree")));
            auto tree = measure_dir(t / "tree");
            ASSERT_TRUE(tree);
            EXPECT_EQ(tree->mount_inside, t / "tree/b");
            auto plain = measure_dir(t / "tree/a");
            ASSERT_TRUE(plain);
            EXPECT_EQ(plain->mount_inside, std::nullopt);

            set_listed_hook([&, once = true](const std::string& dir) mutable {
                if (dir == t / "late" && std::exchange(once, false)) {
                    mount_bind(t / "tree/a", t / "late/x/c");
                }
            });
            auto late = measure_dir(t / "late");
            set_listed_hook({});
            ASSERT_TRUE(late);
            EXPECT_EQ(late->mount_inside, t / "late/x/c");
            ASSERT_EQ(::umount((t / "late/x/c").c_str()), 0);
        }
    });
}

FoundCache found_at(const std::string& path, std::uint64_t min_bytes = 0) {
    FoundCache f;
    f.kind = "node-modules";
    f.ecosystem = "javascript";
    f.path = path;
    f.anchor = path.substr(0, path.rfind('/'));
    f.min_bytes = min_bytes;
    f.scope = CacheScope::Project;
    f.network_restore = true;
    f.cleanable = true;
    return f;
}

TEST(MeasureCandidate, AgeProtectionAndIdentity) {
    TempDir t;
    write_file(t / "c/pkg/index.js", std::string(777, 'j'));
    const std::uint64_t now = 1'700'000'000;
    const std::int64_t day = 86'400;
    auto at_age = [&](std::int64_t seconds_old, std::uint64_t protect_days) {
        set_tree_mtime(t / "c", static_cast<std::int64_t>(now) - seconds_old);
        auto c = measure_candidate(found_at(t / "c"), protect_days, now);
        EXPECT_TRUE(c.has_value());
        return c.value_or(Candidate{});
    };
    Candidate six = at_age(6 * day + day / 2, 7);
    EXPECT_EQ(six.age_days, 6u);
    EXPECT_TRUE(six.is_protected);
    Candidate seven = at_age(7 * day, 7);
    EXPECT_EQ(seven.age_days, 7u);
    EXPECT_FALSE(seven.is_protected);
    EXPECT_FALSE(at_age(0, 0).is_protected);
    Candidate future = at_age(-3 * day, 1);
    EXPECT_EQ(future.age_days, 0u);
    EXPECT_TRUE(future.is_protected);

    // Everything from before the epoch: no time, no age, protected even at 0 days.
    set_tree_mtime(t / "c", -5);
    auto timeless = measure_candidate(found_at(t / "c"), 0, now);
    ASSERT_TRUE(timeless);
    EXPECT_FALSE(timeless->modified_unix);
    EXPECT_FALSE(timeless->age_days);
    EXPECT_TRUE(timeless->is_protected);

    // The record carries the found cache's fields, lstat's identity and the fingerprint.
    struct stat st;
    ASSERT_EQ(::lstat((t / "c").c_str(), &st), 0);
    const Candidate& c = *timeless;
    EXPECT_EQ(c.kind, "node-modules");
    EXPECT_EQ(c.ecosystem, "javascript");
    EXPECT_EQ(c.path, t / "c");
    EXPECT_EQ(c.anchor, t.path());
    EXPECT_TRUE(c.network_restore);
    EXPECT_EQ(c.identity, identity_of(st));
    EXPECT_EQ(c.bytes, 777u);
    EXPECT_EQ(c.bytes, c.fingerprint.bytes);
    EXPECT_EQ(c.allocated_bytes, c.fingerprint.allocated_bytes);
    EXPECT_EQ(c.fingerprint.entries, 3u);
}

TEST(MeasureCandidate, DropsWhatIsNoLongerADirectoryOrTooSmall) {
    TempDir t;
    write_file(t / "ws/blob", std::string(100, 'b'));
    EXPECT_FALSE(measure_candidate(found_at(t / "ws", 101), 7, now_unix()));
    EXPECT_TRUE(measure_candidate(found_at(t / "ws", 100), 7, now_unix()));

    // Replaced by a link to a directory before measuring.
    ASSERT_EQ(::rename((t / "ws").c_str(), (t / "elsewhere").c_str()), 0);
    make_symlink(t / "elsewhere", t / "ws");
    EXPECT_FALSE(measure_candidate(found_at(t / "ws"), 7, now_unix()));
    // Written with a trailing separator or ".", the link is still not followed.
    EXPECT_FALSE(measure_candidate(found_at(t / "ws/"), 7, now_unix()));
    EXPECT_FALSE(measure_candidate(found_at(t / "ws/."), 7, now_unix()));
    auto real = measure_candidate(found_at(t / "elsewhere//"), 7, now_unix());
    ASSERT_TRUE(real);
    EXPECT_EQ(real->path, t / "elsewhere//");
    EXPECT_EQ(real->bytes, 100u);
    EXPECT_FALSE(measure_candidate(found_at(t / "gone"), 7, now_unix()));
    write_file(t / "file", "x");
    EXPECT_FALSE(measure_candidate(found_at(t / "file"), 7, now_unix()));
}

TEST(MeasureCandidate, FingerprintsCompareCountsAndTimes) {
    TreeStats a;
    a.bytes = 10;
    a.allocated_bytes = 4096;
    a.entries = 2;
    TreeStats b = a;
    b.modified_unix = 99; // not part of the fingerprint
    EXPECT_TRUE(a.same_fingerprint(b));
    b.newest_mtime_nanos = 5;
    EXPECT_FALSE(a.same_fingerprint(b));
    a.newest_mtime_nanos = 5;
    EXPECT_TRUE(a.same_fingerprint(b));
    b.entries = 3;
    EXPECT_FALSE(a.same_fingerprint(b));
}

} // namespace

int measure_child_main() {
    const char* root = std::getenv("QB_CHILD_ROOT");
    const char* out = std::getenv("QB_CHILD_OUT");
    if (root == nullptr || out == nullptr) {
        return 2;
    }
    return measure_child(root, out);
}

} // namespace qb::test
