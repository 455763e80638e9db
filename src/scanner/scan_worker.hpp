#pragma once

// The interface's background scan: it reports every cache the moment it is found and
// again when it is measured, then rewrites the scan snapshot and reports the outcome.

#include "common/env.hpp"
#include "scanner/candidate.hpp"
#include "scanner/snapshot.hpp"
#include "scanner/worker_message.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace qb {

/// The interface's scan request, kept for every rescan.
struct ScanOptions {
    std::vector<std::string> roots;
    std::vector<std::string> kinds; // empty: every kind
    ScopeFilter scope = ScopeFilter::All;
};

/// What the interface hands to a background scan; the scan's thread owns it.
struct ScanJob {
    WorkerSender sender;
    std::vector<std::string> roots;
    std::vector<std::string> kinds;
    /// Paths of the rows on screen, largest first: examined before anything else.
    std::vector<std::string> known_paths;
    /// A second copy of the request; decides which remembered entries this scan covers.
    ScanOptions snapshot_request;
    ScopeFilter scope = ScopeFilter::All;
};

/// How many measuring jobs may exist at once for a pool of `pool_threads` threads:
/// min(max(2 x threads, 2), 32).
std::size_t measure_token_count(std::size_t pool_threads);

/// The body of a background scan thread. Sends Found, Measured, NoCandidate and
/// WalkError messages while it works, rewrites the snapshot, and ends with exactly one
/// ScanFinished, always the last message of the scan. Failed sends are ignored.
void run_scan_worker(ScanJob job, SystemEnv env);

/// The entries of the next snapshot: the old entries observed at most 30 days before
/// `now` that `request` does not cover, then `rows` observed at `now` (one entry per path,
/// later ones replacing earlier ones), most recent first, then largest, then by path; at
/// most 4096 entries.
std::vector<RememberedCache>
merge_snapshot_entries(const Snapshot& old, const std::vector<Candidate>& rows,
                       const ScanOptions& request, const std::vector<std::string>& normalized_roots,
                       std::uint64_t now);

/// The snapshot text for `entries`, dropping the last quarter of them while the text is
/// above the size limit. None when it cannot be written or made small enough.
std::optional<std::string> fit_snapshot_text(std::vector<RememberedCache> entries);

} // namespace qb
