#include "tui_harness.hpp"

#include <gtest/gtest.h>

namespace qb::tui {
namespace {

using namespace testing;
using term::KeyCode;

NativeCleanReport pruned(bool changed, std::optional<std::uint64_t> reported,
                         std::uint64_t estimated, std::optional<NativeResource> after) {
    NativeCleanReport r;
    r.kind = "docker-build-cache";
    r.changed = changed;
    r.after = std::move(after);
    r.reported_reclaimed_bytes = reported;
    r.estimated_removed_bytes = estimated;
    return r;
}

TEST(Deletion, NoWarningCleansAtOnce) {
    Harness h;
    h.show({row("/w/a", 2048), row("/w/b", 1024)});
    h.press('j');
    h.press('d');
    EXPECT_EQ(h.state.phase, TuiPhase::Checking);
    EXPECT_EQ(h.state.operation_paths, std::vector<std::string>{"/w/b"});
    EXPECT_EQ(h.measured, std::vector<std::string>{"/w/b"});
    EXPECT_TRUE(h.cleans.empty());
    EXPECT_EQ(h.drain(), 2); // Remeasured, then the clean's CleanFinished
    ASSERT_EQ(h.cleans.size(), 1u);
    EXPECT_EQ(h.cleans[0].at(0).path, "/w/b");
    EXPECT_EQ(h.state.phase, TuiPhase::Ready);
    EXPECT_TRUE(h.state.operation_paths.empty());
    EXPECT_EQ(h.visible_paths(), std::vector<std::string>{"/w/a"});
    EXPECT_EQ(h.state.cursor, 0u);
    EXPECT_EQ(h.status(),
              "Deleted cache · 1.0 KiB apparent · 1.0 KiB allocated · +1.0 KiB disk free net");
}

TEST(Deletion, WarningLabelAsksAndMeasuresAgain) {
    Harness h;
    h.show({row("/w/a", 5000), row("/w/b", 4000), row("/w/c", 3000)});
    h.type("  ");
    // The check finds /w/b touched two days ago: recent, so the dialog comes first.
    Candidate recent = row("/w/b", 4100);
    recent.age_days = 2;
    h.remeasure_as = {recent};
    h.press('d');
    EXPECT_EQ(h.state.operation_paths, (std::vector<std::string>{"/w/a", "/w/b"}));
    EXPECT_EQ(h.drain(), 1);
    EXPECT_EQ(h.state.phase, TuiPhase::Confirm);
    ASSERT_EQ(h.state.plan.size(), 2u);
    EXPECT_EQ(h.state.plan[1].bytes, 4100u);
    EXPECT_EQ(h.state.rows[1].bytes, 4100u); // the shown row takes the new figures
    EXPECT_TRUE(h.cleans.empty());
    // Only the dialog's keys act; capitals do not.
    h.type("jYqa ");
    EXPECT_EQ(h.state.phase, TuiPhase::Confirm);
    EXPECT_FALSE(h.state.quit);

    h.measured.clear();
    h.press('y');
    EXPECT_TRUE(h.state.plan.empty());
    EXPECT_EQ(h.measured, (std::vector<std::string>{"/w/a", "/w/b"}));
    EXPECT_EQ(h.drain(), 2); // after the confirmation no second dialog
    ASSERT_EQ(h.cleans.size(), 1u);
    EXPECT_EQ(h.cleans[0].size(), 2u);
    EXPECT_EQ(h.visible_paths(), std::vector<std::string>{"/w/c"});
    EXPECT_TRUE(h.state.selected_paths.empty());
    EXPECT_EQ(h.status(),
              "Deleted 2 caches · 8.9 KiB apparent · 8.9 KiB allocated · +8.9 KiB disk free net");

    // Cancelling keeps the selection and removes nothing.
    h.show({row("/w/big", 2'000'000'000)});
    h.type(" d");
    h.drain();
    ASSERT_EQ(h.state.phase, TuiPhase::Confirm);
    h.press(key(KeyCode::Esc));
    EXPECT_EQ(h.state.phase, TuiPhase::Ready);
    EXPECT_TRUE(h.state.plan.empty() && h.state.operation_paths.empty());
    EXPECT_TRUE(h.state.selected_paths.contains("/w/big"));
    EXPECT_EQ(h.cleans.size(), 1u);
}

TEST(Deletion, ChangedTargetAbandons) {
    Harness h;
    h.show({row("/w/a", 30), row("/w/b", 20), row("/w/c", 10)});
    h.press('a');
    h.refuse = {{"/w/b", "path is no longer a real directory"}};
    h.press('d');
    // The first target was measured, the second refused, the third never looked at.
    EXPECT_EQ(h.measured, (std::vector<std::string>{"/w/a", "/w/b"}));
    h.drain();
    EXPECT_EQ(h.state.phase, TuiPhase::Ready);
    EXPECT_EQ(h.status(), "Cache changed; scan again · cleanup conflicted with filesystem "
                          "changes: path is no longer a real directory");
    EXPECT_EQ(h.state.rows.size(), 3u);
    EXPECT_EQ(h.state.selected_paths.size(), 3u);

    // A target replaced between the dialog and its confirmation fails the second check.
    h.refuse.clear();
    Candidate recent = row("/w/a", 30);
    recent.age_days = 1;
    h.remeasure_as = {recent};
    h.press('d');
    h.drain();
    ASSERT_EQ(h.state.phase, TuiPhase::Confirm);
    h.refuse = {{"/w/c", "filesystem identity changed after scanning"}};
    h.press(key(KeyCode::Enter));
    h.drain();
    EXPECT_EQ(h.state.phase, TuiPhase::Ready);
    EXPECT_TRUE(h.cleans.empty());
    EXPECT_EQ(h.status(), "Cache changed; scan again · cleanup conflicted with filesystem "
                          "changes: filesystem identity changed after scanning");
}

TEST(Deletion, ScanOnlyNeedsAnExplicitSelection) {
    Harness h;
    Candidate scan_only = row("/w/scan-only", 10);
    scan_only.cleanable = false;
    h.show({scan_only});
    h.press('d');
    EXPECT_EQ(h.status(), "Select this scan-only cache with Space to override");
    EXPECT_TRUE(h.measured.empty());
    h.type(" d");
    h.drain();
    ASSERT_EQ(h.state.phase, TuiPhase::Confirm); // "manual override" asks first
    h.press('d');
    h.drain();
    ASSERT_EQ(h.cleans.size(), 1u);
    EXPECT_TRUE(h.cleans[0][0].cleanable);
    EXPECT_TRUE(h.state.rows.empty());

    // Without the selection the target reaches the clean unchanged and is skipped.
    Harness g;
    g.show({scan_only, row("/w/other", 5)});
    g.state.selected_paths = {"/w/other"};
    spawn_clean_worker(g.state, {scan_only, row("/w/other", 5)}, std::nullopt, g.sender);
    EXPECT_EQ(g.state.phase, TuiPhase::Cleaning);
    EXPECT_FALSE(g.cleans.at(0)[0].cleanable);
    g.drain();
    EXPECT_EQ(g.visible_paths(), std::vector<std::string>{"/w/scan-only"});
    EXPECT_EQ(g.status(), "Deleted cache · 5 B apparent · 5 B allocated · +5 B disk free net · "
                          "1 skipped");
}

TEST(Deletion, BuildCacheAlone) {
    Harness h;
    h.show({}, docker_classes());
    h.state.cursor = 1;
    h.preview_answer = build_cache(4096);
    h.press('d');
    EXPECT_TRUE(h.state.docker_in_operation);
    h.drain();
    ASSERT_EQ(h.state.phase, TuiPhase::Confirm); // a prune always asks
    EXPECT_EQ(h.state.pending_prune->reclaimable_bytes, 4096u);
    EXPECT_EQ(find_native_resource(h.state.docker_rows, "docker-build-cache")->reclaimable_bytes,
              4096u);
    h.prune_answer = pruned(true, std::nullopt, 3 << 20, build_cache(0));
    h.press('y');
    h.drain();
    EXPECT_EQ(h.previews, 2);
    ASSERT_EQ(h.cleans.size(), 1u);
    EXPECT_TRUE(h.cleans[0].empty());
    EXPECT_EQ(h.prunes, 1);
    EXPECT_FALSE(h.state.docker_in_operation);
    // Nothing selected on disk: the Docker text alone, with the estimate.
    EXPECT_EQ(h.status(), "Pruned Docker build cache · 3.0 MiB reported");
    EXPECT_EQ(find_native_resource(h.state.docker_rows, "docker-build-cache")->reclaimable_bytes,
              0u);

    // Nothing left to reclaim at the check: deselected, nothing runs.
    h.state.selected_docker = {"docker-build-cache"};
    h.preview_answer = build_cache(0);
    h.press('d');
    h.drain();
    EXPECT_EQ(h.state.phase, TuiPhase::Ready);
    EXPECT_EQ(h.status(), "Docker build cache is already clean");
    EXPECT_TRUE(h.state.selected_docker.empty());

    // A failed preview abandons the whole plan, cache directories included.
    h.preview_answer = unexpected(native_diagnostic("daemon_unavailable", "daemon down", true));
    h.apply(finished({row("/w/x", 1)}));
    h.state.selected_docker = {"docker-build-cache"};
    h.state.selected_paths = {"/w/x"};
    h.press('d');
    h.drain();
    EXPECT_EQ(h.state.phase, TuiPhase::Ready);
    EXPECT_EQ(h.status(), "Docker build cache changed; try again · daemon down");
    EXPECT_EQ(h.cleans.size(), 1u);
    EXPECT_EQ(h.prunes, 1);
}

TEST(Deletion, PruneOutcomeJoinsTheSummary) {
    const std::string summary =
        "Deleted cache · 2.0 KiB apparent · 2.0 KiB allocated · +2.0 KiB disk free net";
    auto run = [&](Harness& h, Result<NativeCleanReport, NativeDiagnostic> prune) {
        h.show({row("/w/a", 2048)}, docker_classes());
        h.state.selected_paths = {"/w/a"};
        h.state.selected_docker = {"docker-build-cache"};
        h.press('d');
        h.drain();
        EXPECT_EQ(h.state.phase, TuiPhase::Confirm);
        h.prune_answer = std::move(prune);
        h.press('d');
        h.drain();
        EXPECT_EQ(h.state.phase, TuiPhase::Ready);
        EXPECT_EQ(h.prunes, 1);
        return h.status();
    };
    auto failure = unexpected(native_diagnostic("timeout", "prune timed out", true));
    for (bool unicode : {true, false}) {
        Harness h;
        h.state.unicode = unicode;
        EXPECT_EQ(run(h, failure), summary + (unicode ? " · " : " | ") +
                                       "Docker build-cache prune failed · prune timed out");
        EXPECT_EQ(h.state.selected_docker, KindSet{"docker-build-cache"});
    }
    Harness unchanged;
    EXPECT_EQ(run(unchanged, pruned(false, std::nullopt, 0, std::nullopt)),
              summary + " · Docker build cache already clean");
    EXPECT_TRUE(unchanged.state.selected_docker.empty());
    Harness reported;
    EXPECT_EQ(run(reported, pruned(true, 5 * 1024, 1, build_cache(0))),
              summary + " · Pruned Docker build cache · 5.0 KiB reported");
}

} // namespace
} // namespace qb::tui
