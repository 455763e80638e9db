// The frame as a whole: its geometry, the panels that belong to no other drawer (the
// too-small notice, the scan-failed panel, the filter bar) and the choice of overlay.

#include "common/paths.hpp"
#include "tui/draw.hpp"
#include "tui/draw_util.hpp"

#include <algorithm>
#include <fmt/format.h>

namespace qb::tui {

using namespace term;
using namespace drawing;

namespace {

// A body wider than this shows the details beside the table.
constexpr std::uint16_t kSideBySideAbove = 103;
// A narrower body at least this high shows the details below the table.
constexpr std::uint16_t kStackedFrom = 18;

void draw_too_small(Frame& frame, const TuiState& state) {
    const Theme& t = state.theme;
    Paragraph p(Text(std::vector<Line>{
        Line("QuillBarrow needs a little more room", fg_bold(t.accent)),
        Line(std::string(pick(state.unicode, "Resize to at least 58 \xC3\x97 16 \xC2\xB7 q to quit",
                              "Resize to at least 58 x 16 | q to quit")),
             fg(t.muted)),
    }));
    p.wrapped(true).with_alignment(Alignment::Center);
    frame.render_widget(p, centered_rect(90, 4, frame.area()));
}

void draw_scan_failed(Frame& frame, Rect body, const TuiState& state) {
    const Theme& t = state.theme;
    Paragraph p(Text(std::vector<Line>{
        Line("The scan could not finish", fg_bold(t.danger)),
        Line(),
        Line(state.scan_error.value_or("Unknown error"), fg(t.text)),
        Line(),
        Line(std::string(pick(state.unicode, "r retry  \xC2\xB7  q quit", "r retry  |  q quit")),
             fg(t.muted)),
    }));
    p.with_block(bordered_panel(" Scan failed ", state))
        .wrapped(true)
        .with_alignment(Alignment::Center);
    frame.render_widget(p, centered_rect(72, 11, body));
}

Line filter_bar(const TuiState& state) {
    const Theme& t = state.theme;
    Line line;
    line.spans.emplace_back(" FILTER  ", Style{}.with_fg(t.background).with_bg(t.info).bold());
    line.spans.emplace_back(
        fmt::format(" {}{}", state.filter, pick(state.unicode, "\xE2\x96\x88", "_")), fg(t.text));
    line.spans.emplace_back(
        std::string(pick(state.unicode,
                         "   Enter apply  \xC2\xB7  Esc close  \xC2\xB7  Ctrl+U clear",
                         "   Enter apply  |  Esc close  |  Ctrl+U clear")),
        fg(t.muted));
    return line;
}

void draw_header(Frame& frame, Rect area, const TuiState& state) {
    Block block;
    block.borders = Borders::BOTTOM;
    block.border_type = BorderType::Plain;
    block.border_style = fg(state.theme.border);
    block.style = Style{}.with_bg(state.theme.background);
    Paragraph p{Text(header_line(state, area.width))};
    p.with_block(block);
    frame.render_widget(p, area);
}

void draw_footer_row(Frame& frame, Rect area, const TuiState& state, Clock::time_point now) {
    Line line = state.filter_open ? filter_bar(state) : footer_line(state, area.width, now);
    Paragraph p{Text(std::move(line))};
    p.with_style(Style{}.with_fg(state.theme.text).with_bg(state.theme.surface));
    frame.render_widget(p, area);
}

void draw_body(Frame& frame, Rect body, const TuiState& state, const DrawClock& clock) {
    if (state.phase == TuiPhase::Scanning && state.rows.empty() && state.sizing_rows.empty() &&
        state.docker_rows.empty()) {
        draw_splash(frame, body, state, clock.now);
        return;
    }
    if (state.phase == TuiPhase::ScanFailed) {
        draw_scan_failed(frame, body, state);
        return;
    }
    if (body.width > kSideBySideAbove) {
        auto parts = Layout::horizontal({Constraint::percentage(68), Constraint::percentage(32)})
                         .split(body);
        draw_cache_table(frame, parts[0], state, clock);
        draw_details(frame, parts[1], state, clock);
    } else if (body.height >= kStackedFrom) {
        auto parts = Layout::vertical({Constraint::min(10), Constraint::length(8)}).split(body);
        draw_cache_table(frame, parts[0], state, clock);
        draw_details(frame, parts[1], state, clock);
    } else {
        draw_cache_table(frame, body, state, clock);
    }
}

std::string working_final_component(const TuiState& state) {
    std::optional<std::string_view> name = path::file_name(state.operation_paths.front());
    if (!name) {
        return std::string(pick(state.unicode, "Working\xE2\x80\xA6", "Working..."));
    }
    return path::display(*name);
}

void draw_check_panel(Frame& frame, const TuiState& state, Clock::time_point now) {
    std::size_t n = state.operation_paths.size();
    std::string detail;
    if (state.docker_in_operation) {
        detail = n > 0 ? fmt::format("Remeasuring {} filesystem caches and Docker build cache", n)
                       : std::string("Refreshing Docker's build-cache estimate before prune");
    } else {
        detail = n > 1 ? fmt::format("Remeasuring {} selected caches before delete", n)
                       : std::string("Remeasuring size and recent activity before delete");
    }
    draw_working_panel(frame, frame.area(), state, now, "Checking current cache state", detail,
                       " Check ");
}

void draw_clean_panel(Frame& frame, const TuiState& state, Clock::time_point now) {
    std::size_t n = state.operation_paths.size();
    std::string detail;
    if (state.docker_in_operation) {
        detail = n > 0 ? fmt::format("{} filesystem caches + Docker build cache", n)
                       : std::string("Docker build cache");
    } else if (n > 1) {
        detail = fmt::format("{} selected caches", n);
    } else if (n == 1) {
        detail = working_final_component(state);
    } else {
        detail = std::string(pick(state.unicode, "Working\xE2\x80\xA6", "Working..."));
    }
    draw_working_panel(frame, frame.area(), state, now, "Cleaning storage", detail, " Clean ");
}

void draw_overlay(Frame& frame, const TuiState& state, Clock::time_point now) {
    if (state.help_open) {
        draw_help_overlay(frame, frame.area(), state);
    } else if (state.phase == TuiPhase::Checking) {
        draw_check_panel(frame, state, now);
    } else if (state.phase == TuiPhase::Cleaning) {
        draw_clean_panel(frame, state, now);
    } else if (state.phase == TuiPhase::Confirm &&
               (!state.plan.empty() || state.pending_prune.has_value())) {
        draw_confirm_dialog(frame, frame.area(), state);
    }
}

} // namespace

Rect centered_rect(std::uint16_t percent_x, std::uint16_t height, Rect area) {
    std::uint16_t h = std::min(height, area.height);
    auto rows =
        Layout::vertical({Constraint::length(static_cast<std::uint16_t>((area.height - h) / 2)),
                          Constraint::length(h), Constraint::min(0)})
            .split(area);
    std::uint16_t side =
        static_cast<std::uint16_t>((100 - std::min<std::uint16_t>(percent_x, 100)) / 2);
    auto cols = Layout::horizontal({Constraint::percentage(side), Constraint::percentage(percent_x),
                                    Constraint::percentage(side)})
                    .split(rows[1]);
    return cols[1];
}

Block bordered_panel(std::string title, const TuiState& state) {
    Block b = Block::bordered();
    b.border_type = state.unicode ? BorderType::Rounded : BorderType::Plain;
    b.title = Line(std::move(title));
    b.title_style = fg_bold(state.theme.text);
    b.border_style = fg(state.theme.border);
    b.style = Style{}.with_bg(state.theme.surface);
    return b;
}

void draw_frame(Frame& frame, const TuiState& state, const DrawClock& clock) {
    Rect area = frame.area();
    Block fill;
    fill.style = Style{}.with_fg(state.theme.text).with_bg(state.theme.background);
    frame.render_widget(fill, area);

    if (below_minimum(area)) {
        draw_too_small(frame, state);
        return;
    }
    auto rows = Layout::vertical({Constraint::length(3), Constraint::min(8), Constraint::length(2)})
                    .split(area);
    draw_header(frame, rows[0], state);
    draw_body(frame, rows[1], state, clock);
    draw_footer_row(frame, rows[2], state, clock.now);
    draw_overlay(frame, state, clock.now);
}

} // namespace qb::tui
