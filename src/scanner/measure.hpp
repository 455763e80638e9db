#pragma once

// Measuring a cache's tree: sizes, the newest time and the directory's identity.

#include "common/dir_identity.hpp"
#include "scanner/candidate.hpp"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace qb {

class PoolJobs;

/// A cache directory's identity under lstat and the measurement of its tree.
struct MeasuredDir {
    DirIdentity identity;
    TreeStats stats;
    /// Directories left out for want of descriptors or memory, and those whose mount could
    /// not be looked up, as walk error texts ("IO error for operation on {path}: Too many
    /// open files ..."). Other unreadable parts are left out without a word.
    std::vector<std::string> errors;
    /// The least full path, in path order, of the mount points met below the root: entries
    /// on another device than the directory that lists them, roots of a mount, and where
    /// the system does not mark those, directories on another mount than the root or on one
    /// that nothing tells, and whatever the mount table lists below the root, files too.
    /// Their contents are measured too.
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

/// Called with the full path of a directory that measuring has listed and found holding
/// directories, before any of them is opened (once per batch of a large listing).
using ListedHook = std::function<void(const std::string&)>;

/// Test seam, process-wide: the hook to call (none when empty, as outside tests). Set it
/// only while nothing is being measured.
void set_listed_hook(ListedHook hook);

} // namespace qb
