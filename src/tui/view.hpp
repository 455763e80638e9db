#pragma once

// The view: which stored rows the table shows, in which order, under the view's scope,
// filter text and sort mode.

#include "tui/state.hpp"

#include <string>
#include <string_view>

namespace qb::tui {

/// Recomputes visible_rows, visible_sizing and visible_docker and clamps the cursor to
/// the last visible index. Call it after every change of the rows or the view settings.
void rebuild_view(TuiState& state);

/// The filter text folded for matching (ASCII letters lowered, nothing else touched).
std::string filter_needle(std::string_view filter);

/// Admission tests; `needle` is already folded.
bool visible_row_filter(const Candidate& row, ScopeFilter view_scope, std::string_view needle);
bool visible_sizing_filter(const SizingRow& row, ScopeFilter view_scope, std::string_view needle);
bool visible_docker_filter(const NativeResource& row, ScopeFilter view_scope,
                           std::string_view needle);

/// Strict "comes before" orders of measured rows.
bool compare_by_size(const Candidate& a, const Candidate& b);
bool compare_by_age(const Candidate& a, const Candidate& b);
bool compare_by_name(const Candidate& a, const Candidate& b);
/// Strict "comes before" orders of Docker rows.
bool compare_docker_by_reclaimable(const NativeResource& a, const NativeResource& b);
bool compare_docker_by_label(const NativeResource& a, const NativeResource& b);

} // namespace qb::tui
