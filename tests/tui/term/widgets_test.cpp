#include "tui/term/table.hpp"
#include "tui/term/widgets.hpp"

#include <fmt/format.h>
#include <gtest/gtest.h>

namespace qb::term {
namespace {

using Lines = std::vector<std::string>;
const Color kBorder = Color::indexed(24);
const Color kText = Color::indexed(255);
const Color kSurface = Color::indexed(234);

Buffer draw(std::uint16_t w, std::uint16_t h, const std::function<void(Frame&)>& fn) {
    return render_to_buffer(w, h, fn);
}

TEST(Block, BorderSetsTitlesAndInnerArea) {
    Block plain = Block::bordered();
    plain.title = Line(" Storage ");
    Buffer b = draw(12, 3, [&](Frame& f) { f.render_widget(plain, f.area()); });
    EXPECT_EQ(b.to_lines(), (Lines{"┌ Storage ─┐", "│          │", "└──────────┘"}));
    EXPECT_EQ(plain.inner(Rect{0, 0, 12, 3}), (Rect{1, 1, 10, 1}));

    // Rounded corners; a title longer than the top edge is cut before the right corner.
    Block rounded = Block::bordered();
    rounded.border_type = BorderType::Rounded;
    rounded.title = Line("abcdefgh");
    b = draw(6, 2, [&](Frame& f) { f.render_widget(rounded, f.area()); });
    EXPECT_EQ(b.to_lines(), (Lines{"╭abcd╮", "╰────╯"}));

    // Only a bottom rule: no corners, nothing inside taken away but the last row.
    Block rule;
    rule.borders = Borders::BOTTOM;
    b = draw(4, 3, [&](Frame& f) { f.render_widget(rule, f.area()); });
    EXPECT_EQ(b.to_lines(), (Lines{"    ", "    ", "────"}));
    EXPECT_EQ(rule.inner(Rect{0, 0, 4, 3}), (Rect{0, 0, 4, 2}));
}

TEST(Block, UnstyledTitleShowsInBorderColourAndStyledTitleOverrides) {
    Block b = Block::bordered();
    b.border_style = Style{}.with_fg(kBorder);
    b.style = Style{}.with_bg(kSurface);
    b.title = Line(" Keyboard ");
    Buffer buf = draw(14, 3, [&](Frame& f) { f.render_widget(b, f.area()); });
    EXPECT_EQ(buf.style_at(2, 0), Style{}.with_fg(kBorder).with_bg(kSurface));
    EXPECT_EQ(buf.style_at(5, 1), Style{}.with_fg(Color::reset()).with_bg(kSurface));

    b.title_style = Style{}.with_fg(kText).bold();
    buf = draw(14, 3, [&](Frame& f) { f.render_widget(b, f.area()); });
    EXPECT_EQ(buf.style_at(2, 0), Style{}.with_fg(kText).with_bg(kSurface).bold());
    EXPECT_EQ(buf.style_at(13, 0), Style{}.with_fg(kBorder).with_bg(kSurface));
}

TEST(Clear, ResetsWhatLayBelow) {
    Buffer buf = draw(5, 2, [&](Frame& f) {
        Paragraph p = Paragraph(Text("xxxxx")).with_style(Style{}.with_bg(kSurface));
        f.render_widget(p, f.area());
        f.render_widget(Clear{}, Rect{1, 0, 2, 5});
    });
    EXPECT_EQ(buf.to_lines(), (Lines{"x  xx", "     "}));
    EXPECT_EQ(buf.at(1, 1), Cell{});
    EXPECT_EQ(buf.at(3, 1).bg, kSurface);

    // A wide character cut by either edge loses its outside half as well: a wide glyph
    // left standing would spill into the cleared box on the terminal.
    buf = draw(6, 1, [&](Frame& f) {
        f.render_widget(Paragraph(Text("漢字漢")), f.area());
        f.render_widget(Clear{}, Rect{1, 0, 2, 1});
    });
    EXPECT_EQ(buf.to_lines(), (Lines{"    漢"}));
    EXPECT_FALSE(buf.at(3, 0).covered());
    EXPECT_TRUE(buf.at(5, 0).covered());
}

TEST(Paragraph, AlignmentCuttingAndHeight) {
    Paragraph p;
    p.text = Text(std::vector<Line>{Line("ab"), Line("cd").aligned(Alignment::Right),
                                    Line("a line that is too wide"), Line("hidden")});
    p.alignment = Alignment::Center;
    Buffer b = draw(7, 3, [&](Frame& f) { f.render_widget(p, f.area()); });
    EXPECT_EQ(b.to_lines(), (Lines{"  ab   ", "     cd", "a line "}));

    // Inside a block, lines start after the border.
    p.block = Block::bordered();
    p.text = Text("hey");
    p.alignment = Alignment::Left;
    b = draw(7, 3, [&](Frame& f) { f.render_widget(p, f.area()); });
    EXPECT_EQ(b.row_text(1), "│hey  │");
}

TEST(Paragraph, WrappingWithAndWithoutTrim) {
    Paragraph p;
    p.text = Text(std::vector<Line>{Line("  alpha beta gamma"), Line(""), Line("x")});
    p.wrap = Wrap{true};
    Buffer b = draw(10, 5, [&](Frame& f) { f.render_widget(p, f.area()); });
    EXPECT_EQ(b.to_lines(),
              (Lines{"alpha beta", "gamma     ", "          ", "x         ", "          "}));

    p.wrap = Wrap{false};
    b = draw(10, 5, [&](Frame& f) { f.render_widget(p, f.area()); });
    EXPECT_EQ(b.to_lines(),
              (Lines{"  alpha   ", "beta gamma", "          ", "x         ", "          "}));

    // A word longer than the width breaks between clusters, wide ones kept whole.
    Paragraph wide;
    wide.text = Text("go 日本語日本");
    wide.wrap = Wrap{true};
    b = draw(5, 3, [&](Frame& f) { f.render_widget(wide, f.area()); });
    EXPECT_EQ(b.to_lines(), (Lines{"go   ", "日本 ", "語日 "}));

    // Centred wrapped lines are centred one by one.
    Paragraph centred;
    centred.text = Text("Resize to at least 58 x 16 | q to quit");
    centred.wrap = Wrap{true};
    centred.alignment = Alignment::Center;
    b = draw(20, 3, [&](Frame& f) { f.render_widget(centred, f.area()); });
    EXPECT_EQ(b.to_lines(),
              (Lines{" Resize to at least ", "58 x 16 | q to quit ", "                    "}));
}

TEST(Paragraph, SpanStylesLayOverLineAndParagraphStyles) {
    Paragraph p;
    Line l({Span("A", Style{}.with_fg(kText).bold()), Span("B")});
    l.style = Style{}.with_fg(kBorder);
    p.text = Text(l);
    p.style = Style{}.with_fg(Color::named(NamedColor::Red)).with_bg(kSurface);
    Buffer b = draw(3, 1, [&](Frame& f) { f.render_widget(p, f.area()); });
    EXPECT_EQ(b.style_at(0, 0), Style{}.with_fg(kText).with_bg(kSurface).bold());
    EXPECT_EQ(b.style_at(1, 0), Style{}.with_fg(kBorder).with_bg(kSurface));
    EXPECT_EQ(b.style_at(2, 0), Style{}.with_fg(Color::named(NamedColor::Red)).with_bg(kSurface));
}

Table numbered_table(std::size_t n) {
    Table t;
    for (std::size_t i = 0; i < n; ++i) {
        t.rows.push_back(Row({Line(fmt::format("r{}", i)), Line("k")}));
    }
    Row header({Line("ID"), Line("KIND")});
    header.bottom_margin = 1;
    t.header = header;
    t.widths = {Constraint::length(3), Constraint::min(4)};
    t.block = Block::bordered();
    t.highlight_symbol = "> ";
    t.highlight_style = Style{}.with_bg(kBorder).bold();
    return t;
}

TEST(Table, HeaderHighlightSymbolAndColumns) {
    Table t = numbered_table(2);
    TableState st;
    st.selected = 1;
    Buffer b = draw(12, 6, [&](Frame& f) { f.render_stateful_widget(t, f.area(), st); });
    EXPECT_EQ(b.to_lines(), (Lines{"┌──────────┐", "│  ID  KIND│", "│          │", "│  r0  k   │",
                                   "│> r1  k   │", "└──────────┘"}));
    // The highlight covers the whole inner row, symbol column included, over cell styles.
    for (std::uint16_t x = 1; x <= 10; ++x) {
        EXPECT_EQ(b.at(x, 4).bg, kBorder) << x;
        EXPECT_TRUE(b.at(x, 4).mods.contains(Modifier::BOLD)) << x;
    }
    EXPECT_EQ(b.at(1, 3).bg, Color::reset());

    // Nothing selected: no symbol column at all.
    TableState none;
    b = draw(12, 6, [&](Frame& f) { f.render_stateful_widget(t, f.area(), none); });
    EXPECT_EQ(b.row_text(1), "│ID  KIND  │");

    // No rows: the selection is dropped and no symbol column is reserved.
    Table empty = numbered_table(0);
    TableState sel;
    sel.selected = 0;
    b = draw(12, 6, [&](Frame& f) { f.render_stateful_widget(empty, f.area(), sel); });
    EXPECT_EQ(b.row_text(1), "│ID  KIND  │");
    EXPECT_FALSE(sel.selected.has_value());
}

TEST(Table, ScrollsJustFarEnoughToShowTheSelectedRow) {
    Table t = numbered_table(30);
    auto shown = [&](std::size_t cursor) {
        TableState st;
        st.selected = cursor;
        Buffer b = draw(12, 14, [&](Frame& f) { f.render_stateful_widget(t, f.area(), st); });
        std::vector<std::string> ids;
        for (std::uint16_t y = 3; y < 13; ++y) {
            std::string row = b.row_text(y);
            ids.push_back(row.substr(row.find('r'), 3));
        }
        return std::make_pair(ids, st.offset);
    };
    auto [page, offset] = shown(15); // capacity 10: rows 6 to 15, the cursor on the last line
    EXPECT_EQ(offset, 6u);
    EXPECT_EQ(page.front(), "r6 ");
    EXPECT_EQ(page.back(), "r15");

    auto [first, off0] = shown(5);
    EXPECT_EQ(off0, 0u);
    EXPECT_EQ(first.front(), "r0 ");
    EXPECT_EQ(first.back(), "r9 ");

    // A cursor past the end highlights the last row.
    TableState st;
    st.selected = 99;
    Buffer b = draw(12, 14, [&](Frame& f) { f.render_stateful_widget(t, f.area(), st); });
    EXPECT_EQ(st.selected, 29u);
    EXPECT_EQ(b.row_text(12).substr(0, 8), "│> r29");

    // A kept offset scrolls back up when the selection moves above it.
    TableState kept;
    kept.offset = 20;
    kept.selected = 12;
    draw(12, 14, [&](Frame& f) { f.render_stateful_widget(t, f.area(), kept); });
    EXPECT_EQ(kept.offset, 12u);
}

} // namespace
} // namespace qb::term
