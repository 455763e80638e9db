#include "tui/term/text.hpp"

#include "common/text.hpp"

#include <utf8proc.h>

namespace qb::term {
namespace {

// Decodes valid UTF-8 into code points.
std::vector<utf8proc_int32_t> code_points(std::string_view valid) {
    std::vector<utf8proc_int32_t> out;
    out.reserve(valid.size());
    const auto* p = reinterpret_cast<const utf8proc_uint8_t*>(valid.data());
    utf8proc_ssize_t left = static_cast<utf8proc_ssize_t>(valid.size());
    while (left > 0) {
        utf8proc_int32_t cp = 0;
        utf8proc_ssize_t n = utf8proc_iterate(p, left, &cp);
        if (n <= 0) { // cannot happen on valid input; skip a byte to make progress
            cp = 0xFFFD;
            n = 1;
        }
        out.push_back(cp);
        p += n;
        left -= n;
    }
    return out;
}

void append_utf8(std::string& out, utf8proc_int32_t cp) {
    utf8proc_uint8_t buf[4];
    utf8proc_ssize_t n = utf8proc_encode_char(cp, buf);
    out.append(reinterpret_cast<const char*>(buf), static_cast<std::size_t>(n));
}

bool plain_ascii(std::string_view s) {
    for (char c : s) {
        auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u >= 0x7F) {
            return false;
        }
    }
    return true;
}

} // namespace

std::size_t Line::width() const {
    std::size_t w = 0;
    for (const Span& s : spans) {
        w += display_width(s.text);
    }
    return w;
}

std::vector<Grapheme> graphemes(std::string_view text) {
    std::vector<Grapheme> out;
    if (plain_ascii(text)) {
        out.reserve(text.size());
        for (char c : text) {
            out.push_back(Grapheme{std::string(1, c), 1});
        }
        return out;
    }
    std::vector<utf8proc_int32_t> cps = code_points(qb::text::printable(text));
    utf8proc_int32_t state = 0;
    std::size_t i = 0;
    while (i < cps.size()) {
        std::size_t j = i + 1;
        while (j < cps.size() && !utf8proc_grapheme_break_stateful(cps[j - 1], cps[j], &state)) {
            ++j;
        }
        int w = utf8proc_charwidth(cps[i]);
        if (w > 0) {
            Grapheme g;
            g.symbol.clear();
            for (std::size_t k = i; k < j; ++k) {
                append_utf8(g.symbol, cps[k]);
            }
            g.width = static_cast<std::uint8_t>(w >= 2 ? 2 : 1);
            out.push_back(std::move(g));
        }
        i = j;
    }
    return out;
}

std::size_t display_width(std::string_view text) {
    if (plain_ascii(text)) {
        return text.size();
    }
    std::size_t w = 0;
    for (const Grapheme& g : graphemes(text)) {
        w += g.width;
    }
    return w;
}

bool is_breaking_space(std::string_view symbol) {
    if (symbol == " ") {
        return true;
    }
    if (symbol.empty() || static_cast<unsigned char>(symbol[0]) < 0x80) {
        return false;
    }
    utf8proc_int32_t cp = 0;
    utf8proc_iterate(reinterpret_cast<const utf8proc_uint8_t*>(symbol.data()),
                     static_cast<utf8proc_ssize_t>(symbol.size()), &cp);
    return utf8proc_category(cp) == UTF8PROC_CATEGORY_ZS && cp != 0xA0 && cp != 0x2007 &&
           cp != 0x202F;
}

} // namespace qb::term
