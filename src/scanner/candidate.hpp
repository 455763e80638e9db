#pragma once

// Measured caches and the measurement of one tree.

#include "scanner/catalog.hpp"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace qb {

using u128 = unsigned __int128;

struct TreeStats {
    std::optional<u128> newest_mtime_nanos;
    std::uint64_t bytes = 0;
    std::uint64_t allocated_bytes = 0;
    std::uint64_t entries = 0;
    std::optional<std::uint64_t> modified_unix;

    /// Fingerprint equality: the three counts and the newest time.
    bool same_fingerprint(const TreeStats& other) const;
};

struct MeasuredDir;

/// A recognised cache waiting to be measured.
struct FoundCache {
    std::string kind;
    std::string ecosystem;
    std::string path;   // as found, not canonicalised
    std::string anchor; // must stay strictly inside it until removal
    std::uint64_t min_bytes = 0;
    CacheScope scope = CacheScope::Project;
    bool network_restore = false;
    bool cleanable = true;
    /// Set when discovery had to measure it already; measuring then takes this.
    std::shared_ptr<const MeasuredDir> measured;
};

/// What is known of a measured cache, whether measured now or remembered from an
/// earlier scan.
struct CacheRecord {
    std::string kind;
    std::string ecosystem;
    CacheScope scope = CacheScope::Project;
    std::string path;
    std::uint64_t bytes = 0;
    std::uint64_t allocated_bytes = 0;
    std::optional<std::uint64_t> modified_unix;
    bool cleanable = true;

    bool operator==(const CacheRecord&) const = default;
};

/// One recognised cache as measured. The last five fields are never written to output.
struct Candidate : CacheRecord {
    std::optional<std::uint64_t> age_days;
    bool is_protected = true; // "protected" in every report
    bool network_restore = false;

    std::string anchor;
    std::int64_t device = 0;
    std::uint64_t inode = 0;
    TreeStats fingerprint;
    /// The first mount point its measuring met inside it; the final validation refuses it.
    std::optional<std::string> mount_inside;
};

/// Walks the tree once (links not followed) and sums it; unreadable parts are left out.
TreeStats measure_tree(const std::string& path);

/// Measures a found cache: none when it is no longer a directory under lstat or is
/// smaller than its minimum size.
std::optional<Candidate> measure_candidate(FoundCache found, std::uint64_t protect_days,
                                           std::uint64_t now_unix);

/// Whole seconds since the Unix epoch; 0 before it.
std::uint64_t now_unix();

class PoolJobs;

/// A cache directory's identity under lstat and the measurement of its tree.
struct MeasuredDir {
    std::int64_t device = 0;
    std::uint64_t inode = 0;
    TreeStats stats;
    /// Directories left out because the process or the system ran out of descriptors,
    /// as walk error texts ("IO error for operation on {path}: Too many open files ...").
    /// Other unreadable parts are left out without a word.
    std::vector<std::string> errors;
    /// The least full path, in path order, of the mount points met below the root: entries
    /// on another device than the directory that lists them, or roots of a mount. Their
    /// contents are measured all the same.
    std::optional<std::string> mount_inside;
};

/// measure_tree as jobs of `jobs`, the tree's directories spread over the worker pool.
/// `done` runs once, on the thread that finishes the last part, with the same result
/// measure_tree gives.
void measure_tree_async(PoolJobs& jobs, std::string path, std::function<void(TreeStats)> done);

/// lstat of `path`, then measure_tree_async when it is a directory; `done` gets none
/// when it is not (or cannot be examined).
void measure_dir_async(PoolJobs& jobs, std::string path,
                       std::function<void(std::optional<MeasuredDir>)> done);

/// measure_dir_async, waited for.
std::optional<MeasuredDir> measure_dir(const std::string& path);

/// The candidate for a measured found cache: none when it is smaller than its minimum
/// size; age and protection from `now_unix`.
std::optional<Candidate> make_candidate(FoundCache found, const MeasuredDir& measured,
                                        std::uint64_t protect_days, std::uint64_t now_unix);

/// measure_candidate as jobs of `jobs`; `done` runs once, on a pool thread. The texts of
/// MeasuredDir::errors go to `on_error` first, one by one.
void measure_candidate_async(PoolJobs& jobs, FoundCache found, std::uint64_t protect_days,
                             std::uint64_t now_unix,
                             std::function<void(std::optional<Candidate>)> done,
                             std::function<void(std::string)> on_error = {});

} // namespace qb
