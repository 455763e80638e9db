#include "tui/term/style.hpp"

#include <fmt/format.h>

namespace qb::term {

Style Style::patch(const Style& other) const {
    Style s;
    s.fg = other.fg ? other.fg : fg;
    s.bg = other.bg ? other.bg : bg;
    s.add = (add & ~other.sub) | other.add;
    s.sub = (sub & ~other.add) | other.sub;
    return s;
}

namespace {

std::string sgr_color(Color c, int base, int bright_base, int extended, int reset) {
    switch (c.kind) {
    case Color::Kind::Reset:
        return fmt::format("{}", reset);
    case Color::Kind::Named:
        return c.r < 8 ? fmt::format("{}", base + c.r) : fmt::format("{}", bright_base + c.r - 8);
    case Color::Kind::Indexed:
        return fmt::format("{};5;{}", extended, c.r);
    case Color::Kind::Rgb:
        return fmt::format("{};2;{};{};{}", extended, c.r, c.g, c.b);
    }
    return fmt::format("{}", reset);
}

} // namespace

std::string sgr_fg(Color c) {
    return sgr_color(c, 30, 90, 38, 39);
}

std::string sgr_bg(Color c) {
    return sgr_color(c, 40, 100, 48, 49);
}

} // namespace qb::term
