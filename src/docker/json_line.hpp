#pragma once

// Reads one line of the client's storage report as exactly one JSON value. The
// checking pass below decides acceptance, the nesting limit and the position of the
// first error; nlohmann::json then builds the value.

#include "common/json.hpp"
#include "common/result.hpp"

#include <string>
#include <string_view>

namespace qb {

/// Nesting deeper than this many arrays and objects is refused.
inline constexpr int kJsonLineMaxDepth = 128;

/// The value, or "{description} at line 1 column {n}" where n is the 1-based byte
/// column of the first character that cannot continue the document (the line's length
/// when it ends too early). Space, tab, line feed and carriage return may surround the
/// value; anything else after it is an error.
Result<Json, std::string> parse_json_line(std::string_view line);

} // namespace qb
