#pragma once

// The `scan` command: find and size caches without changing anything.

#include "common/app_error.hpp"
#include "common/json.hpp"
#include "common/result.hpp"
#include "main/app_args.hpp"
#include "scanner/scan.hpp"

#include <array>
#include <string>
#include <string_view>

namespace qb {

/// The names `--fields` accepts on `scan`, in the order error messages list them.
inline constexpr std::array<std::string_view, 11> kScanFields{
    "kind",      "ecosystem",       "scope",         "path",
    "bytes",     "allocated_bytes", "modified_unix", "age_days",
    "protected", "network_restore", "cleanable"};

/// Scans as the arguments say (default project roots when none are given) and returns
/// one page of the candidates as compact JSON or as a text table.
Result<std::string, AppError> run_scan(ScanArgs args, bool json);

/// The report of a finished scan; the fields must have been validated.
std::string scan_report(const ScanResult& result, const ScanArgs& args, bool json);

/// A candidate as its eleven report members; the path shows invalid UTF-8 as U+FFFD.
Json candidate_json(const Candidate& candidate);

} // namespace qb
