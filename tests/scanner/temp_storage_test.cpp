#include "fixture_tree.hpp"
#include "scanner/temp_storage.hpp"

#include <algorithm>
#include <gtest/gtest.h>
#include <unistd.h>

namespace qb {
namespace {

using test::build_tree;
using test::TempDir;

const std::string kTag = "CACHEDIR.TAG=" + test::kTagLine + "\n";
const std::string kGoLine = "This directory holds cached build artifacts from the Go build system.";
const std::string kGoReadme = "README=" + kGoLine + "\nRun \"go clean -cache\" to trim it.\n";
const std::string kClones = "var/X/com.google.Chrome.code_sign_clone";
const std::string kBuild = "macos-temporary-build-cache ";
const std::string kWorkspace = "macos-temporary-workspace ";
const std::string kClone = "macos-chrome-signing-clones " + kClones;

// Home, per-user temporary directory (var/T) and shared temporary root inside one TempDir.
struct Fixture {
    TempDir t;
    std::string home = t / "home";
    SystemEnv env;

    explicit Fixture(const std::vector<std::string>& specs = {}) {
        build_tree(t.path(), {"home/", "var/T/", "shared/"});
        build_tree(t.path(), specs);
        env.vars["TMPDIR"] = t / "var/T";
        env.shared_tmp_root = t / "shared";
    }

    // "kind path" per row in row order, paths relative to the fixture.
    std::vector<std::string> rows() const {
        std::vector<std::string> out;
        for (const GlobalCandidate& r : discover_temporary_storage(home, env)) {
            bool workspace = r.kind == "macos-temporary-workspace";
            EXPECT_TRUE(r.ecosystem == "macos" && !r.network_restore && r.cleanable == !workspace &&
                        r.min_bytes == (workspace ? kWorkspaceMinBytes : 0u))
                << r.path;
            EXPECT_EQ(r.path.rfind(t.path() + "/", 0), 0u) << r.path;
            out.push_back(std::string(r.kind) + " " + r.path.substr(t.path().size() + 1));
        }
        return out;
    }
    std::vector<std::string> sorted_rows() const {
        auto out = rows();
        std::sort(out.begin(), out.end());
        return out;
    }
};

using Rows = std::vector<std::string>;

TEST(TemporaryStorage, PreconditionsAndTheTemporaryDirectory) {
    Fixture f({kClones + "/code_sign_clone.1/", "shared/a/" + kTag});
    EXPECT_EQ(f.rows(), (Rows{kClone, kBuild + "shared/a"})); // the clone row comes first

    // Nothing at all without a canonical temporary directory with a parent, or a home.
    for (std::string tmp : Rows{f.t / "no/such/dir", "/"}) {
        SystemEnv env = f.env;
        env.vars["TMPDIR"] = tmp;
        EXPECT_TRUE(discover_temporary_storage(f.home, env).empty()) << tmp;
    }
    EXPECT_TRUE(discover_temporary_storage(f.t / "gone", f.env).empty());

    // Without TMPDIR the platform's per-user directory decides where the clones are.
    build_tree(f.t.path(), {"elsewhere/T/"});
    f.env.vars.erase("TMPDIR");
    f.env.platform_user_temp_dir = f.t / "elsewhere/T";
    EXPECT_EQ(f.rows(), (Rows{kBuild + "shared/a"}));
    f.env.platform_user_temp_dir = f.t / "var/T";
    EXPECT_EQ(f.rows(), (Rows{kClone, kBuild + "shared/a"}));
    f.env.vars["TMPDIR"] = f.t / "elsewhere/T"; // TMPDIR wins
    EXPECT_EQ(f.rows(), (Rows{kBuild + "shared/a"}));

    // Links are resolved first, and rows carry the canonical paths.
    build_tree(f.t.path(), {"temp-link->var/T", "shared-link->shared"});
    f.env.vars["TMPDIR"] = f.t / "temp-link/";
    f.env.shared_tmp_root = f.t / "shared-link";
    EXPECT_EQ(f.rows(), (Rows{kClone, kBuild + "shared/a"}));
    f.env.shared_tmp_root = f.t / "no-shared";
    EXPECT_EQ(f.rows(), (Rows{kClone}));
}

TEST(TemporaryStorage, CloneDirectoryHoldsOnlyCloneDirectories) {
    EXPECT_TRUE(Fixture().rows().empty());
    EXPECT_TRUE(Fixture({kClones + "/"}).rows().empty()) << "empty";
    EXPECT_EQ(Fixture({kClones + "/code_sign_clone./"}).rows(), Rows{kClone});
    for (std::string spoiler : Rows{"code_sign_clone.file", "other/", "code_sign_clone/",
                                    "Code_sign_clone.x/", "code_sign_clone.\xFF/",
                                    "code_sign_clone.link->" + kClones + "/code_sign_clone.ok"}) {
        Fixture f({kClones + "/code_sign_clone.ok/", kClones + "/" + spoiler});
        EXPECT_TRUE(f.rows().empty()) << spoiler;
    }
    Fixture linked({"real/code_sign_clone.a/", kClones + "->real"});
    EXPECT_TRUE(linked.rows().empty());
}

TEST(TemporaryStorage, SharedEntriesFollowTheFirstMatchingRule) {
    auto s = [](const std::string& spec) { return "shared/" + spec; };
    Fixture f({
        // 1. a valid tag, even in a project
        s("tagged/" + kTag),
        s("tagged/.git/"),
        s("tagged/sub/" + kTag),
        // 2. Go build cache: README first line and a two-hex-digit subdirectory
        s("gobuild/" + kGoReadme),
        s("gobuild/0a/"),
        s("gobuild-crlf/README=" + kGoLine + "\r\nmore"),
        s("gobuild-crlf/fF/"),
        s("readme-no-hex/" + kGoReadme),
        s("readme-no-hex/0g/"),
        s("readme-no-hex/abc/"),
        s("readme-no-hex/0b"),
        s("readme-link-hex/" + kGoReadme),
        s("readme-link-hex/0c->shared/gobuild/0a"),
        s("readme-bad/" + kGoReadme + "\xFF"),
        s("readme-bad/00/"),
        s("readme-other/README=This directory holds cached build."),
        s("readme-other/00/"),
        s("readme-empty/README"),
        s("readme-empty/00/"),
        s("readme-dir/README/"),
        s("readme-dir/00/"),
        s("Project-Go-Mod/" + kGoReadme), // fails 2, then its name matches 4
        // 3. Xcode-style tree, links followed
        s("xc1/Build/Intermediates.noindex/"),
        s("xc1/Logs/"),
        s("xc1/Build/Products/"),
        s("xc2/Build/Intermediates.noindex/"),
        s("xc2/ModuleCache.noindex/"),
        s("xc2/Logs->shared/xc1/Logs"),
        s("xc-no-logs/Build/Intermediates.noindex/"),
        s("xc-no-logs/Build/Products/"),
        s("xc-no-products/Build/Intermediates.noindex/"),
        s("xc-no-products/Logs/"),
        // 4. names, ASCII letters lowered
        s("Go-Build-Cache-1/"),
        s("ci-target/"),
        s("my-venv/"),
        s("x-go-build/"),
        s("thing-GOMOD/"),
        s("uv-cache-7/"),
        s("TEST-CACHE/"),
        s("a-mod-cache-b/"),
        s("gocache/"),
        s("my-go-mod/"),
        s("target/"),
        s("venv-x/"),
        s("go-modules/"),
        s("\xFFgocache/Cargo.toml"), // not UTF-8: on to rules 5 and 6
        // 5. nested tags at depth 1 to 4, outside VCS metadata, links not followed
        s("nest/a/" + kTag),
        s("nest/a/inner/" + kTag),
        s("nest/b/c/d/e/" + kTag),
        s("nest/f/g/h/i/j/" + kTag),
        s("nest/.git/x/" + kTag),
        s("nest/.svn/" + kTag),
        s("nest/link->shared/tagged"),
        s("nest/Cargo.toml"),
        s("deep/a/b/c/d/e/" + kTag),
        s("bad-tag/a/CACHEDIR.TAG=Signature: nope"),
        // 6. workspaces: a project marker in the entry or one directory below
        s("ws1/a/Cargo.toml"),
        s("ws2/a/b/Cargo.toml"),
        s("ws3/.git/"),
        s("ws-linked/go.mod"),
        s("ws4/a->shared/ws-linked"),
        // admission: only real directories
        s("link-entry->shared/tagged"),
        s("file-target"),
    });
    Rows expected{kWorkspace + "shared/\xFFgocache", kWorkspace + "shared/ws1",
                  kWorkspace + "shared/ws3",         kWorkspace + "shared/ws-linked",
                  kBuild + "shared/nest/a",          kBuild + "shared/nest/b/c/d/e"};
    for (std::string n : {"tagged", "gobuild", "gobuild-crlf", "Project-Go-Mod", "xc1", "xc2",
                          "Go-Build-Cache-1", "ci-target", "my-venv", "x-go-build", "thing-GOMOD",
                          "uv-cache-7", "TEST-CACHE", "a-mod-cache-b", "gocache", "my-go-mod"}) {
        expected.push_back(kBuild + "shared/" + n);
    }
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(f.sorted_rows(), expected);
}

TEST(TemporaryStorage, NestedTagsComeInWalkOrder) {
    Fixture f({"shared/chain/a/" + kTag, "shared/chain/b/x/" + kTag});
    Rows a_first{kBuild + "shared/chain/a", kBuild + "shared/chain/b/x"};
    Rows b_first{a_first[1], a_first[0]};
    auto rows = f.rows(); // listing order is the system's: either, but one pre-order walk
    EXPECT_TRUE(rows == a_first || rows == b_first) << testing::PrintToString(rows);
}

// Gives an entry (links not followed) to the unprivileged user.
void give_away(const std::string& path) {
    auto ids = test::unprivileged_ids();
    ASSERT_TRUE(ids && ::lchown(path.c_str(), ids->first, ids->second) == 0) << path;
}

TEST(TemporaryStorage, OnlyTheHomeOwnersDirectoriesCount) {
    if (!test::unprivileged_ids()) {
        GTEST_SKIP() << "needs root to give fixture entries to another user";
    }
    Fixture f({"shared/theirs/" + kTag, "shared/theirs-target/", "shared/mine/a/" + kTag,
               "shared/mine/b/c/" + kTag, "shared/mine/d/" + kTag});
    for (std::string p :
         {"shared/theirs", "shared/theirs-target", "shared/mine/a", "shared/mine/b"}) {
        give_away(f.t / p);
    }
    EXPECT_EQ(f.rows(), Rows{kBuild + "shared/mine/d"});

    for (std::string given : Rows{kClones, kClones + "/code_sign_clone.a"}) {
        Fixture c({kClones + "/code_sign_clone.a/"});
        give_away(c.t / given);
        EXPECT_TRUE(c.rows().empty()) << given;
    }

    // The owner is whoever owns the home directory, not the running process.
    Fixture h({"shared/x-target/", "shared/y-target/", kClones + "/code_sign_clone.a/"});
    for (std::string p : Rows{"home", "shared/x-target", kClones, kClones + "/code_sign_clone.a"}) {
        give_away(h.t / p);
    }
    EXPECT_EQ(h.rows(), (Rows{kClone, kBuild + "shared/x-target"}));
}

} // namespace
} // namespace qb
