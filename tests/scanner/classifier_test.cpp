#include "common/dir.hpp"
#include "fixture_tree.hpp"
#include "scanner/catalog.hpp"
#include "scanner/classifier.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace qb {
namespace {

using test::build_tree;
using test::kTagLine;
using test::TempDir;

const std::string kTag = "CACHEDIR.TAG=" + kTagLine + "\n";

// The kind, checked against its catalogue row, or "none".
std::string kind_of(const std::string& path) {
    auto match = classify_project_dir(path);
    if (!match) {
        return "none";
    }
    auto catalog = cache_catalog();
    auto row = std::find_if(catalog.begin(), catalog.end(),
                            [&](const CatalogEntry& c) { return c.kind == match->kind; });
    EXPECT_TRUE(row != catalog.end() && !row->global && row->ecosystem == match->ecosystem &&
                row->network_restore == match->network_restore)
        << match->kind;
    return std::string(match->kind);
}

struct Case {
    std::string dir;                // created, then classified
    std::vector<std::string> specs; // the rest of the fixture
    std::string kind;
};

TEST(Classifier, NameRulesMarkersAndTheTagFallback) {
    TempDir t;
    const std::vector<Case> cases{
        {"p/venv", {"p/venv/pyvenv.cfg"}, "python-venv"},
        {"p/.venv", {"p/.venv/pyvenv.cfg"}, "python-venv"},
        {"p/venv", {"p/pyvenv.cfg"}, "none"},
        {"p/.tox", {"p/tox.ini"}, "tox-env"},
        {"p/.tox", {"p/pyproject.toml"}, "tox-env"},
        {"p/.nox", {"p/noxfile.py"}, "nox-env"},
        {"p/.nox", {"p/pyproject.toml"}, "nox-env"},
        {"p/.nox", {"p/tox.ini"}, "none"},
        {"p/deps", {"p/mix.exs"}, "mix-deps"},
        {"p/deps", {"p/deps/mix.exs"}, "none"},
        {"p/build", {"p/build.gradle"}, "gradle-build"},
        {"p/build", {"p/build.gradle.kts"}, "gradle-build"},
        {"p/build", {"p/settings.gradle", "p/pubspec.yaml"}, "gradle-build"},
        {"p/build", {"p/pubspec.yaml", "p/build/CMakeCache.txt"}, "dart-build"},
        {"p/build", {"p/build/CMakeCache.txt"}, "cmake-build"},
        {"p/build", {"p/CMakeCache.txt"}, "none"},
        {"p/build", {"p/build/" + kTag}, "cachedir-tag"},
        {"p/target", {"p/Cargo.toml", "p/pom.xml"}, "cargo-target"},
        {"p/target", {"p/pom.xml"}, "maven-target"},
        {"p/target", {"p/Cargo.toml", "p/target/" + kTag}, "cargo-target"},
        {"p/.gradle", {"p/settings.gradle.kts"}, "gradle-project-cache"},
        {"p/.gradle", {"p/.gradle/build.gradle"}, "none"},
        {"x/__pycache__", {}, "python-bytecode"},
        {"x/.mypy_cache", {}, "mypy-cache"},
        {"x/.ruff_cache", {}, "ruff-cache"},
        {"x/.pytest_cache", {}, "pytest-cache"},
        {"p/.stack-work", {"p/stack.yaml"}, "stack-work"},
        {"p/.stack-work", {"p/package.yaml"}, "stack-work"},
        {"p/node_modules", {"p/package.json"}, "node-modules"},
        {"p/node_modules", {"p/deno.json"}, "node-modules"},
        {"p/node_modules", {"p/deno.jsonc"}, "node-modules"},
        {"p/cmake-build-", {"p/cmake-build-/CMakeCache.txt"}, "cmake-build"},
        {"p/cmake-build-x", {"p/cmake-build-x/CMakeCache.txt"}, "cmake-build"},
        {"p/cmake-build-debug", {"p/CMakeCache.txt"}, "none"},
        {"p/cmake-build", {"p/cmake-build/CMakeCache.txt"}, "none"},
        {"p/bin", {"p/App.csproj/"}, "dotnet-bin"},
        {"p/bin", {"p/App.fsproj"}, "dotnet-bin"},
        {"p/obj", {"p/Lib.vbproj"}, "dotnet-obj"},
        {"p/obj", {"p/..csproj"}, "dotnet-obj"},
        {"p/bin", {"p/App.CSPROJ", "p/.csproj", "p/x.csproj.user"}, "none"},
        {"p/zig-cache", {"p/build.zig"}, "zig-project-cache"},
        {"p/.zig-cache", {"p/build.zig"}, "zig-project-cache"},
        {"p/.dart_tool", {"p/pubspec.yaml"}, "dart-tool"},
        {"p/.terraform", {"p/main.tf"}, "terraform-modules"},
        {"p/.terraform", {"p/a.b.tf"}, "terraform-modules"},
        {"p/.terraform", {"p/.tf", "p/main.tf.json"}, "none"},
        {"p/dist-newstyle", {"p/cabal.project"}, "cabal-dist"},
        {"p/dist-newstyle", {"p/x.cabal"}, "cabal-dist"},
        {"p/dist-newstyle", {"p/cabal.project.local"}, "none"},
        {"p/vendor", {"p/composer.json", "Gemfile"}, "composer-vendor"},
        {"p/.build", {"p/Package.swift"}, "swift-build"},
        {"p/_build", {"p/mix.exs"}, "mix-build"},
        // Names are case-sensitive.
        {"p/Target", {"p/Cargo.toml"}, "none"},
        {"p/Node_Modules", {"p/package.json"}, "none"},
        {"p/VENV", {"p/VENV/pyvenv.cfg"}, "none"},
        {"p/src", {"p/Cargo.toml"}, "none"},
        {"p/anything", {"p/anything/" + kTag}, "cachedir-tag"},
        {"p/venv", {"p/venv/" + kTag}, "cachedir-tag"},
        // File markers are regular files, links followed; extension markers are names.
        {"p/node_modules", {"p/package.json/"}, "none"},
        {"p/node_modules",
         {"real/package.json", "p/package.json->real/package.json"},
         "node-modules"},
        {"p/node_modules", {"p/package.json->nowhere"}, "none"},
        {"p/target", {"d/", "p/Cargo.toml->d"}, "none"},
        // The two rules that look past the parent.
        {"p/renv/library", {"p/renv.lock"}, "renv-library"},
        {"p/renv/library", {"p/renv/renv.lock"}, "none"},
        {"p/other/library", {"p/renv.lock"}, "none"},
        {"app/vendor/bundle", {"app/Gemfile"}, "bundler-vendor"},
        {"app/vendor/bundle", {"app/vendor/Gemfile"}, "none"},
        {"app/vendor/../vendor/bundle", {"app/Gemfile"}, "bundler-vendor"},
        {"app/vendor/bundle/../bundle", {"app/Gemfile"}, "none"},
        // How the path is written.
        {"p/target/", {"p/Cargo.toml"}, "cargo-target"},
        {"p/target/.", {"p/Cargo.toml"}, "cargo-target"},
        {"p//target", {"p/Cargo.toml"}, "cargo-target"},
        {"p/target/..", {"p/Cargo.toml", "p/" + kTag}, "none"},
        {"p/caf\xC3", {"p/caf\xC3/" + kTag}, "none"},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        std::string root = t / ("c" + std::to_string(i));
        test::make_dirs(root + "/" + cases[i].dir);
        build_tree(root, cases[i].specs);
        EXPECT_EQ(kind_of(root + "/" + cases[i].dir), cases[i].kind)
            << "case " << i << ": " << cases[i].dir;
    }
    EXPECT_EQ(kind_of(""), "none");
    EXPECT_EQ(kind_of("/"), "none");
}

// Changes the working directory for one test and restores it.
class InDirectory {
public:
    explicit InDirectory(const std::string& dir) {
        char buf[PATH_MAX];
        EXPECT_NE(::getcwd(buf, sizeof buf), nullptr);
        old_ = buf;
        EXPECT_EQ(::chdir(dir.c_str()), 0);
    }
    ~InDirectory() { EXPECT_EQ(::chdir(old_.c_str()), 0); }

private:
    std::string old_;
};

TEST(Classifier, RelativePathsResolveAgainstTheWorkingDirectory) {
    TempDir t;
    build_tree(t.path(), {"proj/Cargo.toml", "proj/target/", "proj/bin/", "proj/renv.lock",
                          "proj/renv/library/", "proj/" + kTag});
    InDirectory cwd(t / "proj");
    EXPECT_EQ(kind_of("target"), "cargo-target");
    EXPECT_EQ(kind_of("./target"), "cargo-target");
    EXPECT_EQ(kind_of("../proj/target"), "cargo-target");
    EXPECT_EQ(kind_of("renv/library"), "renv-library");
    EXPECT_EQ(kind_of("bin"), "none");
    build_tree(t.path(), {"proj/Tool.csproj"});
    EXPECT_EQ(kind_of("bin"), "dotnet-bin");
    EXPECT_EQ(kind_of("."), "none"); // tagged, but it has no name of its own
}

TEST(Classifier, DescriptorVariantAgreesWithPaths) {
    TempDir t;
    build_tree(t.path(), {"p/Cargo.toml", "p/App.csproj", "p/renv.lock", "p/target/", "p/obj/",
                          "p/renv/library/", "p/venv/pyvenv.cfg", "p/tagged/" + kTag, "p/plain/"});
    int pfd = ::open((t / "p").c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(pfd, 0);
    for (std::string name : {"target", "obj", "venv", "tagged", "plain", "renv/library"}) {
        std::string path = t / ("p/" + name);
        std::string parent = path.substr(0, path.rfind('/'));
        int parent_fd = name == "renv/library" ? ::open(parent.c_str(), O_RDONLY) : pfd;
        int dfd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY);
        ASSERT_GE(dfd, 0);
        std::string expected = kind_of(path);
        EXPECT_NE(expected == "none", name != "plain");
        using Fds = std::pair<int, int>;
        for (auto [p, d] : {Fds{parent_fd, dfd}, Fds{-1, dfd}, Fds{parent_fd, -1}}) {
            auto match = classify_project_dir_at(p, d, path);
            EXPECT_EQ(match ? std::string(match->kind) : "none", expected) << name;
        }
        ::close(dfd);
        if (parent_fd != pfd) {
            ::close(parent_fd);
        }
    }
    ::close(pfd);
}

TEST(CachedirTag, OnlyAStrictFirstLineInValidUtf8Counts) {
    TempDir t;
    const std::vector<std::pair<std::string, bool>> cases{
        {kTagLine + "\n", true},
        {kTagLine, true},
        {kTagLine + "\r\n# comment\n", true},
        {kTagLine + "\n# by a tool \xF0\x9F\x98\x80\n", true},
        {"", false},
        {"\n", false},
        {kTagLine + "\r", false},
        {kTagLine + " # comment\n", false},
        {" " + kTagLine + "\n", false},
        {kTagLine.substr(0, 42) + "\n", false},
        {kTagLine + "\n\xFF\n", false},
        {kTagLine + "\nfine\n\xC3", false},
        {"signature: 8a477f597d28d172789f06886806bc55\n", false},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        std::string dir = t / ("d" + std::to_string(i));
        build_tree(dir, {"CACHEDIR.TAG=" + cases[i].first});
        EXPECT_EQ(has_cachedir_tag(dir), cases[i].second) << "case " << i;
    }
    build_tree(t.path(), {"dir-tag/CACHEDIR.TAG/", "linked/CACHEDIR.TAG->d0/CACHEDIR.TAG"});
    EXPECT_FALSE(has_cachedir_tag(t / "dir-tag"));
    EXPECT_TRUE(has_cachedir_tag(t / "linked"));
    EXPECT_FALSE(has_cachedir_tag(t / "missing"));

    // A tag is read holding a slot of the descriptor budget: with none free, it waits.
    std::vector<dir::Slot> every;
    for (auto s = dir::Slot::try_brief(1); !s.empty(); s = dir::Slot::try_brief(1)) {
        every.push_back(std::move(s.front()));
    }
    std::atomic<bool> read{false};
    std::thread reader([&] {
        EXPECT_TRUE(has_cachedir_tag(t / "d0"));
        read = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(read.load());
    every.pop_back();
    reader.join();
    EXPECT_TRUE(read.load());
}

TEST(CachedirTag, SpecialFilesAreNeverRead) {
    // Reading a FIFO would block forever with no writer, /dev/zero would never end: a
    // fault here ends the test program instead of stalling the suite.
    ::alarm(120);
    TempDir t;
    build_tree(t.path(), {"fifo/", "zero/CACHEDIR.TAG->/dev/zero"});
    ASSERT_EQ(::mkfifo((t / "fifo/CACHEDIR.TAG").c_str(), 0644), 0);
    EXPECT_EQ(kind_of(t / "fifo"), "none");
    EXPECT_EQ(kind_of(t / "zero"), "none");
    EXPECT_FALSE(text_file_first_line_is(t / "fifo/CACHEDIR.TAG", kTagLine));
    EXPECT_FALSE(text_file_first_line_is("/dev/zero", ""));
    ::alarm(0);
}

TEST(CachedirTag, LargeFilesAreValidatedAcrossReadBoundaries) {
    TempDir t;
    std::string body;
    for (int i = 0; i < 30000; ++i) {
        body += "\xF0\x9F\x98\x80\xE2\x82\xAC";
        body += (i % 7 == 0) ? "\n" : "x";
    }
    // Every alignment of the multi-byte characters against any power-of-two read size;
    // then a cut character at the end, a stray continuation byte deep inside, an encoded
    // surrogate and an overlong form, each of which spoils the whole file.
    std::vector<std::pair<std::string, bool>> cases;
    for (int shift = 0; shift < 8; ++shift) {
        cases.emplace_back(std::string(shift, 'a') + body, true);
    }
    cases.emplace_back(body + "\xF0\x9F\x98", false);
    cases.emplace_back(body.substr(0, 100000) + "\x80" + body.substr(100000), false);
    cases.emplace_back(body + "\xED\xA0\x80", false);
    cases.emplace_back(body + "\xC0\xAF", false);
    // A whole file of 1 MiB is read; one byte more and its content cannot be confirmed.
    const std::size_t mib = 1024 * 1024;
    cases.emplace_back(std::string(mib - kTagLine.size() - 1, 'x'), true);
    cases.emplace_back(std::string(mib - kTagLine.size(), 'x'), false);
    for (std::size_t i = 0; i < cases.size(); ++i) {
        std::string dir = t / ("d" + std::to_string(i));
        build_tree(dir, {"CACHEDIR.TAG=" + kTagLine + "\n" + cases[i].first});
        EXPECT_EQ(has_cachedir_tag(dir), cases[i].second) << "case " << i;
    }

    // A valid first line before a sparse 8 GiB tail is no marker, and is not read through
    // (that would take minutes); nor is a Go build cache README of that size.
    build_tree(t.path(), {"sparse/CACHEDIR.TAG=" + kTagLine + "\n"});
    ASSERT_EQ(::truncate((t / "sparse/CACHEDIR.TAG").c_str(), 8LL << 30), 0);
    EXPECT_FALSE(has_cachedir_tag(t / "sparse"));
    EXPECT_EQ(kind_of(t / "sparse"), "none");
    EXPECT_FALSE(text_file_first_line_is(t / "sparse/CACHEDIR.TAG", kTagLine));
}

TEST(Classifier, SharedPredicates) {
    for (std::string vcs : {".git", "/a/b/.hg", "a/.svn/"}) {
        EXPECT_TRUE(is_vcs_dir(vcs)) << vcs;
    }
    for (std::string other : {".GIT", "/a/.git-old", "git", "/a/.git/x", "/"}) {
        EXPECT_FALSE(is_vcs_dir(other)) << other;
    }
    EXPECT_TRUE(ends_with_any("cache-target", {"-venv", "-target"}));
    EXPECT_FALSE(ends_with_any("target-x", {"-venv", "-target"}));

    TempDir t;
    int n = 0;
    for (std::string m :
         {".git", "Cargo.toml", "go.mod", "package.json", "pyproject.toml", "Package.swift",
          "build.gradle", "build.gradle.kts", "pom.xml", "Cargo.toml/", ".git/"}) {
        std::string dir = t / ("root" + std::to_string(n++));
        build_tree(dir, {m});
        EXPECT_TRUE(is_project_root(dir)) << m;
    }
    build_tree(t.path(), {"empty/", "dangling/go.mod->nowhere", "other/settings.gradle"});
    EXPECT_FALSE(is_project_root(t / "empty"));
    EXPECT_FALSE(is_project_root(t / "missing"));
    EXPECT_FALSE(is_project_root(t / "dangling"));
    EXPECT_FALSE(is_project_root(t / "other"));
}

} // namespace
} // namespace qb
