#include "fixture_tree.hpp"
#include "scanner/catalog.hpp"
#include "scanner/global_caches.hpp"

#include <algorithm>
#include <gtest/gtest.h>

namespace qb {
namespace {

using test::build_tree;
using test::TempDir;
using Rows = std::vector<std::string>;

// An environment whose temporary places lie inside `t`; the rest is up to each test.
SystemEnv hermetic(const TempDir& t) {
    build_tree(t.path(), {"tmp/T/", "shared/"});
    SystemEnv env;
    env.vars["TMPDIR"] = t / "tmp/T";
    env.shared_tmp_root = t / "shared";
    return env;
}

// A path relative to the TempDir when it lies inside it.
std::string shown(const std::string& path, const TempDir& t) {
    bool inside = path.rfind(t.path() + "/", 0) == 0;
    return inside ? path.substr(t.path().size() + 1) : path;
}

// "path kind" per row, with the TempDir prefix cut; every row must agree with the catalogue.
Rows discover(const SystemEnv& env, const TempDir& t) {
    auto catalog = cache_catalog();
    Rows out;
    for (const GlobalCandidate& r : discover_global_caches(env)) {
        auto it = std::find_if(catalog.begin(), catalog.end(),
                               [&](const CatalogEntry& c) { return c.kind == r.kind; });
        EXPECT_TRUE(it != catalog.end() && it->global && it->ecosystem == r.ecosystem &&
                    it->network_restore == r.network_restore && it->cleanable == r.cleanable &&
                    r.min_bytes == (r.kind == "macos-temporary-workspace" ? kWorkspaceMinBytes : 0))
            << r.kind;
        out.push_back(shown(r.path, t) + " " + std::string(r.kind));
    }
    return out;
}

const Rows kHomeRows{"h/.cargo/registry/cache cargo-registry",
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
                     "h/Library/Caches/org.swift.swiftpm swiftpm-cache"};

Rows cache_rows(const std::string& base) {
    Rows out;
    for (std::string row :
         {"pip pip-cache", "uv uv-cache", "pre-commit pre-commit-cache", "prek pre-commit-cache",
          "deno deno-cache", "go-build go-build-cache", "ccache ccache", "zig zig-global-cache",
          "composer composer-cache", "R/renv renv-cache"}) {
        out.push_back(base + "/" + row);
    }
    return out;
}

Rows concat(Rows a, const Rows& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

const Rows kDefaultRows =
    concat(concat(kHomeRows, cache_rows("h/.cache")), {"h/.local/share/pnpm/store pnpm-store"});

TEST(GlobalCaches, BasesGiveTheFixedRowsInOrder) {
    TempDir t;
    SystemEnv env = hermetic(t);
    EXPECT_TRUE(discover(env, t).empty());
    env.vars["HOME"] = t / "h"; // missing: no RubyGems and no temporary rows
    ASSERT_EQ(kDefaultRows.size(), 37u);
    EXPECT_EQ(discover(env, t), kDefaultRows);

    env.vars["HOME"] = t / "h/"; // joins without doubled separators
    env.vars["XDG_CACHE_HOME"] = t / "c";
    env.vars["XDG_DATA_HOME"] = t / "d";
    EXPECT_EQ(discover(env, t),
              concat(concat(kHomeRows, cache_rows("c")), {"d/pnpm/store pnpm-store"}));

    env.vars.erase("HOME");
    env.vars["DENO_DIR"] = t / "deno";
    EXPECT_EQ(discover(env, t),
              concat(cache_rows("c"), {"d/pnpm/store pnpm-store", "deno deno-cache"}));
}

TEST(GlobalCaches, EmptyOrRelativeBasesAreNotBases) {
    TempDir t;
    SystemEnv env = hermetic(t);
    // Treated as unset, so no row can name a place under the working directory.
    for (std::string bad : {"", "relative", "./x", "~"}) {
        SCOPED_TRACE("value '" + bad + "'");
        env.vars["HOME"] = env.vars["XDG_CACHE_HOME"] = env.vars["XDG_DATA_HOME"] = bad;
        EXPECT_TRUE(discover(env, t).empty());
        env.vars["HOME"] = t / "h";
        EXPECT_EQ(discover(env, t), kDefaultRows);
        env.vars["HOME"] = bad;
        env.vars["XDG_CACHE_HOME"] = t / "c";
        EXPECT_EQ(discover(env, t), cache_rows("c"));
    }
}

TEST(GlobalCaches, RubyGemsAndTemporaryRowsSitBetweenHomeAndCacheRows) {
    TempDir t;
    SystemEnv env = hermetic(t);
    env.vars["HOME"] = t / "h";
    build_tree(t.path(), {"h/.gem/ruby/3.3.0/", "h/.gem/ruby/.hidden/", "h/.gem/ruby/notes.txt",
                          "shared/ci-target/"});
    auto rows = discover(env, t);
    ASSERT_EQ(rows.size(), 26u + 3 + 1 + 10 + 1);
    EXPECT_EQ(Rows(rows.begin(), rows.begin() + 26), kHomeRows);
    Rows gems(rows.begin() + 26, rows.begin() + 29);
    std::sort(gems.begin(), gems.end()); // in listing order, which is the system's
    EXPECT_EQ(gems,
              (Rows{"h/.gem/ruby/.hidden/cache gem-cache", "h/.gem/ruby/3.3.0/cache gem-cache",
                    "h/.gem/ruby/notes.txt/cache gem-cache"}));
    EXPECT_EQ(rows[29], "shared/ci-target macos-temporary-build-cache");
    EXPECT_EQ(Rows(rows.begin() + 30, rows.end()),
              Rows(kDefaultRows.begin() + 26, kDefaultRows.end()));
}

TEST(GlobalCaches, OverridesAreCheckedBeforeTheyCount) {
    TempDir t;
    SystemEnv base = hermetic(t);
    const std::string home = t / "h";
    base.vars["HOME"] = home;
    struct Case {
        std::string variable;
        std::string value;
        std::string kind; // empty when refused
    };
    const std::vector<Case> cases{
        {"DENO_DIR", "/opt/deno", "deno-cache"},
        {"DENO_DIR", "/opt/My-Deno-Cache/", "deno-cache"},
        {"DENO_DIR", home + "/.deno/", "deno-cache"},
        {"DENO_DIR", "/opt/deno/.", "deno-cache"},
        {"DENO_DIR", "/opt/den", ""},
        {"DENO_DIR", "", ""},
        {"DENO_DIR", "deno", ""},
        {"DENO_DIR", "~/deno", ""},
        {"DENO_DIR", "/", ""},
        {"DENO_DIR", "//", ""},
        {"DENO_DIR", "/.", ""},
        {"DENO_DIR", "/opt/deno/..", ""},
        {"DENO_DIR",
         "/opt/\xFF"
         "deno",
         ""},
        {"DENO_DIR", home, ""},
        {"DENO_DIR", home + "/./", ""},
        {"DENO_DIR", t.path() + "//", ""},
        {"GOCACHE", "/x/go-build", "go-build-cache"},
        {"GOCACHE", "/x/GoCache", "go-build-cache"},
        {"GOCACHE", "/x/gobuild", ""},
        {"GOMODCACHE", "/x/Mod", "go-module-cache"},
        {"GOMODCACHE", "/x/gomodcache", "go-module-cache"},
        {"GOMODCACHE", "/x/modules", ""},
        {"GOMODCACHE", "mod", ""},
        {"TF_PLUGIN_CACHE_DIR", "/opt/terraform.d/plugin-cache", "terraform-plugin-cache"},
        {"TF_PLUGIN_CACHE_DIR", "/opt/Terraform", "terraform-plugin-cache"},
        {"TF_PLUGIN_CACHE_DIR", "/opt/tf-providers", ""},
    };
    for (const Case& c : cases) {
        SystemEnv env = base;
        env.vars[c.variable] = c.value;
        // Accepted values are kept exactly as written.
        Rows expected = c.kind.empty() ? kDefaultRows
                                       : concat(kDefaultRows, {shown(c.value, t) + " " + c.kind});
        EXPECT_EQ(discover(env, t), expected) << c.variable << "=" << c.value;
    }

    // A home named like the tool's cache is still refused; without a home it is not.
    SystemEnv env = base;
    env.vars["HOME"] = env.vars["DENO_DIR"] = t / "deno-home";
    EXPECT_EQ(discover(env, t).size(), 37u);
    env.vars.erase("HOME");
    EXPECT_EQ(discover(env, t), Rows{"deno-home deno-cache"});

    // Values that lead home through ".." or a link, whether or not each place they pass
    // exists, are refused as well; an accepted value is still kept as written.
    build_tree(t.path(), {"deno-home/", "gomod/h/", "x/", "alias->" + t.path()});
    const std::vector<Case> leading{
        {"DENO_DIR", t / "x/../deno-home", ""},  {"DENO_DIR", t / "missing/../deno-home", ""},
        {"DENO_DIR", t / "alias/deno-home", ""}, {"GOMODCACHE", t / "x/../gomod", ""},
        {"GOMODCACHE", t / "alias/gomod/", ""},  {"DENO_DIR", t / "alias/x/../deno", "deno-cache"},
    };
    for (const Case& c : leading) {
        env = base;
        env.vars["HOME"] = t / (c.variable == "DENO_DIR" ? "deno-home" : "gomod/h");
        env.vars[c.variable] = c.value;
        Rows rows = discover(env, t);
        EXPECT_EQ(rows.size(), c.kind.empty() ? 37u : 38u) << c.variable << "=" << c.value;
        EXPECT_EQ(rows.back() == shown(c.value, t) + " " + c.kind, !c.kind.empty()) << c.value;
    }
}

TEST(GlobalCaches, RepeatedPathsKeepTheirFirstRow) {
    TempDir t;
    SystemEnv env = hermetic(t);
    const std::string home = t / "h";
    env.vars["HOME"] = home;
    env.vars["GOCACHE"] = home + "/Library/Caches/go-build";
    EXPECT_EQ(discover(env, t), kDefaultRows);
    // Same place written differently, another kind: the earlier row stays.
    env.vars["TF_PLUGIN_CACHE_DIR"] = home + "/.pluginVerifier//loaded-plugins/";
    EXPECT_EQ(discover(env, t), kDefaultRows);
    // Cache and data bases that coincide with the macOS folders.
    env.vars["XDG_CACHE_HOME"] = home + "/Library/Caches/";
    env.vars["XDG_DATA_HOME"] = home + "/./Library";
    EXPECT_EQ(discover(env, t), concat(kHomeRows, {"h/Library/Caches/pre-commit pre-commit-cache",
                                                   "h/Library/Caches/prek pre-commit-cache",
                                                   "h/Library/Caches/zig zig-global-cache",
                                                   "h/Library/Caches/R/renv renv-cache"}));
}

} // namespace
} // namespace qb
