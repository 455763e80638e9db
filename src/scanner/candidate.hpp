#pragma once

// The records of a cache: as found, as measured, and the statistics of its tree.

#include "common/dir_identity.hpp"
#include "scanner/catalog.hpp"

#include <cstdint>
#include <memory>
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
    DirIdentity identity;
    TreeStats fingerprint;
    /// The first mount point its measuring met inside it; the final validation refuses it.
    std::optional<std::string> mount_inside;
    /// Measuring could not look into all of it (descriptors, memory, a mount lookup), so a
    /// mount inside may have gone unseen; the final validation refuses it.
    bool measured_in_part = false;

    /// Only the record part would be compared; compare what is meant instead.
    bool operator==(const Candidate&) const = delete;
};

} // namespace qb
