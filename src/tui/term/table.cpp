#include "tui/term/table.hpp"

#include <algorithm>

namespace qb::term {
namespace {

void draw_cells(const Row& row, const std::vector<Rect>& columns, std::uint16_t y, Buffer& buf) {
    for (std::size_t c = 0; c < columns.size() && c < row.cells.size(); ++c) {
        Rect cell{columns[c].x, y, columns[c].width, 1};
        const Line& line = row.cells[c];
        buf.set_style(cell, line.style);
        Line spans_only = line;
        spans_only.style = Style{};
        buf.set_line(cell.x, y, spans_only, cell.width);
    }
}

} // namespace

void Table::render(Rect area, Buffer& buf) const {
    TableState none;
    render(area, buf, none);
}

void Table::render(Rect area, Buffer& buf, TableState& state) const {
    area = area.intersection(buf.area());
    Rect inner = render_block(block, area, buf);
    if (inner.is_empty()) {
        return;
    }
    if (rows.empty()) {
        state.selected.reset();
        state.offset = 0;
    } else if (state.selected) {
        state.selected = std::min(*state.selected, rows.size() - 1);
    }
    std::uint16_t sel_w = 0;
    if (state.selected) {
        sel_w = static_cast<std::uint16_t>(
            std::min<std::size_t>(display_width(highlight_symbol), inner.width));
    }
    Rect cols_area{static_cast<std::uint16_t>(inner.x + sel_w), inner.y,
                   static_cast<std::uint16_t>(inner.width - sel_w), inner.height};
    std::vector<Rect> columns =
        Layout::horizontal(widths).with_spacing(column_spacing).split(cols_area);

    std::uint16_t y = inner.top();
    if (header) {
        buf.set_style(Rect{inner.x, y, inner.width, 1}, header->style);
        draw_cells(*header, columns, y, buf);
        y = static_cast<std::uint16_t>(
            std::min<std::uint32_t>(std::uint32_t{y} + 1 + header->bottom_margin, inner.bottom()));
    }
    std::size_t capacity = inner.bottom() - y;
    if (rows.empty() || capacity == 0) {
        return;
    }

    std::size_t offset = std::min(state.offset, rows.size() - 1);
    if (state.selected) {
        std::size_t s = *state.selected;
        if (s >= offset + capacity) {
            offset = s - capacity + 1;
        } else if (s < offset) {
            offset = s;
        }
    }
    state.offset = offset;

    for (std::size_t i = offset; i < rows.size() && y < inner.bottom(); ++i) {
        const Row& row = rows[i];
        Rect full{inner.x, y, inner.width, 1};
        buf.set_style(full, row.style);
        bool highlighted = state.selected && *state.selected == i;
        if (highlighted) {
            buf.set_stringn(inner.x, y, highlight_symbol, sel_w, row.style);
        }
        draw_cells(row, columns, y, buf);
        if (highlighted) {
            buf.set_style(full, highlight_style);
        }
        y = static_cast<std::uint16_t>(y + 1 + row.bottom_margin);
    }
}

} // namespace qb::term
