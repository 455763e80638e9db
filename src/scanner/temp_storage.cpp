#include "scanner/temp_storage.hpp"

#include "common/dir.hpp"
#include "common/fs.hpp"
#include "common/paths.hpp"
#include "common/text.hpp"
#include "scanner/classifier.hpp"

#include <array>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace qb {
namespace {

constexpr std::string_view kGoReadmeFirstLine =
    "This directory holds cached build artifacts from the Go build system.";
constexpr int kNestedTagDepth = 4;

// lstat: a real directory (never a link) that belongs to `owner`.
bool is_owned_dir(const std::string& p, uid_t owner) {
    struct stat st;
    return ::lstat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == owner;
}

// The entries of a directory, read at once and closed again, so that the rules below
// hold at most one listing open however they nest. With Follow::No the directory itself
// must not be a symbolic link.
struct Listed {
    std::string name;
    bool is_dir; // by its listing type, links not followed
};

struct DirEntries {
    bool opened = false;
    bool complete = false; // false when reading failed part way
    std::vector<Listed> entries;
};

DirEntries read_entries(const std::string& path, dir::Follow follow) {
    DirEntries out;
    dir::Handle handle = dir::open_briefly(AT_FDCWD, path.c_str(), follow);
    if (!handle.valid()) {
        return out;
    }
    out.opened = true;
    dir::Listing listing(handle);
    dir::Entry e;
    while (listing.next(e)) {
        out.entries.push_back(
            Listed{std::string(e.view()), dir::type_of(handle.fd(), e) == DT_DIR});
    }
    out.complete = listing.error() == 0;
    return out;
}

GlobalCandidate build_cache_row(std::string path) {
    return GlobalCandidate(std::move(path), "macos-temporary-build-cache");
}

std::optional<GlobalCandidate> chrome_clone_row(const std::string& temp_parent, uid_t owner) {
    std::string clones =
        path::join(path::join(temp_parent, "X"), "com.google.Chrome.code_sign_clone");
    if (!is_owned_dir(clones, owner)) {
        return std::nullopt;
    }
    DirEntries listed = read_entries(clones, dir::Follow::No);
    if (!listed.opened) {
        return std::nullopt;
    }
    for (const Listed& ent : listed.entries) {
        if (!text::is_utf8(ent.name) || !ent.name.starts_with("code_sign_clone.") ||
            !is_owned_dir(path::join(clones, ent.name), owner)) {
            return std::nullopt;
        }
    }
    if (!listed.complete || listed.entries.empty()) {
        return std::nullopt;
    }
    return GlobalCandidate(std::move(clones), "macos-chrome-signing-clones");
}

bool is_two_hex_digits(std::string_view name) {
    auto hex = [](char c) {
        return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
    };
    return name.size() == 2 && hex(name[0]) && hex(name[1]);
}

bool is_go_build_cache(const std::string& dir) {
    if (!text_file_first_line_is(path::join(dir, "README"), kGoReadmeFirstLine)) {
        return false;
    }
    for (const Listed& ent : read_entries(dir, dir::Follow::No).entries) {
        if (ent.is_dir && is_two_hex_digits(ent.name)) {
            return true;
        }
    }
    return false;
}

bool is_xcode_style_tree(const std::string& dir) {
    return is_directory(path::join(dir, "Build/Intermediates.noindex")) &&
           is_directory(path::join(dir, "Logs")) &&
           (is_directory(path::join(dir, "Build/Products")) ||
            is_directory(path::join(dir, "ModuleCache.noindex")));
}

bool has_build_cache_name(std::string_view name) {
    static constexpr std::array<std::string_view, 9> kContains{
        "build-cache",  "go-build-cache", "go-cache",   "gocache", "gomodcache",
        "go-mod-cache", "mod-cache",      "test-cache", "uv-cache"};
    static const std::vector<std::string_view> kSuffixes{"-target", "-venv", "-go-build", "-go-mod",
                                                         "-gomod"};
    if (!text::is_utf8(name)) {
        return false;
    }
    std::string lower = text::ascii_lower(name);
    for (std::string_view needle : kContains) {
        if (lower.find(needle) != std::string::npos) {
            return true;
        }
    }
    return ends_with_any(lower, kSuffixes);
}

// Collects tagged directories from depth `depth` downwards, without following links and
// without entering version-control metadata, other users' directories or tagged ones.
void find_nested_tags(const std::string& dir, int depth, uid_t owner,
                      std::vector<std::string>& found) {
    for (const Listed& ent : read_entries(dir, dir::Follow::No).entries) {
        if (!ent.is_dir || is_vcs_dir(ent.name)) {
            continue;
        }
        std::string child = path::join(dir, ent.name);
        if (!is_owned_dir(child, owner)) {
            continue;
        }
        if (has_cachedir_tag(child)) {
            found.push_back(std::move(child));
        } else if (depth < kNestedTagDepth) {
            find_nested_tags(child, depth + 1, owner, found);
        }
    }
}

bool is_workspace(const std::string& dir) {
    if (is_project_root(dir)) {
        return true;
    }
    for (const Listed& ent : read_entries(dir, dir::Follow::No).entries) {
        if (ent.is_dir && is_project_root(path::join(dir, ent.name))) {
            return true;
        }
    }
    return false;
}

// The rules for one admitted entry of the shared temporary root, first match wins.
void classify_shared_entry(const std::string& entry, std::string_view name, uid_t owner,
                           std::vector<GlobalCandidate>& rows) {
    if (has_cachedir_tag(entry) || is_go_build_cache(entry) || is_xcode_style_tree(entry) ||
        has_build_cache_name(name)) {
        rows.push_back(build_cache_row(entry));
        return;
    }
    std::vector<std::string> tagged;
    find_nested_tags(entry, 1, owner, tagged);
    if (!tagged.empty()) {
        for (std::string& dir : tagged) {
            rows.push_back(build_cache_row(std::move(dir)));
        }
        return;
    }
    if (is_workspace(entry)) {
        rows.push_back(GlobalCandidate(entry, "macos-temporary-workspace"));
    }
}

} // namespace

std::vector<GlobalCandidate> discover_temporary_storage(std::string_view home,
                                                        const SystemEnv& env) {
    std::vector<GlobalCandidate> rows;
    std::string temp_dir = env.get("TMPDIR").value_or(env.platform_user_temp_dir.value_or("/tmp"));
    auto canonical_temp = resolve_canonical(temp_dir);
    if (!canonical_temp) {
        return rows;
    }
    auto temp_parent = path::parent(*canonical_temp);
    if (!temp_parent) {
        return rows;
    }
    struct stat home_st;
    if (::lstat(std::string(home).c_str(), &home_st) != 0) {
        return rows;
    }
    const uid_t owner = home_st.st_uid;

    if (auto clone = chrome_clone_row(std::string(*temp_parent), owner)) {
        rows.push_back(std::move(*clone));
    }

    auto resolved_root = resolve_canonical(env.shared_tmp_root);
    std::string root = resolved_root ? resolved_root.value() : env.shared_tmp_root;
    for (const Listed& ent : read_entries(root, dir::Follow::Yes).entries) {
        std::string entry = path::join(root, ent.name);
        if (is_owned_dir(entry, owner)) {
            classify_shared_entry(entry, ent.name, owner, rows);
        }
    }
    return rows;
}

} // namespace qb
