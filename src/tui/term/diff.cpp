#include "tui/term/diff.hpp"

#include <fmt/format.h>

namespace qb::term {
namespace {

// Defence in depth: a symbol that somehow still holds a control character is not sent.
bool safe_symbol(const std::string& s) {
    for (std::size_t i = 0; i < s.size(); ++i) {
        auto c = static_cast<unsigned char>(s[i]);
        if (c < 0x20 || c == 0x7F) {
            return false;
        }
        if (c == 0xC2 && i + 1 < s.size()) {
            auto d = static_cast<unsigned char>(s[i + 1]);
            if (d >= 0x80 && d <= 0x9F) {
                return false;
            }
        }
    }
    return true;
}

struct Pen {
    Color fg;
    Color bg;
    Modifier mods;
};

void emit_attributes(std::string& out, Pen& pen, const Cell& cell) {
    std::string params;
    auto add = [&](const std::string& p) {
        if (!params.empty()) {
            params.push_back(';');
        }
        params += p;
    };
    if (cell.mods != pen.mods) {
        Modifier removed = pen.mods & ~cell.mods;
        Modifier added = cell.mods & ~pen.mods;
        if (removed.contains(Modifier::BOLD)) {
            add("22");
        }
        if (added.contains(Modifier::BOLD)) {
            add("1");
        }
    }
    if (cell.fg != pen.fg) {
        add(sgr_fg(cell.fg));
    }
    if (cell.bg != pen.bg) {
        add(sgr_bg(cell.bg));
    }
    if (!params.empty()) {
        out += "\x1b[";
        out += params;
        out += 'm';
    }
    pen = Pen{cell.fg, cell.bg, cell.mods};
}

} // namespace

std::string diff_frames(const Buffer& prev, const Buffer& cur) {
    std::string out;
    if (prev.width() != cur.width() || prev.height() != cur.height()) {
        return out;
    }
    Pen pen;
    long next_x = -1;
    long next_y = -1;
    for (std::uint16_t y = 0; y < cur.height(); ++y) {
        for (std::uint16_t x = 0; x < cur.width(); ++x) {
            const Cell& c = cur.at(x, y);
            if (c.covered() || c == prev.at(x, y)) {
                continue;
            }
            if (x != next_x || y != next_y) {
                fmt::format_to(std::back_inserter(out), "\x1b[{};{}H", y + 1, x + 1);
            }
            emit_attributes(out, pen, c);
            out += safe_symbol(c.symbol) ? c.symbol : std::string("\xEF\xBF\xBD");
            bool wide = x + 1 < cur.width() && cur.at(x + 1, y).covered();
            next_x = x + (wide ? 2 : 1);
            next_y = y;
        }
    }
    if (!out.empty()) {
        out += "\x1b[0m";
    }
    return out;
}

} // namespace qb::term
