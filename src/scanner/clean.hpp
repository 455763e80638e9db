#pragma once

// The clean executor: the final validation of each confirmed target, its removal, and the
// free-space probe around the removals.

#include "common/app_error.hpp"
#include "common/env.hpp"
#include "common/result.hpp"
#include "scanner/candidate.hpp"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qb {

struct SelectedTarget {
    std::string kind;
    std::string path;
    std::uint64_t bytes = 0;
    std::uint64_t allocated_bytes = 0;
    bool network_restore = false;
};

/// Which step stopped a target: the final validation refused it untouched, or its removal
/// (the Go module cache retry included) failed, possibly after removing part of the tree.
enum class SkipStage {
    Validation,
    Removal,
};

struct SkippedPath {
    std::string path;
    std::string reason;
    SkipStage stage = SkipStage::Validation; // never written to a report
};

struct FilesystemDelta {
    std::string probe_path;
    std::uint64_t free_bytes_before = 0;
    std::uint64_t free_bytes_after = 0;
    std::int64_t delta_bytes = 0; // negative when free space shrank
};

/// The outcome of a clean, real or dry. Byte sums saturate at 2^64 - 1.
struct CleanReport {
    bool changed = false;
    bool dry_run = false;
    bool confirmed = false;
    std::uint64_t selected = 0;
    std::uint64_t cleaned = 0;
    std::uint64_t skipped = 0;
    std::uint64_t protected_skipped = 0;
    std::uint64_t policy_skipped = 0;
    std::uint64_t network_restore_selected = 0;
    std::uint64_t bytes_selected = 0;
    std::uint64_t apparent_bytes_selected = 0;
    std::uint64_t allocated_bytes_selected = 0;
    std::uint64_t bytes_reclaimed_estimate = 0;
    std::uint64_t apparent_bytes_removed = 0;
    std::uint64_t allocated_bytes_removed_estimate = 0;
    std::vector<FilesystemDelta> filesystem_deltas;
    std::vector<SelectedTarget> selected_targets;
    std::vector<std::string> cleaned_paths;
    std::vector<SkippedPath> skipped_paths;
};

/// Device of a path (links followed) and the bytes free to an unprivileged user there.
struct FreeSpace {
    std::uint64_t device = 0;
    std::uint64_t free_bytes = 0;
};

/// Runs between a target's final validation and its removal. Tests pass one to change
/// the file system in that window; the program passes none.
using BeforeRemove = std::function<void(const Candidate&)>;

/// Validates and removes the cleanable targets in order (a dry run reads nothing). Every
/// problem with one target becomes a line of the report; fails as a whole, removing
/// nothing, only when the account database cannot be read whole (ProtectedDirs::whole).
Result<CleanReport, AppError> execute_clean(const std::vector<Candidate>& targets, bool dry_run,
                                            const SystemEnv& env,
                                            const BeforeRemove& before_remove = {});

/// The targets validated (changing nothing on disk) and measured again, in order, each
/// aged with kDefaultProtectDays whatever the scan used, with the mount point that
/// measuring met inside it (if any). The first refused validation is a Conflict carrying
/// its reason; an account database not read whole is its I/O error.
Result<std::vector<Candidate>, AppError> measure_entries(const std::vector<Candidate>& targets,
                                                         const SystemEnv& env);

/// None when the path cannot be examined.
std::optional<FreeSpace> filesystem_free_bytes(std::string_view path);

/// after - before, clamped to the signed 64-bit range.
std::int64_t free_space_delta(std::uint64_t before, std::uint64_t after);

} // namespace qb
