#pragma once

// Small pieces the drawing files share: glyph choice, separators and styles by slot.

#include "tui/state.hpp"
#include "tui/term/style.hpp"

#include <string_view>

namespace qb::tui::drawing {

/// The Unicode or the ASCII form of a glyph or text.
inline std::string_view pick(bool unicode, std::string_view u, std::string_view a) {
    return unicode ? u : a;
}

/// " · " or " | ", blanks included.
inline std::string_view separator(bool unicode) {
    return pick(unicode, " \xC2\xB7 ", " | ");
}

/// "·" or "|".
inline std::string_view separator_mark(bool unicode) {
    return pick(unicode, "\xC2\xB7", "|");
}

inline term::Style fg(term::Color c) {
    return term::Style{}.with_fg(c);
}

inline term::Style fg_bold(term::Color c) {
    return term::Style{}.with_fg(c).bold();
}

/// The mark of rows being measured, the splash and the working panel: a turning spinner,
/// a still dot without animation, or "*" in ASCII.
std::string_view activity_mark(const TuiState& state, Clock::time_point now);

} // namespace qb::tui::drawing
