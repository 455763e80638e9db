#include "main/cli_values.hpp"

#include "common/defaults.hpp"

#include <fmt/format.h>

namespace qb::cli {

Result<std::uint64_t, std::string> parse_u64_decimal(std::string_view text) {
    if (text.empty()) {
        return unexpected(std::string("cannot parse integer from empty string"));
    }
    if (text == "+" || text == "-") {
        return unexpected(std::string("invalid digit found in string"));
    }
    if (text.front() == '+') {
        text.remove_prefix(1);
    }
    std::uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            return unexpected(std::string("invalid digit found in string"));
        }
        if (__builtin_mul_overflow(value, 10u, &value) ||
            __builtin_add_overflow(value, static_cast<unsigned>(c - '0'), &value)) {
            return unexpected(std::string("number too large to fit in target type"));
        }
    }
    return value;
}

Result<std::uint64_t, std::string> parse_limit(std::string_view text) {
    auto value = parse_u64_decimal(text);
    if (!value) {
        return unexpected(fmt::format("limit must be an integer from 1 through {}", kMaxLimit));
    }
    if (*value < 1 || *value > kMaxLimit) {
        return unexpected(fmt::format("limit must be from 1 through {}", kMaxLimit));
    }
    return *value;
}

} // namespace qb::cli
