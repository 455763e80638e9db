#include "common/saturating.hpp"
#include "tui_harness.hpp"

#include <gtest/gtest.h>

namespace qb::tui {
namespace {

using namespace testing;
using term::KeyCode;
using term::KeyMods;

TEST(Keys, CursorMoves) {
    Harness h;
    h.show({});
    for (auto k : {KeyCode::Down, KeyCode::End, KeyCode::PageDown}) {
        h.press(key(k));
        EXPECT_EQ(h.state.cursor, 0u);
    }
    std::vector<Candidate> rows;
    for (int i = 0; i < 8; ++i) {
        rows.push_back(row("/w/r" + std::to_string(i), 100 - i));
    }
    h.show(rows);
    auto after = [&](std::uint64_t from, term::KeyEvent k) {
        h.state.cursor = from;
        h.press(k);
        return h.state.cursor;
    };
    auto ch = [](char32_t c) { return term::KeyEvent::character(c); };
    EXPECT_EQ(after(7, key(KeyCode::PageUp)), 0u);
    EXPECT_EQ(after(5, key(KeyCode::PageDown)), 7u);
    EXPECT_EQ(after(0, key(KeyCode::Up)), 0u);
    EXPECT_EQ(after(3, ch('k')), 2u);
    EXPECT_EQ(after(7, ch('j')), 7u);
    EXPECT_EQ(after(kU64Max, key(KeyCode::Down)), 7u);
    EXPECT_EQ(after(4, ch('g')), 0u);
    EXPECT_EQ(after(4, ch('G')), 7u);
    // Keys without a meaning change nothing.
    for (auto k : {KeyCode::Left, KeyCode::Delete, KeyCode::BackTab, KeyCode::Backspace}) {
        EXPECT_EQ(after(2, key(k)), 2u);
    }
    EXPECT_EQ(after(2, ch('x')), 2u);
    EXPECT_EQ(h.state.phase, TuiPhase::Ready);
    EXPECT_FALSE(h.state.quit);
}

TEST(Keys, QuitHelpAndPhases) {
    for (TuiPhase phase : {TuiPhase::Scanning, TuiPhase::Ready, TuiPhase::Checking,
                           TuiPhase::Confirm, TuiPhase::ScanFailed}) {
        Harness h;
        h.state.phase = phase;
        h.state.filter_open = phase == TuiPhase::Ready;
        h.state.help_open = phase == TuiPhase::Scanning;
        h.press('c', KeyMods::CONTROL);
        EXPECT_TRUE(h.state.quit);
    }
    Harness cleaning;
    cleaning.state.phase = TuiPhase::Cleaning;
    cleaning.press('c', KeyMods::CONTROL);
    cleaning.press('q');
    cleaning.press(key(KeyCode::Esc));
    EXPECT_FALSE(cleaning.state.quit);
    EXPECT_EQ(cleaning.status(), "Deletion is in progress — wait for it to finish");

    Harness h;
    h.show({row("/w/a", 2), row("/w/b", 1)});
    h.press('?');
    h.type("jd ");
    EXPECT_EQ(h.state.cursor, 0u);
    EXPECT_TRUE(h.state.selected_paths.empty());
    EXPECT_EQ(h.state.phase, TuiPhase::Ready);
    h.press('q'); // closes the help, does not quit
    EXPECT_FALSE(h.state.help_open || h.state.quit);
    // Modifiers count only for Ctrl+C and in the filter input: Ctrl+Q quits.
    h.press('q', KeyMods::CONTROL);
    EXPECT_TRUE(h.state.quit);
    // Releases never act.
    Harness r;
    term::KeyEvent release = term::KeyEvent::character('q');
    release.kind = term::KeyKind::Release;
    r.press(release);
    EXPECT_FALSE(r.state.quit);
}

TEST(Keys, FilterInputAndViewKeys) {
    Harness h;
    Candidate global = row("/home/u/.npm", 1);
    global.scope = CacheScope::Global;
    h.show({row("/w/a/target", 9), row("/w/node/x", 5), row("/w/é/target", 3), global});
    h.press('G');
    h.press('/');
    h.press('N', KeyMods::SHIFT);
    h.press('o', KeyMods::ALT);
    EXPECT_EQ(h.state.filter, "No");
    EXPECT_EQ(h.state.cursor, 0u);
    EXPECT_EQ(h.visible_paths(), std::vector<std::string>{"/w/node/x"});
    h.type("q"); // typed, not quit
    EXPECT_TRUE(h.visible_paths().empty());
    h.press('x', KeyMods::CONTROL); // ignored
    h.press(key(KeyCode::Backspace));
    EXPECT_EQ(h.state.filter, "No");
    h.press('u', KeyMods::CONTROL);
    EXPECT_EQ(h.state.filter, "");
    h.press(U'é');
    EXPECT_EQ(h.visible_paths(), std::vector<std::string>{"/w/é/target"});
    h.press(key(KeyCode::Backspace)); // both bytes go
    EXPECT_EQ(h.state.filter, "");
    h.state.cursor = 2;
    h.press(key(KeyCode::Backspace));
    EXPECT_EQ(h.state.cursor, 0u);
    h.type("t");
    h.state.cursor = 1;
    h.press(key(KeyCode::Enter));
    EXPECT_FALSE(h.state.filter_open);
    EXPECT_EQ(h.state.cursor, 1u);
    EXPECT_FALSE(h.state.quit);
    // Esc in Ready clears the text, then does nothing.
    h.press(key(KeyCode::Esc));
    EXPECT_EQ(h.visible_paths().size(), 4u);
    h.press('j');
    h.press(key(KeyCode::Esc));
    EXPECT_EQ(h.state.cursor, 1u);

    h.press(key(KeyCode::Tab));
    EXPECT_EQ(h.state.view_scope, ScopeFilter::Project);
    EXPECT_EQ(h.state.cursor, 0u);
    h.press(key(KeyCode::Tab));
    EXPECT_EQ(h.visible_paths(), std::vector<std::string>{"/home/u/.npm"});
    h.press(key(KeyCode::Tab));
    EXPECT_EQ(h.state.view_scope, ScopeFilter::All);
    h.type("sss");
    EXPECT_EQ(h.state.sort, SortMode::Size);
    h.type("ss");
    EXPECT_EQ(h.state.sort, SortMode::Name);
    EXPECT_EQ(h.visible_paths().front(), "/home/u/.npm");
}

TEST(Keys, Selection) {
    Harness h;
    Candidate scan_only = row("/w/scan-only", 7);
    scan_only.cleanable = false;
    h.show({row("/w/app/a", 9), row("/w/app/b", 8), scan_only}, docker_classes());
    h.press(' ');
    EXPECT_TRUE(h.state.selected_paths.contains("/w/app/a"));
    EXPECT_EQ(h.state.cursor, 1u);
    h.type("j ");
    EXPECT_EQ(h.status(), "Selected scan-only cache; delete requires confirmation");
    EXPECT_TRUE(h.state.selected_paths.contains("/w/scan-only"));
    EXPECT_EQ(h.state.cursor, 3u);
    h.press(' '); // Docker images: inspection-only, the cursor stays
    EXPECT_EQ(h.status(), "This Docker resource is inspection-only");
    EXPECT_EQ(h.state.cursor, 3u);
    h.type("j ");
    EXPECT_EQ(h.state.selected_docker, KindSet{"docker-build-cache"});
    h.state.cursor = 2;
    h.press(' ');
    EXPECT_FALSE(h.state.selected_paths.contains("/w/scan-only"));

    // `a` twice selects, then unselects, exactly the deletable visible rows.
    h.state.selected_docker.clear();
    h.state.selected_paths = {"/w/hidden"};
    h.press('/');
    h.type("app");
    h.press(key(KeyCode::Enter));
    h.press('a');
    EXPECT_EQ(h.state.selected_paths, (PathSet{"/w/app/a", "/w/app/b", "/w/hidden"}));
    EXPECT_TRUE(h.state.selected_docker.empty());
    h.press('a');
    EXPECT_EQ(h.state.selected_paths, PathSet{"/w/hidden"});
    h.press(key(KeyCode::Esc));
    h.press('a');
    EXPECT_EQ(h.state.selected_paths.size(), 3u);
    EXPECT_EQ(h.state.selected_docker, KindSet{"docker-build-cache"});
    h.state.filter = "scan-only";
    rebuild_view(h.state);
    h.press('a');
    EXPECT_EQ(h.status(), "No deletable caches in this view");
}

TEST(Keys, WhileScanning) {
    Harness h;
    h.show({row("/w/a", 5)}, docker_classes());
    h.press('r');
    h.apply(msg::Found{sizing("/w/sizing")});
    for (char32_t c : {U'a', U'd'}) {
        h.state.status.reset();
        h.press(c);
        EXPECT_EQ(h.status(), "Finish sizing before batch selection or deletion");
    }
    h.press('r');
    EXPECT_EQ(h.scan_jobs.size(), 1u);
    EXPECT_EQ(h.state.phase, TuiPhase::Scanning);
    h.state.cursor = 1;
    h.press(' ');
    EXPECT_EQ(h.status(), "Wait for this cache to finish sizing before selecting it");
    EXPECT_EQ(h.state.cursor, 1u);
    h.state.cursor = 3; // the build cache
    h.press(' ');
    EXPECT_EQ(h.state.selected_docker, KindSet{"docker-build-cache"});
    EXPECT_TRUE(h.measured.empty());

    // Esc clears a filter that hides every row, as in Ready; only then does it quit.
    h.press('/');
    h.type("nothing");
    h.press(key(KeyCode::Enter));
    ASSERT_TRUE(h.state.visible_rows.empty() && h.state.visible_sizing.empty() &&
                h.state.visible_docker.empty());
    h.state.user_moved = false;
    h.state.cursor = 3;
    h.press(key(KeyCode::Esc));
    EXPECT_FALSE(h.state.quit);
    EXPECT_TRUE(h.state.user_moved);
    EXPECT_EQ(h.state.filter, "");
    EXPECT_EQ(h.state.cursor, 0u);
    EXPECT_EQ(last_visible_index(h.state), 5u);
    h.press(key(KeyCode::Esc));
    EXPECT_TRUE(h.state.quit);
}

} // namespace
} // namespace qb::tui
