#pragma once

// The number parsers of the command line and their reason texts.

#include "common/result.hpp"

#include <cstdint>
#include <string>
#include <string_view>

namespace qb::cli {

/// Plain decimal digits with at most one leading "+", 0 through 2^64 - 1; no white space
/// is trimmed. Fails with "cannot parse integer from empty string", "invalid digit found
/// in string" or "number too large to fit in target type", whichever is met first.
Result<std::uint64_t, std::string> parse_u64_decimal(std::string_view text);

/// A page size from 1 through kMaxLimit.
Result<std::uint64_t, std::string> parse_limit(std::string_view text);

} // namespace qb::cli
