#pragma once

// The `clean` command.

#include "common/app_error.hpp"
#include "common/env.hpp"
#include "common/json.hpp"
#include "common/result.hpp"
#include "main/app_args.hpp"
#include "main/prompt.hpp"
#include "scanner/candidate.hpp"
#include "scanner/clean.hpp"

#include <array>
#include <string>
#include <string_view>
#include <vector>

namespace qb {

/// The names `--fields` accepts on `clean`, in the order error messages list them.
inline constexpr std::array<std::string_view, 19> kCleanFields{"changed",
                                                               "dry_run",
                                                               "confirmed",
                                                               "selected",
                                                               "cleaned",
                                                               "skipped",
                                                               "protected_skipped",
                                                               "policy_skipped",
                                                               "network_restore_selected",
                                                               "bytes_selected",
                                                               "apparent_bytes_selected",
                                                               "allocated_bytes_selected",
                                                               "bytes_reclaimed_estimate",
                                                               "apparent_bytes_removed",
                                                               "allocated_bytes_removed_estimate",
                                                               "filesystem_deltas",
                                                               "selected_targets",
                                                               "cleaned_paths",
                                                               "skipped_paths"};

/// Removes the eligible caches after confirmation and reports the outcome.
Result<std::string, AppError> run_clean(CleanArgs args, bool json);

/// run_clean with its surroundings given: the environment that the scan and the
/// removal read, the streams of the prompt and the warnings, and what runs just before
/// each removal (see execute_clean).
Result<std::string, AppError> run_clean_with(CleanArgs args, bool json, const SystemEnv& env,
                                             const Console& console,
                                             const BeforeRemove& before_remove = {});

/// Shows the plan and asks whether to remove it: true when confirmed.
Result<bool, AppError> confirm_clean(const std::vector<Candidate>& targets, const Console& console);

/// The plan table and the question that confirm_clean() writes.
std::string clean_prompt_text(const std::vector<Candidate>& targets);

/// The finished report as its nineteen members; paths show invalid UTF-8 as U+FFFD.
Json clean_report_json(const CleanReport& report);

/// The summary line, then the free-space table or the plan table when they apply.
std::string clean_report_text(const CleanReport& report);

/// The message of a confirmed run that removed none of its (one or more) targets: it names
/// the first failed removal, if any, since that leaves part of a tree behind, else the
/// first refusal.
std::string nothing_removed_message(const CleanReport& report);

/// One "warning: {path}: {reason}" line per target that was refused or failed to go.
std::string skipped_warnings(const CleanReport& report);

} // namespace qb
