// The header row (brand, phase badge, counts) and the footer row (status, progress or the
// keys that make sense for the phase and the focused row).

#include "common/format_bytes.hpp"
#include "tui/draw.hpp"
#include "tui/draw_util.hpp"

#include <fmt/format.h>

namespace qb::tui {

using namespace term;
using namespace drawing;

namespace {

// The counts and the full hint sets need this many columns.
constexpr std::uint16_t kFullFrom = 76;
// Sort and rescan hints need more than this.
constexpr std::uint16_t kWideAbove = 109;

struct Badge {
    std::string_view text;
    Color color;
};

Badge badge(const TuiState& state) {
    const Theme& t = state.theme;
    switch (state.phase) {
    case TuiPhase::Scanning:
        return {"SCANNING", t.info};
    case TuiPhase::Ready:
        return {"READY", t.success};
    case TuiPhase::Checking:
        return {"CHECKING", t.info};
    case TuiPhase::Confirm:
        return {"CONFIRM", t.accent};
    case TuiPhase::Cleaning:
        return {"CLEANING", t.accent};
    case TuiPhase::ScanFailed:
        break;
    }
    return {"SCAN FAILED", t.danger};
}

std::string counts_text(const TuiState& state) {
    std::string_view sep = separator_mark(state.unicode);
    if (state.phase == TuiPhase::Scanning) {
        if (state.refreshing) {
            return fmt::format("{} shown  {}  {} refreshed  {}  {} sizing",
                               state.rows.size() + state.sizing_rows.size(), sep,
                               state.measured_paths.size(), sep, state.pending_paths.size());
        }
        if (state.found_count == 0) {
            return "searching project roots";
        }
        return fmt::format("{} measured  {}  {} sizing  {}  {} apparent",
                           state.measured_paths.size(), sep, state.pending_paths.size(), sep,
                           format_bytes(rows_apparent_bytes(state)));
    }
    std::string text = fmt::format("{} caches  {}  {} apparent", state.rows.size(), sep,
                                   format_bytes(rows_apparent_bytes(state)));
    if (!state.docker_rows.empty()) {
        text += fmt::format("  {}  Docker {} reclaimable", sep,
                            format_bytes(docker_reclaimable_bytes(state)));
    }
    if (!state.scan_errors.empty()) {
        text += fmt::format("  {}  {} paths skipped", sep, state.scan_errors.size());
    }
    return text;
}

enum class Hint { Move, Select, All, Delete, Clean, Filter, Scope, Sort, Rescan, Help, Quit };

struct HintLine {
    Line line;
    Color word;
    Color key;
    std::string_view move_key;

    void add(Hint h) {
        std::string_view key_text;
        std::string_view word_text;
        switch (h) {
        case Hint::Move:
            key_text = move_key;
            word_text = "move";
            break;
        case Hint::Select:
            key_text = "space";
            word_text = "select";
            break;
        case Hint::All:
            key_text = "a";
            word_text = "all";
            break;
        case Hint::Delete:
            key_text = "d";
            word_text = "delete";
            break;
        case Hint::Clean:
            key_text = "d";
            word_text = "clean";
            break;
        case Hint::Filter:
            key_text = "/";
            word_text = "filter";
            break;
        case Hint::Scope:
            key_text = "tab";
            word_text = "scope";
            break;
        case Hint::Sort:
            key_text = "s";
            word_text = "sort";
            break;
        case Hint::Rescan:
            key_text = "r";
            word_text = "rescan";
            break;
        case Hint::Help:
            key_text = "?";
            word_text = "help";
            break;
        case Hint::Quit:
            key_text = "q";
            word_text = "quit";
            break;
        }
        line.spans.emplace_back(fmt::format("  {}", key_text), fg_bold(key));
        line.spans.emplace_back(fmt::format(" {}", word_text), fg(word));
    }
};

std::string_view move_key_text(const TuiState& state) {
    return pick(state.unicode, "\xE2\x86\x91\xE2\x86\x93", "jk");
}

HintLine hints_for(const TuiState& state) {
    return HintLine{Line(), state.theme.muted, state.theme.accent, move_key_text(state)};
}

Line scanning_hints(const TuiState& state, std::uint16_t width) {
    HintLine h = hints_for(state);
    if (visible_count(state) == 0) {
        h.add(Hint::Quit);
        return std::move(h.line);
    }
    if (width < kFullFrom) {
        for (Hint x : {Hint::Move, Hint::Filter, Hint::Quit}) {
            h.add(x);
        }
        return std::move(h.line);
    }
    h.add(Hint::Move);
    FocusedRow focus = focused_row(state);
    if (focus.kind == FocusedRow::Kind::Measured ||
        (focus.kind == FocusedRow::Kind::Docker && state.docker_rows[focus.index].cleanable)) {
        h.add(Hint::Select);
    }
    h.add(Hint::Filter);
    h.add(Hint::Scope);
    if (width > kWideAbove) {
        h.add(Hint::Sort);
    }
    h.add(Hint::Help);
    h.add(Hint::Quit);
    return std::move(h.line);
}

Line docker_focus_hints(const TuiState& state, const NativeResource& row, std::uint16_t width) {
    HintLine h = hints_for(state);
    h.add(Hint::Move);
    if (row.cleanable) {
        h.add(Hint::Select);
    }
    if (row.cleanable || selection_count(state) > 0) {
        h.add(Hint::Clean);
    }
    h.add(Hint::Filter);
    h.add(Hint::Scope);
    if (width > kWideAbove) {
        h.add(Hint::Sort);
        h.add(Hint::Rescan);
    }
    h.add(Hint::Help);
    return std::move(h.line);
}

} // namespace

Line header_line(const TuiState& state, std::uint16_t width) {
    const Theme& t = state.theme;
    Badge b = badge(state);
    Line line;
    line.spans.emplace_back(std::string(pick(state.unicode, "  \xE2\x97\x89 ", "  o ")),
                            fg(t.info));
    line.spans.emplace_back("QUILL", fg_bold(t.text));
    line.spans.emplace_back("BARROW", fg_bold(t.accent));
    line.spans.emplace_back("   ");
    line.spans.emplace_back(fmt::format("{} {}", pick(state.unicode, "\xE2\x97\x8F", "*"), b.text),
                            fg_bold(b.color));
    if (width >= kFullFrom) {
        line.spans.emplace_back("   ");
        line.spans.emplace_back(counts_text(state), fg(t.muted));
    } else {
        line.spans.emplace_back("");
        line.spans.emplace_back("");
    }
    return line;
}

Line footer_line(const TuiState& state, std::uint16_t width, Clock::time_point now) {
    const Theme& t = state.theme;
    if (state.status &&
        (now < state.status->set_at || now - state.status->set_at < std::chrono::seconds(4))) {
        Line line;
        line.spans.emplace_back(std::string(pick(state.unicode, "  \xE2\x97\x8F  ", "  *  ")),
                                fg(t.info));
        line.spans.emplace_back(state.status->text, fg(t.text));
        return line;
    }
    if (state.phase == TuiPhase::Checking) {
        Line line;
        line.spans.emplace_back(std::string(pick(state.unicode, "  \xE2\x97\x90 ", "  * ")),
                                fg(t.info));
        line.spans.emplace_back("checking current cache state", fg(t.muted));
        return line;
    }
    if (state.phase == TuiPhase::Scanning) {
        return scanning_hints(state, width);
    }
    FocusedRow focus = focused_row(state);
    if (focus.kind == FocusedRow::Kind::Docker) {
        return docker_focus_hints(state, state.docker_rows[focus.index], width);
    }
    return draw_footer(t.muted, t.accent, move_key_text(state), width);
}

Line draw_footer(Color word, Color key, std::string_view move_key, std::uint16_t width) {
    HintLine h{Line(), word, key, move_key};
    if (width < kFullFrom) {
        for (Hint x : {Hint::Move, Hint::Select, Hint::Delete, Hint::Help}) {
            h.add(x);
        }
        return std::move(h.line);
    }
    for (Hint x : {Hint::Move, Hint::Select, Hint::All, Hint::Delete, Hint::Filter, Hint::Scope}) {
        h.add(x);
    }
    if (width > kWideAbove) {
        h.add(Hint::Sort);
        h.add(Hint::Rescan);
    }
    h.add(Hint::Help);
    return std::move(h.line);
}

} // namespace qb::tui
