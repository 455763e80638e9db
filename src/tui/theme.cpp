#include "tui/theme.hpp"

#include "common/text.hpp"

#include <optional>
#include <string>

namespace qb::tui {
namespace {

using term::Color;
using term::NamedColor;

// A variable read as text: present and valid UTF-8, otherwise absent.
std::optional<std::string> text_var(const SystemEnv& env, std::string_view name) {
    std::optional<std::string> v = env.get(name);
    if (v && !qb::text::is_utf8(*v)) {
        return std::nullopt;
    }
    return v;
}

bool contains(const std::string& haystack, std::string_view needle) {
    return haystack.find(needle) != std::string::npos;
}

} // namespace

Theme theme_for(ColorDepth depth) {
    switch (depth) {
    case ColorDepth::TrueColor:
        return Theme{
            Color::rgb(7, 18, 30),     Color::rgb(13, 31, 49),    Color::rgb(24, 50, 72),
            Color::rgb(236, 240, 239), Color::rgb(151, 169, 178), Color::rgb(211, 139, 86),
            Color::rgb(65, 196, 201),  Color::rgb(104, 211, 145), Color::rgb(243, 113, 116)};
    case ColorDepth::Indexed256:
        return Theme{Color::indexed(233), Color::indexed(234), Color::indexed(24),
                     Color::indexed(255), Color::indexed(109), Color::indexed(173),
                     Color::indexed(44),  Color::indexed(114), Color::indexed(210)};
    case ColorDepth::Basic16:
        return Theme{Color::named(NamedColor::Black),    Color::named(NamedColor::Black),
                     Color::named(NamedColor::DarkGray), Color::named(NamedColor::White),
                     Color::named(NamedColor::Gray),     Color::named(NamedColor::Yellow),
                     Color::named(NamedColor::Cyan),     Color::named(NamedColor::Green),
                     Color::named(NamedColor::Red)};
    case ColorDepth::None:
        break;
    }
    return Theme{};
}

Capabilities detect_capabilities(const SystemEnv& env) {
    std::optional<std::string> term = text_var(env, "TERM");
    std::optional<std::string> colorterm = text_var(env, "COLORTERM");
    std::optional<std::string> locale;
    for (std::string_view name : {"LC_ALL", "LC_CTYPE", "LANG"}) {
        locale = text_var(env, name);
        if (locale) {
            break;
        }
    }
    std::string term_lower = term ? qb::text::ascii_lower(*term) : std::string();
    std::string colorterm_lower = colorterm ? qb::text::ascii_lower(*colorterm) : std::string();

    bool dumb = term && term_lower == "dumb";
    bool truecolor =
        (colorterm && (colorterm_lower == "truecolor" || colorterm_lower == "24bit")) ||
        (term && (contains(term_lower, "truecolor") || contains(term_lower, "24bit")));
    bool colors256 = term && contains(term_lower, "256color");
    bool utf8_locale = true;
    if (locale) {
        std::string l = qb::text::ascii_lower(*locale);
        utf8_locale = contains(l, "utf-8") || contains(l, "utf8");
    }
    bool colour = !env.has("NO_COLOR") && !dumb;

    Capabilities caps;
    if (!colour) {
        caps.color = ColorDepth::None;
    } else if (truecolor) {
        caps.color = ColorDepth::TrueColor;
    } else if (colors256) {
        caps.color = ColorDepth::Indexed256;
    } else {
        caps.color = ColorDepth::Basic16;
    }
    caps.theme = theme_for(caps.color);
    caps.unicode = utf8_locale && !dumb && !env.has("QUILLBARROW_ASCII");
    caps.animate = !env.has("QUILLBARROW_REDUCE_MOTION") && !dumb;
    return caps;
}

} // namespace qb::tui
