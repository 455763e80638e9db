#pragma once

// Colours, text modifiers and styles. A style only says what it changes: patching one
// style onto another (or onto a cell) keeps whatever the patch leaves unset.

#include <cstdint>
#include <optional>
#include <string>

namespace qb::term {

/// The sixteen named colours, in their SGR order.
enum class NamedColor : std::uint8_t {
    Black,
    Red,
    Green,
    Yellow,
    Blue,
    Magenta,
    Cyan,
    Gray,
    DarkGray,
    LightRed,
    LightGreen,
    LightYellow,
    LightBlue,
    LightMagenta,
    LightCyan,
    White,
};

/// The terminal's default colour, a named colour, a 256-colour palette index or RGB.
struct Color {
    enum class Kind : std::uint8_t { Reset, Named, Indexed, Rgb };
    Kind kind = Kind::Reset;
    std::uint8_t r = 0; // named index, palette index, or red
    std::uint8_t g = 0;
    std::uint8_t b = 0;

    static constexpr Color reset() { return {}; }
    static constexpr Color named(NamedColor n) {
        return {Kind::Named, static_cast<std::uint8_t>(n), 0, 0};
    }
    static constexpr Color indexed(std::uint8_t i) { return {Kind::Indexed, i, 0, 0}; }
    static constexpr Color rgb(std::uint8_t r, std::uint8_t g, std::uint8_t b) {
        return {Kind::Rgb, r, g, b};
    }

    bool operator==(const Color&) const = default;
};

/// A set of text attributes. Only bold is drawn today; the set leaves room for more.
struct Modifier {
    std::uint16_t bits = 0;

    static const Modifier NONE;
    static const Modifier BOLD;

    constexpr bool contains(Modifier m) const { return (bits & m.bits) == m.bits; }
    constexpr bool empty() const { return bits == 0; }
    constexpr Modifier operator|(Modifier o) const {
        return {static_cast<std::uint16_t>(bits | o.bits)};
    }
    constexpr Modifier operator&(Modifier o) const {
        return {static_cast<std::uint16_t>(bits & o.bits)};
    }
    constexpr Modifier operator~() const { return {static_cast<std::uint16_t>(~bits)}; }
    bool operator==(const Modifier&) const = default;
};

inline constexpr Modifier Modifier::NONE{0};
inline constexpr Modifier Modifier::BOLD{1};

struct Style {
    std::optional<Color> fg;
    std::optional<Color> bg;
    Modifier add;
    Modifier sub;

    Style with_fg(Color c) const {
        Style s = *this;
        s.fg = c;
        return s;
    }
    Style with_bg(Color c) const {
        Style s = *this;
        s.bg = c;
        return s;
    }
    Style add_modifier(Modifier m) const {
        Style s = *this;
        s.add = s.add | m;
        s.sub = s.sub & ~m;
        return s;
    }
    Style remove_modifier(Modifier m) const {
        Style s = *this;
        s.sub = s.sub | m;
        s.add = s.add & ~m;
        return s;
    }
    Style bold() const { return add_modifier(Modifier::BOLD); }

    /// This style with `other` laid over it: colours that `other` sets win, and its
    /// added and removed modifiers override ours.
    Style patch(const Style& other) const;

    bool operator==(const Style&) const = default;
};

/// SGR parameters that select `c` as foreground or background (e.g. "38;5;24").
std::string sgr_fg(Color c);
std::string sgr_bg(Color c);

} // namespace qb::term
