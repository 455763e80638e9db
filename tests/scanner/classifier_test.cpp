#include "scanner/catalog.hpp"
#include "scanner/classifier.hpp"
#include "support/test_support.hpp"

#include <climits>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace qb {
namespace {

using test::make_dirs;
using test::make_symlink;
using test::TempDir;
using test::write_file;

const std::string kSignature = "Signature: 8a477f597d28d172789f06886806bc55";

// The kind, checked against its catalogue row, or "none".
std::string kind_of(const std::string& path) {
    auto match = classify_project_dir(path);
    if (!match) {
        return "none";
    }
    bool found = false;
    for (const CatalogEntry& row : cache_catalog()) {
        if (row.kind == match->kind) {
            found = true;
            EXPECT_FALSE(row.global) << row.kind;
            EXPECT_EQ(row.ecosystem, match->ecosystem) << row.kind;
            EXPECT_EQ(row.network_restore, match->network_restore) << row.kind;
        }
    }
    EXPECT_TRUE(found) << match->kind;
    return std::string(match->kind);
}

void tag(const std::string& dir, const std::string& content = kSignature + "\n") {
    write_file(dir + "/CACHEDIR.TAG", content);
}

struct MarkerCase {
    std::string name;                // the directory classified
    std::vector<std::string> beside; // files created in its parent
    std::vector<std::string> inside; // files created in it
    std::string kind;
};

TEST(Classifier, EveryNameRuleWithItsMarkers) {
    TempDir t;
    const std::vector<MarkerCase> cases{
        {"venv", {}, {"pyvenv.cfg"}, "python-venv"},
        {".venv", {}, {"pyvenv.cfg"}, "python-venv"},
        {"venv", {"pyvenv.cfg"}, {}, "none"},
        {".tox", {"tox.ini"}, {}, "tox-env"},
        {".tox", {"pyproject.toml"}, {}, "tox-env"},
        {".tox", {"noxfile.py"}, {}, "none"},
        {".nox", {"noxfile.py"}, {}, "nox-env"},
        {".nox", {"pyproject.toml"}, {}, "nox-env"},
        {"deps", {"mix.exs"}, {}, "mix-deps"},
        {"deps", {}, {"mix.exs"}, "none"},
        {"build", {"build.gradle"}, {}, "gradle-build"},
        {"build", {"build.gradle.kts"}, {}, "gradle-build"},
        {"build", {"settings.gradle"}, {}, "gradle-build"},
        {"build", {"settings.gradle.kts", "pubspec.yaml"}, {}, "gradle-build"},
        {"build", {"pubspec.yaml"}, {"CMakeCache.txt"}, "dart-build"},
        {"build", {}, {"CMakeCache.txt"}, "cmake-build"},
        {"build", {"CMakeCache.txt"}, {}, "none"},
        {"target", {"Cargo.toml", "pom.xml"}, {}, "cargo-target"},
        {"target", {"pom.xml"}, {}, "maven-target"},
        {"target", {"package.json"}, {}, "none"},
        {".gradle", {"settings.gradle.kts"}, {}, "gradle-project-cache"},
        {".gradle", {}, {"build.gradle"}, "none"},
        {"__pycache__", {}, {}, "python-bytecode"},
        {".mypy_cache", {}, {}, "mypy-cache"},
        {".ruff_cache", {}, {}, "ruff-cache"},
        {".pytest_cache", {}, {}, "pytest-cache"},
        {".stack-work", {"stack.yaml"}, {}, "stack-work"},
        {".stack-work", {"package.yaml"}, {}, "stack-work"},
        {"node_modules", {"package.json"}, {}, "node-modules"},
        {"node_modules", {"deno.json"}, {}, "node-modules"},
        {"node_modules", {"deno.jsonc"}, {}, "node-modules"},
        {"node_modules", {}, {"package.json"}, "none"},
        {"cmake-build-", {}, {"CMakeCache.txt"}, "cmake-build"},
        {"cmake-build-release", {}, {"CMakeCache.txt"}, "cmake-build"},
        {"cmake-build-debug", {"CMakeCache.txt"}, {}, "none"},
        {"cmake-build", {}, {"CMakeCache.txt"}, "none"},
        {"bin", {"App.csproj"}, {}, "dotnet-bin"},
        {"bin", {"App.fsproj"}, {}, "dotnet-bin"},
        {"obj", {"Lib.vbproj"}, {}, "dotnet-obj"},
        {"obj", {"..csproj"}, {}, "dotnet-obj"},
        {"bin", {"App.CSPROJ"}, {}, "none"},
        {"bin", {".csproj"}, {}, "none"},
        {"obj", {"App.csproj.user.txt"}, {}, "none"},
        {"zig-cache", {"build.zig"}, {}, "zig-project-cache"},
        {".zig-cache", {"build.zig"}, {}, "zig-project-cache"},
        {".dart_tool", {"pubspec.yaml"}, {}, "dart-tool"},
        {".terraform", {"main.tf"}, {}, "terraform-modules"},
        {".terraform", {"a.b.tf"}, {}, "terraform-modules"},
        {".terraform", {".tf"}, {}, "none"},
        {".terraform", {"main.tf.json"}, {}, "none"},
        {"dist-newstyle", {"cabal.project"}, {}, "cabal-dist"},
        {"dist-newstyle", {"x.cabal"}, {}, "cabal-dist"},
        {"dist-newstyle", {"cabal.project.local"}, {}, "none"},
        {"vendor", {"composer.json"}, {}, "composer-vendor"},
        {"vendor", {"Gemfile"}, {}, "none"},
        {".build", {"Package.swift"}, {}, "swift-build"},
        {"_build", {"mix.exs"}, {}, "mix-build"},
        {"Target", {"Cargo.toml"}, {}, "none"},
        {"Node_Modules", {"package.json"}, {}, "none"},
        {"VENV", {}, {"pyvenv.cfg"}, "none"},
        {"src", {"Cargo.toml"}, {}, "none"},
    };
    int n = 0;
    for (const MarkerCase& c : cases) {
        std::string parent = t / ("case" + std::to_string(n++));
        std::string dir = parent + "/" + c.name;
        make_dirs(dir);
        for (const std::string& f : c.beside) {
            write_file(parent + "/" + f);
        }
        for (const std::string& f : c.inside) {
            write_file(dir + "/" + f);
        }
        EXPECT_EQ(kind_of(dir), c.kind) << c.name << " case " << n - 1;
    }
}

TEST(Classifier, TagFallbackWhenNoRuleHolds) {
    TempDir t;
    make_dirs(t / "p/build");
    tag(t / "p/build");
    EXPECT_EQ(kind_of(t / "p/build"), "cachedir-tag");
    make_dirs(t / "p/venv");
    tag(t / "p/venv");
    EXPECT_EQ(kind_of(t / "p/venv"), "cachedir-tag");
    make_dirs(t / "p/anything");
    tag(t / "p/anything");
    EXPECT_EQ(kind_of(t / "p/anything"), "cachedir-tag");
    // A rule that holds wins over the tag.
    write_file(t / "p/Cargo.toml");
    make_dirs(t / "p/target");
    tag(t / "p/target");
    EXPECT_EQ(kind_of(t / "p/target"), "cargo-target");
    make_dirs(t / "p/plain");
    EXPECT_EQ(kind_of(t / "p/plain"), "none");
}

TEST(Classifier, FileMarkersMustBeRegularFilesFollowingLinks) {
    TempDir t;
    make_dirs(t / "dir-marker/package.json");
    make_dirs(t / "dir-marker/node_modules");
    EXPECT_EQ(kind_of(t / "dir-marker/node_modules"), "none");

    write_file(t / "real/package.json", "{}");
    make_dirs(t / "linked/node_modules");
    make_symlink(t / "real/package.json", t / "linked/package.json");
    EXPECT_EQ(kind_of(t / "linked/node_modules"), "node-modules");

    make_dirs(t / "dangling/node_modules");
    make_symlink(t / "nowhere/package.json", t / "dangling/package.json");
    EXPECT_EQ(kind_of(t / "dangling/node_modules"), "none");

    // A link to a directory is not a file marker either.
    make_dirs(t / "dirlink/target");
    make_symlink(t / "dir-marker", t / "dirlink/Cargo.toml");
    EXPECT_EQ(kind_of(t / "dirlink/target"), "none");

    // Extension markers only need a name: a subdirectory counts.
    make_dirs(t / "ext/App.csproj");
    make_dirs(t / "ext/bin");
    EXPECT_EQ(kind_of(t / "ext/bin"), "dotnet-bin");
}

TEST(Classifier, WalkUpRulesLookTwoLevelsUp) {
    TempDir t;
    make_dirs(t / "project/renv/library");
    EXPECT_EQ(kind_of(t / "project/renv/library"), "none");
    write_file(t / "project/renv/renv.lock");
    EXPECT_EQ(kind_of(t / "project/renv/library"), "none");
    write_file(t / "project/renv.lock");
    EXPECT_EQ(kind_of(t / "project/renv/library"), "renv-library");
    make_dirs(t / "project/other/library");
    EXPECT_EQ(kind_of(t / "project/other/library"), "none");

    make_dirs(t / "app/vendor/bundle");
    write_file(t / "app/vendor/Gemfile");
    EXPECT_EQ(kind_of(t / "app/vendor/bundle"), "none");
    write_file(t / "app/Gemfile");
    EXPECT_EQ(kind_of(t / "app/vendor/bundle"), "bundler-vendor");
    EXPECT_EQ(kind_of(t / "app/vendor"), "none");
    write_file(t / "app/composer.json");
    EXPECT_EQ(kind_of(t / "app/vendor"), "composer-vendor");
    // The parent's name is compared as written, so a ".." parent does not count.
    EXPECT_EQ(kind_of(t / "app/vendor/../vendor/bundle"), "bundler-vendor");
    EXPECT_EQ(kind_of(t / "app/vendor/bundle/../bundle"), "none");
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

TEST(Classifier, PathFormsAndRelativePaths) {
    TempDir t;
    write_file(t / "proj/Cargo.toml");
    make_dirs(t / "proj/target");
    EXPECT_EQ(kind_of(t / "proj/target/"), "cargo-target");
    EXPECT_EQ(kind_of(t / "proj/target/."), "cargo-target");
    EXPECT_EQ(kind_of(t / "proj//target"), "cargo-target");

    // Paths that name no directory of their own are never classified, tag or not.
    tag(t / "proj");
    EXPECT_EQ(kind_of(t / "proj/target/.."), "none");
    EXPECT_EQ(kind_of(""), "none");
    EXPECT_EQ(kind_of("/"), "none");
    EXPECT_EQ(kind_of("."), "none");
    std::string bad_name = t / "caf\xC3";
    make_dirs(bad_name);
    tag(bad_name);
    EXPECT_EQ(kind_of(bad_name), "none");
    EXPECT_EQ(kind_of(t / "proj"), "cachedir-tag");

    InDirectory cwd(t / "proj");
    EXPECT_EQ(kind_of("target"), "cargo-target");
    EXPECT_EQ(kind_of("./target"), "cargo-target");
    EXPECT_EQ(kind_of("../proj/target"), "cargo-target");
    make_dirs(t / "proj/bin");
    EXPECT_EQ(kind_of("bin"), "none");
    write_file(t / "proj/Tool.csproj");
    EXPECT_EQ(kind_of("bin"), "dotnet-bin");
    make_dirs(t / "proj/renv/library");
    write_file(t / "proj/renv.lock");
    EXPECT_EQ(kind_of("renv/library"), "renv-library");
    EXPECT_EQ(kind_of("."), "none");
}

TEST(Classifier, DescriptorVariantAgreesWithPaths) {
    TempDir t;
    write_file(t / "p/Cargo.toml");
    write_file(t / "p/App.csproj");
    write_file(t / "p/renv.lock");
    make_dirs(t / "p/target");
    make_dirs(t / "p/obj");
    make_dirs(t / "p/renv/library");
    make_dirs(t / "p/venv");
    write_file(t / "p/venv/pyvenv.cfg");
    make_dirs(t / "p/tagged");
    tag(t / "p/tagged");
    make_dirs(t / "p/plain");

    int pfd = ::open((t / "p").c_str(), O_RDONLY | O_DIRECTORY);
    int renv_fd = ::open((t / "p/renv").c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(pfd, 0);
    ASSERT_GE(renv_fd, 0);
    for (std::string name : {"target", "obj", "venv", "tagged", "plain"}) {
        std::string path = t / ("p/" + name);
        int dfd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY);
        ASSERT_GE(dfd, 0);
        auto by_path = classify_project_dir(path);
        for (auto [p, d] : {std::pair{pfd, dfd}, std::pair{-1, dfd}, std::pair{pfd, -1}}) {
            auto by_fd = classify_project_dir_at(p, d, path);
            ASSERT_EQ(by_fd.has_value(), by_path.has_value()) << name;
            if (by_fd) {
                EXPECT_EQ(by_fd->kind, by_path->kind) << name;
            }
        }
        ::close(dfd);
    }
    auto lib = classify_project_dir_at(renv_fd, -1, t / "p/renv/library");
    ASSERT_TRUE(lib.has_value());
    EXPECT_EQ(lib->kind, "renv-library");
    ::close(pfd);
    ::close(renv_fd);
}

TEST(CachedirTag, FirstLineMustBeTheSignature) {
    TempDir t;
    struct TagCase {
        std::string content;
        bool valid;
    };
    const std::vector<TagCase> cases{
        {kSignature + "\n", true},
        {kSignature, true},
        {kSignature + "\r\n# comment\n", true},
        {kSignature + "\n# written by a tool\n\xF0\x9F\x98\x80\n", true},
        {kSignature + "\nanything at all here", true},
        {"", false},
        {"\n", false},
        {kSignature + "\r", false},
        {kSignature + " # comment\n", false},
        {kSignature + " \n", false},
        {" " + kSignature + "\n", false},
        {kSignature.substr(0, 42) + "\n", false},
        {kSignature + "\n\xFF\n", false},
        {kSignature + "\nfine\n\xC3", false},
        {"signature: 8a477f597d28d172789f06886806bc55\n", false},
    };
    int n = 0;
    for (const TagCase& c : cases) {
        std::string dir = t / ("d" + std::to_string(n++));
        make_dirs(dir);
        tag(dir, c.content);
        EXPECT_EQ(has_cachedir_tag(dir), c.valid) << "case " << n - 1;
    }
    make_dirs(t / "dir-tag/CACHEDIR.TAG");
    EXPECT_FALSE(has_cachedir_tag(t / "dir-tag"));
    make_dirs(t / "linked");
    make_symlink(t / "d0/CACHEDIR.TAG", t / "linked/CACHEDIR.TAG");
    EXPECT_TRUE(has_cachedir_tag(t / "linked"));
    EXPECT_FALSE(has_cachedir_tag(t / "missing"));
}

TEST(CachedirTag, SpecialFilesAreNeverRead) {
    // Reading a FIFO would block forever with no writer, /dev/zero would never end: a
    // fault here ends the test program instead of stalling the suite.
    ::alarm(120);
    TempDir t;
    make_dirs(t / "fifo");
    ASSERT_EQ(::mkfifo((t / "fifo/CACHEDIR.TAG").c_str(), 0644), 0);
    EXPECT_FALSE(has_cachedir_tag(t / "fifo"));
    EXPECT_EQ(kind_of(t / "fifo"), "none");
    make_dirs(t / "zero");
    make_symlink("/dev/zero", t / "zero/CACHEDIR.TAG");
    EXPECT_FALSE(has_cachedir_tag(t / "zero"));
    EXPECT_FALSE(text_file_first_line_is("/dev/zero", ""));
    EXPECT_FALSE(text_file_first_line_is(t / "fifo/CACHEDIR.TAG", kSignature));
    ::alarm(0);
}

TEST(CachedirTag, LargeFilesAreValidatedAcrossReadBoundaries) {
    TempDir t;
    const std::string smiley = "\xF0\x9F\x98\x80";
    const std::string euro = "\xE2\x82\xAC";
    std::string body;
    for (int i = 0; i < 30000; ++i) {
        body += smiley;
        body += euro;
        body += (i % 7 == 0) ? "\n" : "x";
    }
    // Every alignment of the multi-byte characters against any power-of-two read size.
    for (int shift = 0; shift < 8; ++shift) {
        std::string dir = t / ("ok" + std::to_string(shift));
        make_dirs(dir);
        tag(dir, kSignature + "\n" + std::string(shift, 'a') + body);
        EXPECT_TRUE(has_cachedir_tag(dir)) << shift;
    }
    // A cut character at the very end, a stray continuation byte deep inside, and an
    // encoded surrogate all spoil the whole file.
    const std::vector<std::string> spoiled{body + "\xF0\x9F\x98",
                                           body.substr(0, 100000) + "\x80" + body.substr(100000),
                                           body + "\xED\xA0\x80", body + "\xC0\xAF"};
    int n = 0;
    for (const std::string& s : spoiled) {
        std::string dir = t / ("bad" + std::to_string(n++));
        make_dirs(dir);
        tag(dir, kSignature + "\n" + s);
        EXPECT_FALSE(has_cachedir_tag(dir)) << n - 1;
    }
}

TEST(Classifier, SharedPredicates) {
    EXPECT_TRUE(is_vcs_dir(".git"));
    EXPECT_TRUE(is_vcs_dir("/a/b/.hg"));
    EXPECT_TRUE(is_vcs_dir("a/.svn/"));
    EXPECT_FALSE(is_vcs_dir(".GIT"));
    EXPECT_FALSE(is_vcs_dir("/a/.git-old"));
    EXPECT_FALSE(is_vcs_dir("git"));
    EXPECT_FALSE(is_vcs_dir("/a/.git/x"));
    EXPECT_FALSE(is_vcs_dir("/"));

    EXPECT_TRUE(ends_with_any("cache-target", {"-venv", "-target"}));
    EXPECT_FALSE(ends_with_any("target-x", {"-venv", "-target"}));
    EXPECT_FALSE(ends_with_any("anything", {}));

    TempDir t;
    make_dirs(t / "empty");
    EXPECT_FALSE(is_project_root(t / "empty"));
    EXPECT_FALSE(is_project_root(t / "missing"));
    const std::vector<std::string> markers{".git",         "Cargo.toml",       "go.mod",
                                           "package.json", "pyproject.toml",   "Package.swift",
                                           "build.gradle", "build.gradle.kts", "pom.xml"};
    int n = 0;
    for (const std::string& m : markers) {
        std::string dir = t / ("file" + std::to_string(n++));
        write_file(dir + "/" + m);
        EXPECT_TRUE(is_project_root(dir)) << m;
    }
    make_dirs(t / "cargo-dir/Cargo.toml");
    EXPECT_TRUE(is_project_root(t / "cargo-dir"));
    make_dirs(t / "git-dir/.git");
    EXPECT_TRUE(is_project_root(t / "git-dir"));
    make_dirs(t / "dangling");
    make_symlink(t / "nowhere", t / "dangling/go.mod");
    EXPECT_FALSE(is_project_root(t / "dangling"));
    write_file(t / "other/settings.gradle");
    write_file(t / "other/Makefile");
    EXPECT_FALSE(is_project_root(t / "other"));
}

} // namespace
} // namespace qb
