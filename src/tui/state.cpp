#include "tui/state.hpp"

#include "common/saturating.hpp"
#include "tui/view.hpp"

namespace qb::tui {

std::size_t visible_count(const TuiState& state) {
    return state.visible_rows.size() + state.visible_sizing.size() + state.visible_docker.size();
}

std::uint64_t last_visible_index(const TuiState& state) {
    std::size_t n = visible_count(state);
    return n == 0 ? 0 : n - 1;
}

FocusedRow focused_row(const TuiState& state) {
    std::uint64_t c = state.cursor;
    if (c < state.visible_rows.size()) {
        return {FocusedRow::Kind::Measured, state.visible_rows[c]};
    }
    c -= state.visible_rows.size();
    if (c < state.visible_sizing.size()) {
        return {FocusedRow::Kind::Sizing, state.visible_sizing[c]};
    }
    c -= state.visible_sizing.size();
    if (c < state.visible_docker.size()) {
        return {FocusedRow::Kind::Docker, state.visible_docker[c]};
    }
    return {};
}

std::uint64_t rows_apparent_bytes(const TuiState& state) {
    std::uint64_t total = 0;
    for (const Candidate& row : state.rows) {
        total = sat_add(total, row.bytes);
    }
    return total;
}

std::uint64_t docker_reclaimable_bytes(const TuiState& state) {
    std::uint64_t total = 0;
    for (const NativeResource& row : state.docker_rows) {
        total = sat_add(total, row.reclaimable_bytes);
    }
    return total;
}

std::size_t selection_count(const TuiState& state) {
    return state.selected_paths.size() + state.selected_docker.size();
}

std::uint64_t selected_bytes(const TuiState& state) {
    std::uint64_t total = 0;
    for (const Candidate& row : state.rows) {
        if (state.selected_paths.contains(row.path)) {
            total = sat_add(total, row.bytes);
        }
    }
    for (const NativeResource& row : state.docker_rows) {
        if (state.selected_docker.contains(row.kind)) {
            total = sat_add(total, row.reclaimable_bytes);
        }
    }
    return total;
}

PlanBytes plan_bytes(const std::vector<Candidate>& plan) {
    PlanBytes totals;
    for (const Candidate& row : plan) {
        totals.apparent = sat_add(totals.apparent, row.bytes);
        totals.allocated = sat_add(totals.allocated, row.allocated_bytes);
    }
    return totals;
}

bool below_minimum(term::Rect area) {
    return area.width < 58 || area.height < 16;
}

void set_status(TuiState& state, std::string text) {
    state.status = StatusLine{std::move(text), Clock::now()};
}

TuiState initial_state(ScanOptions options, const std::vector<RememberedCache>& remembered,
                       const Capabilities& capabilities, TuiServices services) {
    TuiState state;
    state.options = std::move(options);
    for (const RememberedCache& entry : remembered) {
        state.sizing_rows.push_back(
            SizingRow{entry.kind, entry.ecosystem, entry.path, entry.scope, entry.cleanable});
        state.remembered.emplace(entry.path, entry);
    }
    state.operation_started = Clock::now();
    state.unicode = capabilities.unicode;
    state.animate = capabilities.animate;
    state.theme = capabilities.theme;
    state.services = std::move(services);
    rebuild_view(state);
    return state;
}

} // namespace qb::tui
