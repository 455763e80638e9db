#pragma once

// The plain widgets: Clear, Block and Paragraph. Each draws into a rectangle of a buffer
// and never outside it.

#include "tui/term/buffer.hpp"

#include <optional>

namespace qb::term {

/// Resets every cell of the area to the default cell, so what lay below does not show.
struct Clear {
    void render(Rect area, Buffer& buf) const;
};

/// Which sides of a block have a border.
struct Borders {
    static constexpr std::uint8_t NONE = 0;
    static constexpr std::uint8_t TOP = 1;
    static constexpr std::uint8_t BOTTOM = 2;
    static constexpr std::uint8_t LEFT = 4;
    static constexpr std::uint8_t RIGHT = 8;
    static constexpr std::uint8_t ALL = TOP | BOTTOM | LEFT | RIGHT;
};

/// Plain: ┌ ┐ └ ┘ │ ─; Rounded: ╭ ╮ ╰ ╯ │ ─.
enum class BorderType : std::uint8_t { Plain, Rounded };

/// A frame around an area, with an optional title on its top row.
struct Block {
    std::uint8_t borders = Borders::NONE;
    BorderType border_type = BorderType::Plain;
    Style border_style;
    Style style;
    Style title_style;
    std::optional<Line> title;

    static Block bordered() {
        Block b;
        b.borders = Borders::ALL;
        return b;
    }

    /// The area inside the borders.
    Rect inner(Rect area) const;
    /// Fills the area with the block style, draws the borders, then the title over the
    /// top row: from the column after a left border, cut at the right border, in the
    /// title style laid over the border cells (an unstyled title shows in the border
    /// colour).
    void render(Rect area, Buffer& buf) const;
};

/// Draws the block, when there is one, and returns the area left inside it.
Rect render_block(const std::optional<Block>& block, Rect area, Buffer& buf);

/// Word wrapping of a paragraph; `trim` drops the leading blanks of every wrapped line.
struct Wrap {
    bool trim = true;
};

/// Lines of text in an optional block, aligned and optionally wrapped. Lines below the
/// area are not drawn; without wrapping, a line wider than the area is cut at the right.
struct Paragraph {
    Text text;
    std::optional<Block> block;
    Style style;
    Alignment alignment = Alignment::Left;
    std::optional<Wrap> wrap;

    Paragraph() = default;
    explicit Paragraph(Text t) : text(std::move(t)) {}
    Paragraph& with_block(Block b) {
        block = std::move(b);
        return *this;
    }
    Paragraph& with_style(Style s) {
        style = s;
        return *this;
    }
    Paragraph& with_alignment(Alignment a) {
        alignment = a;
        return *this;
    }
    Paragraph& wrapped(bool trim) {
        wrap = Wrap{trim};
        return *this;
    }

    void render(Rect area, Buffer& buf) const;
};

/// A styled cluster, the unit of line layout.
struct StyledGrapheme {
    Grapheme g;
    Style style;
};

/// The line's clusters, each with the line's style patched by its span's.
std::vector<StyledGrapheme> styled_graphemes(const Line& line);

/// Word wrapping of one line to `width` columns: breaks at blanks, dropping the blanks at
/// each break; a word wider than the width is broken between clusters. With `trim` the
/// line's own leading blanks are dropped too, otherwise they are kept as indentation.
/// An empty line gives one empty row.
std::vector<std::vector<StyledGrapheme>> wrap_line(const std::vector<StyledGrapheme>& line,
                                                   std::uint16_t width, bool trim);

} // namespace qb::term
