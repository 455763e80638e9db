#include "common/os_error.hpp"
#include "fixture_tree.hpp"
#include "scanner/classifier.hpp"
#include "scanner/mount_helper.hpp"
#include "scanner/scan.hpp"
#include "scanner/walk.hpp"
#include "scanner_fixtures.hpp"

#include <algorithm>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <iterator>
#include <optional>
#include <random>
#include <set>

namespace qb::test {
namespace {

// Records the walk as lines: "dir PATH DEPTH" and "err TEXT". Directories whose name
// starts with "skip" are not entered.
std::vector<std::string> record_walk(const std::string& root) {
    std::vector<std::string> events;
    walk_directories(
        root,
        [&](const WalkDir& d) {
            events.push_back("dir " + std::string(d.path) + " " + std::to_string(d.depth));
            std::string name(d.path.substr(d.path.rfind('/') + 1));
            return name.rfind("skip", 0) == 0 ? WalkStep::Skip : WalkStep::Descend;
        },
        [&](std::string e) { events.push_back("err " + e); });
    return events;
}

std::vector<std::string> list_names(const std::string& dir) {
    std::vector<std::string> names;
    if (DIR* d = ::opendir(dir.c_str())) {
        while (struct dirent* e = ::readdir(d)) {
            std::string n = e->d_name;
            if (n != "." && n != "..") {
                names.push_back(n);
            }
        }
        ::closedir(d);
    }
    return names;
}

// The walk the rules describe, written plainly with paths: pre-order, listing order,
// links not followed; `unopenable` holds the directories the walker cannot open.
void reference_walk(const std::string& path, std::size_t depth,
                    const std::set<std::string>& unopenable, std::vector<std::string>& events) {
    events.push_back("dir " + path + " " + std::to_string(depth));
    std::string name = path.substr(path.rfind('/') + 1);
    if (name.rfind("skip", 0) == 0) {
        return;
    }
    if (unopenable.count(path)) {
        events.push_back("err " + walk_error_text(path, EACCES));
        return;
    }
    for (const auto& n : list_names(path)) {
        std::string child = path + "/" + n;
        struct stat st;
        if (::lstat(child.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
            reference_walk(child, depth + 1, unopenable, events);
        }
    }
}

// Runs `record` as the unprivileged user (on a tree chown_tree gave it) and returns the
// lines it wrote, through a file in `t`'s "out" directory; none when privileges cannot
// be dropped.
std::optional<std::vector<std::string>>
lines_written_unprivileged(const TempDir& t, const std::function<void(std::ostream&)>& record) {
    auto rc = run_unprivileged([&] {
        std::ofstream o(t / "out/events");
        record(o);
        return o ? 0 : 1;
    });
    if (!rc) {
        return std::nullopt;
    }
    EXPECT_EQ(*rc, 0);
    return lines_of(read_file(t / "out/events"));
}

void build_walk_tree(const std::string& root) {
    for (const char* d : {"a/b/c", "a/skip-me/inner", "a/e", "f", "g/h", "node_modules/x/y"}) {
        make_dirs(root + "/" + d);
    }
    for (int i = 0; i < 40; ++i) {
        make_dirs(root + "/wide/w" + std::to_string(i) + "/sub");
        write_file(root + "/wide/file" + std::to_string(i), "x");
    }
    // Deeper than the number of listings held open at once.
    std::string deep = root + "/deep";
    for (int i = 0; i < 40; ++i) {
        deep += "/l" + std::to_string(i);
        make_dirs(deep + "/side");
    }
    write_file(root + "/a/file", "f");
    make_symlink(root + "/a", root + "/link-to-dir");
    make_symlink("nowhere", root + "/dangling");
}

TEST(Walk, PreOrderInListingOrderWithoutFollowingLinks) {
    TempDir t;
    build_walk_tree(t / "r");
    std::vector<std::string> expected;
    reference_walk(t / "r", 0, {}, expected);
    auto got = record_walk(t / "r");
    EXPECT_EQ(got, expected);
    EXPECT_GT(got.size(), 120u);
    // Nothing under a skipped directory, and no file, was reported.
    for (const auto& e : got) {
        EXPECT_EQ(e.find("skip-me/"), std::string::npos) << e;
        EXPECT_EQ(e.find("file"), std::string::npos) << e;
        EXPECT_EQ(e.find("link-to-dir"), std::string::npos) << e;
    }
}

TEST(Walk, RootsThatAreMissingFilesOrLinks) {
    TempDir t;
    EXPECT_EQ(record_walk(t / "missing"),
              std::vector<std::string>{"err IO error for operation on " + (t / "missing") + ": " +
                                       os_error_text(ENOENT)});
    write_file(t / "file", "x");
    EXPECT_TRUE(record_walk(t / "file").empty());

    // A root given as a link to a directory is read through, but not reported itself.
    make_dirs(t / "real/sub");
    make_symlink(t / "real", t / "link");
    EXPECT_EQ(record_walk(t / "link"), std::vector<std::string>{"dir " + (t / "link/sub") + " 1"});

    // A skipped root is not read.
    make_dirs(t / "skip-root/inner");
    EXPECT_EQ(record_walk(t / "skip-root"),
              std::vector<std::string>{"dir " + (t / "skip-root") + " 0"});
}

TEST(Walk, UnreadableDirectoriesBecomeErrorTextsInWalkOrder) {
    TempDir t;
    std::string r = t / "r";
    build_walk_tree(r);
    make_dirs(r + "/a/locked/never-seen");
    make_dirs(r + "/a/search-only/never-listed");
    make_dirs(r + "/g/list-only/sub/deeper");
    make_dirs(r + "/skip-locked/x");
    make_dirs(r + "/bad\xff"
                  "name/x");
    make_dirs(t / "out");
    chown_tree(t.path());
    ::chmod((r + "/a/locked").c_str(), 0);
    ::chmod((r + "/a/search-only").c_str(), 0111);
    ::chmod((r + "/g/list-only").c_str(), 0444);
    ::chmod((r + "/skip-locked").c_str(), 0);
    ::chmod((r + "/bad\xff"
                 "name")
                .c_str(),
            0);

    // list-only can be listed, but nothing in it can be opened.
    std::set<std::string> unopenable{r + "/a/locked", r + "/a/search-only", r + "/g/list-only/sub",
                                     r + "/bad\xff"
                                         "name"};
    // The reference looks into list-only as the walker cannot: with root's reach.
    auto reference = output_as_root([&] {
        std::vector<std::string> events;
        reference_walk(r, 0, unopenable, events);
        std::string text;
        for (const auto& e : events) {
            text += e + "\n";
        }
        return text;
    });
    if (!reference) {
        return;
    }
    const std::vector<std::string> expected = lines_of(*reference);

    auto written = lines_written_unprivileged(t, [&](std::ostream& o) {
        for (const auto& e : record_walk(r)) {
            o << e << "\n";
        }
    });
    if (!written) {
        GTEST_SKIP() << "cannot run as an unprivileged user here";
    }
    const std::vector<std::string>& got = *written;
    EXPECT_EQ(got, expected);
    auto errors = std::count_if(got.begin(), got.end(),
                                [](const std::string& e) { return e.rfind("err ", 0) == 0; });
    EXPECT_EQ(errors, 4);
    // The name that is not UTF-8 is shown with a replacement character.
    EXPECT_NE(std::find(got.begin(), got.end(),
                        "err IO error for operation on " + r +
                            "/bad\xEF\xBF\xBDname: Permission denied (os error 13)"),
              got.end());
}

TEST(Walk, PathsPastTheSystemLimitAreReportedNotRead) {
    TempDir t;
    std::string name(200, 'P');
    RemoveDeepTree cleanup{t.path(), name};
    int fd = ::open(t.path().c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(fd, 0);
    std::string path = t.path();
    std::vector<std::string> expected;
    std::size_t depth = 0;
    expected.push_back("dir " + path + " 0");
    int dir = ::dup(fd);
    while (true) {
        ASSERT_EQ(::mkdirat(dir, name.c_str(), 0755), 0);
        int next = ::openat(dir, name.c_str(), O_RDONLY | O_DIRECTORY);
        ::close(dir);
        dir = next;
        path += "/" + name;
        ++depth;
        expected.push_back("dir " + path + " " + std::to_string(depth));
        if (path.size() >= 4096) {
            expected.push_back("err " + walk_error_text(path, ENAMETOOLONG));
            ASSERT_EQ(::mkdirat(dir, "below", 0755), 0); // never reached
            break;
        }
    }
    ::close(dir);
    EXPECT_EQ(record_walk(t.path()), expected);
    ::close(fd);
}

TEST(Discovery, FoundCachesAndErrorsComeInWalkOrder) {
    TempDir t;
    std::string p = t / "p";
    for (const char* d : {"a", "locked", "m", "z"}) {
        write_file(p + "/" + d + "/__pycache__/x.pyc", "x");
    }
    write_file(p + "/m/package.json", "{}");
    write_file(p + "/m/node_modules/inner/__pycache__/y.pyc", "never reached");
    make_dirs(t / "out");
    chown_tree(t.path());
    ::chmod((p + "/locked").c_str(), 0);

    // Expected from the listing order of the root: each directory in turn (m's own
    // __pycache__ is its only find).
    std::vector<std::string> expected;
    for (const auto& name : list_names(p)) {
        if (name == "locked") {
            expected.push_back("err " + walk_error_text(p + "/locked", EACCES));
        } else {
            expected.push_back("found python-bytecode " + p + "/" + name + "/__pycache__ " + p);
        }
    }
    auto got = lines_written_unprivileged(t, [&](std::ostream& o) {
        // node-modules is filtered out: not reported, and not entered either.
        DiscoveryRules rules(KindFilter({"python-bytecode"}), ProtectedDirs(SystemEnv{}));
        discover_project_caches(
            p, rules,
            [&](FoundCache f) {
                o << "found " << f.kind << " " << f.path << " " << f.anchor << "\n";
            },
            [&](std::string e) { o << "err " << e << "\n"; });
    });
    if (!got) {
        GTEST_SKIP() << "cannot run as an unprivileged user here";
    }
    EXPECT_EQ(*got, expected);
}

} // namespace
} // namespace qb::test

namespace qb::test {
namespace {

// Discovery as the rules state it, with paths only: the entry type from the listing,
// path-based classification, and the open error of an entered directory right after it.
void reference_discovery(const std::string& path, std::size_t depth,
                         std::vector<std::string>& events) {
    if (depth > 0 && is_vcs_dir(path)) {
        return;
    }
    if (auto match = classify_project_dir(path)) {
        events.push_back("found " + std::string(match->kind) + " " + path);
        return;
    }
    DIR* dir = ::opendir(path.c_str());
    if (dir == nullptr) {
        events.push_back("err " + walk_error_text(path, errno));
        return;
    }
    for (;;) {
        errno = 0;
        const dirent* e = ::readdir(dir);
        if (e == nullptr) {
            if (errno != 0) {
                events.push_back("err " + os_error_text(errno));
            }
            break;
        }
        std::string name = e->d_name;
        if (name == "." || name == "..") {
            continue;
        }
        std::string child = path + "/" + name;
        bool is_dir = e->d_type == DT_DIR;
        if (e->d_type == DT_UNKNOWN) {
            struct stat st;
            if (::lstat(child.c_str(), &st) != 0) {
                events.push_back("err " + walk_error_text(child, errno));
                continue;
            }
            is_dir = S_ISDIR(st.st_mode);
        }
        if (is_dir) {
            reference_discovery(child, depth + 1, events);
        }
    }
    ::closedir(dir);
}

// Runs the reference and the real discovery of `root` as the unprivileged user; the
// reference's lines and the real ones, or none when privileges cannot be dropped.
std::optional<std::pair<std::vector<std::string>, std::vector<std::string>>>
discoveries_unprivileged(const TempDir& t, const std::string& root) {
    auto written = lines_written_unprivileged(t, [&](std::ostream& o) {
        std::vector<std::string> expected;
        reference_discovery(root, 0, expected);
        for (const auto& line : expected) {
            o << line << "\n";
        }
        o << "--\n";
        discover_project_caches(
            root, DiscoveryRules(KindFilter({}), ProtectedDirs(SystemEnv{})),
            [&](FoundCache f) { o << "found " << f.kind << " " << f.path << "\n"; },
            [&](std::string e) { o << "err " << e << "\n"; });
    });
    if (!written) {
        return std::nullopt;
    }
    auto split = std::find(written->begin(), written->end(), "--");
    EXPECT_NE(split, written->end());
    return std::pair{std::vector<std::string>(written->begin(), split),
                     std::vector<std::string>(std::min(split + 1, written->end()), written->end())};
}

// A parent that can be listed but not searched: its extension markers are still read
// (listing needs only read permission), while nothing inside it can be opened.
TEST(Discovery, ExtensionMarkersOfAListOnlyParentStillCount) {
    TempDir t;
    std::string p = t / "p";
    build_tree(p, {"ro/bin/", "ro/obj/", "ro/.terraform/", "ro/dist-newstyle/", "ro/plain/",
                   "ro/A.csproj", "ro/main.tf", "ro/x.cabal"});
    make_dirs(t / "out");
    chown_tree(t.path());
    ::chmod((p + "/ro").c_str(), 0444);
    auto runs = discoveries_unprivileged(t, p);
    ::chmod((p + "/ro").c_str(), 0755);
    if (!runs) {
        GTEST_SKIP() << "cannot run as an unprivileged user here";
    }
    const auto& [expected, got] = *runs;
    EXPECT_EQ(got, expected);
    std::set<std::string> found;
    for (const auto& line : expected) {
        if (line.rfind("found ", 0) == 0) {
            found.insert(line);
        }
    }
    EXPECT_EQ(found, (std::set<std::string>{"found dotnet-bin " + p + "/ro/bin",
                                            "found dotnet-obj " + p + "/ro/obj",
                                            "found terraform-modules " + p + "/ro/.terraform",
                                            "found cabal-dist " + p + "/ro/dist-newstyle"}));
}

// Random trees of rule names, marker files, tags and links, with some directories that
// cannot be listed, searched or both: discovery through descriptors must see exactly
// what the path-based rules see.
TEST(Discovery, AgreesWithPathBasedRulesOnTreesWithOddPermissions) {
    const char* dir_names[] = {"venv",         "target",        "build",       "bin",
                               "obj",          "renv",          "library",     "vendor",
                               "bundle",       ".git",          "x",           "deps",
                               "node_modules", "dist-newstyle", "__pycache__", ".terraform"};
    const char* file_names[] = {"Cargo.toml", "package.json", "pyvenv.cfg", "CMakeCache.txt",
                                "A.csproj",   "renv.lock",    "Gemfile",    "mix.exs",
                                "main.tf",    "x.cabal",      "pom.xml",    "build.gradle"};
    const mode_t modes[] = {0, 0111, 0311, 0444, 0555};
    for (unsigned seed = 0; seed < 40; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        TempDir t;
        std::mt19937 rng(seed);
        auto pick = [&rng](const auto& list) { return list[rng() % std::size(list)]; };
        std::string root = t / "r";
        std::vector<std::string> dirs{root};
        make_dirs(root);
        for (int i = 0; i < 60; ++i) {
            std::string parent = dirs[rng() % dirs.size()];
            if (rng() % 3 == 0) {
                write_file(parent + "/" + pick(file_names), "x");
            } else {
                dirs.push_back(parent + "/" + pick(dir_names));
                make_dirs(dirs.back());
            }
            if (rng() % 10 == 0) {
                write_file(parent + "/CACHEDIR.TAG", kTagLine + "\n");
            }
        }
        for (int i = 0; i < 15; ++i) {
            std::string target = rng() % 2 ? dirs[rng() % dirs.size()] : "/nowhere";
            std::string link =
                dirs[rng() % dirs.size()] + "/" + (rng() % 2 ? pick(dir_names) : pick(file_names));
            (void)::symlink(target.c_str(), link.c_str()); // a taken name keeps its entry
        }
        make_dirs(t / "out");
        chown_tree(t.path());
        for (std::size_t i = 1; i < dirs.size(); ++i) {
            if (rng() % 4 == 0) {
                ::chmod(dirs[i].c_str(), pick(modes));
            }
        }
        auto runs = discoveries_unprivileged(t, root);
        for (const auto& d : dirs) {
            ::chmod(d.c_str(), 0755); // so that the temporary tree can be removed
        }
        if (!runs) {
            GTEST_SKIP() << "cannot run as an unprivileged user here";
        }
        EXPECT_EQ(runs->second, runs->first);
        EXPECT_FALSE(runs->first.empty()); // the reference saw something
    }
}

} // namespace
} // namespace qb::test
