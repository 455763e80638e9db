#include "scanner/temp_storage.hpp"
#include "support/test_support.hpp"

#include <algorithm>
#include <functional>
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace qb {
namespace {

using test::make_dirs;
using test::make_symlink;
using test::TempDir;
using test::write_file;

const std::string kSignature = "Signature: 8a477f597d28d172789f06886806bc55\n";
const std::string kGoReadme =
    "This directory holds cached build artifacts from the Go build system.\n"
    "Run \"go clean -cache\" if the directory is getting too large.\n";

// A home, a per-user temporary directory and a shared temporary root, all inside one
// TempDir; the Chrome clone directory sits beside the temporary directory.
struct Fixture {
    TempDir t;
    std::string home = t / "home";
    std::string temp = t / "var/T";
    std::string clones = t / "var/X/com.google.Chrome.code_sign_clone";
    std::string shared = t / "shared";
    SystemEnv env;

    Fixture() {
        make_dirs(home);
        make_dirs(temp);
        make_dirs(shared);
        env.vars["TMPDIR"] = temp;
        env.shared_tmp_root = shared;
    }

    // "kind path" per row, paths relative to the fixture, in row order.
    std::vector<std::string> rows() const {
        std::vector<std::string> out;
        for (const GlobalCandidate& r : discover_temporary_storage(home, env)) {
            EXPECT_EQ(r.ecosystem, "macos");
            EXPECT_FALSE(r.network_restore);
            bool workspace = r.kind == "macos-temporary-workspace";
            EXPECT_EQ(r.cleanable, !workspace) << r.path;
            EXPECT_EQ(r.min_bytes, workspace ? kWorkspaceMinBytes : 0u) << r.path;
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

const std::string kBuild = "macos-temporary-build-cache ";
const std::string kWorkspace = "macos-temporary-workspace ";
const std::string kClone = "macos-chrome-signing-clones ";

// Gives an entry (not following links) to the unprivileged user.
bool give_away(const std::string& path) {
    auto ids = test::unprivileged_ids();
    return ids && ::lchown(path.c_str(), ids->first, ids->second) == 0;
}

TEST(TemporaryStorage, PreconditionsGateBothChecks) {
    Fixture f;
    make_dirs(f.shared + "/a");
    write_file(f.shared + "/a/CACHEDIR.TAG", kSignature);
    make_dirs(f.clones + "/code_sign_clone.1");
    EXPECT_EQ(f.rows(),
              (std::vector<std::string>{kClone + "var/X/com.google.Chrome.code_sign_clone",
                                        kBuild + "shared/a"}));

    Fixture missing_temp;
    missing_temp.env.vars["TMPDIR"] = missing_temp.t / "no/such/dir";
    make_dirs(missing_temp.shared + "/a-target");
    EXPECT_TRUE(missing_temp.rows().empty());

    Fixture root_temp; // the root has no parent
    root_temp.env.vars["TMPDIR"] = "/";
    make_dirs(root_temp.shared + "/a-target");
    EXPECT_TRUE(root_temp.rows().empty());

    Fixture no_home;
    make_dirs(no_home.shared + "/a-target");
    no_home.home = no_home.t / "gone";
    EXPECT_TRUE(no_home.rows().empty());
}

TEST(TemporaryStorage, TemporaryDirectoryChoiceAndCanonicalForm) {
    // Without TMPDIR the platform's per-user directory decides where the clones are.
    Fixture f;
    f.env.vars.erase("TMPDIR");
    f.env.platform_user_temp_dir = f.temp;
    make_dirs(f.clones + "/code_sign_clone.x");
    EXPECT_EQ(f.rows(),
              (std::vector<std::string>{kClone + "var/X/com.google.Chrome.code_sign_clone"}));
    // TMPDIR wins over it.
    make_dirs(f.t / "elsewhere/T");
    f.env.vars["TMPDIR"] = f.t / "elsewhere/T";
    EXPECT_TRUE(f.rows().empty());
    // Links are resolved before the parent is taken, and rows use the canonical paths.
    make_symlink(f.temp, f.t / "temp-link");
    f.env.vars["TMPDIR"] = f.t / "temp-link/";
    make_symlink(f.shared, f.t / "shared-link");
    f.env.shared_tmp_root = f.t / "shared-link";
    make_dirs(f.shared + "/x-venv");
    EXPECT_EQ(f.rows(),
              (std::vector<std::string>{kClone + "var/X/com.google.Chrome.code_sign_clone",
                                        kBuild + "shared/x-venv"}));
    // A shared root that cannot be listed gives no rows of its own.
    f.env.shared_tmp_root = f.t / "no-shared";
    EXPECT_EQ(f.rows(),
              (std::vector<std::string>{kClone + "var/X/com.google.Chrome.code_sign_clone"}));
}

TEST(TemporaryStorage, ChromeCloneDirectoryMustHoldOnlyOwnedCloneDirectories) {
    const std::string row = kClone + "var/X/com.google.Chrome.code_sign_clone";
    {
        Fixture f;
        EXPECT_TRUE(f.rows().empty());
        make_dirs(f.clones);
        EXPECT_TRUE(f.rows().empty()) << "an empty clone directory";
        make_dirs(f.clones + "/code_sign_clone.");
        EXPECT_EQ(f.rows(), std::vector<std::string>{row});
        make_dirs(f.clones + "/code_sign_clone.0123abcd");
        EXPECT_EQ(f.rows(), std::vector<std::string>{row});
    }
    auto spoiled_by = [&](const std::function<void(const std::string&)>& add) {
        Fixture f;
        make_dirs(f.clones + "/code_sign_clone.good");
        add(f.clones);
        return f.rows();
    };
    EXPECT_TRUE(
        spoiled_by([](const std::string& c) { write_file(c + "/code_sign_clone.file"); }).empty());
    EXPECT_TRUE(spoiled_by([](const std::string& c) { make_dirs(c + "/other"); }).empty());
    EXPECT_TRUE(
        spoiled_by([](const std::string& c) { make_dirs(c + "/code_sign_clone"); }).empty());
    EXPECT_TRUE(
        spoiled_by([](const std::string& c) { make_dirs(c + "/Code_sign_clone.x"); }).empty());
    EXPECT_TRUE(
        spoiled_by([](const std::string& c) { make_dirs(c + "/code_sign_clone.\xFF"); }).empty());
    EXPECT_TRUE(spoiled_by([](const std::string& c) {
                    make_symlink(c + "/code_sign_clone.good", c + "/code_sign_clone.link");
                }).empty());

    Fixture linked; // the clone directory itself as a link
    make_dirs(linked.t / "real-clones/code_sign_clone.a");
    make_dirs(linked.t / "var/X");
    make_symlink(linked.t / "real-clones", linked.clones);
    EXPECT_TRUE(linked.rows().empty());
}

TEST(TemporaryStorage, SharedEntriesFollowTheFirstMatchingRule) {
    Fixture f;
    auto e = [&](const std::string& rel) { return f.shared + "/" + rel; };
    // 1. a valid tag, even in a project (the workspace rule comes later)
    write_file(e("tagged/CACHEDIR.TAG"), kSignature);
    make_dirs(e("tagged/.git"));
    write_file(e("tagged/sub/CACHEDIR.TAG"), kSignature);
    // 2. the Go build cache: README first line plus a two-hex-digit subdirectory
    write_file(e("gobuild/README"), kGoReadme);
    make_dirs(e("gobuild/0a"));
    write_file(e("gobuild-crlf/README"), "This directory holds cached build artifacts from the "
                                         "Go build system.\r\nmore\n");
    make_dirs(e("gobuild-crlf/fF"));
    write_file(e("readme-no-hex/README"), kGoReadme);
    make_dirs(e("readme-no-hex/0g"));
    make_dirs(e("readme-no-hex/abc"));
    write_file(e("readme-no-hex/0b"));
    write_file(e("readme-link-hex/README"), kGoReadme);
    make_symlink(e("gobuild/0a"), e("readme-link-hex/0c"));
    write_file(e("readme-bad-utf8/README"), kGoReadme + "\xFF");
    make_dirs(e("readme-bad-utf8/00"));
    write_file(e("readme-other/README"), "This directory holds cached build artifacts.\n");
    make_dirs(e("readme-other/00"));
    write_file(e("readme-empty/README"));
    make_dirs(e("readme-empty/00"));
    make_dirs(e("readme-dir/README"));
    make_dirs(e("readme-dir/00"));
    write_file(e("Project-Go-Mod/README"), kGoReadme); // fails 2, then matches 4 by name
    // 3. an Xcode-style tree, links followed
    make_dirs(e("xc1/Build/Intermediates.noindex"));
    make_dirs(e("xc1/Logs"));
    make_dirs(e("xc1/Build/Products"));
    make_dirs(e("xc2/Build/Intermediates.noindex"));
    make_dirs(e("xc2/ModuleCache.noindex"));
    make_symlink(e("xc1/Logs"), e("xc2/Logs"));
    make_dirs(e("xc-no-logs/Build/Intermediates.noindex"));
    make_dirs(e("xc-no-logs/Build/Products"));
    make_dirs(e("xc-no-products/Build/Intermediates.noindex"));
    make_dirs(e("xc-no-products/Logs"));
    // 4. names
    for (std::string n : {"Go-Build-Cache-1", "ci-target", "my-venv", "x-go-build", "thing-GOMOD",
                          "uv-cache-7", "TEST-CACHE", "a-mod-cache-b", "gocache", "my-go-mod"}) {
        make_dirs(e(n));
    }
    for (std::string n : {"target", "venv-x", "go-modules", "cache"}) {
        make_dirs(e(n));
    }
    make_dirs(e("\xFFgocache")); // not valid UTF-8: goes on to rules 5 and 6
    write_file(e("\xFFgocache/Cargo.toml"));
    // 5. nested tags, depth 1 to 4; the entry itself gets no row
    write_file(e("nest/a/CACHEDIR.TAG"), kSignature);
    write_file(e("nest/a/inner/CACHEDIR.TAG"), kSignature);
    write_file(e("nest/b/c/d/e/CACHEDIR.TAG"), kSignature);
    write_file(e("nest/f/g/h/i/j/CACHEDIR.TAG"), kSignature);
    write_file(e("nest/.git/x/CACHEDIR.TAG"), kSignature);
    write_file(e("nest/.svn/CACHEDIR.TAG"), kSignature);
    make_symlink(e("tagged"), e("nest/link"));
    write_file(e("nest/Cargo.toml"));
    write_file(e("deep/a/b/c/d/e/CACHEDIR.TAG"), kSignature);
    write_file(e("bad-tag/a/CACHEDIR.TAG"), "Signature: nope\n");
    // 6. workspaces: a project marker in the entry or in a directory right below it
    write_file(e("ws1/a/Cargo.toml"));
    write_file(e("ws2/a/b/Cargo.toml"));
    make_dirs(e("ws3/.git"));
    write_file(e("ws-linked/Cargo.toml"));
    make_dirs(e("ws4"));
    make_symlink(e("ws-linked"), e("ws4/a"));
    // Admission: only real directories
    make_symlink(e("tagged"), e("link-entry"));
    write_file(e("file-target"));

    std::vector<std::string> expected{
        kBuild + "shared/tagged",
        kBuild + "shared/gobuild",
        kBuild + "shared/gobuild-crlf",
        kBuild + "shared/Project-Go-Mod",
        kBuild + "shared/xc1",
        kBuild + "shared/xc2",
        kBuild + "shared/Go-Build-Cache-1",
        kBuild + "shared/ci-target",
        kBuild + "shared/my-venv",
        kBuild + "shared/x-go-build",
        kBuild + "shared/thing-GOMOD",
        kBuild + "shared/uv-cache-7",
        kBuild + "shared/TEST-CACHE",
        kBuild + "shared/a-mod-cache-b",
        kBuild + "shared/gocache",
        kBuild + "shared/my-go-mod",
        kWorkspace + "shared/\xFFgocache",
        kBuild + "shared/nest/a",
        kBuild + "shared/nest/b/c/d/e",
        kWorkspace + "shared/ws1",
        kWorkspace + "shared/ws3",
        kWorkspace + "shared/ws-linked",
    };
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(f.sorted_rows(), expected);
}

TEST(TemporaryStorage, NestedTagsComeInWalkOrder) {
    Fixture f;
    write_file(f.shared + "/chain/a/CACHEDIR.TAG", kSignature);
    write_file(f.shared + "/chain/b/x/CACHEDIR.TAG", kSignature);
    // Listing order is the system's; accept either, but the rows of one entry stay together
    // and follow one pre-order walk.
    auto rows = f.rows();
    ASSERT_EQ(rows.size(), 2u);
    std::vector<std::string> a_first{kBuild + "shared/chain/a", kBuild + "shared/chain/b/x"};
    std::vector<std::string> b_first{a_first[1], a_first[0]};
    EXPECT_TRUE(rows == a_first || rows == b_first);
}

TEST(TemporaryStorage, OnlyTheHomeOwnersDirectoriesCount) {
    if (!test::unprivileged_ids()) {
        GTEST_SKIP() << "needs root to give fixture entries to another user";
    }
    {
        Fixture f;
        write_file(f.shared + "/theirs/CACHEDIR.TAG", kSignature);
        ASSERT_TRUE(give_away(f.shared + "/theirs"));
        make_dirs(f.shared + "/theirs-target");
        ASSERT_TRUE(give_away(f.shared + "/theirs-target"));
        write_file(f.shared + "/mine/a/CACHEDIR.TAG", kSignature);
        ASSERT_TRUE(give_away(f.shared + "/mine/a"));
        write_file(f.shared + "/mine/b/c/CACHEDIR.TAG", kSignature);
        ASSERT_TRUE(give_away(f.shared + "/mine/b"));
        write_file(f.shared + "/mine/d/CACHEDIR.TAG", kSignature);
        EXPECT_EQ(f.rows(), std::vector<std::string>{kBuild + "shared/mine/d"});
    }
    {
        Fixture f;
        make_dirs(f.clones + "/code_sign_clone.a");
        ASSERT_TRUE(give_away(f.clones + "/code_sign_clone.a"));
        EXPECT_TRUE(f.rows().empty());
    }
    {
        Fixture f;
        make_dirs(f.clones + "/code_sign_clone.a");
        ASSERT_TRUE(give_away(f.clones));
        EXPECT_TRUE(f.rows().empty());
    }
    {
        // The owner is whoever owns the home directory, not the running process.
        Fixture f;
        ASSERT_TRUE(give_away(f.home));
        make_dirs(f.shared + "/x-target");
        ASSERT_TRUE(give_away(f.shared + "/x-target"));
        make_dirs(f.shared + "/y-target");
        make_dirs(f.clones + "/code_sign_clone.a");
        ASSERT_TRUE(give_away(f.clones));
        ASSERT_TRUE(give_away(f.clones + "/code_sign_clone.a"));
        EXPECT_EQ(f.rows(),
                  (std::vector<std::string>{kClone + "var/X/com.google.Chrome.code_sign_clone",
                                            kBuild + "shared/x-target"}));
    }
}

} // namespace
} // namespace qb
