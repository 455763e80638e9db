// The details pane: what the focused row is, and what the keys will do with it.

#include "common/format_bytes.hpp"
#include "common/paths.hpp"
#include "scanner/catalog.hpp"
#include "tui/draw.hpp"
#include "tui/draw_util.hpp"

#include <fmt/format.h>

namespace qb::tui {

using namespace term;
using namespace drawing;

namespace {

constexpr std::size_t kLabelWidth = 9;
// Rows the pane needs for its spacer (and the optional lines that come with it).
constexpr std::uint16_t kRoomyFrom = 10;
constexpr std::uint16_t kAboutFrom = 11;

// Rounded to the nearest whole per cent, halves up.
std::uint64_t share_percent(std::uint64_t part, std::uint64_t total) {
    if (total == 0) {
        return 0;
    }
    unsigned __int128 scaled = static_cast<unsigned __int128>(part) * 200 + total;
    return static_cast<std::uint64_t>(scaled / (static_cast<unsigned __int128>(total) * 2));
}

std::string_view about_text(std::string_view kind) {
    const CatalogEntry* entry = find_catalog_entry(kind);
    return entry != nullptr ? entry->about : std::string_view{};
}

std::string ago_text(std::uint64_t seconds) {
    if (seconds < 60) {
        return "moments ago";
    }
    if (seconds < 3'600) {
        return fmt::format("{}m ago", seconds / 60);
    }
    if (seconds < 86'400) {
        return fmt::format("{}h ago", seconds / 3'600);
    }
    return fmt::format("{}d ago", seconds / 86'400);
}

class Pane {
public:
    Pane(const TuiState& state, Rect area) : s_(state), area_(area) {}

    void title(const std::string& text) {
        lines_.emplace_back(text, fg_bold(s_.theme.text));
        if (roomy()) {
            lines_.emplace_back();
        }
    }
    void detail(std::string_view label, std::string value) {
        lines_.push_back(detail_line(label, std::move(value), s_.theme.text, s_.theme.muted));
    }
    void action(std::string text, Style style) {
        Line line;
        line.spans.emplace_back("Action   ", fg(s_.theme.muted));
        line.spans.emplace_back(std::move(text), style);
        lines_.push_back(std::move(line));
    }
    bool roomy() const { return area_.height >= kRoomyFrom; }
    std::string type_text(std::string_view first, std::string_view second) const {
        return fmt::format("{}{}{}", first, separator(s_.unicode), second);
    }

    void render(Frame& frame) {
        Paragraph p{Text(std::move(lines_))};
        p.with_block(bordered_panel(" Inspect ", s_)).wrapped(false);
        frame.render_widget(p, area_);
    }

private:
    const TuiState& s_;
    Rect area_;
    std::vector<Line> lines_;
};

void measured_details(Pane& pane, const TuiState& state, const Candidate& row, Rect area) {
    const Theme& t = state.theme;
    std::string_view sep = separator(state.unicode);
    std::string_view mark = separator_mark(state.unicode);
    pane.title(path::display(row.path));
    pane.detail("Apparent", fmt::format("{}  {}  {}% of total", format_bytes(row.bytes), mark,
                                        share_percent(row.bytes, rows_apparent_bytes(state))));
    pane.detail("Allocated", fmt::format("{}  {}  shared or cloned blocks may remain",
                                         format_bytes(row.allocated_bytes), mark));
    pane.detail("Age", row.age_days ? fmt::format("{} days", *row.age_days) : "unknown");
    pane.detail("Type", pane.type_text(row.ecosystem, row.kind));
    if (std::string_view about = about_text(row.kind);
        !about.empty() && area.height >= kAboutFrom) {
        pane.detail("About", std::string(about));
    }
    pane.detail("Restore", row.network_restore ? "download required" : "local rebuild");

    bool selected = state.selected_paths.count(row.path) > 0;
    std::size_t n = selection_count(state);
    if (state.phase != TuiPhase::Scanning) {
        Style strong = fg_bold(t.accent);
        if (selected) {
            pane.action(n == 1 ? fmt::format("selected{}Space unselect{}d delete", sep, sep)
                               : fmt::format("selected{}Space unselect{}d delete {}", sep, sep, n),
                        strong);
        } else if (row.cleanable) {
            pane.action(n > 0 ? fmt::format("Space select{}d delete {}", sep, n)
                              : fmt::format("Space select{}d delete", sep),
                        strong);
        } else {
            pane.action(fmt::format("Space override{}scan-only", sep), fg(t.muted));
        }
        return;
    }
    if (state.refreshing && state.measured_paths.count(row.path) == 0) {
        pane.action("Refreshing measurement", fg(t.muted));
    } else if (selected) {
        pane.action(fmt::format("selected{}Space unselect{}delete when ready", sep, sep),
                    fg(t.accent));
    } else if (row.cleanable) {
        pane.action(fmt::format("Space select{}delete when ready", sep), fg(t.accent));
    } else {
        pane.action(fmt::format("Space override{}scan-only", sep), fg(t.accent));
    }
}

void sizing_details(Pane& pane, const TuiState& state, const SizingRow& row, std::uint64_t wall) {
    auto remembered = state.remembered.find(row.path);
    bool known = remembered != state.remembered.end();
    pane.title(path::display(row.path));
    pane.detail("Status", known ? "Refreshing previous measurement" : "Measuring size and age");
    if (known) {
        const RememberedCache& r = remembered->second;
        std::uint64_t age = wall > r.observed_unix ? wall - r.observed_unix : 0;
        pane.detail("Apparent", fmt::format("~{} from {}", format_bytes(r.bytes), ago_text(age)));
        if (pane.roomy()) {
            pane.detail("Allocated",
                        fmt::format("~{} from previous scan", format_bytes(r.allocated_bytes)));
        }
    }
    pane.detail("Type", pane.type_text(row.ecosystem, row.kind));
    pane.detail("Scope", row.scope == CacheScope::Global ? "global" : "project");
    pane.action("Available when measurement finishes", fg(state.theme.muted));
}

void docker_details(Pane& pane, const TuiState& state, const NativeResource& row) {
    std::string_view sep = separator(state.unicode);
    pane.title(row.label);
    pane.detail("Usage", format_bytes(row.bytes));
    pane.detail("Reclaim",
                fmt::format("{} reported by Docker", format_bytes(row.reclaimable_bytes)));
    pane.detail("Objects", fmt::format("{} active of {} total", row.active_count, row.total_count));
    pane.detail("Type", pane.type_text(row.provider, row.kind));
    if (pane.roomy()) {
        pane.detail("Scope", "daemon");
    }
    bool selected = state.selected_docker.count(row.kind) > 0;
    std::size_t n = selection_count(state);
    std::string text;
    if (row.cleanable) {
        if (selected) {
            text = fmt::format("selected{}Space unselect{}d prune", sep, sep);
        } else if (n == 0) {
            text = fmt::format("Space select{}d prune", sep);
        } else {
            text = fmt::format("Space select{}d clean {} selected", sep, n);
        }
    } else {
        text = n == 0 ? std::string("Inspection only")
                      : fmt::format("Inspection only{}d cleans {} selected", sep, n);
    }
    pane.action(std::move(text), fg(row.cleanable ? state.theme.accent : state.theme.muted));
}

void empty_details(Frame& frame, Rect area, const TuiState& state) {
    bool hidden = !state.rows.empty() || !state.sizing_rows.empty() || !state.docker_rows.empty();
    Paragraph p{Text(Line(hidden ? "No caches match this view. Press Esc to clear the filter."
                                 : "No caches found. Enjoy the breathing room.",
                          fg(state.theme.muted)))};
    p.with_block(bordered_panel(" Details ", state))
        .wrapped(true)
        .with_alignment(Alignment::Center);
    frame.render_widget(p, area);
}

} // namespace

Line detail_line(std::string_view label, std::string value, Color value_color, Color label_color) {
    // A label that fills the column still gets one blank before its value.
    std::string padded(label);
    padded.append(label.size() < kLabelWidth ? kLabelWidth - label.size() : 1, ' ');
    Line line;
    line.spans.emplace_back(std::move(padded), fg(label_color));
    line.spans.emplace_back(std::move(value), fg(value_color));
    return line;
}

void draw_details(Frame& frame, Rect area, const TuiState& state, const DrawClock& clock) {
    FocusedRow focus = focused_row(state);
    if (focus.kind == FocusedRow::Kind::None) {
        empty_details(frame, area, state);
        return;
    }
    Pane pane(state, area);
    switch (focus.kind) {
    case FocusedRow::Kind::Measured:
        measured_details(pane, state, state.rows[focus.index], area);
        break;
    case FocusedRow::Kind::Sizing:
        sizing_details(pane, state, state.sizing_rows[focus.index], clock.wall_unix);
        break;
    case FocusedRow::Kind::Docker:
        docker_details(pane, state, state.docker_rows[focus.index]);
        break;
    case FocusedRow::Kind::None:
        break;
    }
    pane.render(frame);
}

} // namespace qb::tui
