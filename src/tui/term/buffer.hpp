#pragma once

// The cell grid that widgets draw into and that the terminal compares between frames.

#include "tui/term/geometry.hpp"
#include "tui/term/style.hpp"
#include "tui/term/text.hpp"

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace qb::term {

/// One terminal cell. A cell covered by the right half of a wide cluster has an empty
/// symbol; its content is drawn by the cell before it.
struct Cell {
    std::string symbol = " ";
    Color fg;
    Color bg;
    Modifier mods;

    /// Patches the style onto the cell: colours replaced when set, modifiers added and
    /// removed.
    void set_style(const Style& s);
    void reset() { *this = Cell{}; }
    bool covered() const { return symbol.empty(); }
    /// The cell's look as a style with every field set.
    Style style() const;

    bool operator==(const Cell&) const = default;
};

/// A grid of cells with its origin at (0, 0).
class Buffer {
public:
    Buffer() = default;
    Buffer(std::uint16_t width, std::uint16_t height);

    Rect area() const { return Rect{0, 0, width_, height_}; }
    std::uint16_t width() const { return width_; }
    std::uint16_t height() const { return height_; }

    /// The cell at (x, y); the position must lie inside the buffer.
    Cell& at(std::uint16_t x, std::uint16_t y) { return cells_[index(x, y)]; }
    const Cell& at(std::uint16_t x, std::uint16_t y) const { return cells_[index(x, y)]; }

    /// Every cell back to the default.
    void reset();
    /// New size; every cell back to the default.
    void resize(std::uint16_t width, std::uint16_t height);

    /// Patches the style onto every cell of the rectangle (clipped to the buffer).
    void set_style(Rect area, const Style& style);

    /// Writes one cluster of the given width (1 or 2) at (x, y), patching the style onto
    /// the cells it takes. A wide cluster that does not fit before the right edge is not
    /// written; a wide cluster cut in half by this write leaves a blank in its other half.
    /// The symbol must be one sanitised cluster (see graphemes()).
    void set_grapheme(std::uint16_t x, std::uint16_t y, const Grapheme& g, const Style& style);

    /// Writes the text from (x, y), cluster by cluster, taking at most `max_width` columns
    /// and never crossing the right edge. Returns the column after the last cluster.
    std::uint16_t set_stringn(std::uint16_t x, std::uint16_t y, std::string_view text,
                              std::size_t max_width, const Style& style);
    /// Writes each span with the line's style patched by the span's. Alignment is ignored.
    std::uint16_t set_line(std::uint16_t x, std::uint16_t y, const Line& line,
                           std::size_t max_width);

    /// The symbols of row y joined (covered cells add nothing).
    std::string row_text(std::uint16_t y) const;
    /// Every row as text.
    std::vector<std::string> to_lines() const;
    /// The look of the cell at (x, y).
    Style style_at(std::uint16_t x, std::uint16_t y) const { return at(x, y).style(); }

    bool operator==(const Buffer&) const = default;

private:
    std::size_t index(std::uint16_t x, std::uint16_t y) const {
        return std::size_t{y} * width_ + x;
    }

    std::uint16_t width_ = 0;
    std::uint16_t height_ = 0;
    std::vector<Cell> cells_;
};

/// The buffer of one frame being drawn, with the area it covers.
struct Frame {
    Buffer& buffer;

    Rect area() const { return buffer.area(); }
    template <class W>
    void render_widget(const W& widget, Rect area) {
        widget.render(area, buffer);
    }
    template <class W, class S>
    void render_stateful_widget(const W& widget, Rect area, S& state) {
        widget.render(area, buffer, state);
    }
};

/// Draws one frame of the given size into a fresh buffer, without any terminal.
Buffer render_to_buffer(std::uint16_t width, std::uint16_t height,
                        const std::function<void(Frame&)>& draw);

} // namespace qb::term
