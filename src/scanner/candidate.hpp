#pragma once

// Measured caches and the measurement of one tree.

#include "scanner/catalog.hpp"

#include <cstdint>
#include <optional>
#include <string>

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
};

/// One recognised cache as measured. The last four fields are never written to output.
struct Candidate {
    std::string kind;
    std::string ecosystem;
    CacheScope scope = CacheScope::Project;
    std::string path;
    std::uint64_t bytes = 0;
    std::uint64_t allocated_bytes = 0;
    std::optional<std::uint64_t> modified_unix;
    std::optional<std::uint64_t> age_days;
    bool is_protected = true; // "protected" in every report
    bool network_restore = false;
    bool cleanable = true;

    std::string anchor;
    std::int64_t device = 0;
    std::uint64_t inode = 0;
    TreeStats fingerprint;
};

/// Walks the tree once (links not followed) and sums it; unreadable parts are left out.
TreeStats measure_tree(const std::string& path);

/// Measures a found cache: none when it is no longer a directory under lstat or is
/// smaller than its minimum size.
std::optional<Candidate> measure_candidate(FoundCache found, std::uint64_t protect_days,
                                           std::uint64_t now_unix);

/// Whole seconds since the Unix epoch; 0 before it.
std::uint64_t now_unix();

} // namespace qb
