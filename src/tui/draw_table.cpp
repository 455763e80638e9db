// The cache table: measured rows, rows still being sized and Docker rows, with the view's
// scope, sort, selection and filter in its title.

#include "common/format_bytes.hpp"
#include "common/paths.hpp"
#include "tui/draw.hpp"
#include "tui/draw_util.hpp"
#include "tui/term/table.hpp"

#include <algorithm>
#include <array>
#include <fmt/format.h>

namespace qb::tui {

using namespace term;
using namespace drawing;

namespace {

enum class WidthClass { Narrow, Medium, Wide };

WidthClass width_class(std::uint16_t width) {
    if (width < 76) {
        return WidthClass::Narrow;
    }
    return width < 96 ? WidthClass::Medium : WidthClass::Wide;
}

std::vector<Constraint> column_widths(WidthClass c) {
    switch (c) {
    case WidthClass::Narrow:
        return {Constraint::length(2), Constraint::length(9), Constraint::length(14),
                Constraint::min(10)};
    case WidthClass::Medium:
        return {Constraint::length(2), Constraint::length(10), Constraint::length(19),
                Constraint::length(8), Constraint::min(16)};
    case WidthClass::Wide:
        break;
    }
    return {Constraint::length(2), Constraint::length(10), Constraint::length(19),
            Constraint::length(8), Constraint::length(9),  Constraint::min(16)};
}

std::string_view scope_text(CacheScope scope) {
    return scope == CacheScope::Global ? "global" : "project";
}

// The cells of one entry, in the order of the widest class.
struct Cells {
    Line mark;
    Line size;
    Line kind;
    Line age;
    Line scope;
    Line location;

    Row into_row(WidthClass c, Style style) {
        std::vector<Line> cells;
        cells.push_back(std::move(mark));
        cells.push_back(std::move(size));
        cells.push_back(std::move(kind));
        if (c != WidthClass::Narrow) {
            cells.push_back(std::move(age));
        }
        if (c == WidthClass::Wide) {
            cells.push_back(std::move(scope));
        }
        cells.push_back(std::move(location));
        return Row(std::move(cells), style);
    }
};

class RowBuilder {
public:
    RowBuilder(const TuiState& state, const DrawClock& clock) : s_(state), clock_(clock) {}

    Row measured(const Candidate& row, WidthClass c) const {
        const Theme& t = s_.theme;
        bool selected = s_.selected_paths.count(row.path) > 0;
        bool awaiting = s_.phase == TuiPhase::Scanning && s_.refreshing &&
                        s_.measured_paths.count(row.path) == 0;
        std::string_view estimate = awaiting ? "~" : "";
        Cells cells;
        if (selected) {
            cells.mark =
                Line(std::string(pick(s_.unicode, "\xE2\x9C\x93", "x")), fg_bold(t.success));
        } else if (awaiting) {
            cells.mark = Line(std::string(busy_mark()), fg(t.info));
        } else if (!row.cleanable) {
            cells.mark = Line(std::string(pick(s_.unicode, "\xC3\x97", "x")), fg(t.muted));
        } else {
            cells.mark = Line(" ");
        }
        cells.size = Line(fmt::format("{}{}", estimate, format_bytes(row.bytes)), fg(t.accent));
        cells.kind = Line(row.kind);
        cells.age = Line(row.age_days ? fmt::format("{}{}d", estimate, *row.age_days)
                                      : std::string("unknown"),
                         fg(t.muted));
        cells.scope = Line(std::string(scope_text(row.scope)), fg(t.muted));
        cells.location = Line(path::display(row.path));

        Style style;
        if (awaiting) {
            style = fg(t.muted);
        } else if (selected) {
            style = fg_bold(t.text);
        } else if (!row.cleanable) {
            style = fg(t.muted);
        } else {
            style = fg(t.text);
        }
        return cells.into_row(c, style);
    }

    Row sizing(const SizingRow& row, WidthClass c) const {
        const Theme& t = s_.theme;
        auto remembered = s_.remembered.find(row.path);
        bool known = remembered != s_.remembered.end();
        Cells cells;
        cells.mark = Line(std::string(busy_mark()), fg(t.info));
        cells.size = Line(known ? fmt::format("~{}", format_bytes(remembered->second.bytes))
                                : std::string(pick(s_.unicode, "sizing\xE2\x80\xA6", "sizing")),
                          fg(t.info));
        cells.kind = Line(row.kind);
        if (known && remembered->second.modified_unix) {
            std::uint64_t m = *remembered->second.modified_unix;
            std::uint64_t days = clock_.wall_unix > m ? (clock_.wall_unix - m) / 86'400 : 0;
            cells.age = Line(fmt::format("~{}d", days), fg(t.muted));
        } else {
            cells.age = Line(std::string(dash()), fg(t.muted));
        }
        cells.scope = Line(std::string(scope_text(row.scope)), fg(t.muted));
        cells.location = Line(path::display(row.path));
        return cells.into_row(c, fg(t.muted));
    }

    Row docker(const NativeResource& row, WidthClass c) const {
        const Theme& t = s_.theme;
        bool selected = s_.selected_docker.count(row.kind) > 0;
        Cells cells;
        if (selected) {
            cells.mark = Line(std::string(pick(s_.unicode, "\xE2\x9C\x93", "x")), fg(t.success));
        } else if (row.cleanable) {
            cells.mark = Line(" ", fg(t.muted));
        } else {
            cells.mark = Line(std::string(dash()), fg(t.muted));
        }
        cells.size = Line(format_bytes(row.reclaimable_bytes), fg(t.info));
        cells.kind = Line(row.kind);
        cells.age = Line(std::string(dash()), fg(t.muted));
        cells.scope = Line("daemon", fg(t.muted));
        cells.location = Line(row.label);
        Style style = fg(selected || row.cleanable ? t.text : t.muted);
        if (selected) {
            style = style.bold();
        }
        return cells.into_row(c, style);
    }

private:
    std::string_view busy_mark() const { return activity_mark(s_, clock_.now); }
    std::string_view dash() const { return pick(s_.unicode, "\xE2\x80\x94", "-"); }

    const TuiState& s_;
    const DrawClock& clock_;
};

std::string table_title(const TuiState& state) {
    std::string_view sep = separator(state.unicode);
    std::string_view scope = "All";
    if (state.view_scope == ScopeFilter::Project) {
        scope = "Project";
    } else if (state.view_scope == ScopeFilter::Global) {
        scope = "Global";
    }
    std::string_view sort;
    switch (state.sort) {
    case SortMode::Size:
        sort = pick(state.unicode, "Size \xE2\x86\x93", "Size desc");
        break;
    case SortMode::Age:
        sort = pick(state.unicode, "Age \xE2\x86\x93", "Age desc");
        break;
    case SortMode::Name:
        sort = pick(state.unicode, "Name \xE2\x86\x91", "Name asc");
        break;
    }
    std::string title = fmt::format(" Storage{}{}{}{}", sep, scope, sep, sort);
    if (std::size_t n = selection_count(state); n > 0) {
        title += fmt::format("{}{} selected{}{}", sep, n, sep, format_bytes(selected_bytes(state)));
    }
    if (!state.filter.empty()) {
        title += fmt::format("{}filter: {}", sep, state.filter);
    }
    title += " ";
    return title;
}

} // namespace

std::string_view spinner_frame(Clock::time_point started, Clock::time_point now) {
    static constexpr std::array<std::string_view, 4> kFrames = {"\xE2\x97\x90", "\xE2\x97\x93",
                                                                "\xE2\x97\x91", "\xE2\x97\x92"};
    if (now < started) {
        return kFrames[0];
    }
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now - started).count();
    return kFrames[static_cast<std::size_t>((ms / 120) % 4)];
}

void draw_cache_table(Frame& frame, Rect area, const TuiState& state, const DrawClock& clock) {
    const Theme& t = state.theme;
    WidthClass c = width_class(area.width);
    RowBuilder build(state, clock);

    // Only the rows that fit are built: the table scrolls just far enough to show the
    // focused row, so they are the `capacity` rows ending at it (or the first page).
    Table table;
    std::size_t total = visible_count(state);
    // At least the focused row is built, even where none fits, so that the symbol
    // column is kept.
    std::size_t capacity = std::max<std::size_t>(area.height > 4 ? area.height - 4u : 0u, 1);
    std::size_t focused = total == 0 ? 0 : std::min<std::uint64_t>(state.cursor, total - 1);
    std::size_t first = focused >= capacity ? focused - capacity + 1 : 0;
    std::size_t last = std::min(total, first + capacity);
    const std::size_t measured = state.visible_rows.size();
    const std::size_t sizing = measured + state.visible_sizing.size();
    for (std::size_t i = first; i < last; ++i) {
        if (i < measured) {
            table.rows.push_back(build.measured(state.rows[state.visible_rows[i]], c));
        } else if (i < sizing) {
            table.rows.push_back(
                build.sizing(state.sizing_rows[state.visible_sizing[i - measured]], c));
        } else {
            table.rows.push_back(
                build.docker(state.docker_rows[state.visible_docker[i - sizing]], c));
        }
    }

    Cells header{Line(""),    Line("ESTIMATE"), Line("KIND"),
                 Line("AGE"), Line("SCOPE"),    Line("LOCATION")};
    table.header = header.into_row(c, fg_bold(t.muted));
    table.header->bottom_margin = 1;
    table.widths = column_widths(c);

    Block block = Block::bordered();
    block.border_type = state.unicode ? BorderType::Rounded : BorderType::Plain;
    block.border_style = fg(t.border);
    block.style = Style{}.with_bg(t.background);
    block.title = Line(table_title(state));
    block.title_style = fg_bold(t.text);
    table.block = std::move(block);

    table.highlight_style = Style{}.with_fg(t.text).with_bg(t.border).bold();
    table.highlight_symbol = std::string(pick(state.unicode, "\xE2\x80\xBA ", "> "));

    TableState selection;
    if (!table.rows.empty()) {
        selection.selected = focused - first;
    }
    frame.render_stateful_widget(table, area, selection);
}

} // namespace qb::tui
