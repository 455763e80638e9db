#pragma once

// The build cache, the only Docker storage the program removes: a fresh preview, and
// a prune between two previews. Confirmation is the caller's business.

#include "common/result.hpp"
#include "docker/native.hpp"
#include "docker/run.hpp"

#include <cstdint>
#include <optional>
#include <string_view>

namespace qb {

/// The build-cache resource of a fresh storage inspection, or why there is none.
Result<NativeResource, NativeDiagnostic> preview_build_cache(const DockerRunner& run);
Result<NativeResource, NativeDiagnostic> preview_build_cache();

/// Previews, runs "docker builder prune --force" (120 s) unless nothing is reclaimable,
/// reads the reported total and previews again. A failure before the client's prune
/// has run is the result; a failure of the later preview lands in the report.
Result<NativeCleanReport, NativeDiagnostic> prune_build_cache(const DockerRunner& run);
Result<NativeCleanReport, NativeDiagnostic> prune_build_cache();

/// The report of a prune that did not run: a dry run, nothing to reclaim, or declined.
NativeCleanReport unpruned_clean_report(const NativeResource& before, bool dry_run, bool confirmed);

/// The first "total reclaimed space:" or "total:" line (any letter case) whose size
/// reads; none when there is no such line.
std::optional<std::uint64_t> parse_reclaimed_bytes(std::string_view output);

} // namespace qb
