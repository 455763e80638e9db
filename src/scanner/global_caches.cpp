#include "scanner/global_caches.hpp"

#include "common/dir.hpp"
#include "common/fs.hpp"
#include "common/paths.hpp"
#include "common/text.hpp"
#include "scanner/temp_storage.hpp"

#include <array>
#include <fcntl.h>
#include <optional>
#include <unordered_set>

namespace qb {
namespace {

struct FixedRow {
    std::string_view rel;
    std::string_view kind;
    std::string_view ecosystem;
    bool network_restore;
    bool cleanable;
};

constexpr std::array<FixedRow, 16> kHomeRows{{
    {".cargo/registry/cache", "cargo-registry", "rust", true, true},
    {".cargo/git/checkouts", "cargo-git", "rust", true, true},
    {".npm/_cacache", "npm-cache", "javascript", true, true},
    {".bun/install/cache", "bun-cache", "javascript", true, true},
    {".gradle/caches", "gradle-global-cache", "jvm", true, true},
    {".m2/repository", "maven-repository", "jvm", true, false},
    {".nuget/packages", "nuget-packages", "dotnet", true, true},
    {".pub-cache", "pub-cache", "dart", true, true},
    {".stack/programs", "stack-cache", "haskell", true, true},
    {".stack/snapshots", "stack-cache", "haskell", true, true},
    {".stack/indices", "stack-cache", "haskell", true, true},
    {".cabal/store", "cabal-store", "haskell", true, true},
    {".hex/packages", "hex-cache", "elixir", true, true},
    {"go/pkg/mod", "go-module-cache", "go", true, true},
    {".swiftpm/cache", "swiftpm-cache", "swift", true, true},
    {".pluginVerifier/loaded-plugins", "jetbrains-plugin-verifier-cache", "jvm", true, true},
}};

// Relative to the home directory; most sit in the per-user cache folder of macOS.
constexpr std::array<FixedRow, 10> kLibraryRows{{
    {"Library/Caches/pip", "pip-cache", "python", true, true},
    {"Library/Caches/uv", "uv-cache", "python", true, true},
    {"Library/Caches/deno", "deno-cache", "javascript", true, true},
    {"Library/Caches/ms-playwright", "playwright-cache", "javascript", true, true},
    {"Library/Caches/go-build", "go-build-cache", "go", false, true},
    {"Library/Caches/composer", "composer-cache", "php", true, true},
    {"Library/Caches/ccache", "ccache", "cpp", false, true},
    {"Library/pnpm/store", "pnpm-store", "javascript", true, true},
    {"Library/Developer/Xcode/DerivedData", "xcode-derived-data", "swift", false, true},
    {"Library/Caches/org.swift.swiftpm", "swiftpm-cache", "swift", true, true},
}};

constexpr std::array<FixedRow, 10> kCacheBaseRows{{
    {"pip", "pip-cache", "python", true, true},
    {"uv", "uv-cache", "python", true, true},
    {"pre-commit", "pre-commit-cache", "python", true, true},
    {"prek", "pre-commit-cache", "python", true, true},
    {"deno", "deno-cache", "javascript", true, true},
    {"go-build", "go-build-cache", "go", false, true},
    {"ccache", "ccache", "cpp", false, true},
    {"zig", "zig-global-cache", "zig", true, true},
    {"composer", "composer-cache", "php", true, true},
    {"R/renv", "renv-cache", "r", true, false},
}};

constexpr FixedRow kDataBasePnpm{"pnpm/store", "pnpm-store", "javascript", true, true};

bool contains(std::string_view text, std::string_view needle) {
    return text.find(needle) != std::string_view::npos;
}

struct Override {
    std::string_view variable;
    std::string_view kind;
    std::string_view ecosystem;
    bool network_restore;
    bool (*name_fits)(std::string_view lowered);
};

constexpr std::array<Override, 4> kOverrides{{
    {"DENO_DIR", "deno-cache", "javascript", true,
     [](std::string_view n) { return contains(n, "deno"); }},
    {"GOCACHE", "go-build-cache", "go", false,
     [](std::string_view n) { return contains(n, "go-build") || contains(n, "gocache"); }},
    {"GOMODCACHE", "go-module-cache", "go", true,
     [](std::string_view n) { return n == "mod" || contains(n, "gomod"); }},
    {"TF_PLUGIN_CACHE_DIR", "terraform-plugin-cache", "terraform", true,
     [](std::string_view n) { return contains(n, "terraform") || contains(n, "plugin"); }},
}};

// An empty or relative base is no base at all: joining onto it would name places under
// whatever the working directory happens to be.
std::optional<std::string> absolute_var(const SystemEnv& env, std::string_view name) {
    auto value = env.get(name);
    if (value && path::is_absolute(*value)) {
        return value;
    }
    return std::nullopt;
}

std::optional<std::string> base_or_home(const SystemEnv& env, std::string_view name,
                                        const std::optional<std::string>& home,
                                        std::string_view home_rel) {
    if (auto base = absolute_var(env, name)) {
        return base;
    }
    if (home) {
        return path::join(*home, home_rel);
    }
    return std::nullopt;
}

template <std::size_t N>
void add_fixed(std::vector<GlobalCandidate>& rows, const std::string& base,
               const std::array<FixedRow, N>& table) {
    for (const FixedRow& r : table) {
        rows.push_back(GlobalCandidate{path::join(base, r.rel), r.kind, r.ecosystem, 0,
                                       r.network_restore, r.cleanable});
    }
}

// One row per entry of ~/.gem/ruby, whatever its type: callers keep only directories.
void add_rubygems(std::vector<GlobalCandidate>& rows, const std::string& home) {
    std::string gems = path::join(home, ".gem/ruby");
    dir::Handle handle = dir::open_briefly(AT_FDCWD, gems.c_str(), dir::Follow::Yes);
    if (!handle.valid()) {
        return;
    }
    dir::Listing listing(handle);
    dir::Entry ent;
    while (listing.next(ent)) {
        rows.push_back(GlobalCandidate{path::join(path::join(gems, ent.view()), "cache"),
                                       "gem-cache", "ruby", 0, true, true});
    }
}

bool is_root_only(std::string_view p) {
    auto parts = path::components(p);
    return parts.size() == 1 && parts.front().kind == path::ComponentKind::Root;
}

std::optional<GlobalCandidate> override_row(const SystemEnv& env, const Override& o,
                                            const std::optional<std::string>& home) {
    auto value = env.get(o.variable);
    if (!value || !path::is_absolute(*value) || is_root_only(*value)) {
        return std::nullopt;
    }
    // The home directory itself or one of its ancestors, however written: compared as
    // written, and as the places both name ("..", links).
    if (home && (path::starts_with(*home, *value) ||
                 path::starts_with(canonical_or_normal(*home), canonical_or_normal(*value)))) {
        return std::nullopt;
    }
    auto name = path::file_name(*value);
    if (!name || !text::is_utf8(*name) || !o.name_fits(text::ascii_lower(*name))) {
        return std::nullopt;
    }
    return GlobalCandidate{*value, o.kind, o.ecosystem, 0, o.network_restore, true};
}

std::vector<GlobalCandidate> without_repeated_paths(std::vector<GlobalCandidate> rows) {
    std::unordered_set<std::string, path::Hash, path::Equal> seen;
    std::vector<GlobalCandidate> out;
    out.reserve(rows.size());
    for (GlobalCandidate& row : rows) {
        if (seen.insert(row.path).second) {
            out.push_back(std::move(row));
        }
    }
    return out;
}

} // namespace

std::vector<GlobalCandidate> discover_global_caches(const SystemEnv& env) {
    const auto home = absolute_var(env, "HOME");
    const auto cache_base = base_or_home(env, "XDG_CACHE_HOME", home, ".cache");
    const auto data_base = base_or_home(env, "XDG_DATA_HOME", home, ".local/share");

    std::vector<GlobalCandidate> rows;
    if (home) {
        add_fixed(rows, *home, kHomeRows);
        add_fixed(rows, *home, kLibraryRows);
        add_rubygems(rows, *home);
        for (GlobalCandidate& row : discover_temporary_storage(*home, env)) {
            rows.push_back(std::move(row));
        }
    }
    if (cache_base) {
        add_fixed(rows, *cache_base, kCacheBaseRows);
    }
    if (data_base) {
        add_fixed(rows, *data_base, std::array<FixedRow, 1>{kDataBasePnpm});
    }
    for (const Override& o : kOverrides) {
        if (auto row = override_row(env, o, home)) {
            rows.push_back(std::move(*row));
        }
    }
    return without_repeated_paths(std::move(rows));
}

} // namespace qb
