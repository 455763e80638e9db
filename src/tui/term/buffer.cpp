#include "tui/term/buffer.hpp"

namespace qb::term {

void Cell::set_style(const Style& s) {
    if (s.fg) {
        fg = *s.fg;
    }
    if (s.bg) {
        bg = *s.bg;
    }
    mods = (mods | s.add) & ~s.sub;
}

Style Cell::style() const {
    Style s;
    s.fg = fg;
    s.bg = bg;
    s.add = mods;
    return s;
}

Buffer::Buffer(std::uint16_t width, std::uint16_t height)
    : width_(width), height_(height), cells_(std::size_t{width} * height) {}

void Buffer::reset() {
    for (Cell& c : cells_) {
        c.reset();
    }
}

void Buffer::resize(std::uint16_t width, std::uint16_t height) {
    width_ = width;
    height_ = height;
    cells_.assign(std::size_t{width} * height, Cell{});
}

void Buffer::set_style(Rect r, const Style& style) {
    r = r.intersection(area());
    for (std::uint16_t y = r.top(); y < r.bottom(); ++y) {
        for (std::uint16_t x = r.left(); x < r.right(); ++x) {
            at(x, y).set_style(style);
        }
    }
}

void Buffer::set_grapheme(std::uint16_t x, std::uint16_t y, const Grapheme& g, const Style& style) {
    if (y >= height_ || x >= width_ || g.width == 0) {
        return;
    }
    std::uint16_t w = g.width >= 2 ? 2 : 1;
    if (std::uint32_t{x} + w > width_) {
        return;
    }
    // Blank the other half of any wide cluster that this write cuts.
    if (at(x, y).covered() && x > 0) {
        at(x - 1, y).symbol = " ";
    }
    std::uint16_t last = static_cast<std::uint16_t>(x + w - 1);
    if (last + 1 < width_ && at(last + 1, y).covered()) {
        at(last + 1, y).symbol = " ";
    }
    Cell& c = at(x, y);
    c.symbol = g.symbol;
    c.set_style(style);
    if (w == 2) {
        Cell& right = at(x + 1, y);
        right.symbol.clear();
        right.set_style(style);
    }
}

std::uint16_t Buffer::set_stringn(std::uint16_t x, std::uint16_t y, std::string_view text,
                                  std::size_t max_width, const Style& style) {
    if (y >= height_ || x >= width_) {
        return x;
    }
    std::size_t limit = std::min<std::size_t>(std::size_t{x} + max_width, width_);
    for (const Grapheme& g : graphemes(text)) {
        if (x + std::size_t{g.width} > limit) {
            break;
        }
        set_grapheme(x, y, g, style);
        x = static_cast<std::uint16_t>(x + g.width);
    }
    return x;
}

std::uint16_t Buffer::set_line(std::uint16_t x, std::uint16_t y, const Line& line,
                               std::size_t max_width) {
    std::size_t end = std::size_t{x} + max_width;
    for (const Span& span : line.spans) {
        if (x >= end) {
            break;
        }
        x = set_stringn(x, y, span.text, end - x, line.style.patch(span.style));
    }
    return x;
}

std::string Buffer::row_text(std::uint16_t y) const {
    std::string out;
    for (std::uint16_t x = 0; x < width_; ++x) {
        out += at(x, y).symbol;
    }
    return out;
}

std::vector<std::string> Buffer::to_lines() const {
    std::vector<std::string> out;
    for (std::uint16_t y = 0; y < height_; ++y) {
        out.push_back(row_text(y));
    }
    return out;
}

Buffer render_to_buffer(std::uint16_t width, std::uint16_t height,
                        const std::function<void(Frame&)>& draw) {
    Buffer buf(width, height);
    Frame frame{buf};
    draw(frame);
    return buf;
}

} // namespace qb::term
