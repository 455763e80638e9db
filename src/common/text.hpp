#pragma once

// Strict UTF-8 (no overlong forms, no surrogates, nothing above U+10FFFF), the lossy
// conversion that shows each maximal invalid sequence as one U+FFFD, and the printable
// form that also keeps control characters away from a terminal.

#include <cstddef>
#include <string>
#include <string_view>

namespace qb::text {

/// True when the bytes are valid UTF-8.
bool is_utf8(std::string_view bytes);

/// Length of the longest valid UTF-8 prefix of `bytes` that ends on a character
/// boundary. Used to validate input that arrives in chunks.
std::size_t valid_utf8_prefix(std::string_view bytes);

/// Bytes of the UTF-8 character that starts at `i`; 1 when no valid one starts there.
std::size_t char_length_at(std::string_view bytes, std::size_t i);

/// The bytes as UTF-8 text; every maximal invalid subsequence becomes U+FFFD.
std::string lossy(std::string_view bytes);

/// True for the C0 controls (tab and newline included), DEL and the C1 controls.
constexpr bool is_control(char32_t c) {
    return c < 0x20 || (c >= 0x7F && c <= 0x9F);
}

/// lossy(), and every control character (is_control) becomes U+FFFD too. Names, paths
/// and native messages pass through it before a person sees them: in text reports,
/// prompts, warnings, text errors and the interface. JSON keeps the exact text.
std::string printable(std::string_view bytes);

/// ASCII letters A-Z lowered; every other byte unchanged.
std::string ascii_lower(std::string_view s);

} // namespace qb::text
