#include "docker/build_cache.hpp"
#include "fake_runner.hpp"

#include <gtest/gtest.h>

namespace qb {
namespace {

using test::df_row;

std::string report_with_cache(const std::string& size, const std::string& reclaimable) {
    return df_row("Images", "1GB", "0B") + df_row("Build Cache", size, reclaimable);
}

TEST(DockerBuildCachePreview, TakesTheBuildCacheRowOrExplains) {
    test::FakeRunner fake;
    fake.reply_output(report_with_cache("10GB", "4GB"));
    auto preview = preview_build_cache(fake.runner());
    ASSERT_TRUE(preview);
    EXPECT_EQ(preview->kind, "docker-build-cache");
    EXPECT_EQ(preview->reclaimable_bytes, 4'000'000'000u);

    fake.reply_output(df_row("Images", "1GB", "0B"));
    auto missing = preview_build_cache(fake.runner());
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().kind(), diag::kMissingClass);
    EXPECT_EQ(missing.error().message(), "Docker did not report build-cache storage");
    EXPECT_FALSE(missing.error().retryable());

    fake.reply(unexpected(native_diagnostic(diag::kNotFound, "gone", false)));
    auto unavailable = preview_build_cache(fake.runner());
    ASSERT_FALSE(unavailable);
    EXPECT_EQ(unavailable.error().kind(), diag::kNotFound);
}

TEST(DockerBuildCachePrune, NothingReclaimableRunsNoPrune) {
    test::FakeRunner fake;
    fake.reply_output(report_with_cache("3GB", "0B"));
    auto report = prune_build_cache(fake.runner());
    ASSERT_TRUE(report);
    EXPECT_EQ(fake.calls.size(), 1u);
    EXPECT_FALSE(report->changed);
    EXPECT_TRUE(report->confirmed);
    EXPECT_FALSE(report->dry_run);
    EXPECT_FALSE(report->after);
    EXPECT_FALSE(report->reported_reclaimed_bytes);
    EXPECT_EQ(report->before.bytes, 3'000'000'000u);

    // Without a build-cache row nothing is pruned either.
    fake.reply_output(df_row("Images", "1GB", "1GB"));
    auto missing = prune_build_cache(fake.runner());
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().message(), "Docker did not report build-cache storage");
    EXPECT_EQ(fake.calls.size(), 2u);
}

TEST(DockerBuildCachePrune, ReportsTotalsAndEstimates) {
    test::FakeRunner fake;
    fake.reply_output(report_with_cache("10GB", "8GB"));
    fake.reply_output("Deleted build cache objects:\nabc\n\nTotal reclaimed space: 1.2GB\n");
    fake.reply_output(report_with_cache("7GB", "5GB"));
    auto report = prune_build_cache(fake.runner());
    ASSERT_TRUE(report);
    ASSERT_EQ(fake.calls.size(), 3u);
    EXPECT_EQ(fake.calls[1].args, (std::vector<std::string>{"builder", "prune", "--force"}));
    EXPECT_EQ(fake.calls[1].timeout_secs, 120u);
    EXPECT_EQ(fake.calls[1].purpose, "build-cache prune");
    EXPECT_EQ(report->provider, "docker");
    EXPECT_EQ(report->kind, "docker-build-cache");
    EXPECT_EQ(report->reported_reclaimed_bytes, 1'200'000'000u);
    EXPECT_EQ(report->estimated_removed_bytes, 3'000'000'000u);
    ASSERT_TRUE(report->after);
    EXPECT_EQ(report->after->bytes, 7'000'000'000u);
    EXPECT_TRUE(report->changed && report->confirmed && !report->dry_run);

    // No total anywhere, and the cache grew meanwhile: nothing to show as changed.
    fake.reply_output(report_with_cache("10GB", "8GB"));
    fake.reply_output("done\n", "");
    fake.reply_output(report_with_cache("11GB", "8GB"));
    report = prune_build_cache(fake.runner());
    ASSERT_TRUE(report);
    EXPECT_FALSE(report->reported_reclaimed_bytes);
    EXPECT_EQ(report->estimated_removed_bytes, 0u);
    EXPECT_FALSE(report->changed);

    // A total of nothing and sizes that did not move: a prune that changed nothing.
    fake.reply_output(report_with_cache("10GB", "8GB"));
    fake.reply_output("Total reclaimed space: 0B\n", "TOTAL: 5MB\n");
    fake.reply_output(report_with_cache("10GB", "8GB"));
    report = prune_build_cache(fake.runner());
    ASSERT_TRUE(report);
    EXPECT_EQ(report->reported_reclaimed_bytes, 0u); // standard output wins
    EXPECT_EQ(report->estimated_removed_bytes, 0u);
    ASSERT_TRUE(report->after);
    EXPECT_FALSE(report->changed);

    // The total only on standard error; the later preview fails.
    fake.reply_output(report_with_cache("10GB", "8GB"));
    fake.reply_output("", "TOTAL: 512MB\n");
    fake.reply(unexpected(native_diagnostic(diag::kNotFound, "vanished", false)));
    report = prune_build_cache(fake.runner());
    ASSERT_TRUE(report);
    EXPECT_EQ(report->reported_reclaimed_bytes, 512'000'000u);
    EXPECT_FALSE(report->after);
    EXPECT_EQ(report->estimated_removed_bytes, 0u);
    ASSERT_EQ(report->diagnostics.size(), 1u);
    EXPECT_EQ(report->diagnostics[0].message(), "vanished");
    EXPECT_TRUE(report->changed);
}

TEST(DockerBuildCachePrune, FailuresOfThePruneAreTheResult) {
    test::FakeRunner fake;
    fake.reply_output(report_with_cache("10GB", "8GB"));
    fake.reply_output("", "permission denied while trying to connect", 1);
    auto failed = prune_build_cache(fake.runner());
    ASSERT_FALSE(failed);
    EXPECT_EQ(failed.error().kind(), diag::kPermissionDenied);
    EXPECT_EQ(fake.calls.size(), 2u);

    fake.reply_output(report_with_cache("10GB", "8GB"));
    fake.reply(unexpected(native_diagnostic(
        diag::kTimeout, "Docker build-cache prune timed out after 120 seconds", true)));
    auto slow = prune_build_cache(fake.runner());
    ASSERT_FALSE(slow);
    EXPECT_EQ(slow.error().kind(), diag::kTimeout);
    EXPECT_EQ(fake.calls.size(), 4u); // no preview after a failed prune
}

TEST(DockerBuildCachePrune, ReclaimedTotalsAndUnprunedReports) {
    EXPECT_EQ(parse_reclaimed_bytes("x\ntotal reclaimed space: n/a\n  total:   5MB  \n"),
              5'000'000u);
    EXPECT_EQ(parse_reclaimed_bytes("TOTAL RECLAIMED SPACE:1.2gb\r\n"), 1'200'000'000u);
    EXPECT_EQ(parse_reclaimed_bytes("Total: 0B"), 0u);
    EXPECT_EQ(parse_reclaimed_bytes("Totals: 5MB\nreclaimed 5MB\n"), std::nullopt);
    EXPECT_EQ(parse_reclaimed_bytes("total: \xFF"), std::nullopt);
    EXPECT_EQ(parse_reclaimed_bytes("\xFF\xFE\n\t ToTaL:\t1kB \r\n"), 1000u);

    NativeResource before;
    before.provider = "docker";
    before.kind = "docker-build-cache";
    before.bytes = 9;
    before.reclaimable_bytes = 4;
    const NativeCleanReport dry = unpruned_clean_report(before, true, false);
    EXPECT_EQ(dry.provider, "docker");
    EXPECT_EQ(dry.kind, "docker-build-cache");
    EXPECT_EQ(dry.before, before);
    EXPECT_TRUE(dry.dry_run);
    EXPECT_FALSE(dry.confirmed || dry.changed);
    EXPECT_FALSE(dry.after || dry.reported_reclaimed_bytes);
    EXPECT_TRUE(unpruned_clean_report(before, false, true).confirmed);
}

} // namespace
} // namespace qb
