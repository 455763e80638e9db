#include "tui_harness.hpp"

#include <gtest/gtest.h>

namespace qb::tui {
namespace {

using namespace testing;
using term::KeyCode;

RememberedCache remembered(std::string path, std::uint64_t bytes) {
    RememberedCache e;
    e.kind = "node-modules";
    e.path = std::move(path);
    e.bytes = bytes;
    return e;
}

TEST(Scan, FirstScanStreamsRows) {
    Harness h;
    start_background_scan(h.state, h.sender);
    EXPECT_EQ(h.state.phase, TuiPhase::Scanning);
    EXPECT_FALSE(h.state.refreshing);
    ASSERT_EQ(h.scan_jobs.size(), 1u);
    EXPECT_EQ(h.scan_jobs[0].request.roots, std::vector<std::string>{"/w"});
    EXPECT_TRUE(h.scan_jobs[0].known_paths.empty());
    EXPECT_EQ(h.drain(), 1); // the Docker inspection's message
    EXPECT_EQ(h.state.docker_rows.size(), 4u);

    h.apply(msg::Found{sizing("/w/a")});
    h.apply(msg::Found{sizing("/w/b")});
    h.apply(msg::Found{sizing("/w/c")});
    h.apply(msg::Found{sizing("/w//a/")}); // the same path: no row, no count
    EXPECT_EQ(h.state.found_count, 3u);
    EXPECT_EQ(h.state.sizing_rows.size(), 3u);
    h.apply(msg::Measured{row("/w/b/", 10)});
    h.apply(msg::NoCandidate{"/w/c"});
    h.apply(msg::WalkError{"IO error for operation on /w/x: Permission denied (os error 13)"});
    EXPECT_EQ(h.state.rows.size(), 1u);
    EXPECT_EQ(h.state.sizing_rows.size(), 1u);
    EXPECT_TRUE(h.state.pending_paths.contains("/w/a") && h.state.pending_paths.size() == 1);
    EXPECT_TRUE(h.state.measured_paths.contains("/w/b") && h.state.measured_paths.size() == 1);
    EXPECT_EQ(h.state.scan_errors.size(), 1u);
    EXPECT_EQ(visible_count(h.state), 6u);
    EXPECT_EQ(h.state.cursor, 0u); // the user has not moved

    h.apply(finished({row("/w/b", 10)}, {"e1", "e2"}));
    EXPECT_EQ(h.state.phase, TuiPhase::Ready);
    EXPECT_TRUE(h.state.sizing_rows.empty());
    EXPECT_TRUE(h.state.pending_paths.empty());
    EXPECT_EQ(h.state.scan_errors.size(), 2u);
    EXPECT_FALSE(h.state.status.has_value());
}

TEST(Scan, RefreshKeepsRowsAndFocus) {
    Harness h;
    h.show({row("/w/big", 300), row("/w/mid", 200), row("/w/small", 100), row("/w/small/", 1)},
           docker_classes());
    h.state.selected_paths = {"/w/mid"};
    h.state.selected_docker = {"docker-build-cache"};
    h.state.plan = {row("/w/mid", 200)};
    h.state.operation_paths = {"/w/mid"};
    h.state.scan_error = "old";
    set_status(h.state, "old status");
    h.press(key(KeyCode::Down));
    h.press(key(KeyCode::Down)); // /w/small

    h.press('r');
    EXPECT_EQ(h.state.phase, TuiPhase::Scanning);
    EXPECT_TRUE(h.state.refreshing);
    // Known paths from the rows, largest first, a repeated path once.
    EXPECT_EQ(h.scan_jobs.at(0).known_paths,
              (std::vector<std::string>{"/w/big", "/w/mid", "/w/small"}));
    EXPECT_EQ(h.state.found_count, 3u);
    EXPECT_TRUE(h.state.selected_paths.empty() && h.state.selected_docker.empty());
    EXPECT_TRUE(h.state.plan.empty() && h.state.operation_paths.empty());
    EXPECT_FALSE(h.state.scan_error || h.state.status);
    EXPECT_EQ(h.state.docker_rows.size(), 4u); // until the new inspection arrives

    // Not yet measured again: Space refuses; once measured it selects.
    h.press(' ');
    EXPECT_EQ(h.status(), "Waiting for this cache to be remeasured");
    h.apply(msg::Found{sizing("/w/mid")});
    EXPECT_TRUE(h.state.sizing_rows.empty());
    // /w/mid grows past /w/big: replaced in place, the cursor stays on /w/small.
    h.apply(msg::Measured{row("/w/mid", 900)});
    EXPECT_EQ(h.state.rows[1].bytes, 900u);
    EXPECT_EQ(selected_row_key(h.state), RowKey::path("/w/small"));
    h.apply(msg::Measured{row("/w/small", 100)});
    h.press(' ');
    EXPECT_TRUE(h.state.selected_paths.contains("/w/small"));
    // A row that yields nothing stays until the final list, which drops it.
    h.apply(msg::NoCandidate{"/w/big"});
    EXPECT_EQ(h.state.rows.size(), 4u);
    h.apply(finished({row("/w/mid", 900)}));
    EXPECT_EQ(h.visible_paths(), std::vector<std::string>{"/w/mid"});
    EXPECT_TRUE(h.state.selected_paths.empty());
    EXPECT_FALSE(h.state.refreshing);
}

TEST(Scan, SnapshotRowsAndProjectScope) {
    Harness h({{"/w"}, {}, ScopeFilter::Project});
    h.state = initial_state(
        h.state.options, {remembered("/w/b", 50), remembered("/w/a", 50), remembered("/w/c", 70)},
        Capabilities{}, h.state.services);
    EXPECT_EQ(h.state.sizing_rows.size(), 3u);
    start_background_scan(h.state, h.sender);
    EXPECT_TRUE(h.state.refreshing);
    EXPECT_EQ(h.state.remembered.size(), 3u);
    EXPECT_EQ(h.scan_jobs.at(0).known_paths, (std::vector<std::string>{"/w/c", "/w/a", "/w/b"}));
    EXPECT_EQ(h.state.pending_paths.size(), 3u);
    EXPECT_EQ(h.inspections, 0); // no Docker for the project scope
    EXPECT_EQ(h.scan_jobs[0].request.scope, ScopeFilter::Project);
    EXPECT_EQ(h.state.view_scope, ScopeFilter::All);
    h.apply(msg::Measured{row("/w/c", 71)});
    EXPECT_EQ(h.state.remembered.size(), 2u);
    EXPECT_EQ(h.state.sizing_rows.size(), 2u);
}

TEST(Scan, DockerInspectionOutcomes) {
    Harness h;
    h.show({});
    EXPECT_EQ(h.status(), "No caches found — your disk is already tidy");
    h.apply(inspected(docker_classes()));
    EXPECT_FALSE(h.state.status.has_value());

    auto diag = [](std::string_view text) {
        return native_diagnostic("invalid_output", text, false);
    };
    h.apply(inspected({build_cache(1)}, {diag("bad line"), diag("no volumes")}));
    EXPECT_EQ(h.status(), "2 Docker storage rows could not be read");
    h.apply(inspected({}, {diag("docker was not found"), diag("x")}, false));
    EXPECT_EQ(h.status(), "Docker storage unavailable · docker was not found");

    // A selected kind that is gone or no longer cleanable is dropped.
    h.apply(inspected(docker_classes()));
    h.state.selected_docker = {"docker-build-cache", "docker-images"};
    h.apply(inspected(docker_classes()));
    EXPECT_EQ(h.state.selected_docker, KindSet{"docker-build-cache"});
    std::vector<NativeResource> rows = docker_classes();
    rows[1].cleanable = false;
    h.apply(inspected(rows));
    EXPECT_TRUE(h.state.selected_docker.empty());
}

TEST(Scan, FailureKeepsWhatIsShown) {
    const std::string why = "path is not a readable directory: /w/gone";
    Harness h;
    start_background_scan(h.state, h.sender);
    h.apply(failed("/w/gone"));
    EXPECT_EQ(h.state.phase, TuiPhase::ScanFailed);
    EXPECT_EQ(h.state.scan_error, why);
    h.drain(); // Docker rows arrive after the failure
    EXPECT_EQ(h.state.phase, TuiPhase::Ready);
    EXPECT_EQ(h.status(), "Filesystem scan failed — showing Docker storage · " + why);

    Harness p;
    start_background_scan(p.state, p.sender);
    p.apply(msg::Measured{row("/w/a", 1)});
    p.apply(failed("/w/gone"));
    EXPECT_EQ(p.state.phase, TuiPhase::Ready);
    EXPECT_EQ(p.status(), "Scan stopped early — showing partial results · " + why);
    p.press('r');
    p.apply(failed("/w/gone"));
    EXPECT_EQ(p.status(), "Refresh failed — showing previous results · " + why);
    EXPECT_EQ(p.state.rows.size(), 1u);
    EXPECT_FALSE(p.state.refreshing);
}

// Snapshot rows on screen, Docker rows below them, the cursor far down, then the scan
// fails: the view must drop the sizing rows at once, so nothing reads past a list.
TEST(Scan, FailureLeavesAConsistentView) {
    Harness h;
    std::vector<RememberedCache> snapshot;
    for (int i = 0; i < 6; ++i) {
        snapshot.push_back(remembered("/w/p" + std::to_string(i), 100 - i));
    }
    h.state = initial_state(h.state.options, snapshot, Capabilities{}, h.state.services);
    start_background_scan(h.state, h.sender);
    h.drain();
    h.press(key(KeyCode::End));
    EXPECT_EQ(h.state.cursor, 9u);
    h.apply(failed("/w"));

    EXPECT_EQ(h.state.phase, TuiPhase::Ready);
    EXPECT_TRUE(h.state.visible_sizing.empty());
    EXPECT_EQ(h.state.cursor, 3u);
    EXPECT_EQ(focused_row(h.state).kind, FocusedRow::Kind::Docker);
    h.press(key(KeyCode::Up));
    h.press(' ');
    h.press('d');
    EXPECT_EQ(h.status(), "This Docker resource is inspection-only; no prune command was run");
}

// The real spawner: each worker runs on a detached thread and reports exactly once.
TEST(Scan, WorkersRunOnTheirOwnThreads) {
    Harness h;
    auto [tx, rx] = make_channel<WorkerMessage>();
    h.state.services.spawn = spawn_detached;
    h.state.services.run_scan = [](ScanJob job) {
        job.sink->finished(finished({row("/w/t", 1)}).outcome);
    };
    auto next = [&, &rx = rx, &tx = tx] {
        std::optional<WorkerMessage> m = rx.receive_for(std::chrono::seconds(60));
        ASSERT_TRUE(m.has_value());
        handle_worker_message(h.state, std::move(*m), tx);
    };
    start_background_scan(h.state, tx);
    next();
    next();
    EXPECT_EQ(h.state.phase, TuiPhase::Ready);
    EXPECT_EQ(h.state.docker_rows.size(), 4u);
    handle_key(h.state, term::KeyEvent::character('d'), tx);
    EXPECT_EQ(h.state.phase, TuiPhase::Checking);
    next(); // no label: the clean starts at once
    EXPECT_EQ(h.state.phase, TuiPhase::Cleaning);
    next();
    EXPECT_EQ(h.state.phase, TuiPhase::Ready);
    EXPECT_TRUE(h.state.rows.empty());
}

} // namespace
} // namespace qb::tui
