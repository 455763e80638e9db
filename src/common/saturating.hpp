#pragma once

#include <cstdint>
#include <functional>
#include <limits>

namespace qb {

inline constexpr std::uint64_t kU64Max = std::numeric_limits<std::uint64_t>::max();

/// a + b, or 2^64 - 1 when that overflows. Saturating sums of non-negative values do
/// not depend on the order of the additions, which parallel reductions rely on.
constexpr std::uint64_t sat_add(std::uint64_t a, std::uint64_t b) {
    std::uint64_t r = 0;
    return __builtin_add_overflow(a, b, &r) ? kU64Max : r;
}

/// a - b, or 0 when b > a.
constexpr std::uint64_t sat_sub(std::uint64_t a, std::uint64_t b) {
    return a > b ? a - b : 0;
}

/// a * b, or 2^64 - 1 when that overflows.
constexpr std::uint64_t sat_mul(std::uint64_t a, std::uint64_t b) {
    std::uint64_t r = 0;
    return __builtin_mul_overflow(a, b, &r) ? kU64Max : r;
}

/// The saturating sum of `field` over `records`.
template <class Records, class Field>
constexpr std::uint64_t sat_sum(const Records& records, Field field) {
    std::uint64_t total = 0;
    for (const auto& record : records) {
        total = sat_add(total, std::invoke(field, record));
    }
    return total;
}

} // namespace qb
