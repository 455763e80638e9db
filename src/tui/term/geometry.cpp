#include "tui/term/geometry.hpp"

#include <algorithm>

namespace qb::term {
namespace {

std::uint16_t sat16(std::uint32_t v) {
    return static_cast<std::uint16_t>(std::min<std::uint32_t>(v, 0xFFFF));
}

} // namespace

std::uint16_t Rect::right() const {
    return sat16(std::uint32_t{x} + width);
}

std::uint16_t Rect::bottom() const {
    return sat16(std::uint32_t{y} + height);
}

Rect Rect::inner(Margin m) const {
    std::uint32_t dx = 2u * m.horizontal;
    std::uint32_t dy = 2u * m.vertical;
    if (width < dx || height < dy) {
        return Rect{x, y, 0, 0};
    }
    return Rect{sat16(std::uint32_t{x} + m.horizontal), sat16(std::uint32_t{y} + m.vertical),
                static_cast<std::uint16_t>(width - dx), static_cast<std::uint16_t>(height - dy)};
}

Rect Rect::intersection(const Rect& other) const {
    std::uint16_t x1 = std::max(x, other.x);
    std::uint16_t y1 = std::max(y, other.y);
    std::uint16_t x2 = std::min(right(), other.right());
    std::uint16_t y2 = std::min(bottom(), other.bottom());
    if (x2 <= x1 || y2 <= y1) {
        return Rect{x, y, 0, 0};
    }
    return Rect{x1, y1, static_cast<std::uint16_t>(x2 - x1), static_cast<std::uint16_t>(y2 - y1)};
}

std::vector<Rect> Layout::split(Rect area) const {
    std::vector<Rect> out;
    std::size_t n = constraints.size();
    if (n == 0) {
        return out;
    }
    bool vertical = direction == Direction::Vertical;
    std::int64_t extent = vertical ? area.height : area.width;
    std::int64_t gaps = std::min<std::int64_t>(std::int64_t{spacing} * (n - 1), extent);
    std::int64_t avail = extent - gaps;

    // Sizes in hundredths of a cell, so percentages stay exact.
    std::vector<std::int64_t> size(n, 0);
    std::int64_t total = 0;
    std::size_t mins = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const Constraint& c = constraints[i];
        switch (c.kind) {
        case Constraint::Kind::Length:
            size[i] = std::int64_t{c.value} * 100;
            break;
        case Constraint::Kind::Min:
            size[i] = std::int64_t{c.value} * 100;
            ++mins;
            break;
        case Constraint::Kind::Percentage:
            size[i] = avail * std::min<std::int64_t>(c.value, 100);
            break;
        }
        total += size[i];
    }
    std::int64_t room = avail * 100;
    if (total < room && mins > 0) {
        std::int64_t left = room - total;
        // Whole cells to each Min part; the last one also takes what does not divide.
        std::int64_t share = left / static_cast<std::int64_t>(mins) / 100 * 100;
        std::size_t seen = 0;
        for (std::size_t i = 0; i < n; ++i) {
            if (constraints[i].kind != Constraint::Kind::Min) {
                continue;
            }
            ++seen;
            size[i] += seen == mins ? left - share * static_cast<std::int64_t>(mins - 1) : share;
        }
    } else if (total > room) {
        std::int64_t excess = total - room;
        for (std::size_t i = n; i-- > 0 && excess > 0;) {
            std::int64_t take = std::min(size[i], excess);
            size[i] -= take;
            excess -= take;
        }
    }

    std::int64_t origin = vertical ? area.y : area.x;
    std::int64_t cum = 0;
    for (std::size_t i = 0; i < n; ++i) {
        std::int64_t b0 = (cum + 50) / 100;
        cum += size[i];
        std::int64_t b1 = (cum + 50) / 100;
        std::int64_t gap = std::min<std::int64_t>(std::int64_t{spacing} * i, gaps);
        std::int64_t start = std::min(origin + b0 + gap, origin + extent);
        std::int64_t len = std::clamp<std::int64_t>(b1 - b0, 0, origin + extent - start);
        Rect r = area;
        if (vertical) {
            r.y = static_cast<std::uint16_t>(start);
            r.height = static_cast<std::uint16_t>(len);
        } else {
            r.x = static_cast<std::uint16_t>(start);
            r.width = static_cast<std::uint16_t>(len);
        }
        out.push_back(r);
    }
    return out;
}

} // namespace qb::term
