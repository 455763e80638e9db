#include "docker/docker_text.hpp"

#include "common/text.hpp"

#include <fmt/format.h>

namespace qb::docker_text {

char32_t next_char(std::string_view s, std::size_t& i) {
    auto b = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    unsigned char c = b(i);
    std::size_t n = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
    if (i + n > s.size()) { // not valid UTF-8 after all: take the byte alone
        ++i;
        return c;
    }
    char32_t cp = n == 1 ? c : n == 2 ? (c & 0x1F) : n == 3 ? (c & 0x0F) : (c & 0x07);
    for (std::size_t k = 1; k < n; ++k) {
        cp = (cp << 6) | (b(i + k) & 0x3F);
    }
    i += n;
    return cp;
}

bool is_white_space(char32_t c) {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
           c == 0x205F || c == 0x3000;
}

std::string_view trim(std::string_view s) {
    std::size_t begin = std::string_view::npos;
    std::size_t end = 0;
    for (std::size_t i = 0; i < s.size();) {
        std::size_t at = i;
        if (!is_white_space(next_char(s, i))) {
            if (begin == std::string_view::npos) {
                begin = at;
            }
            end = i;
        }
    }
    return begin == std::string_view::npos ? std::string_view() : s.substr(begin, end - begin);
}

std::vector<std::string_view> split_white_space(std::string_view s) {
    std::vector<std::string_view> pieces;
    std::size_t start = std::string_view::npos;
    for (std::size_t i = 0; i < s.size();) {
        std::size_t at = i;
        bool space = is_white_space(next_char(s, i));
        if (space && start != std::string_view::npos) {
            pieces.push_back(s.substr(start, at - start));
            start = std::string_view::npos;
        } else if (!space && start == std::string_view::npos) {
            start = at;
        }
    }
    if (start != std::string_view::npos) {
        pieces.push_back(s.substr(start));
    }
    return pieces;
}

std::vector<std::string_view> split_lines(std::string_view s) {
    std::vector<std::string_view> lines;
    while (!s.empty()) {
        std::size_t nl = s.find('\n');
        if (nl == std::string_view::npos) {
            lines.push_back(s);
            break;
        }
        std::string_view line = s.substr(0, nl);
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        lines.push_back(line);
        s.remove_prefix(nl + 1);
    }
    return lines;
}

namespace {

// Characters shown escaped: controls, separators other than the plain space, format
// characters, private use and noncharacters.
bool is_printable(char32_t c) {
    if (text::is_control(c)) {
        return false;
    }
    if (c != 0x20 && is_white_space(c)) {
        return false;
    }
    return !(c == 0xAD || (c >= 0x600 && c <= 0x605) || c == 0x61C || c == 0x6DD || c == 0x70F ||
             c == 0x180E || (c >= 0x200B && c <= 0x200F) || (c >= 0x202A && c <= 0x202E) ||
             (c >= 0x2060 && c <= 0x206F) || c == 0xFEFF || (c >= 0xFFF9 && c <= 0xFFFB) ||
             (c >= 0xE000 && c <= 0xF8FF) || (c >= 0xFDD0 && c <= 0xFDEF) ||
             (c & 0xFFFE) == 0xFFFE || c >= 0xF0000 || (c >= 0xE0000 && c <= 0xE007F));
}

} // namespace

std::string quoted(std::string_view s) {
    std::string out = "\"";
    for (std::size_t i = 0; i < s.size();) {
        std::size_t at = i;
        char32_t c = next_char(s, i);
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\t':
            out += "\\t";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\n':
            out += "\\n";
            break;
        default:
            if (is_printable(c)) {
                out.append(s.substr(at, i - at));
            } else {
                out += fmt::format("\\u{{{:x}}}", static_cast<std::uint32_t>(c));
            }
        }
    }
    out += '"';
    return out;
}

} // namespace qb::docker_text
