#include "common/format_bytes.hpp"

#include <array>
#include <cmath>
#include <fmt/format.h>
#include <string_view>

namespace qb {
namespace {

// The value times ten, rounded to the nearest integer with an exact tie going to the
// even one. Works on the double's exact binary value, so nothing is rounded twice.
std::uint64_t tenths_rounded(double value) {
    int exp = 0;
    double fraction = std::frexp(value, &exp); // value = fraction * 2^exp, fraction in [0.5, 1)
    auto mantissa = static_cast<std::uint64_t>(std::ldexp(fraction, 53));
    int shift = 53 - exp; // value = mantissa / 2^shift
    std::uint64_t times_ten = mantissa * 10;
    if (shift <= 0) {
        return times_ten << -shift;
    }
    std::uint64_t whole = times_ten >> shift;
    std::uint64_t rest = times_ten & ((std::uint64_t{1} << shift) - 1);
    std::uint64_t half = std::uint64_t{1} << (shift - 1);
    if (rest > half || (rest == half && (whole & 1) != 0)) {
        ++whole;
    }
    return whole;
}

} // namespace

std::string format_bytes(std::uint64_t bytes) {
    if (bytes < 1024) {
        return fmt::format("{} B", bytes);
    }
    constexpr std::array<std::string_view, 4> kUnits{"KiB", "MiB", "GiB", "TiB"};
    double value = static_cast<double>(bytes) / 1024.0;
    std::size_t unit = 0;
    while (value >= 1024.0 && unit + 1 < kUnits.size()) {
        value /= 1024.0;
        ++unit;
    }
    std::uint64_t tenths = tenths_rounded(value);
    return fmt::format("{}.{} {}", tenths / 10, tenths % 10, kUnits[unit]);
}

std::string format_signed_bytes(std::int64_t delta) {
    if (delta < 0) {
        // Negated in unsigned arithmetic, so the most negative value gives 2^63.
        return "-" + format_bytes(std::uint64_t{0} - static_cast<std::uint64_t>(delta));
    }
    return "+" + format_bytes(static_cast<std::uint64_t>(delta));
}

} // namespace qb
