#pragma once

// The one-shot scan behind `scan` and `clean`, and the root handling it shares with the
// interface's background scan.

#include "common/env.hpp"
#include "common/result.hpp"
#include "main/app_error.hpp"
#include "scanner/candidate.hpp"

#include <cstdint>
#include <string>
#include <vector>

namespace qb {

enum class ScopeFilter { All = 0, Project = 1, Global = 2 };

struct ScanRequest {
    std::vector<std::string> roots;
    std::vector<std::string> kinds;
    std::uint64_t protect_days = 7;
    ScopeFilter scope = ScopeFilter::All;
};

struct ScanResult {
    std::vector<Candidate> candidates;
    std::vector<std::string> walk_errors;
};

/// Checks the kinds, resolves the roots, walks them, adds the global caches, measures
/// everything on the worker pool and sorts.
Result<ScanResult, AppError> scan_caches(const ScanRequest& request, const SystemEnv& env);

/// The canonical roots, sorted, without repeats or nested roots; empty for scope global.
Result<std::vector<std::string>, AppError> resolve_scan_roots(const ScanRequest& request);

/// One root made canonical and checked to be a directory, or UnreadableDirectory.
Result<std::string, AppError> resolve_root(const std::string& root);

/// The existing directories among Projects, Developer, src and code in the home
/// directory, else the working directory alone.
std::vector<std::string> default_project_roots(const SystemEnv& env);

/// Bytes descending, then path ascending in component order; stable.
void sort_candidates(std::vector<Candidate>& candidates);

} // namespace qb
