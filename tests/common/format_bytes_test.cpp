#include "common/format_bytes.hpp"

#include <cstdint>
#include <gtest/gtest.h>
#include <limits>

namespace qb {
namespace {

TEST(FormatBytes, UnitsAndCorrectRounding) {
    EXPECT_EQ(format_bytes(0), "0 B");
    EXPECT_EQ(format_bytes(1023), "1023 B");
    EXPECT_EQ(format_bytes(1024), "1.0 KiB");
    EXPECT_EQ(format_bytes(1536), "1.5 KiB");
    // 1280 B is exactly 1.25 KiB: the tie goes to the even digit.
    EXPECT_EQ(format_bytes(1280), "1.2 KiB");
    // 1.75 KiB ties upwards to the even digit.
    EXPECT_EQ(format_bytes(1792), "1.8 KiB");
    // Just above and below a tie round to the nearer digit.
    EXPECT_EQ(format_bytes(1281), "1.3 KiB");
    EXPECT_EQ(format_bytes(1279), "1.2 KiB");
    // One byte short of 1 MiB stays in KiB and rounds up to 1024.0.
    EXPECT_EQ(format_bytes((1u << 20) - 1), "1024.0 KiB");
    EXPECT_EQ(format_bytes(1u << 20), "1.0 MiB");
    EXPECT_EQ(format_bytes(std::uint64_t{5} << 30), "5.0 GiB");
    EXPECT_EQ(format_bytes(std::uint64_t{3} << 40), "3.0 TiB");
    // Nothing beyond TiB.
    EXPECT_EQ(format_bytes(std::uint64_t{1} << 50), "1024.0 TiB");
    EXPECT_EQ(format_bytes(std::numeric_limits<std::uint64_t>::max()), "16777216.0 TiB");
    // 0.05 is not exact in binary; the value is rounded from what the double holds.
    // 1075 / 1024 = 1.0498046875 -> 1.0; 1127 / 1024 = 1.1005859375 -> 1.1.
    EXPECT_EQ(format_bytes(1075), "1.0 KiB");
    EXPECT_EQ(format_bytes(1127), "1.1 KiB");
    // 10239.5 KiB is not a tie at the first decimal: 9.99951171875 MiB -> 10.0 MiB.
    EXPECT_EQ(format_bytes(10485260), "10.0 MiB");
}

TEST(FormatBytes, SignedVariant) {
    EXPECT_EQ(format_signed_bytes(0), "+0 B");
    EXPECT_EQ(format_signed_bytes(512), "+512 B");
    EXPECT_EQ(format_signed_bytes(-2048), "-2.0 KiB");
    EXPECT_EQ(format_signed_bytes(-1), "-1 B");
    EXPECT_EQ(format_signed_bytes(std::numeric_limits<std::int64_t>::min()), "-8388608.0 TiB");
    EXPECT_EQ(format_signed_bytes(std::numeric_limits<std::int64_t>::max()), "+8388608.0 TiB");
}

} // namespace
} // namespace qb
