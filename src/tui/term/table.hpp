#pragma once

// A table of one-line rows under a header, with a highlighted row that it scrolls to.

#include "tui/term/widgets.hpp"

#include <optional>
#include <string>
#include <vector>

namespace qb::term {

struct Row {
    std::vector<Line> cells;
    Style style;
    /// Blank rows below this one (used for the gap under a header).
    std::uint16_t bottom_margin = 0;

    Row() = default;
    Row(std::vector<Line> c, Style s = {}) : cells(std::move(c)), style(s) {}
};

/// Which row is highlighted and the first row shown; the table adjusts the offset so that
/// the highlighted row is visible and writes it back.
struct TableState {
    std::optional<std::size_t> selected;
    std::size_t offset = 0;
};

struct Table {
    std::vector<Row> rows;
    std::optional<Row> header;
    std::vector<Constraint> widths;
    std::uint16_t column_spacing = 1;
    std::optional<Block> block;
    /// Laid over the whole highlighted row, last.
    Style highlight_style;
    /// Drawn in front of the highlighted row; its width is kept free in front of every
    /// row while a row is highlighted.
    std::string highlight_symbol;

    void render(Rect area, Buffer& buf, TableState& state) const;
    /// Draws with a state that highlights nothing.
    void render(Rect area, Buffer& buf) const;
};

} // namespace qb::term
