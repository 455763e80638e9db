#include "tui/view.hpp"

#include "common/text.hpp"

#include <algorithm>

namespace qb::tui {
namespace {

bool scope_admits(ScopeFilter view_scope, CacheScope scope) {
    switch (view_scope) {
    case ScopeFilter::All:
        return true;
    case ScopeFilter::Project:
        return scope == CacheScope::Project;
    case ScopeFilter::Global:
        return scope == CacheScope::Global;
    }
    return true;
}

bool folded_contains(std::string_view field, std::string_view needle) {
    return text::ascii_lower(field).find(needle) != std::string::npos;
}

bool cache_matches(std::string_view kind, std::string_view ecosystem, std::string_view p,
                   std::string_view needle) {
    return needle.empty() || folded_contains(kind, needle) || folded_contains(ecosystem, needle) ||
           folded_contains(path::display(p), needle);
}

} // namespace

std::string filter_needle(std::string_view filter) {
    return text::ascii_lower(filter);
}

bool visible_row_filter(const Candidate& row, ScopeFilter view_scope, std::string_view needle) {
    return scope_admits(view_scope, row.scope) &&
           cache_matches(row.kind, row.ecosystem, row.path, needle);
}

bool visible_sizing_filter(const SizingRow& row, ScopeFilter view_scope, std::string_view needle) {
    return scope_admits(view_scope, row.scope) &&
           cache_matches(row.kind, row.ecosystem, row.path, needle);
}

bool visible_docker_filter(const NativeResource& row, ScopeFilter view_scope,
                           std::string_view needle) {
    if (view_scope == ScopeFilter::Project) {
        return false;
    }
    return needle.empty() || folded_contains(row.provider, needle) ||
           folded_contains(row.kind, needle) || folded_contains(row.label, needle);
}

bool compare_by_size(const Candidate& a, const Candidate& b) {
    if (a.bytes != b.bytes) {
        return a.bytes > b.bytes;
    }
    return path::compare(a.path, b.path) < 0;
}

bool compare_by_age(const Candidate& a, const Candidate& b) {
    std::uint64_t age_a = a.age_days.value_or(0);
    std::uint64_t age_b = b.age_days.value_or(0);
    if (age_a != age_b) {
        return age_a > age_b;
    }
    return path::compare(a.path, b.path) < 0;
}

bool compare_by_name(const Candidate& a, const Candidate& b) {
    return path::compare(a.path, b.path) < 0;
}

bool compare_docker_by_reclaimable(const NativeResource& a, const NativeResource& b) {
    if (a.reclaimable_bytes != b.reclaimable_bytes) {
        return a.reclaimable_bytes > b.reclaimable_bytes;
    }
    return a.label < b.label;
}

bool compare_docker_by_label(const NativeResource& a, const NativeResource& b) {
    return a.label < b.label;
}

void rebuild_view(TuiState& state) {
    const std::string needle = filter_needle(state.filter);

    state.visible_rows.clear();
    for (std::size_t i = 0; i < state.rows.size(); ++i) {
        if (visible_row_filter(state.rows[i], state.view_scope, needle)) {
            state.visible_rows.push_back(i);
        }
    }
    auto row_order = state.sort == SortMode::Size  ? compare_by_size
                     : state.sort == SortMode::Age ? compare_by_age
                                                   : compare_by_name;
    std::stable_sort(
        state.visible_rows.begin(), state.visible_rows.end(),
        [&](std::size_t a, std::size_t b) { return row_order(state.rows[a], state.rows[b]); });

    state.visible_sizing.clear();
    for (std::size_t i = 0; i < state.sizing_rows.size(); ++i) {
        if (visible_sizing_filter(state.sizing_rows[i], state.view_scope, needle)) {
            state.visible_sizing.push_back(i);
        }
    }

    state.visible_docker.clear();
    for (std::size_t i = 0; i < state.docker_rows.size(); ++i) {
        if (visible_docker_filter(state.docker_rows[i], state.view_scope, needle)) {
            state.visible_docker.push_back(i);
        }
    }
    auto docker_order =
        state.sort == SortMode::Name ? compare_docker_by_label : compare_docker_by_reclaimable;
    std::stable_sort(state.visible_docker.begin(), state.visible_docker.end(),
                     [&](std::size_t a, std::size_t b) {
                         return docker_order(state.docker_rows[a], state.docker_rows[b]);
                     });

    state.cursor = std::min(state.cursor, last_visible_index(state));
}

} // namespace qb::tui
