#include "scanner/catalog.hpp"
#include "scanner/global_caches.hpp"
#include "support/test_support.hpp"

#include <algorithm>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace qb {
namespace {

using test::make_dirs;
using test::TempDir;
using test::write_file;

// An environment whose temporary places all lie inside `t`; the rest is up to each test.
SystemEnv hermetic(const TempDir& t) {
    make_dirs(t / "tmp/T");
    make_dirs(t / "shared");
    SystemEnv env;
    env.vars["TMPDIR"] = t / "tmp/T";
    env.shared_tmp_root = t / "shared";
    return env;
}

// Every row must agree with its catalogue row.
std::vector<GlobalCandidate> discover(const SystemEnv& env) {
    auto rows = discover_global_caches(env);
    auto catalog = cache_catalog();
    for (const GlobalCandidate& r : rows) {
        auto it = std::find_if(catalog.begin(), catalog.end(),
                               [&](const CatalogEntry& c) { return c.kind == r.kind; });
        if (it == catalog.end()) {
            ADD_FAILURE() << "not a catalogue kind: " << r.kind;
            continue;
        }
        EXPECT_TRUE(it->global) << r.kind;
        EXPECT_EQ(it->ecosystem, r.ecosystem) << r.kind;
        EXPECT_EQ(it->network_restore, r.network_restore) << r.kind;
        EXPECT_EQ(it->cleanable, r.cleanable) << r.kind;
        EXPECT_EQ(r.min_bytes, r.kind == "macos-temporary-workspace" ? kWorkspaceMinBytes : 0u);
    }
    return rows;
}

// "path kind" per row, with `base` + "/" cut from the front of paths under it.
std::vector<std::string> summary(const std::vector<GlobalCandidate>& rows,
                                 const std::string& base) {
    std::vector<std::string> out;
    for (const GlobalCandidate& r : rows) {
        std::string p = r.path.rfind(base + "/", 0) == 0 ? r.path.substr(base.size() + 1) : r.path;
        out.push_back(p + " " + std::string(r.kind));
    }
    return out;
}

const std::vector<std::string> kHomeRows{
    "h/.cargo/registry/cache cargo-registry",
    "h/.cargo/git/checkouts cargo-git",
    "h/.npm/_cacache npm-cache",
    "h/.bun/install/cache bun-cache",
    "h/.gradle/caches gradle-global-cache",
    "h/.m2/repository maven-repository",
    "h/.nuget/packages nuget-packages",
    "h/.pub-cache pub-cache",
    "h/.stack/programs stack-cache",
    "h/.stack/snapshots stack-cache",
    "h/.stack/indices stack-cache",
    "h/.cabal/store cabal-store",
    "h/.hex/packages hex-cache",
    "h/go/pkg/mod go-module-cache",
    "h/.swiftpm/cache swiftpm-cache",
    "h/.pluginVerifier/loaded-plugins jetbrains-plugin-verifier-cache",
    "h/Library/Caches/pip pip-cache",
    "h/Library/Caches/uv uv-cache",
    "h/Library/Caches/deno deno-cache",
    "h/Library/Caches/ms-playwright playwright-cache",
    "h/Library/Caches/go-build go-build-cache",
    "h/Library/Caches/composer composer-cache",
    "h/Library/Caches/ccache ccache",
    "h/Library/pnpm/store pnpm-store",
    "h/Library/Developer/Xcode/DerivedData xcode-derived-data",
    "h/Library/Caches/org.swift.swiftpm swiftpm-cache",
};

std::vector<std::string> cache_rows(const std::string& base) {
    std::vector<std::string> out;
    for (std::string row :
         {"pip pip-cache", "uv uv-cache", "pre-commit pre-commit-cache", "prek pre-commit-cache",
          "deno deno-cache", "go-build go-build-cache", "ccache ccache", "zig zig-global-cache",
          "composer composer-cache", "R/renv renv-cache"}) {
        out.push_back(base + "/" + row);
    }
    return out;
}

std::vector<std::string> concat(std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

TEST(GlobalCaches, HomeAloneGivesTheFixedRowsInOrder) {
    TempDir t;
    SystemEnv env = hermetic(t);
    env.vars["HOME"] = t / "h"; // does not exist: no RubyGems and no temporary rows
    auto expected =
        concat(concat(kHomeRows, cache_rows("h/.cache")), {"h/.local/share/pnpm/store pnpm-store"});
    ASSERT_EQ(expected.size(), 37u);
    EXPECT_EQ(summary(discover(env), t.path()), expected);

    // Each base has its own variable; a home with a trailing separator joins cleanly.
    env.vars["HOME"] = t / "h/";
    env.vars["XDG_CACHE_HOME"] = t / "c";
    env.vars["XDG_DATA_HOME"] = t / "d";
    expected = concat(concat(kHomeRows, cache_rows("c")), {"d/pnpm/store pnpm-store"});
    EXPECT_EQ(summary(discover(env), t.path()), expected);
    for (const GlobalCandidate& r : discover(env)) {
        EXPECT_EQ(r.path.find("//"), std::string::npos) << r.path;
    }
}

TEST(GlobalCaches, WithoutHomeOnlyTheXdgBasesCount) {
    TempDir t;
    SystemEnv env = hermetic(t);
    EXPECT_TRUE(discover(env).empty());
    env.vars["XDG_CACHE_HOME"] = t / "c";
    EXPECT_EQ(summary(discover(env), t.path()), cache_rows("c"));
    env.vars["XDG_DATA_HOME"] = t / "d";
    env.vars["DENO_DIR"] = t / "deno";
    EXPECT_EQ(summary(discover(env), t.path()),
              concat(cache_rows("c"), {"d/pnpm/store pnpm-store", "deno deno-cache"}));
}

TEST(GlobalCaches, EmptyOrRelativeBasesAreNotBases) {
    TempDir t;
    SystemEnv env = hermetic(t);
    // Treated as unset, so a relative or empty value never names the working directory.
    for (std::string bad : {"", "relative", "./x", "~"}) {
        SCOPED_TRACE("value '" + bad + "'");
        env.vars["HOME"] = bad;
        env.vars["XDG_CACHE_HOME"] = bad;
        env.vars["XDG_DATA_HOME"] = bad;
        EXPECT_TRUE(discover(env).empty());

        env.vars["HOME"] = t / "h";
        auto expected = concat(concat(kHomeRows, cache_rows("h/.cache")),
                               {"h/.local/share/pnpm/store pnpm-store"});
        EXPECT_EQ(summary(discover(env), t.path()), expected);

        env.vars["HOME"] = bad;
        env.vars["XDG_CACHE_HOME"] = t / "c";
        EXPECT_EQ(summary(discover(env), t.path()), cache_rows("c"));
        env.vars["XDG_CACHE_HOME"] = bad;
    }
}

TEST(GlobalCaches, RubyGemsAndTemporaryRowsSitBetweenHomeAndCacheRows) {
    TempDir t;
    SystemEnv env = hermetic(t);
    env.vars["HOME"] = t / "h";
    make_dirs(t / "h/.gem/ruby/3.3.0");
    make_dirs(t / "h/.gem/ruby/.hidden");
    write_file(t / "h/.gem/ruby/notes.txt");
    make_dirs(t / "shared/ci-target");
    auto rows = summary(discover(env), t.path());
    ASSERT_EQ(rows.size(), 26u + 3 + 1 + 10 + 1);
    EXPECT_EQ(std::vector<std::string>(rows.begin(), rows.begin() + 26), kHomeRows);
    std::vector<std::string> gems(rows.begin() + 26, rows.begin() + 29);
    std::sort(gems.begin(), gems.end());
    EXPECT_EQ(gems, (std::vector<std::string>{"h/.gem/ruby/.hidden/cache gem-cache",
                                              "h/.gem/ruby/3.3.0/cache gem-cache",
                                              "h/.gem/ruby/notes.txt/cache gem-cache"}));
    EXPECT_EQ(rows[29], "shared/ci-target macos-temporary-build-cache");
    EXPECT_EQ(std::vector<std::string>(rows.begin() + 30, rows.begin() + 40),
              cache_rows("h/.cache"));
    EXPECT_EQ(rows.back(), "h/.local/share/pnpm/store pnpm-store");
}

TEST(GlobalCaches, OverridesAreCheckedBeforeTheyCount) {
    TempDir t;
    SystemEnv base = hermetic(t);
    const std::string home = t / "h";
    base.vars["HOME"] = home;
    struct Case {
        std::string variable;
        std::string value;
        bool accepted;
    };
    const std::vector<Case> cases{
        {"DENO_DIR", "/opt/deno", true},
        {"DENO_DIR", "/opt/My-Deno-Cache/", true},
        {"DENO_DIR", home + "/.deno/", true},
        {"DENO_DIR", "/opt/deno/.", true},
        {"DENO_DIR", "/opt/nodeno", true},
        {"DENO_DIR", "/opt/den", false},
        {"DENO_DIR", "", false},
        {"DENO_DIR", "deno", false},
        {"DENO_DIR", "~/deno", false},
        {"DENO_DIR", "/", false},
        {"DENO_DIR", "//", false},
        {"DENO_DIR", "/.", false},
        {"DENO_DIR", "/opt/deno/..", false},
        {"DENO_DIR",
         "/opt/\xFF"
         "deno",
         false},
        {"GOCACHE", "/x/go-build", true},
        {"GOCACHE", "/x/GoCache", true},
        {"GOCACHE", "/x/gobuild", false},
        {"GOMODCACHE", "/x/Mod", true},
        {"GOMODCACHE", "/x/gomodcache", true},
        {"GOMODCACHE", "/x/modules", false},
        {"GOMODCACHE", "mod", false},
        {"TF_PLUGIN_CACHE_DIR", "/opt/terraform.d/plugin-cache", true},
        {"TF_PLUGIN_CACHE_DIR", "/opt/Terraform", true},
        {"TF_PLUGIN_CACHE_DIR", "/opt/tf-providers", false},
    };
    auto kind_of = [](const std::string& var) -> std::string_view {
        if (var == "DENO_DIR") {
            return "deno-cache";
        }
        if (var == "GOCACHE") {
            return "go-build-cache";
        }
        return var == "GOMODCACHE" ? "go-module-cache" : "terraform-plugin-cache";
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.variable + "=" + c.value);
        SystemEnv env = base;
        env.vars[c.variable] = c.value;
        auto rows = discover(env);
        ASSERT_EQ(rows.size(), c.accepted ? 38u : 37u);
        if (c.accepted) {
            EXPECT_EQ(rows.back().path, c.value); // unchanged, separators and all
            EXPECT_EQ(rows.back().kind, kind_of(c.variable));
        }
    }

    // The home directory and its ancestors are refused, however they are written.
    for (std::string value : {home, home + "/", home + "/./", t.path(), t.path() + "//"}) {
        SystemEnv env = base;
        env.vars["DENO_DIR"] = value;
        EXPECT_EQ(discover(env).size(), 37u) << value;
    }
    // ... which only matters once they are named like the tool's cache.
    SystemEnv env = base;
    make_dirs(t / "deno-home");
    env.vars["HOME"] = t / "deno-home";
    env.vars["DENO_DIR"] = t / "deno-home";
    EXPECT_EQ(discover(env).size(), 37u);
    env.vars["DENO_DIR"] = t / "deno-home/sub/deno";
    EXPECT_EQ(discover(env).size(), 38u);
    // Without a home only the other tests apply.
    env.vars.erase("HOME");
    env.vars["DENO_DIR"] = t / "deno-home";
    EXPECT_EQ(summary(discover(env), t.path()), std::vector<std::string>{"deno-home deno-cache"});
}

TEST(GlobalCaches, RepeatedPathsKeepTheirFirstRow) {
    TempDir t;
    SystemEnv env = hermetic(t);
    const std::string home = t / "h";
    env.vars["HOME"] = home;
    env.vars["GOCACHE"] = home + "/Library/Caches/go-build";
    auto rows = discover(env);
    EXPECT_EQ(rows.size(), 37u);
    EXPECT_EQ(std::count_if(rows.begin(), rows.end(),
                            [](const GlobalCandidate& r) { return r.kind == "go-build-cache"; }),
              2); // the Library row and ~/.cache/go-build

    // Same place, another kind: the earlier row stays.
    env.vars["TF_PLUGIN_CACHE_DIR"] = home + "/.pluginVerifier//loaded-plugins/";
    rows = discover(env);
    EXPECT_EQ(rows.size(), 37u);
    EXPECT_EQ(rows[15].kind, "jetbrains-plugin-verifier-cache");

    // Cache and data bases that coincide with the macOS folders.
    env.vars["XDG_CACHE_HOME"] = home + "/Library/Caches/";
    env.vars["XDG_DATA_HOME"] = home + "/./Library";
    auto s = summary(discover(env), t.path());
    EXPECT_EQ(s, concat(kHomeRows, {"h/Library/Caches/pre-commit pre-commit-cache",
                                    "h/Library/Caches/prek pre-commit-cache",
                                    "h/Library/Caches/zig zig-global-cache",
                                    "h/Library/Caches/R/renv renv-cache"}));
}

} // namespace
} // namespace qb
