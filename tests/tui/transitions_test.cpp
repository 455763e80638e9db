// Phase, cursor and selection rules of the interface at their edges: what each key does
// in each phase, what the focus does when rows come and go, odd paths and empty lists.

#include "common/saturating.hpp"
#include "tui_harness.hpp"

#include <gtest/gtest.h>
#include <tuple>

namespace qb::tui {
namespace {

using namespace testing;
using term::KeyCode;
using term::KeyMods;

TEST(Transitions, KeysByPhase) {
    // Checking takes no key but Ctrl+C: no quit, no move, no filter.
    Harness h;
    h.show({row("/w/a", 3), row("/w/b", 2)});
    h.state.phase = TuiPhase::Checking;
    for (char32_t c : {U'q', U'j', U'/', U'?', U' ', U'a', U'd', U'r', U'y', U'n'}) {
        h.press(c);
    }
    h.press(key(KeyCode::Esc));
    h.press(key(KeyCode::Enter));
    EXPECT_FALSE(h.state.quit || h.state.filter_open || h.state.help_open);
    EXPECT_EQ(h.state.cursor, 0u);
    EXPECT_TRUE(h.state.selected_paths.empty());
    EXPECT_TRUE(h.scan_jobs.empty());
    EXPECT_EQ(h.state.phase, TuiPhase::Checking);

    // Confirm: q does not quit, capitals do nothing, Esc cancels and keeps the selection.
    h.state.phase = TuiPhase::Confirm;
    h.state.plan = {row("/w/a", 3)};
    h.state.operation_paths = {"/w/a"};
    h.state.docker_in_operation = true;
    h.state.pending_prune = build_cache(5);
    h.state.selected_paths = {"/w/a"};
    set_status(h.state, "kept");
    h.type("qDYNjg/?r");
    EXPECT_FALSE(h.state.quit || h.state.filter_open || h.state.help_open);
    EXPECT_EQ(h.state.phase, TuiPhase::Confirm);
    EXPECT_FALSE(h.state.user_moved);
    h.press(key(KeyCode::Esc));
    EXPECT_EQ(h.state.phase, TuiPhase::Ready);
    EXPECT_TRUE(h.state.plan.empty() && h.state.operation_paths.empty());
    EXPECT_FALSE(h.state.pending_prune || h.state.docker_in_operation || h.state.user_moved);
    EXPECT_EQ(h.state.selected_paths, PathSet{"/w/a"});
    EXPECT_EQ(h.status(), "kept");
    // Enter with nothing pending only goes back to Ready.
    h.state.phase = TuiPhase::Confirm;
    h.press(key(KeyCode::Enter));
    EXPECT_EQ(h.state.phase, TuiPhase::Ready);
    EXPECT_TRUE(h.measured.empty());

    // ScanFailed: only r, q and Esc.
    Harness f;
    f.state.phase = TuiPhase::ScanFailed;
    f.type("/?jd a");
    EXPECT_FALSE(f.state.filter_open || f.state.help_open || f.state.user_moved);
    EXPECT_TRUE(f.status().empty());
    f.press('r');
    EXPECT_EQ(f.state.phase, TuiPhase::Scanning);
    EXPECT_FALSE(f.state.refreshing);
    EXPECT_TRUE(f.scan_jobs.at(0).known_paths.empty());
    f.state.phase = TuiPhase::ScanFailed;
    f.press(key(KeyCode::Esc));
    EXPECT_TRUE(f.state.quit);

    // Modifiers are not consulted outside Ctrl+C and the filter: Alt+d acts as d.
    Harness m;
    m.show({row("/w/a", 3)});
    m.press('d', KeyMods::ALT);
    EXPECT_EQ(m.measured, std::vector<std::string>{"/w/a"});
}

// What a key can change, and what it asked the workers to do.
auto effects(const Harness& h) {
    return std::tuple(h.state.phase, h.state.cursor, h.state.selected_paths, h.state.plan.size(),
                      h.state.filter_open, h.state.user_moved, h.state.quit, h.status(),
                      h.measured);
}

TEST(Transitions, BehindTheTooSmallNoticeOnlyQuitActs) {
    const std::vector<term::Rect> too_small = {{0, 0, 57, 16}, {0, 0, 58, 15}, {0, 0, 40, 10}};
    const term::Rect smallest_full{0, 0, 58, 16};
    const std::vector<term::KeyEvent> keys = {
        term::KeyEvent::character('y'), key(KeyCode::Enter),
        term::KeyEvent::character('d'), term::KeyEvent::character('a'),
        term::KeyEvent::character(' '), term::KeyEvent::character('/')};
    auto in_phase = [](Harness& h, TuiPhase phase, std::optional<term::Rect> area) {
        h.show({row("/w/a", 3), row("/w/b", 2)});
        h.state.phase = phase;
        if (phase == TuiPhase::Confirm) {
            h.state.plan = {row("/w/a", 3)};
            h.state.operation_paths = {"/w/a"};
        }
        h.state.drawn_area = area;
    };
    for (TuiPhase phase :
         {TuiPhase::Scanning, TuiPhase::Ready, TuiPhase::Confirm, TuiPhase::Checking}) {
        for (const term::KeyEvent& k : keys) {
            // At the smallest full size a key does what it does before any frame is drawn.
            Harness today;
            in_phase(today, phase, std::nullopt);
            today.press(k);
            Harness full;
            in_phase(full, phase, smallest_full);
            full.press(k);
            EXPECT_EQ(effects(full), effects(today)) << term::describe(k);
            for (term::Rect area : too_small) {
                Harness h;
                in_phase(h, phase, area);
                const auto before = effects(h);
                h.press(k);
                EXPECT_EQ(effects(h), before)
                    << term::describe(k) << " in phase " << static_cast<int>(phase) << " at "
                    << area.width << " x " << area.height;
            }
        }
        // q does what the notice says, in every one of them.
        for (term::Rect area : too_small) {
            Harness h;
            in_phase(h, phase, area);
            h.press('q');
            EXPECT_TRUE(h.state.quit);
        }
    }
    // A running clean still cannot be left; its message waits for a frame that shows it.
    Harness cleaning;
    cleaning.state.phase = TuiPhase::Cleaning;
    cleaning.state.drawn_area = too_small.front();
    cleaning.press('q');
    EXPECT_FALSE(cleaning.state.quit);
    EXPECT_EQ(cleaning.status(), "Deletion is in progress — wait for it to finish");
}

TEST(Transitions, WhoSetsUserMoved) {
    Harness h;
    h.show({row("/w/a", 3), row("/w/b", 2)});
    // The help, its keys, the filter edits and the rescan leave it alone.
    h.press('?');
    h.press('j');
    h.press('?');
    h.press('r');
    h.press('/');
    EXPECT_TRUE(h.state.user_moved); // `/` sets it
    h.state.user_moved = false;
    h.type("a");
    h.press(key(KeyCode::Backspace));
    h.press('u', KeyMods::CONTROL);
    h.press(key(KeyCode::Enter));
    EXPECT_FALSE(h.state.user_moved);
    // While it is false a new row puts the cursor on the first row.
    h.state.cursor = 1;
    h.apply(msg::Found{sizing("/w/new")});
    EXPECT_EQ(h.state.cursor, 0u);
    // a and d in Scanning set it.
    h.press('a');
    EXPECT_TRUE(h.state.user_moved);
}

TEST(Transitions, FocusFollowsTheRow) {
    Harness h;
    start_background_scan(h.state, h.sender);
    h.drain(); // Docker rows: images, build cache, volumes, containers
    h.apply(msg::Found{sizing("/w/a")});
    h.apply(msg::Found{sizing("/w/b")});
    h.press(key(KeyCode::Down)); // /w/b
    EXPECT_EQ(selected_row_key(h.state), RowKey::path("/w/b"));
    // A Found for a path that has a row adds nothing and keeps the cursor, but counts
    // the path once when it is new to this scan.
    h.state.cursor = 1;
    h.apply(msg::Found{sizing("/w/b/")});
    EXPECT_EQ(h.state.sizing_rows.size(), 2u);
    EXPECT_EQ(h.state.found_count, 2u);
    // The row moves from the sizing list into the measured list: the cursor follows it.
    h.apply(msg::Measured{row("/w/b", 7)});
    EXPECT_EQ(selected_row_key(h.state), RowKey::path("/w/b"));
    EXPECT_EQ(h.state.cursor, 0u);
    // A Docker row stays focused when measured rows appear above it.
    h.press(key(KeyCode::End)); // Docker containers
    EXPECT_EQ(selected_row_key(h.state), RowKey::docker_kind("docker-containers"));
    h.apply(msg::Measured{row("/w/a", 9)});
    h.apply(msg::Found{sizing("/w/c")});
    EXPECT_EQ(selected_row_key(h.state), RowKey::docker_kind("docker-containers"));
    EXPECT_EQ(h.state.cursor, 6u);
    // A focused row that disappears leaves the cursor at its clamped place.
    std::vector<NativeResource> fewer = docker_classes();
    std::erase_if(fewer, [](const NativeResource& r) { return r.kind == "docker-containers"; });
    h.apply(inspected(fewer));
    EXPECT_EQ(h.state.cursor, 5u);
    EXPECT_EQ(selected_row_key(h.state), RowKey::docker_kind("docker-volumes"));

    // The final list drops selections of rows the scan no longer finds; the others stay.
    h.state.selected_paths = {"/w/a", "/w/b"};
    h.state.cursor = 0;
    h.apply(finished({row("/w/b", 7)}));
    EXPECT_EQ(h.state.selected_paths, PathSet{"/w/b"});
    EXPECT_EQ(selected_row_key(h.state), RowKey::path("/w/b"));
}

TEST(Transitions, DockerSelectionSurvivesOnlyOnCleanableRows) {
    Harness h;
    h.show({row("/w/a", 1)}, docker_classes());
    h.state.selected_docker = {"docker-build-cache"};
    // Two rows of one kind: a cleanable one among them keeps the kind selected.
    NativeResource stale = build_cache(0);
    stale.cleanable = false;
    std::vector<NativeResource> rows = {stale, build_cache(300)};
    h.apply(inspected(rows));
    EXPECT_EQ(h.state.selected_docker, KindSet{"docker-build-cache"});
    h.apply(inspected({stale}));
    EXPECT_TRUE(h.state.selected_docker.empty());
}

TEST(Transitions, EmptyAndBeyondTheList) {
    // Nothing at all: every key is harmless.
    Harness h;
    h.show({});
    for (char32_t c : {U'j', U'k', U'G', U'g', U' ', U'd', U's'}) {
        h.press(c);
    }
    h.press(key(KeyCode::PageDown));
    h.press(key(KeyCode::Tab));
    EXPECT_EQ(h.state.cursor, 0u);
    EXPECT_EQ(h.state.phase, TuiPhase::Ready);
    EXPECT_TRUE(h.measured.empty());
    h.press('a');
    EXPECT_EQ(h.status(), "No deletable caches in this view");

    // A cursor past the visible order focuses nothing: Space and d do nothing.
    h.show({row("/w/a", 1)});
    h.state.cursor = kU64Max;
    EXPECT_FALSE(selected_row_key(h.state).has_value());
    h.state.status.reset();
    h.press(' ');
    h.press('d');
    EXPECT_TRUE(h.state.selected_paths.empty());
    EXPECT_TRUE(h.measured.empty());
    EXPECT_FALSE(h.state.status.has_value());
    h.press(key(KeyCode::PageDown));
    EXPECT_EQ(h.state.cursor, 0u);

    // Space on the last row selects it and stays there.
    h.press(' ');
    EXPECT_EQ(h.state.cursor, 0u);
    EXPECT_EQ(h.state.selected_paths, PathSet{"/w/a"});
}

TEST(Transitions, PathsThatAreNotUtf8) {
    Harness h;
    Candidate odd = row("/w/\xFF\xFEnode/target", 5);
    h.show({odd, row("/w/plain", 9)});
    h.press('/');
    h.type("NODE");
    EXPECT_EQ(h.visible_paths(), std::vector<std::string>{odd.path});
    // The replacement character typed by the user matches the unreadable bytes.
    h.press('u', KeyMods::CONTROL);
    h.press(U'\uFFFD');
    EXPECT_EQ(h.visible_paths(), std::vector<std::string>{odd.path});
    h.press(key(KeyCode::Backspace));
    EXPECT_EQ(h.state.filter, "");
    h.press(key(KeyCode::Enter));
    // Selection and focus keep the bytes as they are.
    h.press('j');
    h.press(' ');
    EXPECT_TRUE(h.state.selected_paths.contains(odd.path));
    h.apply(msg::Measured{row(odd.path, 50)});
    EXPECT_EQ(selected_row_key(h.state), RowKey::path(odd.path));
    EXPECT_EQ(h.state.rows.size(), 2u);
}

TEST(Transitions, ScanStartBookkeeping) {
    // A kind filter: no Docker inspection, and the Docker rows go.
    Harness h({{"/w"}, {"cargo-target"}, ScopeFilter::Global});
    h.state.rows = {row("/w/b", 5), row("/w/a", 5), row("/w/c", 9), row("/w/a/", 1)};
    h.state.docker_rows = docker_classes();
    h.state.measured_paths = {"/w/old"};
    h.state.scan_errors = {"old"};
    h.state.pending_prune = build_cache(1);
    h.state.docker_in_operation = true;
    rebuild_view(h.state);
    start_background_scan(h.state, h.sender);
    EXPECT_EQ(h.inspections, 0);
    EXPECT_TRUE(h.state.docker_rows.empty() && h.state.visible_docker.empty());
    ASSERT_EQ(h.scan_jobs.size(), 1u);
    const ScanJob& job = h.scan_jobs[0];
    EXPECT_EQ(job.request.roots, std::vector<std::string>{"/w"});
    EXPECT_EQ(job.request.kinds, std::vector<std::string>{"cargo-target"});
    EXPECT_EQ(job.request.scope, ScopeFilter::Global);
    // Equal bytes by path; a repeat that is not next to its twin stays in the list.
    EXPECT_EQ(job.known_paths, (std::vector<std::string>{"/w/c", "/w/a", "/w/b", "/w/a/"}));
    EXPECT_EQ(h.state.pending_paths.size(), 3u);
    EXPECT_EQ(h.state.found_count, 3u);
    EXPECT_TRUE(h.state.measured_paths.empty() && h.state.scan_errors.empty());
    EXPECT_FALSE(h.state.pending_prune || h.state.docker_in_operation);
    EXPECT_TRUE(h.state.refreshing);

    // A failed scan empties what belonged to it and keeps the rows and their errors.
    h.apply(msg::Found{sizing("/w/new")});
    h.apply(msg::WalkError{"walk"});
    h.apply(failed("/w"));
    EXPECT_TRUE(h.state.sizing_rows.empty() && h.state.visible_sizing.empty());
    EXPECT_TRUE(h.state.pending_paths.empty() && h.state.remembered.empty());
    EXPECT_EQ(h.state.scan_errors, std::vector<std::string>{"walk"});
    EXPECT_EQ(h.state.rows.size(), 4u);
    EXPECT_EQ(h.state.found_count, 4u); // the count of the scan stays for the header
}

} // namespace
} // namespace qb::tui
