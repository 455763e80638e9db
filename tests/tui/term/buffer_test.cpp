#include "tui/term/buffer.hpp"

#include <gtest/gtest.h>

namespace qb::term {
namespace {

const std::string kFFFD = "\xEF\xBF\xBD";

TEST(Text, WidthsAndClusters) {
    EXPECT_EQ(display_width("cache"), 5u);
    EXPECT_EQ(display_width("日本"), 4u);
    EXPECT_EQ(display_width("e\xCC\x81"), 1u); // e + combining acute
    EXPECT_EQ(display_width("╭─╮"), 3u);

    auto g = graphemes("ae\xCC\x81日");
    ASSERT_EQ(g.size(), 3u);
    EXPECT_EQ(g[1].symbol, "e\xCC\x81");
    EXPECT_EQ(g[1].width, 1);
    EXPECT_EQ(g[2].width, 2);

    // A combining mark with nothing to attach to takes no cell at all.
    EXPECT_TRUE(graphemes("\xCC\x81").empty());
    // A right-to-left override is dropped rather than reordering what follows.
    EXPECT_EQ(display_width("a\xE2\x80\xAE"
                            "b"),
              2u);
}

TEST(Text, ControlCharactersAndInvalidBytesBecomeReplacements) {
    auto g = graphemes("c1\xC2\x85\xFF"); // NEL, then an invalid byte
    ASSERT_EQ(g.size(), 4u);
    EXPECT_EQ(g[2].symbol, kFFFD);
    EXPECT_EQ(g[3].symbol, kFFFD);
    EXPECT_EQ(display_width("a\x1b"
                            "b"),
              3u);
}

TEST(Buffer, WritesNeverCarryControlBytes) {
    Buffer buf(20, 1);
    std::string name = "dir\x1b]0;pwned\x07\r\n";
    buf.set_stringn(0, 0, name, 20, Style{});
    std::string row = buf.row_text(0);
    for (char c : row) {
        auto u = static_cast<unsigned char>(c);
        EXPECT_FALSE(u < 0x20 || u == 0x7F) << "raw control byte in row: " << int(u);
    }
    EXPECT_EQ(row.substr(0, 3 + kFFFD.size()), "dir" + kFFFD);
    EXPECT_EQ(buf.at(3, 0).symbol, kFFFD);
}

TEST(Buffer, WideClustersAndEdges) {
    Buffer buf(5, 1);
    EXPECT_EQ(buf.set_stringn(0, 0, "日本語", 5, Style{}), 4);
    EXPECT_EQ(buf.row_text(0), "日本 ");
    EXPECT_TRUE(buf.at(1, 0).covered());

    // A wide cluster that would cross the limit is left out, not half drawn.
    Buffer narrow(5, 1);
    EXPECT_EQ(narrow.set_stringn(0, 0, "ab日", 3, Style{}), 2);
    EXPECT_EQ(narrow.row_text(0), "ab   ");

    // Overwriting either half of a wide cluster blanks its other half.
    buf.set_stringn(1, 0, "x", 1, Style{});
    EXPECT_EQ(buf.row_text(0), " x本 ");
    buf.set_stringn(2, 0, "y", 1, Style{});
    EXPECT_EQ(buf.row_text(0), " xy  ");
    buf.set_stringn(3, 0, "字", 2, Style{});
    buf.set_stringn(2, 0, "中", 2, Style{});
    EXPECT_EQ(buf.row_text(0), " x中 ");
    EXPECT_TRUE(buf.at(3, 0).covered());
    EXPECT_FALSE(buf.at(4, 0).covered());

    // Writes outside the buffer do nothing.
    buf.set_stringn(9, 0, "z", 1, Style{});
    buf.set_stringn(0, 3, "z", 1, Style{});
    EXPECT_EQ(buf.to_lines(), (std::vector<std::string>{" x中 "}));
}

TEST(Buffer, StylesPatchOntoCells) {
    Color red = Color::named(NamedColor::Red);
    Color blue = Color::indexed(24);
    Buffer buf(4, 2);
    buf.set_style(Rect{0, 0, 4, 2}, Style{}.with_bg(blue));
    buf.set_stringn(0, 0, "ab", 4, Style{}.with_fg(red).bold());
    EXPECT_EQ(buf.style_at(0, 0), Style{}.with_fg(red).with_bg(blue).bold());
    EXPECT_EQ(buf.style_at(3, 1), Style{}.with_fg(Color::reset()).with_bg(blue));

    // A later patch that removes bold keeps the colours it does not set.
    buf.set_style(Rect{0, 0, 1, 1}, Style{}.remove_modifier(Modifier::BOLD));
    EXPECT_EQ(buf.style_at(0, 0), Style{}.with_fg(red).with_bg(blue));

    Style base = Style{}.with_fg(red).bold();
    Style over = Style{}.with_bg(blue).remove_modifier(Modifier::BOLD);
    Style both = base.patch(over);
    EXPECT_EQ(both.fg, red);
    EXPECT_EQ(both.bg, blue);
    EXPECT_FALSE(both.add.contains(Modifier::BOLD));
    EXPECT_TRUE(both.patch(Style{}.bold()).add.contains(Modifier::BOLD));

    Line line({Span("A", Style{}.with_fg(blue)), Span("B")});
    line.style = Style{}.with_fg(red);
    Buffer lb(3, 1);
    EXPECT_EQ(lb.set_line(0, 0, line, 3), 2);
    EXPECT_EQ(lb.at(0, 0).fg, blue);
    EXPECT_EQ(lb.at(1, 0).fg, red);
    EXPECT_EQ(lb.at(2, 0).fg, Color::reset());
}

} // namespace
} // namespace qb::term
