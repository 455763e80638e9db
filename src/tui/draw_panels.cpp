// The splash, the working panel, and the two overlays: the help and the confirm dialog.

#include "common/format_bytes.hpp"
#include "common/paths.hpp"
#include "tui/draw.hpp"
#include "tui/draw_util.hpp"
#include "tui/texts.hpp"

#include <algorithm>
#include <fmt/format.h>

namespace qb::tui {

using namespace term;
using namespace drawing;

namespace {

// Left and top edges leave half the spare room (rounded down) on each side.
Rect centered_box(Rect area, std::uint16_t width, std::uint16_t height) {
    width = std::min(width, area.width);
    height = std::min(height, area.height);
    return Rect{static_cast<std::uint16_t>(area.x + (area.width - width) / 2),
                static_cast<std::uint16_t>(area.y + (area.height - height) / 2), width, height};
}

Block overlay_block(std::string title, Color border, const TuiState& state) {
    Block b = Block::bordered();
    b.border_type = state.unicode ? BorderType::Rounded : BorderType::Plain;
    b.title = Line(std::move(title));
    b.border_style = fg(border);
    b.style = Style{}.with_fg(state.theme.text).with_bg(state.theme.surface);
    return b;
}

struct HelpKey {
    std::string_view wide_key;
    std::string_view narrow_key;
    std::string_view wide;
    std::string_view narrow;
};

constexpr HelpKey kHelpKeys[] = {
    {"\xE2\x86\x91 / \xE2\x86\x93  j / k", "Up/Down j/k", "Move through caches", "Move"},
    {"Space", "Space", "Select or unselect, then move down", "Select and move down"},
    {"a", "a", "Select or unselect all visible caches", "Select/unselect visible"},
    {"d", "d", "Clean selected storage, or the focused item", "Clean selection or focused item"},
    {"/", "/", "Filter by path, kind, or ecosystem", "Filter"},
    {"Tab", "Tab", "Cycle all, project, and global caches", "Cycle scope"},
    {"s", "s", "Cycle size, age, and name sorting", "Cycle sort"},
    {"r", "r", "Scan again", "Scan again"},
    {"q / Ctrl+C", "q / Ctrl+C", "Quit", "Quit"},
};

// Pads to `width` characters (not bytes), for keys that hold arrows.
std::string pad_chars(std::string_view text, std::size_t width) {
    std::size_t chars = 0;
    for (unsigned char c : text) {
        chars += (c & 0xC0) != 0x80 ? 1 : 0;
    }
    std::string out(text);
    if (chars < width) {
        out.append(width - chars, ' ');
    }
    return out;
}

std::string joined(const std::vector<std::string_view>& parts, std::string_view sep) {
    std::string out;
    for (std::size_t i = 0; i < parts.size(); ++i) {
        if (i > 0) {
            out += sep;
        }
        out += parts[i];
    }
    return out;
}

} // namespace

std::string_view drawing::activity_mark(const TuiState& state, Clock::time_point now) {
    if (!state.unicode) {
        return "*";
    }
    return state.animate ? spinner_frame(state.operation_started, now) : "\xE2\x97\x8F";
}

void draw_splash(Frame& frame, Rect area, const TuiState& state, Clock::time_point now) {
    const Theme& t = state.theme;
    Paragraph p(Text(std::vector<Line>{
        Line(std::string(activity_mark(state, now)), fg_bold(t.info)),
        Line(),
        Line("Sniffing out rebuildable caches", fg_bold(t.text)),
        Line("Recognized caches appear here immediately.", fg(t.muted)),
    }));
    Block block;
    block.style = Style{}.with_bg(t.background);
    p.with_block(block).wrapped(true).with_alignment(Alignment::Center);
    frame.render_widget(p, centered_rect(70, 8, area));
}

void draw_working_panel(Frame& frame, Rect area, const TuiState& state, Clock::time_point now,
                        std::string_view headline, std::string_view detail, std::string title) {
    const Theme& t = state.theme;
    auto fit = [](std::uint16_t extent, std::uint16_t most) {
        std::uint16_t v = extent > 2 ? static_cast<std::uint16_t>(extent - 2) : 0;
        return std::clamp<std::uint16_t>(v, 1, most);
    };
    Rect box = centered_box(area, fit(area.width, 68), fit(area.height, 9));
    frame.render_widget(Clear{}, box);
    std::size_t room = box.width > 6 ? box.width - 6u : 0u;
    Paragraph p(Text(std::vector<Line>{
        Line(std::string(activity_mark(state, now)), fg(t.accent)),
        Line(),
        Line(std::string(headline), fg_bold(t.text)),
        Line(truncate_to_width(detail, room, state.unicode), fg(t.muted)),
    }));
    p.with_block(bordered_panel(std::move(title), state)).with_alignment(Alignment::Center);
    frame.render_widget(p, box);
}

void draw_help_overlay(Frame& frame, Rect area, const TuiState& state) {
    const Theme& t = state.theme;
    std::uint16_t w = std::min<std::uint16_t>(area.width > 2 ? area.width - 2 : 0, 78);
    std::uint16_t h = std::min<std::uint16_t>(area.height > 2 ? area.height - 2 : 0, 16);
    bool wide = w >= 72;
    Rect box = centered_box(area, w, h);
    frame.render_widget(Clear{}, box);

    std::vector<Line> lines;
    if (wide) {
        lines.emplace_back("Space builds a batch; d cleans it.", fg_bold(t.text));
        lines.emplace_back();
    }
    for (const HelpKey& k : kHelpKeys) {
        Line line;
        line.spans.emplace_back(pad_chars(wide ? k.wide_key : k.narrow_key, 15), fg_bold(t.accent));
        line.spans.emplace_back(std::string(wide ? k.wide : k.narrow), fg(t.text));
        lines.push_back(std::move(line));
    }
    lines.emplace_back();
    if (wide) {
        std::string_view legend =
            state.phase == TuiPhase::Scanning
                ? "Sizing rows can be inspected; cleanup unlocks when measurement finishes."
                : pick(state.unicode,
                       "\xC3\x97 override \xC2\xB7 Docker build cache confirms \xC2\xB7 "
                       "\xE2\x80\x94 other Docker rows inspect-only.",
                       "x override | Docker build cache confirms | - other Docker rows "
                       "inspect-only.");
        lines.emplace_back(std::string(legend), fg(t.muted));
    }
    lines.emplace_back("Press ? or Esc to close", fg(t.info));

    Paragraph p{Text(std::move(lines))};
    p.with_block(overlay_block(" Keyboard ", t.info, state));
    frame.render_widget(p, box);
}

std::string confirm_flags_text(const TuiState& state) {
    std::vector<std::string_view> labels = row_flag_labels(state.plan);
    if (state.pending_prune) {
        labels.push_back("shared daemon");
        if (std::find(labels.begin(), labels.end(), "download restore") == labels.end()) {
            labels.push_back("download restore");
        }
    }
    return joined(labels, separator(state.unicode));
}

void draw_confirm_dialog(Frame& frame, Rect area, const TuiState& state) {
    const Theme& t = state.theme;
    std::uint16_t w = std::min<std::uint16_t>(area.width > 2 ? area.width - 2 : 0, 76);
    Rect box = centered_box(area, w, 11);
    frame.render_widget(Clear{}, box);

    std::size_t n = state.plan.size();
    bool prune = state.pending_prune.has_value();
    std::string_view mark = separator_mark(state.unicode);
    PlanBytes bytes = plan_bytes(state.plan);
    std::string reclaim = prune ? format_bytes(state.pending_prune->reclaimable_bytes) : "";

    std::string headline;
    std::string subline;
    std::string totals;
    if (prune && n == 0) {
        headline = "Prune Docker build cache?";
        subline = "Only ordinary build cache; images, containers, and volumes stay untouched";
        totals = fmt::format("{} Docker reclaimable", reclaim);
    } else if (prune) {
        headline = fmt::format("Clean {} selected storage items?", n + 1);
        subline = "Every target is checked again immediately before cleanup";
        totals = fmt::format("{} filesystem  {}  {} Docker reclaimable",
                             format_bytes(bytes.apparent), mark, reclaim);
    } else {
        if (n == 1) {
            headline = fmt::format("Delete {}?", state.plan.front().kind);
            std::size_t room = w > 6 ? w - 6u : 0u;
            subline =
                truncate_to_width(path::display(state.plan.front().path), room, state.unicode);
        } else {
            headline = fmt::format("Delete {} selected caches?", n);
            subline = "Every target will be checked again immediately before removal";
        }
        totals = fmt::format("{} apparent  {}  {} allocated", format_bytes(bytes.apparent), mark,
                             format_bytes(bytes.allocated));
    }

    std::string flags = confirm_flags_text(state);
    Line totals_line;
    totals_line.spans.emplace_back(std::move(totals), fg_bold(t.accent));
    totals_line.spans.emplace_back(fmt::format("  {}  {}", mark, flags), fg(t.muted));
    Line keys;
    keys.spans.emplace_back(" d / y ", Style{}.with_fg(t.background).with_bg(t.accent).bold());
    keys.spans.emplace_back(" clean     ", fg(t.text));
    keys.spans.emplace_back(" n / Esc ", Style{}.with_fg(t.text).with_bg(t.border));
    keys.spans.emplace_back(" cancel", fg(t.text));

    Paragraph p(Text(std::vector<Line>{
        Line(std::move(headline), fg_bold(t.text)),
        Line(),
        Line(std::move(subline), fg(t.muted)),
        Line(),
        std::move(totals_line),
        Line(),
        std::move(keys),
    }));
    p.with_block(overlay_block(" Confirm delete ", t.accent, state))
        .with_alignment(Alignment::Center);
    frame.render_widget(p, box);
}

} // namespace qb::tui
