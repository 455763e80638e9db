#include "tui/state.hpp"

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

void set_status(TuiState& state, std::string text) {
    state.status = StatusLine{std::move(text), Clock::now()};
}

} // namespace qb::tui
