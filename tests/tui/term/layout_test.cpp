#include "tui/term/geometry.hpp"

#include <gtest/gtest.h>

namespace qb::term {
namespace {

using C = Constraint;

std::vector<std::uint16_t> widths(const std::vector<Rect>& rs) {
    std::vector<std::uint16_t> out;
    for (const Rect& r : rs) {
        out.push_back(r.width);
    }
    return out;
}

std::vector<std::uint16_t> heights(const std::vector<Rect>& rs) {
    std::vector<std::uint16_t> out;
    for (const Rect& r : rs) {
        out.push_back(r.height);
    }
    return out;
}

TEST(Rect, SaturatesAndClips) {
    Rect r{65530, 65530, 100, 100};
    EXPECT_EQ(r.right(), 65535);
    EXPECT_EQ(r.bottom(), 65535);

    Rect a{2, 3, 10, 4};
    EXPECT_EQ(a.inner(Margin{1, 1}), (Rect{3, 4, 8, 2}));
    EXPECT_TRUE(a.inner(Margin{6, 0}).is_empty());
    EXPECT_EQ(a.intersection(Rect{0, 0, 5, 5}), (Rect{2, 3, 3, 2}));
    EXPECT_TRUE(a.intersection(Rect{20, 20, 5, 5}).is_empty());
    EXPECT_EQ(a.area(), 40u);
}

TEST(Layout, FrameRowsAndBodySplits) {
    // Header, body and footer of the smallest full frame.
    auto rows = Layout::vertical({C::length(3), C::min(8), C::length(2)}).split({0, 0, 58, 16});
    EXPECT_EQ(heights(rows), (std::vector<std::uint16_t>{3, 11, 2}));
    EXPECT_EQ(rows[1].y, 3);
    EXPECT_EQ(rows[2].y, 14);

    // Percentages round on the running boundary, so the parts always sum to the whole.
    auto side = Layout::horizontal({C::percentage(68), C::percentage(32)});
    EXPECT_EQ(widths(side.split({0, 0, 104, 10})), (std::vector<std::uint16_t>{71, 33}));
    EXPECT_EQ(widths(side.split({0, 0, 103, 10})), (std::vector<std::uint16_t>{70, 33}));
    auto halves = Layout::horizontal({C::percentage(50), C::percentage(50)}).split({4, 0, 5, 1});
    EXPECT_EQ(widths(halves), (std::vector<std::uint16_t>{3, 2}));
    EXPECT_EQ(halves[1].x, 7);

    auto centred = Layout::horizontal({C::percentage(5), C::percentage(90), C::percentage(5)});
    auto parts = centred.split({0, 0, 58, 1});
    EXPECT_EQ(widths(parts), (std::vector<std::uint16_t>{3, 52, 3}));
    EXPECT_EQ(parts[1].x, 3);

    auto stacked = Layout::vertical({C::min(10), C::length(8)}).split({0, 5, 80, 18});
    EXPECT_EQ(heights(stacked), (std::vector<std::uint16_t>{10, 8}));
    EXPECT_EQ(stacked[1].y, 15);
}

TEST(Layout, MinSharesLeftoverAndOvercommitShrinksFromTheEnd) {
    // Two Min parts share the rest; the last takes the odd cell.
    auto mins = Layout::horizontal({C::length(2), C::min(1), C::min(1)}).split({0, 0, 9, 1});
    EXPECT_EQ(widths(mins), (std::vector<std::uint16_t>{2, 3, 4}));

    // Without a Min part the leftover stays unused.
    auto fixed = Layout::vertical({C::length(3)}).split({0, 0, 10, 10});
    EXPECT_EQ(heights(fixed), (std::vector<std::uint16_t>{3}));

    // Too little room: the last parts give way first, never below zero.
    auto tight = Layout::vertical({C::length(3), C::min(8), C::length(2)}).split({0, 0, 10, 9});
    EXPECT_EQ(heights(tight), (std::vector<std::uint16_t>{3, 6, 0}));
    EXPECT_EQ(tight[2].y, 9);
    auto none = Layout::vertical({C::length(3), C::min(8)}).split({0, 0, 10, 0});
    EXPECT_EQ(heights(none), (std::vector<std::uint16_t>{0, 0}));

    // Spacing is taken out first; columns follow one another with one blank between.
    auto cols = Layout::horizontal({C::length(2), C::length(9), C::min(10)})
                    .with_spacing(1)
                    .split({1, 0, 40, 1});
    EXPECT_EQ(widths(cols), (std::vector<std::uint16_t>{2, 9, 27}));
    EXPECT_EQ(cols[0].x, 1);
    EXPECT_EQ(cols[1].x, 4);
    EXPECT_EQ(cols[2].x, 14);
    EXPECT_EQ(cols[2].right(), 41);
}

} // namespace
} // namespace qb::term
