#include "common/os_error.hpp"
#include "common/saturating.hpp"
#include "common/text.hpp"

#include <cerrno>
#include <gtest/gtest.h>

namespace qb {
namespace {

TEST(Text, StrictUtf8) {
    EXPECT_TRUE(text::is_utf8(""));
    EXPECT_TRUE(text::is_utf8("plain \xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80"));
    EXPECT_FALSE(text::is_utf8("\xC0\xAF"));         // overlong
    EXPECT_FALSE(text::is_utf8("\xE0\x80\xAF"));     // overlong
    EXPECT_FALSE(text::is_utf8("\xED\xA0\x80"));     // surrogate
    EXPECT_FALSE(text::is_utf8("\xF4\x90\x80\x80")); // above U+10FFFF
    EXPECT_FALSE(text::is_utf8("\xE2\x82"));         // truncated
    EXPECT_EQ(text::valid_utf8_prefix("ab\xE2\x82"), 2u);
}

TEST(Text, LossyReplacesEachMaximalInvalidSequenceOnce) {
    const std::string r = "\xEF\xBF\xBD";
    EXPECT_EQ(text::lossy("a\xFF"
                          "b"),
              "a" + r + "b");
    EXPECT_EQ(text::lossy("\xE2\x82"
                          "x"),
              r + "x");                        // truncated sequence: one replacement
    EXPECT_EQ(text::lossy("\xE0\x80"), r + r); // not a prefix of any valid sequence
    EXPECT_EQ(text::lossy("\xF0\x9F\x98\x80"), "\xF0\x9F\x98\x80");
    EXPECT_EQ(text::ascii_lower("GoMod\xC3\x89"), "gomod\xC3\x89");
}

TEST(Text, PrintableReplacesControlCharactersToo) {
    const std::string r = "\xEF\xBF\xBD";
    EXPECT_EQ(text::printable("a\x1b[31mb"), "a" + r + "[31mb");
    EXPECT_EQ(text::printable("x\r\ny\t"), "x" + r + r + "y" + r);
    EXPECT_EQ(text::printable(std::string("n\0n", 3)), "n" + r + "n");
    EXPECT_EQ(text::printable("del\x7f"), "del" + r);
    EXPECT_EQ(text::printable("c1\xC2\x80\xC2\x85\xC2\x9F"), "c1" + r + r + r); // C1
    EXPECT_EQ(text::printable("\xC2\xA0ok~"), "\xC2\xA0ok~"); // no-break space stays
    EXPECT_EQ(text::printable("bad\xFF\xC3"), "bad" + r + r);
    EXPECT_EQ(text::lossy("a\tb\x1b\xC2\x85"), "a\tb\x1b\xC2\x85"); // lossy keeps them
}

TEST(Text, OsErrorTextAndSaturation) {
    EXPECT_EQ(os_error_text(ENOENT), "No such file or directory (os error 2)");
    EXPECT_EQ(os_error_text(EACCES), "Permission denied (os error 13)");
    EXPECT_EQ(sat_add(kU64Max - 1, 5), kU64Max);
    EXPECT_EQ(sat_add(2, 3), 5u);
    EXPECT_EQ(sat_mul(1ULL << 55, 512), kU64Max);
    EXPECT_EQ(sat_sub(3, 5), 0u);
}

} // namespace
} // namespace qb
