#include "scanner/catalog.hpp"

#include <gtest/gtest.h>
#include <set>
#include <string>
#include <vector>

namespace qb {
namespace {

TEST(Catalog, RowsKeepTheirInvariants) {
    auto rows = cache_catalog();
    ASSERT_EQ(rows.size(), 59u);
    EXPECT_EQ(rows.front().kind, "cargo-target");
    EXPECT_EQ(rows.back().kind, "cachedir-tag");
    EXPECT_FALSE(rows.back().global);
    EXPECT_EQ(rows.back().ecosystem, "other");

    std::set<std::string_view> kinds;
    std::vector<std::string_view> scan_only;
    std::vector<std::string_view> ecosystems;
    for (const CatalogEntry& row : rows) {
        EXPECT_TRUE(kinds.insert(row.kind).second) << "repeated kind " << row.kind;
        for (char c : row.kind) {
            EXPECT_TRUE((c >= 'a' && c <= 'z') || c == '-') << row.kind;
        }
        bool says_scan_only = row.description.find("(scan only;") != std::string_view::npos;
        EXPECT_EQ(says_scan_only, !row.cleanable) << row.kind;
        if (!row.cleanable) {
            scan_only.push_back(row.kind);
        }
        if (ecosystems.empty() || ecosystems.back() != row.ecosystem) {
            ecosystems.push_back(row.ecosystem);
        }
    }
    EXPECT_EQ(scan_only, (std::vector<std::string_view>{"maven-repository", "renv-cache",
                                                        "macos-temporary-workspace"}));
    // Rows of one ecosystem stand together, in the order of first appearance.
    EXPECT_EQ(ecosystems,
              (std::vector<std::string_view>{"rust", "python", "javascript", "go", "jvm", "dotnet",
                                             "ruby", "php", "swift", "cpp", "zig", "dart", "elixir",
                                             "haskell", "terraform", "r", "macos", "other"}));

    // A few rows in full, flags included.
    auto find = [&](std::string_view kind) {
        for (const CatalogEntry& row : rows) {
            if (row.kind == kind) {
                return row;
            }
        }
        ADD_FAILURE() << "missing " << kind;
        return CatalogEntry{};
    };
    CatalogEntry go_build = find("go-build-cache");
    EXPECT_TRUE(go_build.global);
    EXPECT_FALSE(go_build.network_restore);
    EXPECT_EQ(go_build.description, "Go compiler build cache");
    CatalogEntry maven = find("maven-repository");
    EXPECT_EQ(maven.description,
              "Local Maven repository (scan only; may contain unpublished artifacts)");
    CatalogEntry venv = find("python-venv");
    EXPECT_FALSE(venv.global);
    EXPECT_TRUE(venv.network_restore);
    EXPECT_EQ(rows[55].kind, "macos-chrome-signing-clones");
}

TEST(Catalog, ScopeTexts) {
    EXPECT_EQ(scope_json_text(CacheScope::Project), "project");
    EXPECT_EQ(scope_json_text(CacheScope::Global), "global");
    EXPECT_EQ(scope_display_text(CacheScope::Project), "Project");
    EXPECT_EQ(scope_display_text(CacheScope::Global), "Global");
}

std::string refusal(const std::vector<std::string>& kinds) {
    auto result = validate_kind_filter(kinds);
    if (result) {
        return "accepted";
    }
    EXPECT_EQ(result.error().kind(), ErrorKind::InvalidInput);
    EXPECT_EQ(result.error().exit_status(), 2);
    return fmt_app_error(result.error());
}

TEST(Catalog, KindFilterAcceptsExactCatalogueNamesOnly) {
    EXPECT_EQ(refusal({}), "accepted");
    EXPECT_EQ(refusal({"cargo-target"}), "accepted");
    EXPECT_EQ(refusal({"cargo-target", "cargo-target", "node-modules"}), "accepted");
    EXPECT_EQ(refusal({"maven-repository", "renv-cache", "macos-temporary-workspace"}), "accepted");
    std::vector<std::string> every;
    for (const CatalogEntry& row : cache_catalog()) {
        every.emplace_back(row.kind);
    }
    EXPECT_EQ(refusal(every), "accepted");

    auto message = [](std::string name) {
        return "invalid input: unknown cache kind " + name + "; run `quillbarrow catalog`";
    };
    EXPECT_EQ(refusal({"Cargo-target"}), message("Cargo-target"));
    EXPECT_EQ(refusal({" cargo-target"}), message(" cargo-target"));
    EXPECT_EQ(refusal({"cargo-targe"}), message("cargo-targe"));
    EXPECT_EQ(refusal({"docker-build-cache"}), message("docker-build-cache"));
    EXPECT_EQ(refusal({""}), message(""));
    EXPECT_EQ(refusal({"cargo-target", "nope-one", "nope-two"}), message("nope-one"));
}

} // namespace
} // namespace qb
