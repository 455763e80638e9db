#pragma once

// The scan snapshot: the one file the program keeps, remembering what recent background
// scans found so the interface can show it at once. Every failure here is a value that
// callers drop: a missing or unreadable snapshot is an empty one.

#include "common/app_error.hpp"
#include "common/env.hpp"
#include "common/result.hpp"
#include "scanner/candidate.hpp"
#include "scanner/scan.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qb {

/// Largest snapshot file that is read or written.
inline constexpr std::uint64_t kSnapshotMaxBytes = 1'048'576;
inline constexpr std::uint32_t kSnapshotVersion = 1;
/// Where the file lives below its base directory.
inline constexpr std::string_view kSnapshotRelativePath = "quillbarrow/scan-v1.json";
/// Entries observed longer ago than this are forgotten (30 days, inclusive).
inline constexpr std::uint64_t kRememberedMaxAgeSeconds = 2'592'000;
/// The most entries kept in the file or shown from it.
inline constexpr std::size_t kRememberedMaxEntries = 4'096;

/// One remembered cache; the fields, the record's first, are in the file's key order.
struct RememberedCache : CacheRecord {
    std::uint64_t observed_unix = 0;

    bool operator==(const RememberedCache&) const = default;
};

struct Snapshot {
    std::uint32_t version = kSnapshotVersion;
    std::vector<RememberedCache> entries;

    bool operator==(const Snapshot&) const = default;
};

/// The snapshot file for `env`: none when QUILLBARROW_NO_CACHE is set; else below an
/// XDG_CACHE_HOME that begins with "/"; else below HOME + "Library/Caches"; else none.
std::optional<std::string> snapshot_path(const SystemEnv& env);

/// Reads and checks the whole file: a size above the limit, a version other than 1, a
/// repeated or missing key or any malformed entry makes the whole file an error.
Result<Snapshot, IoError> read_snapshot(const std::string& path);

/// The checks of read_snapshot() on bytes already in memory (size limit excepted).
Result<Snapshot, IoError> parse_snapshot(std::string_view bytes);

/// True when the request covers the entry: its scope passes the filter, its kind is among
/// `kinds` (empty for all), and a project entry lies strictly inside one of `roots`
/// (normalised with normalize_roots, compared by component, the entry's path as stored).
bool remembered_entry_matches(ScopeFilter scope, const std::vector<std::string>& kinds,
                              const std::vector<std::string>& roots, const RememberedCache& entry);

/// Each root made canonical; a root that cannot be resolved stays as it is.
std::vector<std::string> normalize_roots(const std::vector<std::string>& roots);

/// The compact text of the file, keys in declaration order, no trailing newline. Fails
/// when a path is not valid UTF-8.
Result<std::string, IoError> write_snapshot(const Snapshot& snapshot);

/// Replaces the file at `path` with `text` atomically: a temporary file beside it, made
/// exclusively with mode 0600, flushed to storage and renamed over the target. The
/// directory is created when missing, must not be a symbolic link, and gets mode 0700.
/// Temporary files that dead writers left behind in that directory are removed first.
Result<Ok, IoError> store_snapshot_file(const std::string& path, std::string_view text);

} // namespace qb
