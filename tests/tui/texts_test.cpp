#include "tui/texts.hpp"
#include "tui_harness.hpp"

#include <gtest/gtest.h>

namespace qb::tui {
namespace {

using namespace testing;

TEST(Texts, TruncateToWidth) {
    const std::string ten = "abcdefghij";
    EXPECT_EQ(truncate_to_width(ten, 10, true), ten);
    EXPECT_EQ(truncate_to_width(ten, 7, true), "abc…hij");
    EXPECT_EQ(truncate_to_width(ten, 8, true), "abc…ghij");
    EXPECT_EQ(truncate_to_width(ten, 2, true), "ab");
    EXPECT_EQ(truncate_to_width(ten, 4, false), "abcd");
    EXPECT_EQ(truncate_to_width(ten, 5, false), "a...j");
    // Characters, not bytes; an invalid byte is one replacement character.
    EXPECT_EQ(truncate_to_width("äöüßéñ", 4, true), "ä…éñ");
    EXPECT_EQ(truncate_to_width("ab\xff"
                                "cdef",
                                5, true),
              "ab…ef");
}

TEST(Texts, RowFlagLabels) {
    EXPECT_TRUE(row_flag_labels({}).empty());
    Candidate shared = row("/home/u/.cache/pip", 1000);
    shared.scope = CacheScope::Global;
    shared.age_days = 3;
    Candidate scan_only = row("/w/x", 2000);
    scan_only.cleanable = false;
    scan_only.age_days.reset();
    EXPECT_EQ(
        row_flag_labels({shared, scan_only}),
        (std::vector<std::string_view>{"recent", "shared", "manual override", "unknown age"}));
    Candidate plain = row("/w/plain", 1'073'741'823);
    plain.age_days = 7;
    EXPECT_TRUE(row_flag_labels({plain}).empty());
    Candidate large = row("/w/large", 1'073'741'824);
    large.age_days = 6;
    large.network_restore = true;
    EXPECT_EQ(row_flag_labels({plain, large, large}),
              (std::vector<std::string_view>{"recent", "large", "download restore"}));
}

TEST(Texts, CleanSummary) {
    auto report = [](std::uint64_t cleaned, std::uint64_t skipped, std::size_t deltas) {
        CleanReport r;
        r.cleaned = cleaned;
        r.skipped = skipped;
        for (std::uint64_t i = 0; i < skipped; ++i) {
            r.skipped_paths.push_back({"/w/s", "path is no longer a real directory"});
        }
        r.apparent_bytes_removed = 1536;
        r.allocated_bytes_removed_estimate = 1023;
        r.filesystem_deltas.resize(deltas, FilesystemDelta{"/", 0, 0, -1024});
        return r;
    };
    EXPECT_EQ(clean_summary_text(report(0, 0, 1)), "Nothing was deleted");
    EXPECT_EQ(clean_summary_text(report(0, 1, 1)),
              "Could not delete cache · path is no longer a real directory");
    EXPECT_EQ(clean_summary_text(report(0, 3, 0)), "Could not delete 3 caches");
    EXPECT_EQ(clean_summary_text(report(1, 0, 1)),
              "Deleted cache · 1.5 KiB apparent · 1023 B allocated · -1.0 KiB disk free net");
    EXPECT_EQ(clean_summary_text(report(2, 0, 2)),
              "Deleted 2 caches · 1.5 KiB apparent · 1023 B allocated · 2 filesystem deltas "
              "measured");
    EXPECT_EQ(clean_summary_text(report(2, 1, 0)),
              "Deleted 2 caches · 1.5 KiB apparent · 1023 B allocated · disk-free change "
              "unavailable · 1 skipped");
    std::string text;
    disk_free_delta_text(text, {FilesystemDelta{"/", 5, 5, 0}});
    EXPECT_EQ(text, " · +0 B disk free net");
}

} // namespace
} // namespace qb::tui
