#pragma once

// Rectangles of terminal cells and the splitting of one rectangle into parts.

#include <cstdint>
#include <vector>

namespace qb::term {

struct Margin {
    std::uint16_t horizontal = 0;
    std::uint16_t vertical = 0;
};

/// A rectangle of cells. All arithmetic saturates: nothing goes below 0 or past 65535.
struct Rect {
    std::uint16_t x = 0;
    std::uint16_t y = 0;
    std::uint16_t width = 0;
    std::uint16_t height = 0;

    std::uint32_t area() const { return std::uint32_t{width} * height; }
    bool is_empty() const { return width == 0 || height == 0; }
    std::uint16_t left() const { return x; }
    std::uint16_t top() const { return y; }
    /// One past the last column.
    std::uint16_t right() const;
    /// One past the last row.
    std::uint16_t bottom() const;
    /// The rectangle shrunk by the margin on every side.
    Rect inner(Margin m) const;
    /// The common part of both rectangles (empty, at this one's origin, when none).
    Rect intersection(const Rect& other) const;

    bool operator==(const Rect&) const = default;
};

/// The size asked of one part of a split.
struct Constraint {
    enum class Kind : std::uint8_t { Length, Min, Percentage };
    Kind kind = Kind::Length;
    std::uint16_t value = 0;

    /// Exactly `n` cells.
    static constexpr Constraint length(std::uint16_t n) { return {Kind::Length, n}; }
    /// At least `n` cells; takes the space that the other parts leave.
    static constexpr Constraint min(std::uint16_t n) { return {Kind::Min, n}; }
    /// `p` per cent of the space (values above 100 count as 100).
    static constexpr Constraint percentage(std::uint16_t p) { return {Kind::Percentage, p}; }

    bool operator==(const Constraint&) const = default;
};

enum class Direction : std::uint8_t { Vertical, Horizontal };

/// Splits a rectangle along one direction.
///
/// Rounding rule: Length and Min parts get their cells, Percentage parts their exact
/// share of the space left after spacing; what remains is shared equally among the Min
/// parts (the last one takes the remainder) and stays unused when there is none. When
/// the parts ask for more than there is, they shrink from the last one backwards. Each
/// boundary is then rounded half up on the running total, so the parts sum exactly.
struct Layout {
    Direction direction = Direction::Vertical;
    std::vector<Constraint> constraints;
    std::uint16_t spacing = 0;

    static Layout vertical(std::vector<Constraint> c) {
        return {Direction::Vertical, std::move(c), 0};
    }
    static Layout horizontal(std::vector<Constraint> c) {
        return {Direction::Horizontal, std::move(c), 0};
    }
    Layout& with_spacing(std::uint16_t s) {
        spacing = s;
        return *this;
    }

    /// One rectangle per constraint, in order.
    std::vector<Rect> split(Rect area) const;
};

} // namespace qb::term
