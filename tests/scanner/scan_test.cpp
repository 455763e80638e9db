#include "common/mount_id.hpp"
#include "scanner/clean.hpp"
#include "scanner/scan.hpp"
#include "scanner_fixtures.hpp"

#include <fstream>
#include <gtest/gtest.h>
#include <unistd.h>

namespace qb::test {
namespace {

constexpr const char* kTag = "Signature: 8a477f597d28d172789f06886806bc55\n";

// An environment whose home, caches and temporary directories all lie inside `root`.
SystemEnv env_in(const std::string& root) {
    make_dirs(root + "/home");
    make_dirs(root + "/tmp");
    make_dirs(root + "/shared-tmp");
    SystemEnv env;
    env.vars["HOME"] = root + "/home";
    env.vars["TMPDIR"] = root + "/tmp";
    env.shared_tmp_root = root + "/shared-tmp";
    return env;
}

ScanRequest request(std::vector<std::string> roots, ScopeFilter scope = ScopeFilter::Project,
                    std::vector<std::string> kinds = {}) {
    ScanRequest r;
    r.roots = std::move(roots);
    r.kinds = std::move(kinds);
    r.scope = scope;
    r.protect_days = 7;
    return r;
}

// "kind path anchor scope" per candidate, in result order.
std::vector<std::string> rows(const ScanResult& result) {
    std::vector<std::string> out;
    for (const auto& c : result.candidates) {
        out.push_back(c.kind + " " + c.path + " " + c.anchor + " " +
                      std::string(scope_json_text(c.scope)));
    }
    return out;
}

ScanResult scan_ok(const ScanRequest& r, const SystemEnv& env) {
    auto result = scan_caches(r, env);
    EXPECT_TRUE(result.has_value()) << (result ? "" : fmt_app_error(result.error()));
    return result ? std::move(*result) : ScanResult{};
}

TEST(ScanRoots, ErrorsNameTheRootAsGivenAndKindsAreCheckedFirst) {
    TempDir t;
    SystemEnv env = env_in(t.path());
    auto both_bad = scan_caches(request({t / "missing"}, ScopeFilter::All, {"no-such-kind"}), env);
    ASSERT_FALSE(both_bad);
    EXPECT_EQ(both_bad.error().kind_name(), "invalid_input");
    EXPECT_NE(fmt_app_error(both_bad.error()).find("no-such-kind"), std::string::npos);

    auto relative = scan_caches(request({"relative/not-there"}), env);
    ASSERT_FALSE(relative);
    EXPECT_EQ(fmt_app_error(relative.error()),
              "path is not a readable directory: relative/not-there");
    EXPECT_EQ(relative.error().exit_status(), 2);

    write_file(t / "file", "x");
    make_dirs(t / "ok");
    auto file = resolve_scan_roots(request({t / "ok", t / "file", t / "missing"}));
    ASSERT_FALSE(file);
    ASSERT_TRUE(file.error().as<errors::UnreadableDirectory>());
    EXPECT_EQ(file.error().as<errors::UnreadableDirectory>()->path, t / "file");

    // Scope global never looks at the roots.
    auto global = resolve_scan_roots(request({t / "missing"}, ScopeFilter::Global));
    ASSERT_TRUE(global);
    EXPECT_TRUE(global->empty());
    EXPECT_TRUE(scan_caches(request({t / "missing"}, ScopeFilter::Global), env));
}

TEST(ScanRoots, NestedAndRepeatedRootsCollapseToTheOutermost) {
    TempDir t;
    make_dirs(t / "p/sub/deeper");
    make_dirs(t / "p-b");
    make_dirs(t / "q");
    make_symlink(t / "p", t / "alias");
    auto roots = resolve_scan_roots(
        request({t / "q", t / "p/sub", t / "alias", t / "p-b", t / "p/./sub/deeper/..", t / "p"}));
    ASSERT_TRUE(roots);
    EXPECT_EQ(*roots, (std::vector<std::string>{t / "p", t / "p-b", t / "q"}));
    EXPECT_TRUE(resolve_scan_roots(request({}))->empty());
}

TEST(ScanWalk, FindsCachesWithoutEnteringThem) {
    TempDir t;
    SystemEnv env = env_in(t.path());
    std::string p = t / "p";
    write_file(p + "/app/Cargo.toml");
    write_file(p + "/app/target/debug/bin", std::string(5000, 'b'));
    write_file(p + "/web/package.json");
    write_file(p + "/web/node_modules/pkg/Cargo.toml");
    write_file(p + "/web/node_modules/pkg/target/x", "inner");
    write_file(p + "/repo/.git/Cargo.toml");
    write_file(p + "/repo/.git/target/x", "vcs");
    write_file(p + "/py/__pycache__/m.pyc", "pyc");
    write_file(p + "/tagged/CACHEDIR.TAG", kTag);
    write_file(p + "/tagged/deeper/__pycache__/n.pyc", "not looked at");
    make_symlink(p + "/app/target", p + "/linked-target");

    ScanResult all = scan_ok(request({p}), env);
    std::vector<std::string> got = rows(all);
    std::sort(got.begin(), got.end());
    EXPECT_EQ(got, (std::vector<std::string>{
                       "cachedir-tag " + p + "/tagged " + p + " project",
                       "cargo-target " + p + "/app/target " + p + " project",
                       "node-modules " + p + "/web/node_modules " + p + " project",
                       "python-bytecode " + p + "/py/__pycache__ " + p + " project",
                   }));
    EXPECT_TRUE(all.walk_errors.empty());
    ASSERT_FALSE(all.candidates.empty());
    EXPECT_EQ(all.candidates[0].path, p + "/app/target"); // the largest first

    // Filtered out, node_modules is still recognised and not entered.
    ScanResult cargo = scan_ok(request({p}, ScopeFilter::Project, {"cargo-target"}), env);
    EXPECT_EQ(rows(cargo),
              std::vector<std::string>{"cargo-target " + p + "/app/target " + p + " project"});

    // A root that is itself a cache is anchored at itself; a root named .git is classified.
    ScanResult self = scan_ok(request({p + "/app/target"}), env);
    EXPECT_EQ(rows(self), std::vector<std::string>{"cargo-target " + p + "/app/target " + p +
                                                   "/app/target project"});
    write_file(t / "vcs/.git/CACHEDIR.TAG", kTag);
    ScanResult git = scan_ok(request({t / "vcs/.git"}), env);
    EXPECT_EQ(rows(git), std::vector<std::string>{"cachedir-tag " + (t / "vcs/.git") + " " +
                                                  (t / "vcs/.git") + " project"});
}

TEST(ScanWalk, OneRootGivenTwiceIsWalkedOnceUnderItsCanonicalPath) {
    TempDir t;
    SystemEnv env = env_in(t.path());
    write_file(t / "p/a/__pycache__/x.pyc", "1");
    make_symlink(t / "p", t / "alias");
    ScanResult r = scan_ok(request({t / "alias", t / "p", t / "p/a"}), env);
    EXPECT_EQ(rows(r), std::vector<std::string>{"python-bytecode " + (t / "p/a/__pycache__") + " " +
                                                (t / "p") + " project"});
}

// Scans `root` and, with `clean`, removes every candidate found.
int scan_child(const std::string& root, const std::string& out, bool clean) {
    SystemEnv env;
    auto result = scan_caches(request({root}), env);
    std::ofstream o(out);
    if (!result) {
        o << "error " << fmt_app_error(result.error()) << "\n";
        return 1;
    }
    for (const auto& e : result->walk_errors) {
        o << "err " << e << "\n";
    }
    for (const auto& c : result->candidates) {
        o << "found " << c.path << " " << c.bytes << "\n";
    }
    if (clean) {
        CleanReport report = *execute_clean(result->candidates, false, env);
        o << "cleaned " << report.cleaned << "\n";
        for (const auto& s : report.skipped_paths) {
            o << "skipped " << s.path << ": " << s.reason << "\n";
        }
    }
    return o ? 0 : 1;
}

TEST(ScanWalk, AnUnreadableDirectoryIsOneErrorAndItsSiblingsAreStillScanned) {
    TempDir t;
    std::string p = t / "p";
    write_file(p + "/a/__pycache__/m.pyc", "12");
    write_file(p + "/locked/__pycache__/n.pyc", "34");
    write_file(p + "/z/__pycache__/o.pyc", "567");
    // Unreadable, but recognised: never entered, so no error of its own.
    write_file(p + "/q/__pycache__/p.pyc", "8");
    make_dirs(t / "out");
    chown_tree(t.path());
    ::chmod((p + "/locked").c_str(), 0);
    ::chmod((p + "/q/__pycache__").c_str(), 0);
    auto rc = rerun_unprivileged("scan", {{"QB_CHILD_ROOT", p}, {"QB_CHILD_OUT", t / "out/r"}});
    if (!rc) {
        GTEST_SKIP() << "cannot run as an unprivileged user here";
    }
    ASSERT_EQ(*rc, 0);
    std::string text = read_file(t / "out/r");
    EXPECT_EQ(text, "err IO error for operation on " + p +
                        "/locked: Permission denied (os error 13)\n"
                        "found " +
                        p +
                        "/z/__pycache__ 3\n"
                        "found " +
                        p +
                        "/a/__pycache__ 2\n"
                        "found " +
                        p + "/q/__pycache__ 0\n");
}

// Three projects whose node_modules hold 60 packages 12 levels deep, one 60 levels deep
// and ten Rust targets whose paths pass the system's limit on a path's length, with
// branches down there. However few descriptors are free, down to the fewest the tool works
// with, whoever holds the others and however many threads measure, the scan reports the
// sizes an unlimited one reports without a word of shortage, and the clean removes all
// fourteen, also where only /proc tells mounts. With fewer free, nothing is scanned or
// removed.
TEST(ScanWalk, FewFreeDescriptorsChangeNoSizeAndStopNoRemoval) {
    TempDir t;
    std::string p = t / "p";
    auto package = [](std::string dir, int levels) {
        for (int level = 1; level <= levels; ++level) {
            dir += "/d" + std::to_string(level);
            write_file(dir + "/index.js", std::string(static_cast<std::size_t>(level), 'j'));
        }
    };
    RemoveDeepTree cleanup{t.path(), "p"};
    auto make_tree = [&] { // again after a clean
        for (const char* app : {"/a", "/b", "/c"}) {
            write_file(p + app + "/package.json", "{}");
            for (int pkg = 0; pkg < 60; ++pkg) {
                package(p + app + "/node_modules/pkg" + std::to_string(pkg), 12);
            }
        }
        write_file(p + "/deep/package.json", "{}");
        package(p + "/deep/node_modules", 60);
        for (int rs = 0; rs < 10; ++rs) {
            write_file(p + "/rs" + std::to_string(rs) + "/Cargo.toml", "[package]");
            make_dirs(p + "/rs" + std::to_string(rs) + "/target");
        }
        make_dirs(t / "out");
        chown_tree(t.path());
        for (int rs = 0; rs < 10; ++rs) {
            build_overlong_chain(p + "/rs" + std::to_string(rs) + "/target", 25, 200, 5,
                                 unprivileged_ids(), 3);
        }
    };
    make_tree();

    ScanResult unlimited = scan_ok(request({p}), SystemEnv{});
    ASSERT_EQ(unlimited.candidates.size(), 14u);
    std::string scanned;
    for (const auto& c : unlimited.candidates) {
        scanned += "found " + c.path + " " + std::to_string(c.bytes) + "\n";
    }
    struct Limit {
        rlim_t max_open_files;
        int inherited; // besides the standard three
        bool clean;
        std::string expected;
        const char* threads = "2";
        MountAnswers answers = MountAnswers::All; // NoHandles: only /proc tells mounts
    };
    const std::vector<Limit> limits = {
        {12, 0, false, scanned},       // 9 free
        {12, 0, false, scanned, "16"}, // far more threads than descriptors
        {16, 0, false, scanned},       // 13 free
        {24, 0, false, scanned},       // 21 free
        {32, 17, false, scanned},      // 12 free, 20 held by whoever started it
        {32, 22, true,                 // 7 free: too few, so nothing at all
         "error filesystem operation failed for <file descriptors>: too few file descriptors: "
         "8 must be free and 7 are\n"},
        {12, 0, false, scanned, "16", MountAnswers::NoHandles},
        {32, 21, true, scanned + "cleaned 14\n", "16", MountAnswers::NoHandles},
        {32, 21, true, scanned + "cleaned 14\n", "16"}, // 8 free, the fewest
    };
    for (const Limit& limit : limits) {
        std::map<std::string, std::string> vars{
            {"QB_CHILD_ROOT", p},
            {"QB_CHILD_OUT", t / "out/r"},
            {"RAYON_NUM_THREADS", limit.threads},
            {"QB_CHILD_ANSWERS", std::to_string(static_cast<int>(limit.answers))}};
        if (limit.clean) {
            vars["QB_CHILD_CLEAN"] = "1";
        }
        auto rc = rerun_unprivileged("scan", vars, limit.max_open_files, limit.inherited);
        if (!rc) {
            GTEST_SKIP() << "cannot run as an unprivileged user here";
        }
        const std::string what = std::to_string(limit.max_open_files) + " descriptors, " +
                                 std::to_string(limit.inherited) + " inherited, " + limit.threads +
                                 " threads, answers " + vars["QB_CHILD_ANSWERS"];
        EXPECT_EQ(*rc, limit.expected.starts_with("error") ? 1 : 0) << what;
        EXPECT_EQ(read_file(t / "out/r"), limit.expected) << what;
        const bool removed = limit.expected.ends_with("cleaned 14\n");
        for (const auto& c : unlimited.candidates) {
            EXPECT_EQ(exists_nofollow(c.path), !removed) << c.path << ", " << what;
        }
        if (removed) {
            make_tree();
        }
    }
}

TEST(ScanGlobal, LocationsThatExistAreAddedOnceAndLinksAreNot) {
    TempDir t;
    SystemEnv env = env_in(t.path());
    std::string h = t / "home";
    write_file(h + "/.npm/_cacache/index", "npm");
    write_file(h + "/elsewhere/cargo-reg/crate", "crate");
    make_dirs(h + "/.cargo/registry");
    make_symlink(h + "/elsewhere/cargo-reg", h + "/.cargo/registry/cache");
    // Two rows that resolve to one directory: the earlier row's kind wins.
    write_file(t / "x/deno-plugin/mod.js", "d");
    make_symlink(t / "x", t / "y");
    env.vars["DENO_DIR"] = t / "x/deno-plugin";
    env.vars["TF_PLUGIN_CACHE_DIR"] = t / "y/deno-plugin";

    ScanResult r = scan_ok(request({}, ScopeFilter::Global), env);
    std::vector<std::string> got = rows(r);
    std::sort(got.begin(), got.end());
    EXPECT_EQ(got, (std::vector<std::string>{
                       "deno-cache " + (t / "x/deno-plugin") + " " + (t / "x") + " global",
                       "npm-cache " + h + "/.npm/_cacache " + h + "/.npm global",
                   }));

    // Scope project adds no global location, even one that exists.
    make_dirs(t / "proj");
    EXPECT_TRUE(scan_ok(request({t / "proj"}, ScopeFilter::Project), env).candidates.empty());
    // A kind filter applies to the global rows too.
    EXPECT_EQ(scan_ok(request({}, ScopeFilter::Global, {"npm-cache"}), env).candidates.size(), 1u);
}

TEST(ScanGlobal, ALinkWrittenWithATrailingSeparatorIsStillALink) {
    TempDir t;
    SystemEnv env = env_in(t.path());
    write_file(t / "elsewhere/deno/dep.js", "d");
    write_file(t / "elsewhere/go-build/00/x", "o");
    write_file(t / "opt/terraform-plugins/p", "p");
    make_dirs(t / "links");
    make_symlink(t / "elsewhere/deno", t / "links/.deno");
    make_symlink(t / "elsewhere/go-build", t / "links/go-build");
    env.vars["DENO_DIR"] = t / "links/.deno/";
    env.vars["GOCACHE"] = t / "links/go-build/.";
    env.vars["TF_PLUGIN_CACHE_DIR"] = t / "opt/terraform-plugins//";
    ScanResult r = scan_ok(request({}, ScopeFilter::Global), env);
    // The real directory keeps its path as written; the links are not reported.
    EXPECT_EQ(rows(r),
              std::vector<std::string>{"terraform-plugin-cache " + (t / "opt/terraform-plugins//") +
                                       " " + (t / "opt") + " global"});
}

TEST(ScanGlobal, AWalkResultWinsOverTheSameGlobalLocation) {
    TempDir t;
    SystemEnv env = env_in(t.path());
    std::string h = t / "home";
    write_file(h + "/.cache/pip/CACHEDIR.TAG", kTag);
    write_file(h + "/.cache/pip/wheels/w", "wheel");
    ScanResult r = scan_ok(request({h}, ScopeFilter::All), env);
    EXPECT_EQ(rows(r),
              std::vector<std::string>{"cachedir-tag " + h + "/.cache/pip " + h + " project"});
}

// No reported cache lies inside another, so no byte counts twice: the walk does not
// enter a global location in scope, a global location inside a reported project cache or
// inside another global location is left out, and a root inside one is not walked. Only
// caches that pass the filters count: with the outer one filtered out, the inner ones stay.
TEST(ScanGlobal, NoReportedCacheLiesInsideAnother) {
    TempDir t;
    SystemEnv env = env_in(t.path());
    const std::string h = t / "home";
    for (const char* shard : {"3", "7", "a"}) {
        write_file(h + "/.cache/ccache/" + shard + "/CACHEDIR.TAG", kTag);
        write_file(h + "/.cache/ccache/" + shard + "/obj", std::string(1000, 'o'));
    }
    write_file(h + "/.cargo/git/CACHEDIR.TAG", kTag);
    write_file(h + "/.cargo/git/checkouts/repo/src.rs", "c");
    write_file(h + "/.cache/pip/deno/dep.js", "d");
    env.vars["DENO_DIR"] = h + "/.cache/pip/deno";

    auto shard = [&](const std::string& s) {
        return "cachedir-tag " + h + "/.cache/ccache/" + s + " " + h + " project";
    };
    const std::string ccache = "ccache " + h + "/.cache/ccache " + h + "/.cache global";
    const std::string tagged_git = "cachedir-tag " + h + "/.cargo/git " + h + " project";
    const std::string checkouts =
        "cargo-git " + h + "/.cargo/git/checkouts " + h + "/.cargo/git global";
    const std::string pip = "pip-cache " + h + "/.cache/pip " + h + "/.cache global";
    const std::string deno = "deno-cache " + h + "/.cache/pip/deno " + h + "/.cache/pip global";
    struct Case {
        ScanRequest request;
        std::vector<std::string> want;
    };
    const Case cases[] = {
        {request({h}, ScopeFilter::All), {tagged_git, ccache, pip}},
        {request({h}, ScopeFilter::All, {"cachedir-tag"}),
         {tagged_git, shard("3"), shard("7"), shard("a")}},
        {request({h}, ScopeFilter::All, {"cargo-git", "deno-cache"}), {checkouts, deno}},
        {request({}, ScopeFilter::Global), {checkouts, ccache, pip}},
        {request({h + "/.cache/ccache/3"}, ScopeFilter::All, {"ccache", "cachedir-tag"}), {ccache}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.request.roots) + " " +
                     testing::PrintToString(c.request.kinds));
        std::vector<std::string> got = rows(scan_ok(c.request, env));
        std::vector<std::string> want = c.want;
        std::sort(got.begin(), got.end());
        std::sort(want.begin(), want.end());
        EXPECT_EQ(got, want);
    }

    // A temporary workspace covers what it holds only when it is large enough to be
    // reported: below its minimum, a root inside it is walked as any other.
    const std::string ws = t / "shared-tmp/ws";
    write_file(ws + "/Cargo.toml", "[package]");
    write_file(ws + "/target/debug/app", "a");
    const ScanRequest in_ws =
        request({ws}, ScopeFilter::All, {"cargo-target", "macos-temporary-workspace"});
    EXPECT_EQ(rows(scan_ok(in_ws, env)),
              std::vector<std::string>{"cargo-target " + ws + "/target " + ws + " project"});
    write_file(ws + "/sparse");
    ASSERT_EQ(::truncate((ws + "/sparse").c_str(), 104'857'600), 0);
    EXPECT_EQ(rows(scan_ok(in_ws, env)),
              std::vector<std::string>{"macos-temporary-workspace " + ws + " " + t / "shared-tmp" +
                                       " global"});
}

TEST(ScanDefaults, DefaultRootsAreTheProjectFoldersOfHomeElseTheWorkingDirectory) {
    TempDir t;
    make_dirs(t / "home/code");
    make_dirs(t / "home/Projects");
    write_file(t / "home/src", "a file, not a folder");
    SystemEnv env;
    env.vars["HOME"] = t / "home";
    EXPECT_EQ(default_project_roots(env),
              (std::vector<std::string>{t / "home/Projects", t / "home/code"}));

    char* cwd = ::getcwd(nullptr, 0);
    ASSERT_NE(cwd, nullptr);
    std::string here = cwd;
    std::free(cwd);
    EXPECT_EQ(default_project_roots(SystemEnv{}), std::vector<std::string>{here});
    env.vars["HOME"] = t / "empty-home";
    EXPECT_EQ(default_project_roots(env), std::vector<std::string>{here});
}

Candidate sized(std::string path, std::uint64_t bytes, std::string kind = "k") {
    Candidate c;
    c.path = std::move(path);
    c.bytes = bytes;
    c.kind = std::move(kind);
    return c;
}

TEST(ScanOrder, BytesDescendingThenPathsInComponentOrder) {
    std::vector<Candidate> v{sized("/p/a-b", 10), sized("/p/a/b", 10),
                             sized("/p/z", 50),   sized("/p/a", 10),
                             sized("/q", 0),      sized("/p/a/b", 10, "second")};
    sort_candidates(v);
    std::vector<std::string> got;
    for (const auto& c : v) {
        got.push_back(c.path + ":" + c.kind);
    }
    EXPECT_EQ(got, (std::vector<std::string>{"/p/z:k", "/p/a:k", "/p/a/b:k", "/p/a/b:second",
                                             "/p/a-b:k", "/q:k"}));
}

TEST(ScanOrder, EmptyResultStillCarriesNothingButItsErrors) {
    TempDir t;
    SystemEnv env = env_in(t.path());
    make_dirs(t / "plain/dirs/only");
    ScanResult r = scan_ok(request({t / "plain"}), env);
    EXPECT_TRUE(r.candidates.empty());
    EXPECT_TRUE(r.walk_errors.empty());
}

TEST(ScanMeasure, ProtectionFollowsTheRequestsDays) {
    TempDir t;
    SystemEnv env = env_in(t.path());
    write_file(t / "p/__pycache__/a.pyc", "abc");
    ScanRequest r = request({t / "p"});
    r.protect_days = 0;
    ScanResult fresh = scan_ok(r, env);
    ASSERT_EQ(fresh.candidates.size(), 1u);
    EXPECT_FALSE(fresh.candidates[0].is_protected);
    EXPECT_EQ(fresh.candidates[0].age_days, 0u);
    r.protect_days = 7;
    EXPECT_TRUE(scan_ok(r, env).candidates[0].is_protected);
}

} // namespace

int scan_child_main() {
    const char* root = std::getenv("QB_CHILD_ROOT");
    const char* out = std::getenv("QB_CHILD_OUT");
    if (root == nullptr || out == nullptr) {
        return 2;
    }
    if (const char* answers = std::getenv("QB_CHILD_ANSWERS")) {
        set_mount_answers(static_cast<MountAnswers>(std::atoi(answers)));
    }
    return scan_child(root, out, std::getenv("QB_CHILD_CLEAN") != nullptr);
}

} // namespace qb::test
