#pragma once

// The closed catalogue of cache kinds and the kind filter. Every attribute of a kind is
// written once, in its row here; the engine's other tables name the kind, and its row is
// found when the program is compiled.

#include "common/app_error.hpp"
#include "common/result.hpp"

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace qb {

/// Where a cache lives.
enum class CacheScope { Project = 0, Global = 1 };

/// "project" / "global": the JSON text.
std::string_view scope_json_text(CacheScope scope);
/// "Project" / "Global": the text of text tables.
std::string_view scope_display_text(CacheScope scope);

/// Smallest apparent size at which a temporary workspace is reported (100 MiB).
inline constexpr std::uint64_t kWorkspaceMinBytes = 104'857'600;

/// Whether a removal that failed is tried again after making the tree's directories
/// writable: Go makes the directories of its module cache read-only.
enum class GoModuleRetry : unsigned char {
    No,
    Yes,
    ByName, // when the directory's name says so ("go-mod", "gomod")
};

struct CatalogEntry {
    std::string_view kind;
    std::string_view ecosystem;
    std::string_view description;
    bool global;
    bool network_restore;
    bool cleanable;
    // Never written to output:
    /// Smallest apparent size at which a cache of this kind is reported.
    std::uint64_t min_bytes = 0;
    /// Contents that change under the tool (temporary storage): measured again just before
    /// removal, and refused when anything changed.
    bool remeasure_before_removal = false;
    GoModuleRetry go_module_retry = GoModuleRetry::No;
    /// The interface's note on the kind in its details pane; empty for most kinds.
    std::string_view about = {};
};

namespace catalog_detail {

constexpr std::array<CatalogEntry, 59> rows() {
    constexpr bool G = true;  // lives in global locations
    constexpr bool P = false; // found in project trees
    // kind, ecosystem, description, global, network_restore, cleanable; for a few kinds
    // also min_bytes, remeasure_before_removal, go_module_retry, about
    return {{
        {"cargo-target", "rust", "Cargo target directory", P, false, true},
        {"cargo-registry", "rust", "Cargo downloaded crate archives", G, true, true},
        {"cargo-git", "rust", "Cargo git dependency checkouts", G, true, true},
        {"python-venv", "python", "Python virtual environment", P, true, true},
        {"python-bytecode", "python", "Python __pycache__ bytecode", P, false, true},
        {"pytest-cache", "python", "pytest result cache", P, false, true},
        {"mypy-cache", "python", "mypy analysis cache", P, false, true},
        {"ruff-cache", "python", "Ruff analysis cache", P, false, true},
        {"tox-env", "python", "tox environments", P, true, true},
        {"nox-env", "python", "nox environments", P, true, true},
        {"pip-cache", "python", "pip download and wheel cache", G, true, true},
        {"uv-cache", "python", "uv package cache", G, true, true},
        {"pre-commit-cache", "python", "pre-commit and prek hook environments", G, true, true},
        {"node-modules", "javascript", "Node dependency installation", P, true, true},
        {"npm-cache", "javascript", "npm content-addressed cache", G, true, true},
        {"pnpm-store", "javascript", "pnpm package store", G, true, true},
        {"bun-cache", "javascript", "Bun package cache", G, true, true},
        {"deno-cache", "javascript", "Deno dependency cache", G, true, true},
        {"playwright-cache", "javascript", "Playwright downloaded browsers", G, true, true},
        {"go-build-cache", "go", "Go compiler build cache", G, false, true},
        {"go-module-cache", "go", "Go downloaded module cache", G, true, true, 0, false,
         GoModuleRetry::Yes},
        {"gradle-build", "jvm", "Gradle build output", P, false, true},
        {"gradle-project-cache", "jvm", "Per-project Gradle cache", P, false, true},
        {"maven-target", "jvm", "Maven target directory", P, false, true},
        {"gradle-global-cache", "jvm", "Shared Gradle caches", G, true, true},
        {"jetbrains-plugin-verifier-cache", "jvm", "JetBrains Plugin Verifier downloaded plugins",
         G, true, true},
        {"maven-repository", "jvm",
         "Local Maven repository (scan only; may contain unpublished artifacts)", G, true, false},
        {"dotnet-bin", "dotnet", ".NET build binaries", P, false, true},
        {"dotnet-obj", "dotnet", ".NET intermediate objects", P, false, true},
        {"nuget-packages", "dotnet", "NuGet global packages", G, true, true},
        {"bundler-vendor", "ruby", "Bundler vendored gems", P, true, true},
        {"gem-cache", "ruby", "RubyGems package archives", G, true, true},
        {"composer-vendor", "php", "Composer dependencies", P, true, true},
        {"composer-cache", "php", "Composer package cache", G, true, true},
        {"swift-build", "swift", "Swift Package Manager build output", P, false, true},
        {"swiftpm-cache", "swift", "SwiftPM shared cache", G, true, true},
        {"xcode-derived-data", "swift", "Xcode DerivedData", G, false, true},
        {"cmake-build", "cpp", "CMake generated build tree", P, false, true},
        {"ccache", "cpp", "ccache compiler cache", G, false, true},
        {"zig-project-cache", "zig", "Zig project build cache", P, false, true},
        {"zig-global-cache", "zig", "Zig shared cache", G, true, true},
        {"dart-tool", "dart", "Dart and Flutter tool state", P, true, true},
        {"dart-build", "dart", "Dart and Flutter build output", P, false, true},
        {"pub-cache", "dart", "Dart pub package cache", G, true, true},
        {"mix-build", "elixir", "Mix build output", P, false, true},
        {"mix-deps", "elixir", "Mix dependencies", P, true, true},
        {"hex-cache", "elixir", "Hex package cache", G, true, true},
        {"stack-work", "haskell", "Stack project build state", P, false, true},
        {"cabal-dist", "haskell", "Cabal new-build output", P, false, true},
        {"stack-cache", "haskell", "Stack shared programs and snapshots", G, true, true},
        {"cabal-store", "haskell", "Cabal package store", G, true, true},
        {"terraform-modules", "terraform", "Terraform providers and modules", P, true, true},
        {"terraform-plugin-cache", "terraform", "Configured Terraform provider cache", G, true,
         true},
        {"renv-library", "r", "renv project library", P, true, true},
        {"renv-cache", "r", "renv shared package cache (scan only; may back project libraries)", G,
         true, false},
        {"macos-chrome-signing-clones", "macos",
         "Temporary Google Chrome copies left behind by code signing", G, false, true, 0, true,
         GoModuleRetry::No, "APFS Chrome clones; shown size can exceed unique disk blocks"},
        {"macos-temporary-build-cache", "macos",
         "Recognized developer build output in macOS temporary storage", G, false, true, 0, true,
         GoModuleRetry::ByName, "recognized rebuildable output under /private/tmp"},
        {"macos-temporary-workspace", "macos",
         "Large temporary project workspace (scan only; may contain unique work)", G, false, false,
         kWorkspaceMinBytes, true, GoModuleRetry::No,
         "large temp checkout; inspect manually because work may be unique"},
        {"cachedir-tag", "other", "Directory carrying a valid CACHEDIR.TAG", P, false, true},
    }};
}

} // namespace catalog_detail

/// The catalogue rows, in catalogue order.
inline constexpr std::array<CatalogEntry, 59> kCatalog = catalog_detail::rows();

/// The 59 rows, in catalogue order, built afresh on each call.
std::vector<CatalogEntry> cache_catalog();

/// The row of a kind named in the program itself, found when the program is compiled: a
/// name the catalogue lacks does not compile.
consteval const CatalogEntry& catalog_entry(std::string_view kind) {
    for (const CatalogEntry& entry : kCatalog) {
        if (entry.kind == kind) {
            return entry;
        }
    }
    throw "not a kind of the catalogue";
}

/// A kind named in one of the engine's tables of `Scope`, as the name of its catalogue
/// row: a name the catalogue lacks, or a kind of the other scope, does not compile.
template <CacheScope Scope>
class KindOf {
public:
    consteval KindOf(const char* kind) : row_(&catalog_entry(kind)) {
        if (row_->global != (Scope == CacheScope::Global)) {
            throw "a kind of the other scope";
        }
    }
    constexpr const CatalogEntry& operator*() const { return *row_; }
    constexpr const CatalogEntry* operator->() const { return row_; }

private:
    const CatalogEntry* row_;
};

using GlobalKind = KindOf<CacheScope::Global>;
using ProjectKind = KindOf<CacheScope::Project>;

/// The row of a kind read at run time (a candidate's, a filter's); none for a name the
/// catalogue lacks.
const CatalogEntry* find_catalog_entry(std::string_view kind);

/// Succeeds when every name is a catalogue kind; otherwise the InvalidInput error
/// "unknown cache kind {}; run `quillbarrow catalog`" for the first name that is not.
Result<Ok, AppError> validate_kind_filter(const std::vector<std::string>& kinds);

} // namespace qb
