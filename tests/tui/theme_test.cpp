#include "tui/theme.hpp"

#include <gtest/gtest.h>

namespace qb::tui {
namespace {

using term::Color;
using term::NamedColor;

Capabilities caps(std::initializer_list<std::pair<const char*, std::string>> vars) {
    SystemEnv env;
    for (const auto& [k, v] : vars) {
        env.vars.emplace(k, v);
    }
    return detect_capabilities(env);
}

const std::string kUtf8 = "en_US.UTF-8";

TEST(Capabilities, ColourDepth) {
    // Nothing known: sixteen colours, Unicode, animation.
    Capabilities none = caps({});
    EXPECT_EQ(none.color, ColorDepth::Basic16);
    EXPECT_TRUE(none.unicode);
    EXPECT_TRUE(none.animate);

    EXPECT_EQ(caps({{"TERM", "xterm-256color"}}).color, ColorDepth::Indexed256);
    EXPECT_EQ(caps({{"TERM", "XTERM-256COLOR"}}).color, ColorDepth::Indexed256);
    EXPECT_EQ(caps({{"TERM", "xterm"}}).color, ColorDepth::Basic16);
    EXPECT_EQ(caps({{"TERM", "xterm-256color"}, {"COLORTERM", "TrueColor"}}).color,
              ColorDepth::TrueColor);
    EXPECT_EQ(caps({{"COLORTERM", "24BIT"}}).color, ColorDepth::TrueColor);
    // COLORTERM must match as a whole; TERM may contain the word anywhere.
    EXPECT_EQ(caps({{"COLORTERM", "truecolor-ish"}}).color, ColorDepth::Basic16);
    EXPECT_EQ(caps({{"TERM", "xterm-truecolor-x"}}).color, ColorDepth::TrueColor);
    EXPECT_EQ(caps({{"TERM", "foot-24bit"}}).color, ColorDepth::TrueColor);
    // Values that are not valid UTF-8 count as absent.
    EXPECT_EQ(caps({{"TERM", "xterm-256color\xFF"}}).color, ColorDepth::Basic16);
    EXPECT_EQ(caps({{"COLORTERM", "truecolor\xFF"}, {"TERM", "screen-256color"}}).color,
              ColorDepth::Indexed256);

    // NO_COLOR with any value, even empty, removes colour and nothing else.
    Capabilities no_color = caps({{"NO_COLOR", ""}, {"COLORTERM", "truecolor"}});
    EXPECT_EQ(no_color.color, ColorDepth::None);
    EXPECT_EQ(no_color.theme, Theme{});
    EXPECT_TRUE(no_color.unicode);
    EXPECT_TRUE(no_color.animate);
    EXPECT_EQ(caps({{"NO_COLOR", "\xFF"}}).color, ColorDepth::None);
}

TEST(Capabilities, DumbTerminal) {
    Capabilities dumb = caps({{"TERM", "DUMB"}, {"COLORTERM", "truecolor"}, {"LANG", kUtf8}});
    EXPECT_EQ(dumb.color, ColorDepth::None);
    EXPECT_FALSE(dumb.unicode);
    EXPECT_FALSE(dumb.animate);
    EXPECT_EQ(dumb.theme, Theme{});

    Capabilities longer = caps({{"TERM", "dumb-ish"}});
    EXPECT_EQ(longer.color, ColorDepth::Basic16);
    EXPECT_TRUE(longer.unicode);
    EXPECT_TRUE(longer.animate);
}

TEST(Capabilities, GlyphsFollowTheLocaleAndAsciiWish) {
    EXPECT_TRUE(caps({{"LANG", kUtf8}}).unicode);
    EXPECT_TRUE(caps({{"LC_CTYPE", "C.utf8"}}).unicode);
    EXPECT_FALSE(caps({{"LANG", "C"}}).unicode);
    // The first locale variable that is set decides, even when it is empty.
    EXPECT_FALSE(caps({{"LC_ALL", ""}, {"LANG", kUtf8}}).unicode);
    EXPECT_FALSE(caps({{"LC_ALL", "C"}, {"LANG", kUtf8}}).unicode);
    EXPECT_TRUE(caps({{"LC_ALL", "de_DE.UTF8"}, {"LANG", "C"}}).unicode);
    EXPECT_FALSE(caps({{"LC_CTYPE", "POSIX"}, {"LANG", kUtf8}}).unicode);
    // A locale value that is not valid UTF-8 is skipped for the next one.
    EXPECT_TRUE(caps({{"LC_ALL", "C\xFF"}, {"LANG", kUtf8}}).unicode);

    Capabilities ascii = caps({{"QUILLBARROW_ASCII", "0"}, {"LANG", kUtf8}});
    EXPECT_FALSE(ascii.unicode);
    EXPECT_TRUE(ascii.animate);
    EXPECT_EQ(ascii.color, ColorDepth::Basic16);

    Capabilities calm = caps({{"QUILLBARROW_REDUCE_MOTION", ""}});
    EXPECT_FALSE(calm.animate);
    EXPECT_TRUE(calm.unicode);
}

TEST(Theme, PaletteColumns) {
    Theme tc = caps({{"COLORTERM", "truecolor"}}).theme;
    EXPECT_EQ(tc.background, Color::rgb(7, 18, 30));
    EXPECT_EQ(tc.surface, Color::rgb(13, 31, 49));
    EXPECT_EQ(tc.border, Color::rgb(24, 50, 72));
    EXPECT_EQ(tc.text, Color::rgb(236, 240, 239));
    EXPECT_EQ(tc.muted, Color::rgb(151, 169, 178));
    EXPECT_EQ(tc.accent, Color::rgb(211, 139, 86));
    EXPECT_EQ(tc.info, Color::rgb(65, 196, 201));
    EXPECT_EQ(tc.success, Color::rgb(104, 211, 145));
    EXPECT_EQ(tc.danger, Color::rgb(243, 113, 116));

    Theme t256 = caps({{"TERM", "tmux-256color"}}).theme;
    EXPECT_EQ(t256, (Theme{Color::indexed(233), Color::indexed(234), Color::indexed(24),
                           Color::indexed(255), Color::indexed(109), Color::indexed(173),
                           Color::indexed(44), Color::indexed(114), Color::indexed(210)}));

    Theme t16 = caps({}).theme;
    EXPECT_EQ(t16, (Theme{Color::named(NamedColor::Black), Color::named(NamedColor::Black),
                          Color::named(NamedColor::DarkGray), Color::named(NamedColor::White),
                          Color::named(NamedColor::Gray), Color::named(NamedColor::Yellow),
                          Color::named(NamedColor::Cyan), Color::named(NamedColor::Green),
                          Color::named(NamedColor::Red)}));
}

} // namespace
} // namespace qb::tui
