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
    GlobalKind kind;
};

constexpr std::array<FixedRow, 16> kHomeRows{{
    {".cargo/registry/cache", "cargo-registry"},
    {".cargo/git/checkouts", "cargo-git"},
    {".npm/_cacache", "npm-cache"},
    {".bun/install/cache", "bun-cache"},
    {".gradle/caches", "gradle-global-cache"},
    {".m2/repository", "maven-repository"},
    {".nuget/packages", "nuget-packages"},
    {".pub-cache", "pub-cache"},
    {".stack/programs", "stack-cache"},
    {".stack/snapshots", "stack-cache"},
    {".stack/indices", "stack-cache"},
    {".cabal/store", "cabal-store"},
    {".hex/packages", "hex-cache"},
    {"go/pkg/mod", "go-module-cache"},
    {".swiftpm/cache", "swiftpm-cache"},
    {".pluginVerifier/loaded-plugins", "jetbrains-plugin-verifier-cache"},
}};

// Relative to the home directory; most sit in the per-user cache folder of macOS.
constexpr std::array<FixedRow, 10> kLibraryRows{{
    {"Library/Caches/pip", "pip-cache"},
    {"Library/Caches/uv", "uv-cache"},
    {"Library/Caches/deno", "deno-cache"},
    {"Library/Caches/ms-playwright", "playwright-cache"},
    {"Library/Caches/go-build", "go-build-cache"},
    {"Library/Caches/composer", "composer-cache"},
    {"Library/Caches/ccache", "ccache"},
    {"Library/pnpm/store", "pnpm-store"},
    {"Library/Developer/Xcode/DerivedData", "xcode-derived-data"},
    {"Library/Caches/org.swift.swiftpm", "swiftpm-cache"},
}};

constexpr std::array<FixedRow, 10> kCacheBaseRows{{
    {"pip", "pip-cache"},
    {"uv", "uv-cache"},
    {"pre-commit", "pre-commit-cache"},
    {"prek", "pre-commit-cache"},
    {"deno", "deno-cache"},
    {"go-build", "go-build-cache"},
    {"ccache", "ccache"},
    {"zig", "zig-global-cache"},
    {"composer", "composer-cache"},
    {"R/renv", "renv-cache"},
}};

constexpr FixedRow kDataBasePnpm{"pnpm/store", "pnpm-store"};

bool contains(std::string_view text, std::string_view needle) {
    return text.find(needle) != std::string_view::npos;
}

struct Override {
    std::string_view variable;
    GlobalKind kind;
    bool (*name_fits)(std::string_view lowered);
};

constexpr std::array<Override, 4> kOverrides{{
    {"DENO_DIR", "deno-cache", [](std::string_view n) { return contains(n, "deno"); }},
    {"GOCACHE", "go-build-cache",
     [](std::string_view n) { return contains(n, "go-build") || contains(n, "gocache"); }},
    {"GOMODCACHE", "go-module-cache",
     [](std::string_view n) { return n == "mod" || contains(n, "gomod"); }},
    {"TF_PLUGIN_CACHE_DIR", "terraform-plugin-cache",
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
        rows.emplace_back(path::join(base, r.rel), r.kind);
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
        rows.push_back(
            GlobalCandidate(path::join(path::join(gems, ent.view()), "cache"), "gem-cache"));
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
    return GlobalCandidate(*value, o.kind);
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
