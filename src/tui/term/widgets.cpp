#include "tui/term/widgets.hpp"

namespace qb::term {

void Clear::render(Rect area, Buffer& buf) const {
    area = area.intersection(buf.area());
    for (std::uint16_t y = area.top(); y < area.bottom(); ++y) {
        // A wide cluster cut by an edge loses its outside half too; left standing, it
        // would spill into the cleared area on the terminal.
        if (area.left() > 0 && buf.at(area.left(), y).covered()) {
            buf.at(area.left() - 1, y).symbol = " ";
        }
        if (area.right() < buf.width() && buf.at(area.right(), y).covered()) {
            buf.at(area.right(), y).symbol = " ";
        }
        for (std::uint16_t x = area.left(); x < area.right(); ++x) {
            buf.at(x, y).reset();
        }
    }
}

Rect Block::inner(Rect area) const {
    Rect r = area;
    if ((borders & Borders::LEFT) && r.width > 0) {
        ++r.x;
        --r.width;
    }
    if ((borders & Borders::RIGHT) && r.width > 0) {
        --r.width;
    }
    if ((borders & Borders::TOP) && r.height > 0) {
        ++r.y;
        --r.height;
    }
    if ((borders & Borders::BOTTOM) && r.height > 0) {
        --r.height;
    }
    return r;
}

Rect render_block(const std::optional<Block>& block, Rect area, Buffer& buf) {
    if (!block) {
        return area;
    }
    block->render(area, buf);
    return block->inner(area);
}

namespace {

struct BorderSet {
    const char* top_left;
    const char* top_right;
    const char* bottom_left;
    const char* bottom_right;
    const char* vertical;
    const char* horizontal;
};

constexpr BorderSet kPlain{"┌", "┐", "└", "┘", "│", "─"};
constexpr BorderSet kRounded{"╭", "╮", "╰", "╯", "│", "─"};

void put(Buffer& buf, std::uint16_t x, std::uint16_t y, const char* symbol, const Style& s) {
    buf.set_grapheme(x, y, Grapheme{symbol, 1}, s);
}

} // namespace

void Block::render(Rect area, Buffer& buf) const {
    area = area.intersection(buf.area());
    if (area.is_empty()) {
        return;
    }
    buf.set_style(area, style);
    const BorderSet& set = border_type == BorderType::Rounded ? kRounded : kPlain;
    std::uint16_t x0 = area.left();
    std::uint16_t y0 = area.top();
    std::uint16_t x1 = static_cast<std::uint16_t>(area.right() - 1);
    std::uint16_t y1 = static_cast<std::uint16_t>(area.bottom() - 1);
    bool top = borders & Borders::TOP;
    bool bottom = borders & Borders::BOTTOM;
    bool left = borders & Borders::LEFT;
    bool right = borders & Borders::RIGHT;
    if (left) {
        for (std::uint16_t y = y0; y <= y1; ++y) {
            put(buf, x0, y, set.vertical, border_style);
        }
    }
    if (right) {
        for (std::uint16_t y = y0; y <= y1; ++y) {
            put(buf, x1, y, set.vertical, border_style);
        }
    }
    if (top) {
        for (std::uint16_t x = x0; x <= x1; ++x) {
            put(buf, x, y0, set.horizontal, border_style);
        }
    }
    if (bottom) {
        for (std::uint16_t x = x0; x <= x1; ++x) {
            put(buf, x, y1, set.horizontal, border_style);
        }
    }
    if (top && left) {
        put(buf, x0, y0, set.top_left, border_style);
    }
    if (top && right) {
        put(buf, x1, y0, set.top_right, border_style);
    }
    if (bottom && left) {
        put(buf, x0, y1, set.bottom_left, border_style);
    }
    if (bottom && right) {
        put(buf, x1, y1, set.bottom_right, border_style);
    }
    if (title) {
        std::uint16_t tx = left ? static_cast<std::uint16_t>(x0 + 1) : x0;
        int sides = (left ? 1 : 0) + (right ? 1 : 0);
        std::size_t tw = area.width > sides ? static_cast<std::size_t>(area.width - sides) : 0;
        Line t = *title;
        t.style = title_style.patch(t.style);
        buf.set_line(tx, y0, t, tw);
    }
}

std::vector<StyledGrapheme> styled_graphemes(const Line& line) {
    std::vector<StyledGrapheme> out;
    for (const Span& span : line.spans) {
        Style s = line.style.patch(span.style);
        for (Grapheme& g : graphemes(span.text)) {
            out.push_back(StyledGrapheme{std::move(g), s});
        }
    }
    return out;
}

std::vector<std::vector<StyledGrapheme>> wrap_line(const std::vector<StyledGrapheme>& line,
                                                   std::uint16_t width, bool trim) {
    using Row = std::vector<StyledGrapheme>;
    std::vector<Row> out;
    Row cur;
    std::size_t cur_w = 0;
    auto flush = [&] {
        out.push_back(std::move(cur));
        cur.clear();
        cur_w = 0;
    };
    auto blank = [](const StyledGrapheme& sg) { return is_breaking_space(sg.g.symbol); };
    // Appends clusters one by one, breaking the row wherever the next does not fit.
    auto append_broken = [&](std::size_t from, std::size_t to) {
        for (std::size_t k = from; k < to; ++k) {
            std::size_t w = line[k].g.width;
            if (w > width) {
                continue; // a wide cluster in a one-column area can never be shown
            }
            if (cur_w + w > width) {
                flush();
            }
            cur.push_back(line[k]);
            cur_w += w;
        }
    };

    std::size_t i = 0;
    std::size_t n = line.size();
    while (i < n && blank(line[i])) {
        ++i;
    }
    if (!trim) {
        append_broken(0, i);
    }
    std::size_t pending_from = i;
    std::size_t pending_w = 0;
    while (i < n) {
        if (blank(line[i])) {
            pending_w += line[i].g.width;
            ++i;
            continue;
        }
        std::size_t word_from = i;
        std::size_t word_w = 0;
        while (i < n && !blank(line[i])) {
            word_w += line[i].g.width;
            ++i;
        }
        if (cur_w + pending_w + word_w <= width) {
            cur.insert(cur.end(), line.begin() + static_cast<std::ptrdiff_t>(pending_from),
                       line.begin() + static_cast<std::ptrdiff_t>(i));
            cur_w += pending_w + word_w;
        } else {
            if (cur_w > 0) {
                flush();
            }
            append_broken(word_from, i);
        }
        pending_from = i;
        pending_w = 0;
    }
    // Trailing blanks stay while they fit.
    for (std::size_t k = pending_from; k < n && cur_w + line[k].g.width <= width; ++k) {
        cur.push_back(line[k]);
        cur_w += line[k].g.width;
    }
    if (!cur.empty() || out.empty()) {
        flush();
    }
    return out;
}

void Paragraph::render(Rect area, Buffer& buf) const {
    area = area.intersection(buf.area());
    buf.set_style(area, style);
    Rect inner = render_block(block, area, buf);
    if (inner.is_empty()) {
        return;
    }
    std::uint16_t y = inner.top();
    for (const Line& line : text.lines) {
        if (y >= inner.bottom()) {
            break;
        }
        Alignment align = line.alignment.value_or(alignment);
        std::vector<StyledGrapheme> all = styled_graphemes(line);
        std::vector<std::vector<StyledGrapheme>> rows;
        if (wrap) {
            rows = wrap_line(all, inner.width, wrap->trim);
        } else {
            rows.push_back(std::move(all));
        }
        for (const auto& row : rows) {
            if (y >= inner.bottom()) {
                break;
            }
            std::size_t w = 0;
            for (const StyledGrapheme& sg : row) {
                w += sg.g.width;
            }
            std::size_t offset = 0;
            if (w < inner.width) {
                if (align == Alignment::Center) {
                    offset = (inner.width - w) / 2;
                } else if (align == Alignment::Right) {
                    offset = inner.width - w;
                }
            }
            std::size_t x = inner.left() + offset;
            for (const StyledGrapheme& sg : row) {
                if (x + sg.g.width > inner.right()) {
                    break;
                }
                buf.set_grapheme(static_cast<std::uint16_t>(x), y, sg.g, sg.style);
                x += sg.g.width;
            }
            ++y;
        }
    }
}

} // namespace qb::term
