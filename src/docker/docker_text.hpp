#pragma once

// Text helpers of the Docker provider: Unicode white space, line splitting as the
// client's reports are read, and the quoted form used inside diagnostic messages.
// Input is valid UTF-8 (callers decode lossily first).

#include <string>
#include <string_view>
#include <vector>

namespace qb::docker_text {

/// Decodes the character at `i` of valid UTF-8 and advances `i` past it.
char32_t next_char(std::string_view s, std::size_t& i);

/// The Unicode White_Space property.
bool is_white_space(char32_t c);

/// The text without Unicode white space at either end.
std::string_view trim(std::string_view s);

/// The pieces between runs of Unicode white space, empty pieces dropped.
std::vector<std::string_view> split_white_space(std::string_view s);

/// Lines split at line feeds; a carriage return just before a line feed is dropped; a
/// last line without a line feed counts, a final line feed starts no further line.
std::vector<std::string_view> split_lines(std::string_view s);

/// The text between double quotes, with \" \\ \t \r \n escapes and \u{hex} for other
/// control and non-printable characters.
std::string quoted(std::string_view s);

} // namespace qb::docker_text
