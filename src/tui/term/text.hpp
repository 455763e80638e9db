#pragma once

// Styled text and its measurement on the terminal: grapheme clusters and display widths
// of the text made printable, so that no control character reaches the terminal.

#include "tui/term/style.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qb::term {

enum class Alignment : std::uint8_t { Left, Center, Right };

/// A run of text in one style.
struct Span {
    std::string text;
    Style style;

    Span() = default;
    Span(std::string t, Style s = {}) : text(std::move(t)), style(s) {}
    Span(const char* t, Style s = {}) : text(t), style(s) {}
};

/// One row of spans. Newlines inside a span are not line breaks: they are control
/// characters and show as U+FFFD.
struct Line {
    std::vector<Span> spans;
    Style style;
    std::optional<Alignment> alignment;

    Line() = default;
    Line(std::string t, Style s = {}) { spans.emplace_back(std::move(t), s); }
    Line(const char* t, Style s = {}) { spans.emplace_back(t, s); }
    Line(Span s) { spans.push_back(std::move(s)); }
    Line(std::vector<Span> s) : spans(std::move(s)) {}

    Line& aligned(Alignment a) {
        alignment = a;
        return *this;
    }
    /// Display width of all spans.
    std::size_t width() const;
};

/// Several lines.
struct Text {
    std::vector<Line> lines;

    Text() = default;
    Text(std::vector<Line> l) : lines(std::move(l)) {}
    Text(Line l) { lines.push_back(std::move(l)); }
    Text(std::string t) { lines.emplace_back(std::move(t)); }
    Text(const char* t) { lines.emplace_back(t); }
};

/// One extended grapheme cluster as the terminal shows it.
struct Grapheme {
    std::string symbol;
    std::uint8_t width = 1; // 1 or 2 columns
};

/// The text made printable (qb::text::printable: invalid UTF-8 and control characters
/// become U+FFFD) and split into grapheme clusters that take at least one column.
/// Zero-width clusters that have no base to attach to are dropped.
std::vector<Grapheme> graphemes(std::string_view text);

/// Columns the text takes on the terminal once made printable.
std::size_t display_width(std::string_view text);

/// True for a cluster that separates words when wrapping (a space, but not a no-break one).
bool is_breaking_space(std::string_view symbol);

} // namespace qb::term
