#include "scanner/clean.hpp"

#include "common/defaults.hpp"
#include "common/fs.hpp"
#include "common/io.hpp"
#include "common/os_error.hpp"
#include "common/paths.hpp"
#include "common/saturating.hpp"
#include "common/text.hpp"
#include "scanner/catalog.hpp"
#include "scanner/classifier.hpp"
#include "scanner/global_caches.hpp"
#include "scanner/measure.hpp"
#include "scanner/pool.hpp"
#include "scanner/protected_dirs.hpp"
#include "scanner/safe_remove.hpp"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <fmt/format.h>
#include <map>
#include <set>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>
#include <unordered_map>
#include <vector>

namespace qb {
namespace {

// A mount inside such a target may have gone unseen.
constexpr std::string_view kMeasuredInPart = "measuring could not look into all of it; scan again";

bool has_nul(std::string_view p) {
    return p.find('\0') != std::string_view::npos;
}

// The final validation; on success, the target's canonical path, which the removal
// then follows without trusting any link.
Result<std::string, std::string> reclassify_path(const Candidate& c, const SystemEnv& env,
                                                 const ProtectedDirs& protected_dirs) {
    struct stat st;
    if (has_nul(c.path)) {
        return unexpected(cannot_stat_text(EINVAL));
    }
    if (::lstat(c.path.c_str(), &st) != 0) {
        return unexpected(cannot_stat_text(errno));
    }
    if (!S_ISDIR(st.st_mode)) {
        return unexpected(std::string(kNotARealDirectory));
    }
    if (identity_of(st) != c.identity) {
        return unexpected(std::string(kIdentityChanged));
    }
    auto path = resolve_canonical(c.path);
    if (!path) {
        return unexpected(fmt::format("cannot resolve path: {}", os_error_text(path.error())));
    }
    if (auto refusal = mount_point_refusal(*path)) {
        return unexpected(std::move(*refusal));
    }
    if (c.mount_inside) {
        return unexpected(contains_mount_point(*c.mount_inside));
    }
    if (c.measured_in_part) {
        return unexpected(std::string(kMeasuredInPart));
    }
    auto anchor = resolve_canonical(c.anchor);
    if (!anchor) {
        return unexpected(
            fmt::format("cannot resolve safety anchor: {}", os_error_text(anchor.error())));
    }
    if (!path::starts_with(*path, *anchor) || path::equal(*path, *anchor)) {
        return unexpected(std::string("path escaped its scan root"));
    }
    if (protected_dirs.holds(*path) || protected_dirs.holds(identity_of(st))) {
        return unexpected(std::string(kHomeOrAncestor));
    }
    if (c.scope == CacheScope::Project) {
        auto match = classify_project_dir(c.path);
        if (!match) {
            return unexpected(std::string("cache ownership markers disappeared"));
        }
        if (match->kind != c.kind) {
            return unexpected(std::string("cache kind changed after scanning"));
        }
    } else {
        auto rows = discover_global_caches(env);
        bool listed = std::any_of(rows.begin(), rows.end(), [&](const GlobalCandidate& row) {
            return row.kind == c.kind && path::equal(row.path, c.path);
        });
        if (!listed) {
            return unexpected(std::string("path is no longer a configured global cache"));
        }
    }
    return std::move(*path);
}

bool remeasured_before_removal(const Candidate& c) {
    const CatalogEntry* kind = find_catalog_entry(c.kind);
    return kind != nullptr && kind->remeasure_before_removal;
}

bool is_read_only_go_cache(const Candidate& c) {
    const CatalogEntry* kind = find_catalog_entry(c.kind);
    GoModuleRetry retry = kind != nullptr ? kind->go_module_retry : GoModuleRetry::No;
    if (retry != GoModuleRetry::ByName) {
        return retry == GoModuleRetry::Yes;
    }
    auto name = path::file_name(c.path);
    if (!name || !text::is_utf8(*name)) {
        return false;
    }
    std::string lower = text::ascii_lower(*name);
    return lower.find("go-mod") != std::string::npos || lower.find("gomod") != std::string::npos;
}

using DirModes = std::map<DirIdentity, mode_t>;

// Refuses a tree holding a directory of another user and records every directory's mode.
class OwnershipCheck : public TreeVisitor {
public:
    OwnershipCheck(uid_t owner, DirModes& modes) : owner_(owner), modes_(modes) {}

    std::optional<IoError> enter_dir(int, const struct stat& st) override {
        if (st.st_uid != owner_) {
            return foreign_owner();
        }
        modes_.emplace(identity_of(st), st.st_mode & 07777);
        return std::nullopt;
    }
    // A directory that cannot even be opened is reported by its owner first.
    std::optional<IoError> open_failed(int parent_fd, const char* name, int err) override {
        struct stat st;
        if (::fstatat(parent_fd, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode) &&
            st.st_uid != owner_) {
            return foreign_owner();
        }
        return IoError::from_errno(err);
    }

private:
    static IoError foreign_owner() {
        return IoError::from_text("Go module cache contains a directory owned by another user");
    }
    uid_t owner_;
    DirModes& modes_;
};

class AddOwnerWrite : public TreeVisitor {
public:
    explicit AddOwnerWrite(const DirModes& modes) : modes_(modes) {}

    std::optional<IoError> enter_dir(int fd, const struct stat& st) override {
        auto it = modes_.find(identity_of(st));
        if (it != modes_.end() && ::fchmod(fd, it->second | S_IWUSR) != 0) {
            return IoError::from_errno(errno);
        }
        return std::nullopt;
    }

private:
    const DirModes& modes_;
};

// Makes every directory of a read-only Go module cache writable for its owner, provided
// every one of them belongs to the owner of the root; otherwise changes nothing.
Result<Ok, IoError> prepare_read_only_go_cache(const Candidate& c, std::string_view canonical) {
    struct stat st;
    if (::lstat(c.path.c_str(), &st) != 0) {
        return unexpected(IoError::from_errno(errno));
    }
    if (!S_ISDIR(st.st_mode)) {
        return unexpected(IoError::from_text("cache root is not a real directory"));
    }
    const DirIdentity& id = c.identity;
    DirModes modes;
    OwnershipCheck check(st.st_uid, modes);
    if (auto walked = walk_tree(canonical, id, check); !walked) {
        return walked;
    }
    AddOwnerWrite writable(modes);
    return walk_tree(canonical, id, writable);
}

Result<Ok, SkippedPath> clean_one(const Candidate& c, const SystemEnv& env,
                                  const ProtectedDirs& protected_dirs,
                                  const BeforeRemove& before_remove) {
    auto refused = [&c](std::string reason) {
        return unexpected(SkippedPath{c.path, std::move(reason), SkipStage::Validation});
    };
    auto failed = [&c](std::string reason) {
        return unexpected(SkippedPath{c.path, std::move(reason), SkipStage::Removal});
    };
    auto canonical = reclassify_path(c, env, protected_dirs);
    if (!canonical) {
        return refused(std::move(canonical.error()));
    }
    if (remeasured_before_removal(c) && !measure_tree(c.path).same_fingerprint(c.fingerprint)) {
        return refused("temporary storage changed after it was measured; scan again");
    }
    if (before_remove) {
        before_remove(c);
    }
    const DirIdentity& id = c.identity;
    auto removed = remove_tree(*canonical, id, protected_dirs);
    if (removed) {
        return Ok{};
    }
    std::string first_error = removed.error().error.to_string();
    // The removal's own check of the target, just before touching it: still a refusal.
    if (removed.error().refused) {
        return refused(std::move(first_error));
    }
    if (!is_read_only_go_cache(c)) {
        return failed(std::move(first_error));
    }
    if (auto prepared = prepare_read_only_go_cache(c, *canonical); !prepared) {
        return failed(fmt::format("{}; could not prepare read-only Go module cache: {}",
                                  first_error, prepared.error().to_string()));
    }
    if (auto again = remove_tree(*canonical, id, protected_dirs); !again) {
        return failed(again.error().error.to_string());
    }
    return Ok{};
}

// The parent of the target, or the target itself when it has none.
std::string probe_path_of(const std::string& target) {
    auto parent = path::parent(target);
    return parent ? std::string(*parent) : target;
}

} // namespace

Result<std::vector<Candidate>, AppError> measure_entries(const std::vector<Candidate>& targets,
                                                         const SystemEnv& env) {
    std::vector<Candidate> fresh;
    if (targets.empty()) {
        return fresh; // a Docker row alone: nothing here to look at
    }
    if (auto ready = ready_descriptors(); !ready) {
        return unexpected(std::move(ready).error());
    }
    const ProtectedDirs protected_dirs(env);
    if (auto whole = protected_dirs.whole(); !whole) {
        return unexpected(std::move(whole).error());
    }
    // The same aging as a scan's, with the default protection window whatever the scan used;
    // a minimum size of 0 never drops an entry.
    const std::uint64_t now = now_unix();
    for (const Candidate& c : targets) {
        auto valid = reclassify_path(c, env, protected_dirs);
        if (!valid) {
            return unexpected(AppError(errors::Conflict{std::move(valid.error())}));
        }
        FoundCache found{c.kind,  c.ecosystem,       c.path,      c.anchor, 0,
                         c.scope, c.network_restore, c.cleanable, nullptr};
        // No longer a directory since its validation: measured as empty, and the clean that
        // follows refuses it. A mount point met here goes with the result, for that clean too.
        MeasuredDir measured = measure_dir(c.path).value_or(MeasuredDir{});
        measured.identity = c.identity;
        auto remeasured = make_candidate(std::move(found), measured, kDefaultProtectDays, now);
        if (!remeasured) {
            fail_internal("a remeasured cache was dropped for its size");
        }
        fresh.push_back(std::move(*remeasured));
    }
    return fresh;
}

std::optional<FreeSpace> filesystem_free_bytes(std::string_view path) {
    if (has_nul(path)) {
        return std::nullopt;
    }
    std::string p(path);
    struct stat st;
    struct statvfs vfs;
    if (::stat(p.c_str(), &st) != 0 || ::statvfs(p.c_str(), &vfs) != 0) {
        return std::nullopt;
    }
    std::uint64_t unit = vfs.f_frsize != 0 ? vfs.f_frsize : vfs.f_bsize;
    return FreeSpace{identity_of(st).device, sat_mul(vfs.f_bavail, unit)};
}

std::int64_t free_space_delta(std::uint64_t before, std::uint64_t after) {
    __int128 diff = static_cast<__int128>(after) - static_cast<__int128>(before);
    diff = std::clamp<__int128>(diff, INT64_MIN, INT64_MAX);
    return static_cast<std::int64_t>(diff);
}

Result<CleanReport, AppError> execute_clean(const std::vector<Candidate>& targets, bool dry_run,
                                            const SystemEnv& env,
                                            const BeforeRemove& before_remove) {
    CleanReport report;
    std::vector<const Candidate*> selection;
    for (const Candidate& t : targets) {
        if (!t.cleanable) {
            ++report.policy_skipped;
            continue;
        }
        selection.push_back(&t);
        report.selected_targets.push_back(
            SelectedTarget{t.kind, t.path, t.bytes, t.allocated_bytes, t.network_restore});
        report.network_restore_selected += t.network_restore ? 1 : 0;
        report.bytes_selected = sat_add(report.bytes_selected, t.bytes);
        report.allocated_bytes_selected =
            sat_add(report.allocated_bytes_selected, t.allocated_bytes);
    }
    report.selected = selection.size();
    report.apparent_bytes_selected = report.bytes_selected;
    if (dry_run) {
        report.dry_run = true;
        return report;
    }
    report.confirmed = true;
    if (selection.empty()) {
        return report;
    }
    // Too few descriptors to remove anything exactly: every target stays.
    if (auto ready = ready_descriptors(); !ready) {
        std::string reason = fmt_app_error(ready.error());
        for (const Candidate* t : selection) {
            report.skipped_paths.push_back(SkippedPath{t->path, reason, SkipStage::Validation});
        }
        report.skipped = report.skipped_paths.size();
        return report;
    }
    const ProtectedDirs protected_dirs(env);
    if (auto whole = protected_dirs.whole(); !whole) {
        return unexpected(std::move(whole).error());
    }

    // Free space before anything goes: once per file system, through the parent of the
    // first target on it.
    struct Probe {
        std::string path;
        std::uint64_t free_before;
    };
    std::unordered_map<std::string, std::uint64_t, path::Hash, path::Equal> device_of_target;
    std::map<std::uint64_t, Probe> probe_of_device;
    for (const Candidate* t : selection) {
        std::string probe = probe_path_of(t->path);
        if (auto space = filesystem_free_bytes(probe)) {
            device_of_target[t->path] = space->device;
            probe_of_device.try_emplace(space->device, Probe{probe, space->free_bytes});
        }
    }

    std::set<std::uint64_t> devices_with_removals;
    std::uint64_t apparent_removed = 0;
    std::uint64_t allocated_removed = 0;
    for (const Candidate* t : selection) {
        auto outcome = clean_one(*t, env, protected_dirs, before_remove);
        if (!outcome) {
            report.skipped_paths.push_back(std::move(outcome.error()));
            continue;
        }
        report.cleaned_paths.push_back(t->path);
        apparent_removed = sat_add(apparent_removed, t->bytes);
        allocated_removed = sat_add(allocated_removed, t->allocated_bytes);
        if (auto it = device_of_target.find(t->path); it != device_of_target.end()) {
            devices_with_removals.insert(it->second);
        }
    }

    for (std::uint64_t device : devices_with_removals) {
        auto probe = probe_of_device.find(device);
        if (probe == probe_of_device.end()) {
            continue;
        }
        auto after = filesystem_free_bytes(probe->second.path);
        if (after && after->device == device) {
            report.filesystem_deltas.push_back(
                FilesystemDelta{probe->second.path, probe->second.free_before, after->free_bytes,
                                free_space_delta(probe->second.free_before, after->free_bytes)});
        }
    }
    std::stable_sort(report.filesystem_deltas.begin(), report.filesystem_deltas.end(),
                     [](const FilesystemDelta& a, const FilesystemDelta& b) {
                         return path::compare(a.probe_path, b.probe_path) < 0;
                     });

    report.changed = !report.cleaned_paths.empty();
    report.cleaned = report.cleaned_paths.size();
    report.skipped = report.skipped_paths.size();
    report.bytes_reclaimed_estimate = apparent_removed;
    report.apparent_bytes_removed = apparent_removed;
    report.allocated_bytes_removed_estimate = allocated_removed;
    return report;
}

} // namespace qb
