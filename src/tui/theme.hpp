#pragma once

// How the interface looks on this terminal: the colour theme, Unicode or ASCII glyphs,
// and whether spinners turn. Decided once at start-up from the environment alone.

#include "common/env.hpp"
#include "tui/term/style.hpp"

namespace qb::tui {

/// The nine colour slots every drawn element names.
struct Theme {
    term::Color background;
    term::Color surface;
    term::Color border;
    term::Color text;
    term::Color muted;
    term::Color accent;
    term::Color info;
    term::Color success;
    term::Color danger;

    bool operator==(const Theme&) const = default;
};

enum class ColorDepth { None, Basic16, Indexed256, TrueColor };

struct Capabilities {
    ColorDepth color = ColorDepth::None;
    bool unicode = false;
    bool animate = false;
    Theme theme;
};

/// The palette for one colour depth; without colour every slot is the terminal default.
Theme theme_for(ColorDepth depth);

/// Reads NO_COLOR, TERM, COLORTERM, LC_ALL, LC_CTYPE, LANG, QUILLBARROW_ASCII and
/// QUILLBARROW_REDUCE_MOTION from `env`.
Capabilities detect_capabilities(const SystemEnv& env);

} // namespace qb::tui
