#pragma once

// Frames drawn into fixed-size buffers, and ways to find a text on them and ask which
// theme slot painted it.

#include "tui/draw.hpp"
#include "tui_harness.hpp"

#include <gtest/gtest.h>
#include <optional>
#include <string>
#include <vector>

namespace qb::tui::drawtest {

/// Screen rows or span descriptions, top to bottom.
using Rows = std::vector<std::string>;

/// A monotonic instant well away from the clock's origin, and a wall clock.
inline const Clock::time_point kT0 = Clock::time_point{} + std::chrono::hours(1000);
inline constexpr std::uint64_t kWall = 1'000'000'000;

/// A ready state in true colour (every slot distinct), no animation.
inline TuiState ready_state(bool unicode = true) {
    TuiState s;
    s.unicode = unicode;
    s.theme = theme_for(ColorDepth::TrueColor);
    s.phase = TuiPhase::Ready;
    s.operation_started = kT0;
    return s;
}

/// A cleanable project cache, 30 days old, allocated half its bytes.
inline Candidate cache(std::string path, std::uint64_t bytes, std::string kind = "cargo-target") {
    Candidate c;
    c.kind = std::move(kind);
    c.ecosystem = "rust";
    c.path = std::move(path);
    c.bytes = bytes;
    c.allocated_bytes = bytes / 2;
    c.modified_unix = kWall - 30 * 86'400;
    c.age_days = 30;
    return c;
}

using testing::build_cache;
using testing::docker;

/// Every row visible, in stored order.
inline void show_all(TuiState& s) {
    auto iota = [](std::size_t n) {
        std::vector<std::size_t> v(n);
        for (std::size_t i = 0; i < n; ++i) {
            v[i] = i;
        }
        return v;
    };
    s.visible_rows = iota(s.rows.size());
    s.visible_sizing = iota(s.sizing_rows.size());
    s.visible_docker = iota(s.docker_rows.size());
}

using DrawFn = std::function<void(term::Frame&, const TuiState&, const DrawClock&)>;

/// Draws with `fn` (the whole frame by default) into a w x h buffer.
inline term::Buffer draw(const TuiState& s, std::uint16_t w, std::uint16_t h,
                         const DrawFn& fn = nullptr, DrawClock clock = {kT0, kWall}) {
    return term::render_to_buffer(
        w, h, [&](term::Frame& f) { fn ? fn(f, s, clock) : draw_frame(f, s, clock); });
}

inline std::string dump(const term::Buffer& b) {
    std::string out;
    for (const std::string& line : b.to_lines()) {
        out += line + "\n";
    }
    return out;
}

struct Pos {
    std::uint16_t x = 0;
    std::uint16_t y = 0;
};

/// Where the text starts on the screen (first match from `from_row` down), by cell.
inline std::optional<Pos> find_text(const term::Buffer& b, std::string_view text,
                                    std::uint16_t from_row = 0) {
    for (std::uint16_t y = from_row; y < b.height(); ++y) {
        std::string row;
        std::vector<std::uint16_t> cell_of_byte;
        for (std::uint16_t x = 0; x < b.width(); ++x) {
            row += b.at(x, y).symbol;
            cell_of_byte.resize(row.size(), x);
        }
        if (std::size_t at = row.find(text); at != std::string::npos) {
            return Pos{cell_of_byte[at], y};
        }
    }
    return std::nullopt;
}

inline bool shows(const term::Buffer& b, std::string_view text) {
    return find_text(b, text).has_value();
}

/// The slot name of a true-colour theme colour.
inline std::string slot(const term::Color& c) {
    const Theme t = theme_for(ColorDepth::TrueColor);
    const std::pair<const char*, term::Color> slots[] = {{"background", t.background},
                                                         {"surface", t.surface},
                                                         {"border", t.border},
                                                         {"text", t.text},
                                                         {"muted", t.muted},
                                                         {"accent", t.accent},
                                                         {"info", t.info},
                                                         {"success", t.success},
                                                         {"danger", t.danger}};
    for (const auto& [name, color] : slots) {
        if (color == c) {
            return name;
        }
    }
    return "other";
}

/// "fg-slot", with " bold" when bold, of the first cell of `text`; "missing" when absent.
inline std::string look(const term::Buffer& b, std::string_view text, std::uint16_t from = 0) {
    auto p = find_text(b, text, from);
    if (!p) {
        return "missing";
    }
    term::Style s = b.style_at(p->x, p->y);
    return slot(*s.fg) + (s.add.contains(term::Modifier::BOLD) ? " bold" : "");
}

inline std::string bg_of(const term::Buffer& b, std::string_view text) {
    auto p = find_text(b, text);
    return p ? slot(*b.style_at(p->x, p->y).bg) : "missing";
}

/// Row y without trailing blanks (and without a closing border "│").
inline std::string row(const term::Buffer& b, std::uint16_t y) {
    std::string r = b.row_text(y);
    const std::string bar = "\xE2\x94\x82";
    if (r.size() >= bar.size() && r.compare(r.size() - bar.size(), bar.size(), bar) == 0) {
        r.resize(r.size() - bar.size());
    }
    r.erase(r.find_last_not_of(' ') + 1);
    return r;
}

} // namespace qb::tui::drawtest
