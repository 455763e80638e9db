#pragma once

// Small texts of the interface that several places share: the shortening of a line with
// an ellipsis, the warning labels of a deletion plan, and the clean result summary.

#include "scanner/candidate.hpp"
#include "scanner/clean.hpp"

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace qb::tui {

/// At most `max` characters (Unicode scalar values, not columns): a longer text keeps
/// its start and end around an ellipsis ("…", or "..." without `unicode`); a box too
/// small for the ellipsis gets the first `max` characters.
std::string truncate_to_width(std::string_view text, std::size_t max, bool unicode);

/// The warning labels of the caches, each once, in the order they first appear:
/// "manual override", "unknown age", "recent", "large", "shared", "download restore".
std::vector<std::string_view> row_flag_labels(const std::vector<Candidate>& candidates);

/// The one-line outcome of a clean for the status line.
std::string clean_summary_text(const CleanReport& report);

/// Appends the free-space part of the clean summary to `text`.
void disk_free_delta_text(std::string& text, const std::vector<FilesystemDelta>& deltas);

} // namespace qb::tui
