#include "common/os_error.hpp"
#include "common/saturating.hpp"
#include "scanner/clean.hpp"
#include "scanner/measure.hpp"
#include "scanner/mount_helper.hpp"
#include "scanner/protected_dirs.hpp"
#include "scanner/safe_remove.hpp"
#include "scanner/scan.hpp"
#include "scanner/scanner_fixtures.hpp"
#include "support/test_support.hpp"

#include <atomic>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <gtest/gtest.h>
#include <map>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace qb {
namespace {

namespace fs = std::filesystem;
using test::exists_nofollow;
using test::make_dirs;
using test::make_symlink;
using test::read_file;
using test::TempDir;
using test::write_file;

constexpr std::string_view kDenied = "Permission denied (os error 13)";

Candidate measured(const std::string& path, const std::string& anchor, const std::string& kind,
                   CacheScope scope, std::uint64_t protect_days = 0) {
    FoundCache found{kind, "test", path, anchor, 0, scope, false, true, {}};
    auto c = measure_candidate(found, protect_days, now_unix());
    if (!c) {
        throw std::runtime_error("not measurable: " + path);
    }
    return *c;
}

// root/name/Cargo.toml beside root/name/target holding a few files; the target's path.
std::string cargo_project(const std::string& root, const std::string& name,
                          std::size_t bytes = 4096) {
    const std::string project = root + "/" + name;
    write_file(project + "/Cargo.toml", "[package]\n");
    write_file(project + "/target/debug/app", std::string(bytes, 'x'));
    write_file(project + "/target/.rustc_info.json", "{}");
    return project + "/target";
}

Candidate cargo_target(const std::string& root, const std::string& name, std::size_t bytes = 4096) {
    return measured(cargo_project(root, name, bytes), root, "cargo-target", CacheScope::Project);
}

SystemEnv env_with_home(const std::string& home) {
    SystemEnv env;
    env.vars["HOME"] = home;
    env.shared_tmp_root = home + "/no-shared-tmp";
    return env;
}

// The check of a selection of one target.
Result<Candidate, AppError> measure_entry(const Candidate& c, const SystemEnv& env) {
    auto fresh = measure_entries({c}, env);
    if (!fresh) {
        return unexpected(std::move(fresh).error());
    }
    return fresh->at(0);
}

// The one reason a single target was refused with; it must not have been removed.
std::string refusal(const Candidate& c, const SystemEnv& env,
                    const BeforeRemove& before_remove = {}) {
    CleanReport r = *execute_clean({c}, false, env, before_remove);
    EXPECT_TRUE(r.cleaned_paths.empty()) << c.path;
    EXPECT_FALSE(r.changed);
    if (r.skipped_paths.size() != 1) {
        return "<not refused>";
    }
    EXPECT_EQ(r.skipped_paths[0].path, c.path);
    return r.skipped_paths[0].reason;
}

void rename_path(const std::string& from, const std::string& to) {
    if (::rename(from.c_str(), to.c_str()) != 0) {
        throw std::runtime_error("rename " + from);
    }
}

void set_tree_mtime(const std::string& root, std::int64_t unix_seconds) {
    timespec times[2] = {{unix_seconds, 0}, {unix_seconds, 0}};
    ::utimensat(AT_FDCWD, root.c_str(), times, AT_SYMLINK_NOFOLLOW);
    for (const auto& e : fs::recursive_directory_iterator(root)) {
        ::utimensat(AT_FDCWD, e.path().c_str(), times, AT_SYMLINK_NOFOLLOW);
    }
}

TEST(CleanExecutor, DryRunReadsNothingAndSumsSaturate) {
    TempDir t;
    const std::string kept = cargo_project(t.path(), "kept");
    auto manual = [](std::string kind, std::string path, std::uint64_t bytes, bool cleanable,
                     bool network) {
        Candidate c;
        c.kind = std::move(kind);
        c.path = std::move(path);
        c.anchor = "/nonexistent-anchor";
        c.bytes = bytes;
        c.allocated_bytes = bytes;
        c.cleanable = cleanable;
        c.network_restore = network;
        return c;
    };
    // None of these would pass a validation: a dry run must not even look.
    std::vector<Candidate> targets{
        manual("node-modules", t / "gone/node_modules", kU64Max - 1, true, true),
        manual("maven-repository", t / "gone/m2", 7, false, true),
        manual("cargo-target", kept, 5, true, false),
        manual("python-venv", t / "gone/venv", 9, true, true),
    };
    CleanReport dry = *execute_clean(targets, true, SystemEnv{});
    EXPECT_TRUE(dry.dry_run);
    EXPECT_FALSE(dry.confirmed);
    EXPECT_FALSE(dry.changed);
    EXPECT_EQ(dry.selected, 3u);
    EXPECT_EQ(dry.policy_skipped, 1u);
    EXPECT_EQ(dry.network_restore_selected, 2u);
    EXPECT_EQ(dry.bytes_selected, kU64Max);
    EXPECT_EQ(dry.apparent_bytes_selected, kU64Max);
    EXPECT_EQ(dry.allocated_bytes_selected, kU64Max);
    ASSERT_EQ(dry.selected_targets.size(), 3u);
    EXPECT_EQ(dry.selected_targets[0].path, t / "gone/node_modules");
    EXPECT_EQ(dry.selected_targets[1].kind, "cargo-target");
    EXPECT_EQ(dry.selected_targets[1].bytes, 5u);
    EXPECT_FALSE(dry.selected_targets[1].network_restore);
    EXPECT_EQ(dry.selected_targets[2].path, t / "gone/venv");
    EXPECT_TRUE(dry.cleaned_paths.empty());
    EXPECT_TRUE(dry.skipped_paths.empty());
    EXPECT_TRUE(dry.filesystem_deltas.empty());
    EXPECT_EQ(dry.cleaned + dry.skipped + dry.bytes_reclaimed_estimate, 0u);
    EXPECT_TRUE(exists_nofollow(kept + "/debug/app"));

    // A real run with nothing cleanable removes nothing and probes nothing.
    for (const auto& list : {std::vector<Candidate>{}, std::vector<Candidate>{targets[1]}}) {
        CleanReport real = *execute_clean(list, false, SystemEnv{});
        EXPECT_TRUE(real.confirmed);
        EXPECT_FALSE(real.dry_run);
        EXPECT_FALSE(real.changed);
        EXPECT_EQ(real.selected, 0u);
        EXPECT_EQ(real.policy_skipped, list.size());
        EXPECT_TRUE(real.filesystem_deltas.empty());
    }
}

TEST(CleanExecutor, RemovesValidatedTargetsAndTotalsWhatWent) {
    TempDir t;
    const std::string root = t / "root";
    Candidate a = cargo_target(root, "a");
    Candidate refused = cargo_target(root, "r");
    Candidate b = cargo_target(root, "b");
    ::unlink((root + "/r/Cargo.toml").c_str());
    a.bytes = kU64Max - 10;
    b.bytes = 100;
    a.allocated_bytes = 3;
    b.allocated_bytes = 4;

    CleanReport r = *execute_clean({a, refused, b}, false, SystemEnv{});
    EXPECT_TRUE(r.changed);
    EXPECT_TRUE(r.confirmed);
    EXPECT_EQ(r.cleaned_paths, (std::vector<std::string>{a.path, b.path}));
    EXPECT_EQ(r.cleaned, 2u);
    ASSERT_EQ(r.skipped_paths.size(), 1u);
    EXPECT_EQ(r.skipped_paths[0].path, refused.path);
    EXPECT_EQ(r.skipped_paths[0].reason, "cache ownership markers disappeared");
    EXPECT_EQ(r.skipped_paths[0].stage, SkipStage::Validation);
    EXPECT_EQ(r.skipped, 1u);
    EXPECT_EQ(r.selected_targets.size(), 3u);
    EXPECT_EQ(r.bytes_reclaimed_estimate, kU64Max);
    EXPECT_EQ(r.apparent_bytes_removed, kU64Max);
    EXPECT_EQ(r.allocated_bytes_removed_estimate, 7u);

    EXPECT_FALSE(exists_nofollow(a.path));
    EXPECT_FALSE(exists_nofollow(b.path));
    EXPECT_TRUE(exists_nofollow(refused.path + "/debug/app"));
    EXPECT_TRUE(exists_nofollow(root + "/a/Cargo.toml"));

    // One file system: one row, probed through the parent of the first target.
    ASSERT_EQ(r.filesystem_deltas.size(), 1u);
    const FilesystemDelta& d = r.filesystem_deltas[0];
    EXPECT_EQ(d.probe_path, root + "/a");
    EXPECT_EQ(d.delta_bytes, free_space_delta(d.free_bytes_before, d.free_bytes_after));
}

TEST(CleanExecutor, EveryValidationReasonRefusesAndRemovesNothing) {
    TempDir t;
    const std::string root = t / "root";
    const SystemEnv env = env_with_home(t / "home");

    Candidate missing = cargo_target(root, "missing");
    rename_path(missing.path, t / "missing-moved");
    EXPECT_EQ(refusal(missing, env), "cannot stat path: " + os_error_text(ENOENT));

    Candidate linked = cargo_target(root, "linked");
    rename_path(linked.path, t / "linked-moved");
    make_symlink(t / "linked-moved", linked.path);
    EXPECT_EQ(refusal(linked, env), "path is no longer a real directory");
    EXPECT_TRUE(exists_nofollow(t / "linked-moved/debug/app"));

    // Made again under the same name; the old one is kept so its inode cannot be reused.
    Candidate recreated = cargo_target(root, "recreated");
    rename_path(recreated.path, t / "recreated-old");
    write_file(recreated.path + "/new", "new");
    EXPECT_EQ(refusal(recreated, env), "filesystem identity changed after scanning");
    EXPECT_TRUE(exists_nofollow(recreated.path + "/new"));

    // The project moved out of the root and a link put in its place: same directory.
    Candidate escaped = cargo_target(root, "escaped");
    rename_path(root + "/escaped", t / "outside-escaped");
    make_symlink(t / "outside-escaped", root + "/escaped");
    EXPECT_EQ(refusal(escaped, env), "path escaped its scan root");
    EXPECT_TRUE(exists_nofollow(t / "outside-escaped/target/debug/app"));

    Candidate own_anchor = cargo_target(root, "own");
    own_anchor.anchor = own_anchor.path + "/";
    EXPECT_EQ(refusal(own_anchor, env), "path escaped its scan root");

    Candidate no_anchor = cargo_target(root, "anchorless");
    no_anchor.anchor = t / "no-such-root";
    EXPECT_EQ(refusal(no_anchor, env), "cannot resolve safety anchor: " + os_error_text(ENOENT));

    Candidate unmarked = cargo_target(root, "unmarked");
    ::unlink((root + "/unmarked/Cargo.toml").c_str());
    EXPECT_EQ(refusal(unmarked, env), "cache ownership markers disappeared");

    Candidate rekinded = cargo_target(root, "rekinded");
    ::unlink((root + "/rekinded/Cargo.toml").c_str());
    write_file(root + "/rekinded/pom.xml", "<project/>");
    EXPECT_EQ(refusal(rekinded, env), "cache kind changed after scanning");

    // A project cache that holds the home directory, whatever marks it as a cache.
    Candidate homely = cargo_target(root, "homely");
    write_file(homely.path + "/u/.ssh/id", "key");
    EXPECT_EQ(refusal(homely, env_with_home(homely.path + "/u")),
              "target is the home directory or one of its ancestors");
    EXPECT_EQ(read_file(homely.path + "/u/.ssh/id"), "key");

    // Measuring could not tell the mount of a directory inside (on "debug"), or of the cache
    // itself: it is measured all the same, but a mount there may have gone unseen.
    std::vector<Candidate> partly;
    for (int err : {EIO, ESTALE, EACCES, -EIO}) {
        set_mount_answers(MountAnswers::NoStatx, [err](int fd) {
            return (fd == AT_FDCWD) == (err < 0) ? std::abs(err) : 0;
        });
        partly.push_back(cargo_target(root, "partly" + std::to_string(err)));
        set_mount_answers(MountAnswers::All);
        EXPECT_EQ(partly.back().bytes, 4098u);
        EXPECT_EQ(refusal(partly.back(), env),
                  "measuring could not look into all of it; scan again");
    }

    // A mount lookup that fails at the check before deletion (of the parent, then of the
    // target, both by name) or at the removal's start (on the parent's, then the target's open
    // descriptor) refuses the target.
    std::vector<Candidate> unlooked;
    for (int at = 0; at < 4; ++at) {
        unlooked.push_back(cargo_target(root, "unlooked" + std::to_string(at)));
        struct stat project;
        ASSERT_EQ(::lstat((root + "/unlooked" + std::to_string(at)).c_str(), &project), 0);
        std::function<int(int)> fail = [at, parent = identity_of(project),
                                        target = unlooked.back().identity,
                                        by_name = 0](int fd) mutable {
            struct stat st;
            if (at < 2) {
                return fd == AT_FDCWD && by_name++ == at ? EIO : 0;
            }
            return ::fstat(fd, &st) == 0 && identity_of(st) == (at == 2 ? parent : target) ? EIO
                                                                                           : 0;
        };
        set_mount_answers(MountAnswers::All, at < 2 ? fail : nullptr);
        EXPECT_EQ(refusal(unlooked.back(), env,
                          [&](const Candidate&) {
                              if (at >= 2) {
                                  set_mount_answers(MountAnswers::All, fail);
                              }
                          }),
                  cannot_stat_text(EIO))
            << at;
        set_mount_answers(MountAnswers::All);
    }

    for (const Candidate* c : {&own_anchor, &no_anchor, &unmarked, &rekinded, &homely, &partly[0],
                               &unlooked[0], &unlooked[1], &unlooked[2], &unlooked[3]}) {
        EXPECT_TRUE(exists_nofollow(c->path + "/debug/app")) << c->path;
    }
}

TEST(CleanExecutor, UnresolvablePathIsRefused) {
    TempDir t;
    // A real path longer than any resolved path may be, reached through two links.
    const std::string name(200, 'n');
    make_dirs(t / "deep");
    std::string first = t / "deep", second = t / "hop";
    int fd = ::open((t / "deep").c_str(), O_RDONLY | O_DIRECTORY);
    for (int i = 0; i < 25; ++i) {
        ASSERT_EQ(::mkdirat(fd, name.c_str(), 0755), 0);
        int next = ::openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY);
        ::close(fd);
        fd = next;
        (i < 12 ? first : second) += "/" + name;
    }
    ASSERT_EQ(::mkdirat(fd, "target", 0755), 0);
    ::close(fd);
    make_symlink(first, t / "hop");
    make_symlink(second, t / "far");

    struct stat st;
    ASSERT_EQ(::lstat((t / "far/target").c_str(), &st), 0);
    Candidate c;
    c.kind = "cargo-target";
    c.path = t / "far/target";
    c.anchor = t.path();
    c.identity = identity_of(st);
    EXPECT_EQ(refusal(c, SystemEnv{}), "cannot resolve path: " + os_error_text(ENAMETOOLONG));

    ASSERT_EQ(::lstat((t / "deep").c_str(), &st), 0);
    // Too deep for the TempDir.
    ASSERT_TRUE(remove_tree(t / "deep", identity_of(st), ProtectedDirs(SystemEnv{})));
}

TEST(CleanExecutor, GlobalCachesMustStillBeListed) {
    TempDir t;
    write_file(t / "gomod/cache/download/x.zip", "zip");
    SystemEnv env = env_with_home(t / "home");
    env.vars["GOMODCACHE"] = t / "gomod";
    Candidate gomod = measured(t / "gomod", t.path(), "go-module-cache", CacheScope::Global);
    EXPECT_TRUE(measure_entries({gomod}, env));

    SystemEnv moved = env;
    moved.vars["GOMODCACHE"] = t / "elsewhere/gomod";
    EXPECT_EQ(refusal(gomod, moved), "path is no longer a configured global cache");

    Candidate wrong_kind = gomod;
    wrong_kind.kind = "go-build-cache";
    EXPECT_EQ(refusal(wrong_kind, env), "path is no longer a configured global cache");
    EXPECT_TRUE(exists_nofollow(t / "gomod/cache/download/x.zip"));

    CleanReport r = *execute_clean({gomod}, false, env);
    EXPECT_EQ(r.cleaned_paths, std::vector<std::string>{gomod.path});
    EXPECT_FALSE(exists_nofollow(gomod.path));

    // A home reached through a link is followed by the validation, not by the removal.
    write_file(t / "realhome/.cache/pip/http/v.whl", "whl");
    make_symlink(t / "realhome", t / "homelink");
    const SystemEnv linked_home = env_with_home(t / "homelink");
    Candidate under_link =
        measured(t / "homelink/.cache/pip", t / "homelink/.cache", "pip-cache", CacheScope::Global);
    r = *execute_clean({under_link}, false, linked_home);
    EXPECT_EQ(r.cleaned_paths, std::vector<std::string>{under_link.path});
    EXPECT_TRUE(r.skipped_paths.empty()) << r.skipped_paths[0].reason;
    EXPECT_FALSE(exists_nofollow(t / "realhome/.cache/pip"));
    EXPECT_TRUE(exists_nofollow(t / "realhome/.cache"));

    // Whatever lists it, the home directory or one of its ancestors never goes, however
    // the home is written.
    write_file(t / "xdg/pip/h/.profile", "keep");
    make_symlink(t / "xdg/pip", t / "pip-link");
    for (const std::string& home : {t / "xdg/pip", t / "xdg/pip/h/", t / "pip-link"}) {
        SystemEnv listing = env_with_home(home);
        listing.vars["XDG_CACHE_HOME"] = t / "xdg";
        Candidate c = measured(t / "xdg/pip", t / "xdg", "pip-cache", CacheScope::Global);
        EXPECT_EQ(refusal(c, listing), "target is the home directory or one of its ancestors")
            << home;
    }
    EXPECT_EQ(read_file(t / "xdg/pip/h/.profile"), "keep");
}

TEST(CleanExecutor, TemporaryStorageIsMeasuredAgain) {
    TempDir t;
    SystemEnv env = env_with_home(t / "home");
    make_dirs(t / "home");
    make_dirs(t / "tmpdir");
    env.vars["TMPDIR"] = t / "tmpdir";
    env.shared_tmp_root = t / "shared";
    write_file(t / "shared/app-build-cache/a/obj.o", std::string(3000, 'o'));
    write_file(t / "shared/other-build-cache/b.o", "b");
    const std::string anchor = t / "shared";
    Candidate grown = measured(t / "shared/app-build-cache", anchor, "macos-temporary-build-cache",
                               CacheScope::Global);
    Candidate same = measured(t / "shared/other-build-cache", anchor, "macos-temporary-build-cache",
                              CacheScope::Global);
    auto checked = measure_entries({grown}, env);
    ASSERT_TRUE(checked) << fmt_app_error(checked.error());

    write_file(t / "shared/app-build-cache/a/new.o", "n");
    CleanReport r = *execute_clean({grown, same}, false, env);
    ASSERT_EQ(r.skipped_paths.size(), 1u);
    EXPECT_EQ(r.skipped_paths[0].reason,
              "temporary storage changed after it was measured; scan again");
    EXPECT_TRUE(exists_nofollow(t / "shared/app-build-cache/a/obj.o"));
    EXPECT_EQ(r.cleaned_paths, std::vector<std::string>{same.path});
    EXPECT_FALSE(exists_nofollow(same.path));

    // Each part of the fingerprint counts alone: a file that only changed size (same
    // count, same block, same time) and a file that was only touched.
    const timespec fixed[2] = {{1'600'000'000, 5}, {1'600'000'000, 5}};
    auto pin_times = [&](const std::string& root) {
        ::utimensat(AT_FDCWD, root.c_str(), fixed, AT_SYMLINK_NOFOLLOW);
        for (const auto& e : fs::recursive_directory_iterator(root)) {
            ::utimensat(AT_FDCWD, e.path().c_str(), fixed, AT_SYMLINK_NOFOLLOW);
        }
    };
    write_file(t / "shared/resized-build-cache/obj.o", std::string(10, 'a'));
    write_file(t / "shared/touched-build-cache/obj.o", std::string(10, 'a'));
    pin_times(t / "shared/resized-build-cache");
    pin_times(t / "shared/touched-build-cache");
    Candidate resized = measured(t / "shared/resized-build-cache", anchor,
                                 "macos-temporary-build-cache", CacheScope::Global);
    Candidate touched = measured(t / "shared/touched-build-cache", anchor,
                                 "macos-temporary-build-cache", CacheScope::Global);
    write_file(t / "shared/resized-build-cache/obj.o", std::string(20, 'a'));
    pin_times(t / "shared/resized-build-cache");
    const timespec later[2] = {{1'600'000'000, 6}, {1'600'000'000, 6}};
    ::utimensat(AT_FDCWD, (t / "shared/touched-build-cache/obj.o").c_str(), later, 0);
    ASSERT_EQ(measure_tree(resized.path).entries, resized.fingerprint.entries);
    ASSERT_EQ(measure_tree(touched.path).bytes, touched.fingerprint.bytes);

    r = *execute_clean({resized, touched}, false, env);
    EXPECT_TRUE(r.cleaned_paths.empty());
    ASSERT_EQ(r.skipped_paths.size(), 2u);
    for (const SkippedPath& s : r.skipped_paths) {
        EXPECT_EQ(s.reason, "temporary storage changed after it was measured; scan again")
            << s.path;
        EXPECT_EQ(s.stage, SkipStage::Validation) << s.path;
        EXPECT_TRUE(exists_nofollow(s.path + "/obj.o")) << s.path;
    }
}

TEST(CleanExecutor, SwapsAfterValidationDeleteNothingOutsideTheTarget) {
    TempDir t;
    const std::string root = t / "root";
    write_file(t / "decoy/precious", "precious");
    write_file(t / "decoyproj/target/precious", "precious");
    write_file(t / "home/.ssh/id", "key");
    write_file(t / "home/notes/todo", "keep");
    const auto home = test::tree_contents(t / "home");
    const std::string moved_home = root + "/home-inside/target/debug/home";
    // A home too long for any path a system call takes; its parent moves.
    test::RemoveDeepTree long_tree{t.path(), "long"};
    make_dirs(t / "long");
    test::build_overlong_chain(t / "long");
    std::string long_home = t / "long";
    for (int i = 0; i < 25; ++i) {
        long_home += "/" + std::string(200, 'L');
    }
    const std::string moved_parent = root + "/long-inside/target/debug/parent";

    struct Swap {
        std::string project;
        std::function<void(const std::string& target)> swap;
        std::string reason;
        std::string survivor;
        std::string home = {}; // HOME, when not t/home
    };
    const std::vector<Swap> swaps{
        {"to-link",
         [&](const std::string& target) {
             rename_path(target, t / "to-link-moved");
             make_symlink(t / "decoy", target);
         },
         std::string(kNotARealDirectory), t / "to-link-moved/debug/app"},
        {"to-new",
         [&](const std::string& target) {
             rename_path(target, t / "to-new-moved");
             write_file(target + "/fresh", "fresh");
         },
         "filesystem identity changed after scanning", t / "to-new-moved/debug/app"},
        // The parent moved away and linked back: the very same target, now outside.
        {"parent-moved",
         [&](const std::string&) {
             rename_path(root + "/parent-moved", t / "parent-moved-out");
             make_symlink(t / "parent-moved-out", root + "/parent-moved");
         },
         cannot_stat_text(ENOTDIR), t / "parent-moved-out/target/debug/app"},
        {"parent-decoy",
         [&](const std::string&) {
             rename_path(root + "/parent-decoy", t / "parent-decoy-out");
             make_symlink(t / "decoyproj", root + "/parent-decoy");
         },
         cannot_stat_text(ENOTDIR), t / "parent-decoy-out/target/debug/app"},
        // The home moved inside: the removal stops at it and leaves it whole.
        {"home-inside",
         [&](const std::string& target) { rename_path(t / "home", target + "/debug/home"); },
         "contains the home directory or one of its ancestors: " + moved_home,
         moved_home + "/.ssh/id"},
        {"long-inside",
         [&](const std::string& target) {
             const std::string level(200, 'L');
             int from = test::open_dir_any_length(
                 long_home.substr(0, long_home.size() - 2 * (level.size() + 1)));
             int to = ::open((target + "/debug").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
             if (::renameat(from, level.c_str(), to, "parent") != 0) {
                 throw std::runtime_error("rename the long home's parent");
             }
             ::close(from);
             ::close(to);
         },
         "contains the home directory or one of its ancestors: " + moved_parent,
         moved_parent + "/" + std::string(200, 'L') + "/f", long_home},
    };
    for (const Swap& s : swaps) {
        SCOPED_TRACE(s.project);
        const SystemEnv env = env_with_home(s.home.empty() ? t / "home" : s.home);
        Candidate c = cargo_target(root, s.project);
        EXPECT_EQ(refusal(c, env, [&](const Candidate& target) { s.swap(target.path); }), s.reason);
        EXPECT_TRUE(exists_nofollow(s.survivor));
    }
    EXPECT_EQ(test::tree_contents(moved_home), home);
    EXPECT_TRUE(exists_nofollow(root + "/to-new/target/fresh"));
    {
        // A directory inside swapped for a link: the link goes, its target stays.
        Candidate c = cargo_target(root, "inner");
        CleanReport r = *execute_clean({c}, false, SystemEnv{}, [&](const Candidate&) {
            rename_path(c.path + "/debug", t / "inner-debug");
            make_symlink(t / "decoy", c.path + "/debug");
        });
        EXPECT_EQ(r.cleaned_paths, std::vector<std::string>{c.path});
        EXPECT_FALSE(exists_nofollow(c.path));
        EXPECT_TRUE(exists_nofollow(t / "inner-debug/app"));
    }
    EXPECT_EQ(read_file(t / "decoy/precious"), "precious");
    EXPECT_EQ(read_file(t / "decoyproj/target/precious"), "precious");
}

// A bind mount of the same file system keeps its device: only the system's mount ids,
// mount-root flag and mount table tell it. A case needs one of them when it binds, unless it
// is about their absence.
bool runs_here(const std::string& mount, MountAnswers answers, const std::string& dir) {
    return mount == "tmpfs" || answers == MountAnswers::NoProc ||
           test::mounts_told_apart(dir, answers);
}

// Mount tests run everything in a child, mounts and engine work alike (see
// run_in_mount_namespace).
// A mount inside a target that the scan's measuring or the check before a delete met
// refuses the target before anything goes; one placed after both is met by the removal,
// which stops there and leaves the mount alone. Where statx marks no mount roots, mount ids
// tell directories apart and the mount table a file's, and a target without any is cleaned;
// where no id tells, it is refused. What /proc holds is believed only from procfs itself.
TEST(CleanExecutor, MountInsideATargetIsNotEntered) {
    TempDir t;
    write_file(t / "victim/keep.txt", "precious");
    write_file(t / "victim/deep/file.bin", std::string(300, 'v'));
    const auto victim = test::tree_contents(t / "victim");
    enum class When { Scan, Remeasure, Removal };
    struct Case {
        std::string name;
        std::string mount; // "tmpfs", the victim directory "bind", a "file" bound, or "" none
        When when;
        MountAnswers answers = MountAnswers::All;
        bool flat = false;     // the target holds files only
        std::string over = ""; // bound over /proc: a "fifo" or a "stale" table, a "forged" fdinfo
    };
    const std::vector<Case> cases{
        {"tmpfs-scan", "tmpfs", When::Scan},
        {"bind-scan", "bind", When::Scan},
        {"file-scan", "file", When::Scan},
        {"bind-remeasure", "bind", When::Remeasure},
        {"tmpfs-remeasure", "tmpfs", When::Remeasure},
        {"bind-removal", "bind", When::Removal},
        {"bind-scan-no-statx", "bind", When::Scan, MountAnswers::NoStatx},
        {"bind-scan-no-ids", "bind", When::Scan, MountAnswers::NoHandles},
        {"bind-removal-no-ids", "bind", When::Removal, MountAnswers::NoHandles},
        {"plain-no-ids", "", When::Scan, MountAnswers::NoHandles},
        {"flat-no-ids", "", When::Scan, MountAnswers::NoHandles, true},
        {"file-scan-no-ids", "file", When::Scan, MountAnswers::NoHandles},
        {"file-removal-no-ids", "file", When::Removal, MountAnswers::NoHandles},
        {"file-scan-no-statx", "file", When::Scan, MountAnswers::NoStatx},
        {"plain-untold", "", When::Scan, MountAnswers::NoProc},
        {"plain-stale-table", "", When::Scan, MountAnswers::NoHandles, false, "stale"},
        {"plain-fifo-table", "", When::Scan, MountAnswers::NoHandles, false, "fifo"},
        {"plain-forged-fdinfo", "", When::Scan, MountAnswers::NoHandles, false, "forged"}, // last
    };
    ASSERT_EQ(::mkfifo((t / "fifo").c_str(), 0600), 0);
    for (int fd = 0; fd < 1024; ++fd) { // every descriptor on the mount of id 1
        write_file(t / ("fdinfo/" + std::to_string(fd)), "pos:\t0\nflags:\t0\nmnt_id:\t1\n");
    }
    test::run_in_mount_namespace([&] {
        const std::string proc = "/proc/" + std::to_string(::getpid()); // the child's
        for (const Case& k : cases) {
            SCOPED_TRACE(k.name);
            if (!runs_here(k.mount, k.answers, t.path())) {
                continue;
            }
            set_mount_answers(k.answers);
            const std::string project = t / ("root/" + k.name);
            const std::string nm = project + "/node_modules";
            write_file(project + "/package.json", "{}");
            for (int i = 0; i < 50; ++i) {
                const std::string m = "/m" + std::to_string(i / 10) + std::to_string(i % 10);
                write_file(nm + m + (k.flat ? ".js" : "/index.js"), "module " + std::to_string(i));
            }
            const std::string mnt = nm + "/m25/zz mnt"; // escaped in the mount table
            if (k.mount == "file") {
                write_file(mnt, "placeholder");
            } else if (!k.mount.empty() || k.over == "stale") {
                make_dirs(mnt);
            }
            if (k.over == "stale") { // a copy that lists a mount since gone
                test::mount_bind(t / "victim", mnt);
                write_file(t / "stale", read_file(proc + "/mountinfo"));
                ASSERT_EQ(::umount(mnt.c_str()), 0);
                ASSERT_EQ(::rmdir(mnt.c_str()), 0);
            }
            if (!k.over.empty()) {
                test::mount_bind(t / (k.over == "forged" ? "fdinfo" : k.over),
                                 proc + (k.over == "forged" ? "/fdinfo" : "/mountinfo"));
            }
            std::vector<std::string> before;
            auto mount = [&] {
                if (k.mount == "tmpfs") {
                    test::mount_tmpfs(mnt);
                    write_file(mnt + "/on-tmpfs", "tmpfs");
                    // Met in any order, the least path is the one named.
                    test::mount_tmpfs(nm + "/m49");
                } else if (!k.mount.empty()) {
                    test::mount_bind(k.mount == "file" ? t / "victim/keep.txt" : t / "victim", mnt);
                }
                before = test::tree_contents(nm);
            };
            if (k.when == When::Scan) {
                mount();
            }
            Candidate c = measured(nm, t / "root", "node-modules", CacheScope::Project);
            if (k.when == When::Remeasure) {
                mount();
            }
            const bool untold = k.answers == MountAnswers::NoProc || k.over == "forged";
            const std::string reason =
                untold ? std::string(kCannotTellMounts) : "contains a mount point: " + mnt;
            std::optional<std::string> met; // by measuring
            if (untold || !k.mount.empty()) {
                met = untold ? nm + "/m00" : mnt;
            }
            if (k.when == When::Scan) {
                EXPECT_EQ(c.mount_inside, met);
            }
            if (!met) {
                CleanReport r = *execute_clean({c}, false, SystemEnv{});
                EXPECT_EQ(r.cleaned_paths, std::vector<std::string>{nm});
                EXPECT_FALSE(exists_nofollow(nm));
                continue;
            }
            auto fresh = measure_entry(c, SystemEnv{});
            if (k.when == When::Scan) {
                EXPECT_EQ(fresh ? "<measured>" : fmt_app_error(fresh.error()),
                          "cleanup conflicted with filesystem changes: " + reason);
            } else {
                ASSERT_TRUE(fresh) << fmt_app_error(fresh.error());
                c = *fresh;
            }
            CleanReport r = *execute_clean({c}, false, SystemEnv{}, [&](const Candidate&) {
                if (k.when == When::Removal) {
                    mount();
                }
            });
            ASSERT_EQ(r.skipped_paths.size(), 1u);
            EXPECT_EQ(r.skipped_paths[0].reason, reason);
            // Where statx tells mounts, the removal meets one on its way; elsewhere the table
            // read by its own check does before it starts.
            if (k.when == When::Removal && test::statx_tells_mounts(t.path(), k.answers)) {
                EXPECT_EQ(r.skipped_paths[0].stage, SkipStage::Removal);
                EXPECT_EQ(test::tree_contents(mnt), victim);
            } else {
                EXPECT_EQ(r.skipped_paths[0].stage, SkipStage::Validation);
                EXPECT_EQ(test::tree_contents(nm), before);
            }
        }
    });
    EXPECT_EQ(test::tree_contents(t / "victim"), victim);
}

// Where statx tells no mount, the mount table is read once however many caches a scan
// measures, and again once a mount changed: a file bound into a target that a clean has not
// reached yet still refuses it whole.
TEST(CleanExecutor, TheMountTableIsReadAgainOnlyOnceAMountChanged) {
    TempDir t;
    for (int i = 0; i < 410; ++i) {
        cargo_project(t / (i < 10 ? "few" : "many"), "p" + std::to_string(i), 16);
    }
    write_file(t / "bound", "bound");
    const SystemEnv env = env_with_home(t / "home");
    test::run_in_mount_namespace([&] {
        std::atomic<int> reads{0};
        set_mount_answers(MountAnswers::NoStatx, [&reads](int fd) {
            char link[PATH_MAX];
            ssize_t n =
                ::readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), link, sizeof link);
            reads += n > 0 &&
                     std::string_view(link, static_cast<std::size_t>(n)).ends_with("/mountinfo");
            return 0;
        });
        auto reads_in_scan = [&](const std::string& root, std::size_t caches) {
            ScanRequest request;
            request.roots = {root};
            request.scope = ScopeFilter::Project;
            reads = 0;
            auto scanned = scan_caches(request, env);
            EXPECT_TRUE(scanned && scanned->candidates.size() == caches) << root;
            return reads.load();
        };
        const int few = reads_in_scan(t / "few", 10);
        EXPECT_GE(few, 1);
        EXPECT_LE(reads_in_scan(t / "many", 400), few);

        const Candidate first = cargo_target(t / "clean", "a");
        const Candidate second = cargo_target(t / "clean", "b");
        const std::string file = second.path + "/debug/app";
        std::vector<std::string> bound;
        CleanReport r = *execute_clean({first, second}, false, env, [&](const Candidate& c) {
            if (c.path == first.path) {
                test::mount_bind(t / "bound", file);
                bound = test::tree_contents(second.path);
            }
        });
        set_mount_answers(MountAnswers::All);
        EXPECT_EQ(r.cleaned_paths, std::vector<std::string>{first.path});
        ASSERT_EQ(r.skipped_paths.size(), 1u);
        EXPECT_EQ(r.skipped_paths[0].reason, "contains a mount point: " + file);
        EXPECT_EQ(test::tree_contents(second.path), bound);
    });
}

// A cache directory that is itself a mount point, whether mounted when it is validated or
// just before its removal, is refused, and the mounted tree stays exactly as it was.
TEST(CleanExecutor, MountPointTargetsAreRefusedAndLeftAlone) {
    TempDir t;
    write_file(t / "victim/keep.txt", "precious");
    write_file(t / "victim/deep/dir/file.bin", std::string(300, 'v'));
    const auto victim = test::tree_contents(t / "victim");
    struct Case {
        std::string name;
        CacheScope scope;
        std::string mount; // the victim bound there, a "tmpfs", or the target bound on "self"
        bool late;         // mounted between the validation and the removal
        MountAnswers answers = MountAnswers::All;
    };
    const std::vector<Case> cases{
        {"project-bind", CacheScope::Project, "bind", false},
        {"project-tmpfs", CacheScope::Project, "tmpfs", false},
        {"global-bind", CacheScope::Global, "bind", false},
        {"global-tmpfs", CacheScope::Global, "tmpfs", false},
        {"late-bind", CacheScope::Project, "bind", true},
        {"late-self", CacheScope::Project, "self", true}, // same device and inode
        {"project-bind-no-statx", CacheScope::Project, "bind", false, MountAnswers::NoStatx},
        {"project-bind-no-ids", CacheScope::Project, "bind", false, MountAnswers::NoHandles},
        {"late-bind-no-ids", CacheScope::Project, "bind", true, MountAnswers::NoHandles},
        {"late-self-no-ids", CacheScope::Project, "self", true, MountAnswers::NoHandles},
        {"project-bind-untold", CacheScope::Project, "bind", false, MountAnswers::NoProc},
    };
    auto target_of = [&](const Case& k) {
        return k.scope == CacheScope::Project ? t / ("root/" + k.name + "/node_modules")
                                              : t / ("xdg-" + k.name + "/pip");
    };
    test::run_in_mount_namespace([&] {
        for (const Case& k : cases) {
            SCOPED_TRACE(k.name);
            if (!runs_here(k.mount, k.answers, t.path())) {
                continue;
            }
            set_mount_answers(k.answers);
            const bool project = k.scope == CacheScope::Project;
            const std::string target = target_of(k);
            SystemEnv env = env_with_home(t / "home");
            env.vars["XDG_CACHE_HOME"] = t / ("xdg-" + k.name);
            if (project) {
                write_file(t / ("root/" + k.name + "/package.json"), "{}");
            }
            write_file(target + "/own/file", "own");
            std::vector<std::string> mounted;
            auto mount = [&] {
                if (k.mount == "tmpfs") {
                    test::mount_tmpfs(target);
                    write_file(target + "/on-tmpfs", "tmpfs");
                } else {
                    test::mount_bind(k.mount == "self" ? target : t / "victim", target);
                }
                mounted = test::tree_contents(target);
            };
            if (!k.late) {
                mount();
            }
            Candidate c = measured(target, project ? t / "root" : env.vars["XDG_CACHE_HOME"],
                                   project ? "node-modules" : "pip-cache", k.scope);
            auto late_mount = [&](const Candidate&) {
                if (k.late) {
                    mount();
                }
            };
            EXPECT_EQ(refusal(c, env, late_mount),
                      k.answers == MountAnswers::NoProc ? kCannotTellMounts : kTargetIsMountPoint);
            EXPECT_EQ(test::tree_contents(target), mounted);
        }
    });
    if (IsSkipped()) {
        return;
    }
    EXPECT_EQ(test::tree_contents(t / "victim"), victim);
    for (const Case& k : cases) {
        if (!runs_here(k.mount, k.answers, t.path())) {
            continue;
        }
        EXPECT_EQ(test::tree_contents(target_of(k)),
                  (std::vector<std::string>{"d own", "f own/file\nown"}))
            << k.name;
    }
}

// A home directory or an ancestor of one is refused whatever path leads to it (a bind
// mount gives it a second canonical path), however long and through links and "..", and so
// is any account's home, even one behind a directory closed to the running user. A home
// not followed to its end is refused by its path as written too; a closed one reached
// through a link is not taken for a child of the link's directory. A scan of a cache
// holding a home lists nothing and warns of nothing, the home short or long.
// Sets the account hook for the life of the guard.
struct AccountHookGuard {
    explicit AccountHookGuard(AccountHook hook) { set_account_hook(std::move(hook)); }
    ~AccountHookGuard() { set_account_hook({}); }
};

TEST(CleanExecutor, HomesAreKnownByIdentityAndFromEveryAccount) {
    TempDir t;
    write_file(t / "tagged/a/CACHEDIR.TAG", "Signature: 8a477f597d28d172789f06886806bc55\n");
    write_file(t / "web/p/package.json", "{}");
    write_file(t / "bound/p/package.json", "{}");
    cargo_project(t / "accounts", "p");
    cargo_project(t / "sudo", "p");
    cargo_project(t / "locked", "p");
    const std::string closed = t / "locked/p/target/closed"; // while the cases run
    const std::string links = t / "web/p/node_modules";
    make_dirs(closed);
    make_dirs(links);
    make_symlink(closed, links + "/to-closed");
    make_symlink(t / "locked/p/target", links + "/to-target");
    // Homes longer than any path a system call takes, made through descriptors, kept apart.
    TempDir deep;
    test::RemoveDeepTree long_tree{deep.path(), "long"}, linked_tree{deep.path(), "linked"};
    auto chain_below = [](const std::string& dir) {
        make_dirs(dir);
        test::build_overlong_chain(dir);
        std::string below;
        for (int i = 0; i < 25; ++i) {
            below += "/" + std::string(200, 'L');
        }
        return below;
    };
    cargo_project(deep / "long", "p");
    const std::string long_home = deep / "long/p/target/u" + chain_below(deep / "long/p/target/u");
    // Through "link/..", which is x, not the directory holding the link.
    write_file(deep / "linked/x/p/package.json", "{}");
    make_dirs(deep / "linked/x/y");
    make_symlink("x/y", deep / "linked/link");
    const std::string linked_home =
        deep / "linked/link/../p/node_modules/u" + chain_below(deep / "linked/x/p/node_modules/u");
    enum class From { Home, Database, SudoUid };
    struct Case {
        std::string home; // HOME, else the home of an account in the account database
        From from;
        std::string target, anchor, kind;
        CacheScope scope;
        bool refused = true;  // else the target passes the check
        bool scanned = false; // the anchor scanned too
    };
    const std::vector<Case> cases{
        {t / "tagged/a/home", From::Home, t / "tagged-alias/a", t / "tagged-alias", "cachedir-tag",
         CacheScope::Project},
        {t / "web/p/node_modules/u", From::Home, t / "web-alias/p/node_modules", t / "web-alias",
         "node-modules", CacheScope::Project},
        {t / "xdg/pip", From::Home, t / "xdg-alias/pip", t / "xdg-alias", "pip-cache",
         CacheScope::Global},
        {t / "accounts/p/target/u", From::Database, t / "accounts/p/target", t / "accounts",
         "cargo-target", CacheScope::Project, true, true},
        {long_home, From::Database, deep / "long/p/target", deep / "long", "cargo-target",
         CacheScope::Project, true, true},
        {linked_home, From::Home, deep / "linked/x/p/node_modules", deep / "linked", "node-modules",
         CacheScope::Project},
        {closed + "/alice", From::Database, t / "locked/p/target", t / "locked", "cargo-target",
         CacheScope::Project},
        {closed + "/alice", From::Database, t / "locked-alias/p/target", t / "locked-alias",
         "cargo-target", CacheScope::Project},
        {links + "/to-target/closed/alice", From::Home, links, t / "web", "node-modules",
         CacheScope::Project},
        {links + "/to-closed", From::Home, t / "web-alias/p/node_modules", t / "web-alias",
         "node-modules", CacheScope::Project, false},
        // Climbed from in part first, it is no end to another home's climb.
        {links + "/to-closed", From::Home, t / "locked-alias/p/target", t / "locked-alias",
         "cargo-target", CacheScope::Project},
        // Through a bind mount of "locked", whose ancestors are known by the homes above.
        {t / "bound/p/node_modules/m/p", From::Database, t / "bound-alias/p/node_modules",
         t / "bound-alias", "node-modules", CacheScope::Project},
        // Under sudo, an account that enumeration does not list, as directory services do.
        {t / "sudo/p/target/u", From::SudoUid, t / "sudo/p/target", t / "sudo", "cargo-target",
         CacheScope::Project},
    };
    std::string passwd;
    for (const Case& k : cases) {
        if (k.home.size() < 4096) {
            write_file(k.home + "/.ssh/id", "key");
        }
        if (k.from == From::Database) {
            passwd += "ghost:x:4242:4242::" + k.home + ":/bin/sh\n";
        }
    }
    passwd += "sudoer:x:4343:4343::" + t / "sudo/p/target/u" + ":/bin/sh\n";
    write_file(t / "passwd", passwd);
    test::run_in_mount_namespace([&] {
        for (const char* dir : {"tagged", "web", "xdg", "locked", "bound"}) {
            make_dirs(t / (std::string(dir) + "-alias"));
            test::mount_bind(t / dir, t / (std::string(dir) + "-alias"));
        }
        test::mount_bind(t / "locked", t / "bound/p/node_modules/m");
        test::mount_bind(t / "passwd", "/etc/passwd");
        const auto before = test::tree_contents(t.path());
        // From here on mode 000 stops root too, on the worker pool's threads as well: they
        // start later.
        ASSERT_TRUE(test::drop_mode_override());
        std::vector<Candidate> targets;
        for (const Case& k : cases) {
            targets.push_back(measured(k.target, k.anchor, k.kind, k.scope));
        }
        ::chmod(closed.c_str(), 0);
        // Then without statx's mount ids, where no climb ends early: no directory's mount is
        // known.
        for (std::size_t run = 0; run < 2 * cases.size(); ++run) {
            const std::size_t i = run % cases.size();
            set_mount_answers(run < cases.size() ? MountAnswers::All : MountAnswers::NoStatx);
            const Case& k = cases[i];
            SCOPED_TRACE(k.target + (run < cases.size() ? "" : ", no statx"));
            SystemEnv env = env_with_home(k.from == From::Home ? k.home : t / "home");
            env.vars["XDG_CACHE_HOME"] = t / "xdg-alias";
            std::optional<AccountHookGuard> unlisted;
            if (k.from == From::SudoUid) {
                env.vars["SUDO_UID"] = "4343";
                unlisted.emplace([](std::size_t) { return ENOENT; });
            }
            if (!k.refused) {
                EXPECT_TRUE(measure_entry(targets[i], env));
                continue;
            }
            EXPECT_EQ(refusal(targets[i], env),
                      "target is the home directory or one of its ancestors");
            if (k.scanned) {
                ScanRequest request;
                request.roots = {k.anchor};
                request.scope = ScopeFilter::Project;
                auto scanned = scan_caches(request, env);
                ASSERT_TRUE(scanned);
                EXPECT_TRUE(scanned->candidates.empty());
                EXPECT_EQ(scanned->walk_errors, std::vector<std::string>{});
            }
        }
        set_mount_answers(MountAnswers::All);
        ::chmod(closed.c_str(), 0755);
        EXPECT_EQ(test::tree_contents(t.path()), before);
    });
}

// The account database is read once per operation, and trusted for nothing when read in
// part: the check of a selection and a clean stop before removing anything and name it; a
// scan warns once and goes on.
TEST(CleanExecutor, TheAccountDatabaseIsReadOncePerOperationAndWholeOrNotAtAll) {
    TempDir t;
    const SystemEnv env = env_with_home(t / "home");
    const std::vector<Candidate> targets{cargo_target(t / "root", "a"),
                                         cargo_target(t / "root", "b"),
                                         cargo_target(t / "root", "c")};
    ScanRequest request;
    request.roots = {t / "root"};
    request.scope = ScopeFilter::Project;
    struct Failure {
        int error;
        std::size_t entry; // 0: the enumeration cannot even start
    };
    std::atomic<int> enumerations{0};
    std::optional<Failure> failure;
    AccountHookGuard guard([&](std::size_t entry) {
        enumerations += entry == 0 ? 1 : 0;
        return failure && failure->entry == entry ? failure->error : 0;
    });
    const auto before = test::tree_contents(t.path());
    for (Failure f : {Failure{EIO, 0}, Failure{EMFILE, 1}}) {
        SCOPED_TRACE(f.error);
        failure = f;
        enumerations = 0;
        const std::string text = "filesystem operation failed for <account database>: " +
                                 IoError::from_errno(f.error).to_string();
        auto checked = measure_entries(targets, env);
        ASSERT_FALSE(checked);
        EXPECT_EQ(checked.error().exit_status(), 4);
        EXPECT_EQ(fmt_app_error(checked.error()), text);
        auto cleaned = execute_clean(targets, false, env);
        ASSERT_FALSE(cleaned);
        EXPECT_EQ(fmt_app_error(cleaned.error()), text);
        EXPECT_EQ(test::tree_contents(t.path()), before);
        auto scanned = scan_caches(request, env);
        ASSERT_TRUE(scanned);
        EXPECT_EQ(scanned->candidates.size(), 3u);
        EXPECT_EQ(scanned->walk_errors, std::vector<std::string>{text});
        // With no target (a deletion of Docker rows alone) there is nothing to protect.
        EXPECT_TRUE(measure_entries({}, env));
        EXPECT_TRUE(execute_clean({}, false, env));
        EXPECT_EQ(enumerations, 3);
    }
    failure.reset();
    enumerations = 0;
    auto checked = measure_entries(targets, env);
    ASSERT_TRUE(checked) << fmt_app_error(checked.error());
    EXPECT_EQ(checked->size(), 3u);
    EXPECT_EQ(enumerations, 1);
    auto cleaned = execute_clean(*checked, false, env);
    ASSERT_TRUE(cleaned) << fmt_app_error(cleaned.error());
    EXPECT_EQ(cleaned->cleaned, 3u);
    EXPECT_EQ(enumerations, 2);
}

TEST(CleanExecutor, FreeSpaceRowsOnlyForFileSystemsThatLostSomething) {
    TempDir t;
    // Named so that path order and device-number order disagree.
    make_dirs(t / "zfs1");
    make_dirs(t / "fs2");
    test::run_in_mount_namespace([&] {
        test::mount_tmpfs(t / "zfs1");
        test::mount_tmpfs(t / "fs2");
        Candidate base_a = cargo_target(t / "root", "a");
        Candidate base_b = cargo_target(t / "root", "b");
        Candidate on_fs1 = cargo_target(t / "zfs1", "p", 1 << 20);
        Candidate on_fs2 = cargo_target(t / "fs2", "q");
        ::unlink((t / "fs2/q/Cargo.toml").c_str());

        CleanReport r = *execute_clean({base_a, on_fs2, on_fs1, base_b}, false, SystemEnv{});
        EXPECT_EQ(r.cleaned, 3u);
        ASSERT_EQ(r.filesystem_deltas.size(), 2u);
        EXPECT_EQ(r.filesystem_deltas[0].probe_path, t / "root/a");
        EXPECT_EQ(r.filesystem_deltas[1].probe_path, t / "zfs1/p");
        for (const auto& d : r.filesystem_deltas) {
            EXPECT_EQ(d.delta_bytes, free_space_delta(d.free_bytes_before, d.free_bytes_after));
        }
        EXPECT_GE(r.filesystem_deltas[1].delta_bytes, 1 << 20);
    });
}

TEST(CleanExecutor, FreeSpaceProbeAndDeltaClamp) {
    TempDir t;
    auto here = filesystem_free_bytes(t.path());
    ASSERT_TRUE(here);
    struct stat st;
    ASSERT_EQ(::stat(t.path().c_str(), &st), 0);
    EXPECT_EQ(here->device, identity_of(st).device);
    EXPECT_GT(here->free_bytes, 0u);
    EXPECT_FALSE(filesystem_free_bytes(t / "missing"));
    std::string with_nul = t.path();
    with_nul += std::string_view("\0x", 2);
    EXPECT_FALSE(filesystem_free_bytes(with_nul));

    EXPECT_EQ(free_space_delta(10, 4), -6);
    EXPECT_EQ(free_space_delta(4, 10), 6);
    EXPECT_EQ(free_space_delta(0, kU64Max), INT64_MAX);
    EXPECT_EQ(free_space_delta(kU64Max, 0), INT64_MIN);
    EXPECT_EQ(free_space_delta(kU64Max, kU64Max), 0);
}

// Runs `fn` as the unprivileged user and returns what it wrote.
std::optional<std::string> output_as_unprivileged(const std::function<std::string()>& fn) {
    int p[2];
    if (::pipe(p) != 0) {
        return std::nullopt;
    }
    auto status = test::run_unprivileged([&] {
        ::close(p[0]);
        std::string out = fn();
        bool ok = ::write(p[1], out.data(), out.size()) == static_cast<ssize_t>(out.size());
        return ok ? 0 : 1;
    });
    ::close(p[1]);
    std::string out;
    char buf[4096];
    for (ssize_t n; (n = ::read(p[0], buf, sizeof buf)) > 0;) {
        out.append(buf, static_cast<std::size_t>(n));
    }
    ::close(p[0]);
    if (!status || *status != 0) {
        return std::nullopt;
    }
    return out;
}

std::map<std::string, mode_t> dir_modes(const std::string& root) {
    std::map<std::string, mode_t> modes;
    struct stat st;
    ::lstat(root.c_str(), &st);
    modes[root] = st.st_mode & 07777;
    for (const auto& e : fs::recursive_directory_iterator(root)) {
        if (e.is_directory() && ::lstat(e.path().c_str(), &st) == 0) {
            modes[e.path()] = st.st_mode & 07777;
        }
    }
    return modes;
}

void make_read_only(const std::string& root) {
    for (const auto& [dir, mode] : dir_modes(root)) {
        ::chmod(dir.c_str(), 0555);
    }
}

TEST(CleanExecutor, ReadOnlyGoModuleCacheIsRetriedForItsOwnerOnly) {
    if (::geteuid() != 0 || !test::unprivileged_ids()) {
        GTEST_SKIP() << "needs root to set up trees of two users";
    }
    TempDir t;
    const std::string home = t / "home";
    write_file(home + "/go/pkg/mod/cache/download/x/@v/v1.zip", "zip");
    write_file(home + "/go/pkg/mod/golang.org/x/text@v0.1/go.mod", "module x");
    // Another cache with one directory that belongs to root.
    write_file(t / "other/gomod/cache/download/y.zip", "zip");
    write_file(t / "other/gomod/foreign/z.go", "package z");
    // Temporary output: read-only, with and without a Go module name.
    write_file(t / "shared/proj-go-mod/pkg/a.go", "package a");
    write_file(t / "shared/ro-build-cache/pkg/b.o", "b");
    make_dirs(t / "tmpdir");
    test::chown_tree(home);
    test::chown_tree(t / "other");
    test::chown_tree(t / "shared");
    ASSERT_EQ(::lchown((t / "other/gomod/foreign").c_str(), 0, 0), 0);
    make_read_only(home + "/go/pkg/mod");
    make_read_only(t / "other/gomod");
    make_read_only(t / "shared/proj-go-mod");
    make_read_only(t / "shared/ro-build-cache");
    const auto other_modes = dir_modes(t / "other/gomod");
    const auto ro_modes = dir_modes(t / "shared/ro-build-cache");

    SystemEnv env = env_with_home(home);
    env.vars["GOMODCACHE"] = t / "other/gomod";
    env.vars["TMPDIR"] = t / "tmpdir";
    env.shared_tmp_root = t / "shared";
    // Measured in the child: measuring starts the worker pool, and a fork after that may
    // inherit an allocator lock that one of its threads held.
    auto targets = [&] {
        return std::vector<Candidate>{
            measured(home + "/go/pkg/mod", home + "/go/pkg", "go-module-cache", CacheScope::Global),
            measured(t / "other/gomod", t / "other", "go-module-cache", CacheScope::Global),
            measured(t / "shared/proj-go-mod", t / "shared", "macos-temporary-build-cache",
                     CacheScope::Global),
            measured(t / "shared/ro-build-cache", t / "shared", "macos-temporary-build-cache",
                     CacheScope::Global),
        };
    };

    auto out = output_as_unprivileged([&] {
        CleanReport r = *execute_clean(targets(), false, env);
        std::string text;
        for (const auto& p : r.cleaned_paths) {
            text += "cleaned " + p + "\n";
        }
        for (const auto& s : r.skipped_paths) {
            text += (s.stage == SkipStage::Removal ? "failed " : "refused ") + s.path + ": " +
                    s.reason + "\n";
        }
        return text;
    });
    ASSERT_TRUE(out) << "could not run as the unprivileged user";
    const std::string other = t / "other/gomod";
    EXPECT_EQ(*out, "cleaned " + home + "/go/pkg/mod\n" + "cleaned " + t / "shared/proj-go-mod" +
                        "\n" + "failed " + other + ": " + std::string(kDenied) +
                        "; could not prepare read-only Go module cache: Go module cache "
                        "contains a directory owned by another user\n" +
                        "failed " + t / "shared/ro-build-cache" + ": " + std::string(kDenied) +
                        "\n");
    EXPECT_FALSE(exists_nofollow(home + "/go/pkg/mod"));
    EXPECT_FALSE(exists_nofollow(t / "shared/proj-go-mod"));
    EXPECT_EQ(dir_modes(other), other_modes);
    EXPECT_EQ(dir_modes(t / "shared/ro-build-cache"), ro_modes);
}

TEST(CleanExecutor, MeasureEntryAgesWithSevenDaysAndRefusesChangedTargets) {
    TempDir t;
    const std::string root = t / "root";
    const std::int64_t now = static_cast<std::int64_t>(now_unix());
    Candidate c = cargo_target(root, "p");
    set_tree_mtime(c.path, now - 10 * 86'400 - 60);
    c = measured(c.path, root, "cargo-target", CacheScope::Project, 30);
    ASSERT_TRUE(c.is_protected);

    write_file(c.path + "/extra", std::string(500, 'e'));
    set_tree_mtime(c.path, now - 10 * 86'400 - 60);
    auto fresh = measure_entry(c, SystemEnv{});
    ASSERT_TRUE(fresh) << fmt_app_error(fresh.error());
    EXPECT_FALSE(fresh->is_protected);
    EXPECT_EQ(fresh->age_days, 10u);
    EXPECT_EQ(fresh->bytes, c.bytes + 500);
    EXPECT_EQ(fresh->fingerprint.bytes, c.bytes + 500);
    EXPECT_EQ(fresh->fingerprint.entries, c.fingerprint.entries + 1);
    EXPECT_EQ(fresh->modified_unix, static_cast<std::uint64_t>(now - 10 * 86'400 - 60));
    EXPECT_EQ(fresh->identity, c.identity);
    EXPECT_EQ(fresh->anchor, c.anchor);

    set_tree_mtime(c.path, now - 7 * 86'400 - 60);
    fresh = measure_entry(c, SystemEnv{});
    ASSERT_TRUE(fresh);
    EXPECT_FALSE(fresh->is_protected);
    EXPECT_EQ(fresh->age_days, 7u);

    set_tree_mtime(c.path, now - 6 * 86'400 - 60);
    fresh = measure_entry(c, SystemEnv{});
    ASSERT_TRUE(fresh);
    EXPECT_TRUE(fresh->is_protected);
    EXPECT_EQ(fresh->age_days, 6u);

    ::unlink((root + "/p/Cargo.toml").c_str());
    auto refused = measure_entry(c, SystemEnv{});
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().kind(), ErrorKind::Conflict);
    EXPECT_EQ(fmt_app_error(refused.error()),
              "cleanup conflicted with filesystem changes: cache ownership markers disappeared");
}

} // namespace
} // namespace qb
