#include "scanner/temp_storage.hpp"

#include "common/fs.hpp"
#include "common/paths.hpp"
#include "common/text.hpp"
#include "scanner/classifier.hpp"
#include "scanner/scan.hpp"

#include <array>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <dirent.h>
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

// A directory listing without "." and "..". With `no_follow` the directory itself must
// not be a symbolic link.
class Listing {
public:
    Listing(const std::string& dir, bool no_follow) : dir_(dir) {
        int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC | (no_follow ? O_NOFOLLOW : 0);
        int fd = ::open(dir.c_str(), flags);
        if (fd >= 0) {
            d_ = ::fdopendir(fd);
            if (d_ == nullptr) {
                ::close(fd);
            }
        }
    }
    ~Listing() {
        if (d_ != nullptr) {
            ::closedir(d_);
        }
    }
    Listing(const Listing&) = delete;
    Listing& operator=(const Listing&) = delete;

    bool is_open() const { return d_ != nullptr; }

    // The next entry, or null at the end; `failed()` then tells a read error from the end.
    const dirent* next() {
        if (d_ == nullptr) {
            return nullptr;
        }
        for (;;) {
            errno = 0;
            const dirent* ent = ::readdir(d_);
            if (ent == nullptr) {
                failed_ = errno != 0;
                return nullptr;
            }
            if (!path::is_dot_or_dotdot(ent->d_name)) {
                return ent;
            }
        }
    }
    bool failed() const { return failed_; }

    std::string path_of(const dirent* ent) const { return path::join(dir_, ent->d_name); }

    // The entry is a directory by its listing type, links not followed.
    bool entry_is_dir(const dirent* ent) const {
        if (ent->d_type != DT_UNKNOWN) {
            return ent->d_type == DT_DIR;
        }
        struct stat st;
        return ::lstat(path_of(ent).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
    }

private:
    std::string dir_;
    DIR* d_ = nullptr;
    bool failed_ = false;
};

GlobalCandidate temp_row(std::string path, std::string_view kind, std::uint64_t min_bytes,
                         bool cleanable) {
    return GlobalCandidate{std::move(path), kind, "macos", min_bytes, false, cleanable};
}

GlobalCandidate build_cache_row(std::string path) {
    return temp_row(std::move(path), "macos-temporary-build-cache", 0, true);
}

std::optional<GlobalCandidate> chrome_clone_row(const std::string& temp_parent, uid_t owner) {
    std::string clones =
        path::join(path::join(temp_parent, "X"), "com.google.Chrome.code_sign_clone");
    if (!is_owned_dir(clones, owner)) {
        return std::nullopt;
    }
    Listing listing(clones, true);
    if (!listing.is_open()) {
        return std::nullopt;
    }
    std::size_t count = 0;
    while (const dirent* ent = listing.next()) {
        std::string_view name(ent->d_name);
        if (!text::is_utf8(name) || !name.starts_with("code_sign_clone.") ||
            !is_owned_dir(listing.path_of(ent), owner)) {
            return std::nullopt;
        }
        ++count;
    }
    if (listing.failed() || count == 0) {
        return std::nullopt;
    }
    return temp_row(std::move(clones), "macos-chrome-signing-clones", 0, true);
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
    Listing listing(dir, true);
    while (const dirent* ent = listing.next()) {
        if (is_two_hex_digits(ent->d_name) && listing.entry_is_dir(ent)) {
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
    Listing listing(dir, true);
    while (const dirent* ent = listing.next()) {
        if (!listing.entry_is_dir(ent) || is_vcs_dir(ent->d_name)) {
            continue;
        }
        std::string child = listing.path_of(ent);
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
    Listing listing(dir, true);
    while (const dirent* ent = listing.next()) {
        if (listing.entry_is_dir(ent) && is_project_root(listing.path_of(ent))) {
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
        rows.push_back(temp_row(entry, "macos-temporary-workspace", kWorkspaceMinBytes, false));
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
    Listing listing(root, false);
    while (const dirent* ent = listing.next()) {
        std::string entry = listing.path_of(ent);
        if (is_owned_dir(entry, owner)) {
            classify_shared_entry(entry, ent->d_name, owner, rows);
        }
    }
    return rows;
}

} // namespace qb
