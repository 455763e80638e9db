#pragma once

// Docker storage inspection: the client's `system df` report, one JSON object per
// line, read into one NativeResource per storage class with a diagnostic for every
// line that cannot be used and every class that is missing.

#include "common/json.hpp"
#include "common/result.hpp"
#include "docker/native.hpp"
#include "docker/run.hpp"

#include <cstdint>
#include <string>
#include <string_view>

namespace qb {

inline constexpr std::string_view kBuildCacheKind = "docker-build-cache";

/// Runs "docker system df --format json" through `run` (5 s) and reads the report.
/// Never fails: an unusable client gives `available` false and its one diagnostic.
NativeInspection inspect_docker_storage(const DockerRunner& run);
/// The same with the real client, found through this process's environment.
NativeInspection inspect_docker_storage();

/// Provider "docker", no resources, that one diagnostic, `available` false.
NativeInspection unavailable_inspection(NativeDiagnostic diagnostic);

/// Reads the standard output of a successful storage report (`available` true).
NativeInspection read_storage_report(std::string_view stdout_bytes);

/// A count member: an unsigned JSON integer, or a string of decimal digits with at
/// most one leading "+". Otherwise the reason: "{key} is missing", "{key} is not an
/// integer" or "{key} is not an unsigned integer".
Result<std::uint64_t, std::string> read_count_field(const Json& object, std::string_view key);
/// "Size" read with parse_docker_size.
Result<std::uint64_t, std::string> read_size_field(const Json& object);
/// The first white-space-delimited piece of "Reclaimable" read with parse_docker_size.
Result<std::uint64_t, std::string> read_reclaimable_field(const Json& object);

/// A size such as "1.2GB", "512MiB" or "2.5 B": decimal (kB..PB) and binary (KiB..TiB)
/// units, rounded to the nearest byte, halves away from zero.
Result<std::uint64_t, std::string> parse_docker_size(std::string_view text);

} // namespace qb
