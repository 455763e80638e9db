#pragma once

// The interface's background scan: it reports every cache the moment it is found and
// again when it is measured, then rewrites the scan snapshot and reports the outcome.

#include "common/env.hpp"
#include "scanner/candidate.hpp"
#include "scanner/scan.hpp"
#include "scanner/snapshot.hpp"

#include <cstddef>
#include <cstdint>
#include <memory>
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

/// Where a background scan reports while it works. The calls come from the scan's own
/// thread and from pool threads at once, so they must be safe to make concurrently. They
/// return nothing: what cannot be delivered is dropped, and the scan carries on.
class ScanSink {
public:
    virtual ~ScanSink() = default;
    /// A recognised cache, once per canonical path, before its measurement starts.
    virtual void found(const FoundCache& cache) = 0;
    /// A found cache measured; its path is the one found() had.
    virtual void measured(const Candidate& candidate) = 0;
    /// A found cache that yielded no candidate: no longer a directory, or too small; or a
    /// known path that is no cache now (not found first).
    virtual void no_candidate(const std::string& path) = 0;
    /// One walk error text, as it happens.
    virtual void walk_error(const std::string& text) = 0;
    /// The outcome, always the last report: the measured rows, sorted, and the walk error
    /// texts in the order walk_error() had them; or the error that stopped the scan
    /// before anything else was reported.
    virtual void finished(Result<ScanResult, AppError> outcome) = 0;
};

/// What the interface hands to a background scan; the scan's thread owns it.
struct ScanJob {
    std::shared_ptr<ScanSink> sink;
    /// What to scan; also decides which remembered entries this scan replaces.
    ScanOptions request;
    /// Paths of the rows on screen, largest first: examined before anything else.
    std::vector<std::string> known_paths;
};

/// How many measuring jobs may exist at once for a pool of `pool_threads` threads:
/// min(max(2 x threads, 2), 32).
std::size_t measure_token_count(std::size_t pool_threads);

/// The body of a background scan thread. Reports to the job's sink while it works,
/// rewrites the snapshot, and ends with exactly one finished() report.
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
