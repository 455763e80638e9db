#include "scanner/catalog.hpp"

#include <array>

namespace qb {
namespace {

constexpr bool G = true;  // lives in global locations
constexpr bool P = false; // found in project trees

// kind, ecosystem, description, global, network_restore, cleanable
constexpr std::array<CatalogEntry, 59> kCatalog{{
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
    {"go-module-cache", "go", "Go downloaded module cache", G, true, true},
    {"gradle-build", "jvm", "Gradle build output", P, false, true},
    {"gradle-project-cache", "jvm", "Per-project Gradle cache", P, false, true},
    {"maven-target", "jvm", "Maven target directory", P, false, true},
    {"gradle-global-cache", "jvm", "Shared Gradle caches", G, true, true},
    {"jetbrains-plugin-verifier-cache", "jvm", "JetBrains Plugin Verifier downloaded plugins", G,
     true, true},
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
    {"terraform-plugin-cache", "terraform", "Configured Terraform provider cache", G, true, true},
    {"renv-library", "r", "renv project library", P, true, true},
    {"renv-cache", "r", "renv shared package cache (scan only; may back project libraries)", G,
     true, false},
    {"macos-chrome-signing-clones", "macos",
     "Temporary Google Chrome copies left behind by code signing", G, false, true},
    {"macos-temporary-build-cache", "macos",
     "Recognized developer build output in macOS temporary storage", G, false, true},
    {"macos-temporary-workspace", "macos",
     "Large temporary project workspace (scan only; may contain unique work)", G, false, false},
    {"cachedir-tag", "other", "Directory carrying a valid CACHEDIR.TAG", P, false, true},
}};

} // namespace

std::string_view scope_json_text(CacheScope scope) {
    return scope == CacheScope::Global ? "global" : "project";
}

std::string_view scope_display_text(CacheScope scope) {
    return scope == CacheScope::Global ? "Global" : "Project";
}

std::vector<CatalogEntry> cache_catalog() {
    return {kCatalog.begin(), kCatalog.end()};
}

Result<Ok, AppError> validate_kind_filter(const std::vector<std::string>& kinds) {
    for (const std::string& name : kinds) {
        bool known = false;
        for (const CatalogEntry& entry : kCatalog) {
            if (entry.kind == name) {
                known = true;
                break;
            }
        }
        if (!known) {
            return unexpected(AppError(errors::InvalidInput{"unknown cache kind " + name +
                                                            "; run `quillbarrow catalog`"}));
        }
    }
    return Ok{};
}

} // namespace qb
