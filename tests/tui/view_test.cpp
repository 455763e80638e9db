#include "common/saturating.hpp"
#include "tui_harness.hpp"

#include <gtest/gtest.h>

namespace qb::tui {
namespace {

using namespace testing;

std::vector<std::string> labels(const TuiState& s) {
    std::vector<std::string> out;
    for (std::size_t i : s.visible_docker) {
        out.push_back(s.docker_rows[i].label);
    }
    return out;
}

TEST(View, ScopeAndFilter) {
    Harness h;
    Candidate nm = row("/w/app/node_modules", 10);
    nm.kind = "node-modules";
    Candidate npm = row("/home/u/.npm", 30);
    npm.kind = "npm-cache";
    npm.scope = CacheScope::Global;
    h.state.rows = {nm, row("/w/rust/target", 20), npm, row("/w/Élan/NoDe/target", 5)};
    h.state.sizing_rows = {sizing("/w/web/x"),
                           sizing("/home/u/.cargo/registry", CacheScope::Global)};
    h.state.docker_rows = docker_classes();
    auto view = [&](ScopeFilter scope, std::string filter) {
        h.state.view_scope = scope;
        h.state.filter = std::move(filter);
        rebuild_view(h.state);
        return std::vector<std::size_t>{h.state.visible_rows.size(), h.state.visible_sizing.size(),
                                        h.state.visible_docker.size()};
    };
    using V = std::vector<std::size_t>;
    EXPECT_EQ(view(ScopeFilter::All, ""), (V{4, 2, 4}));
    // Kind, ecosystem or path in any ASCII case; a non-ASCII letter only as typed.
    EXPECT_EQ(view(ScopeFilter::All, "NODE"), (V{2, 2, 0}));
    EXPECT_EQ(view(ScopeFilter::All, "élan"), (V{0, 0, 0}));
    EXPECT_EQ(view(ScopeFilter::All, "Élan"), (V{1, 0, 0}));
    // The build cache matches "cache" by kind and label.
    EXPECT_EQ(view(ScopeFilter::All, "cache"), (V{1, 0, 1}));
    EXPECT_EQ(labels(h.state), std::vector<std::string>{"Docker build cache"});
    EXPECT_EQ(view(ScopeFilter::All, "dOcK"), (V{0, 0, 4}));
    // Project never shows Docker rows; global shows them beside the global caches.
    EXPECT_EQ(view(ScopeFilter::Project, ""), (V{3, 1, 0}));
    EXPECT_EQ(view(ScopeFilter::Project, "docker"), (V{0, 0, 0}));
    EXPECT_EQ(view(ScopeFilter::Global, ""), (V{1, 1, 4}));
}

TEST(View, SortModesAndCursorClamp) {
    Harness h;
    Candidate a = row("/w/a-b", 100), b = row("/w/a/b", 100), c = row("/w/c", 300);
    Candidate d = row("/w/d", 50);
    a.age_days = 0;
    b.age_days.reset(); // sorts as 0 days
    c.age_days = 2;
    d.age_days = 40;
    h.state.rows = {a, b, c, d};
    h.state.sizing_rows = {sizing("/w/z"), sizing("/w/a")};
    h.state.docker_rows = docker_classes();
    rebuild_view(h.state);
    // Equal sizes by component order: /w/a/b before /w/a-b.
    EXPECT_EQ(h.visible_paths(), (std::vector<std::string>{"/w/c", "/w/a/b", "/w/a-b", "/w/d"}));
    EXPECT_EQ(labels(h.state), (std::vector<std::string>{"Docker images", "Docker build cache",
                                                         "Docker volumes", "Docker containers"}));
    h.state.sort = SortMode::Age;
    rebuild_view(h.state);
    EXPECT_EQ(h.visible_paths(), (std::vector<std::string>{"/w/d", "/w/c", "/w/a/b", "/w/a-b"}));
    h.state.sort = SortMode::Name;
    rebuild_view(h.state);
    EXPECT_EQ(h.visible_paths(), (std::vector<std::string>{"/w/a/b", "/w/a-b", "/w/c", "/w/d"}));
    EXPECT_EQ(labels(h.state), (std::vector<std::string>{"Docker build cache", "Docker containers",
                                                         "Docker images", "Docker volumes"}));
    EXPECT_EQ(h.state.visible_sizing, (std::vector<std::size_t>{0, 1})); // never sorted

    // The cursor lands on the last row, or 0 when nothing is visible.
    h.state.cursor = 99;
    rebuild_view(h.state);
    EXPECT_EQ(h.state.cursor, 9u);
    EXPECT_EQ(focused_row(h.state), (FocusedRow{FocusedRow::Kind::Docker, 3}));
    h.state.cursor = 10;
    EXPECT_EQ(focused_row(h.state).kind, FocusedRow::Kind::None);
    EXPECT_FALSE(selected_row_key(h.state).has_value());
    h.state.filter = "no match";
    rebuild_view(h.state);
    EXPECT_EQ(h.state.cursor, 0u);
}

TEST(View, TotalsSaturate) {
    Harness h;
    h.state.rows = {row("/w/a", kU64Max - 1), row("/w/b", 5)};
    h.state.docker_rows = {build_cache(kU64Max), docker("docker-images", "Docker images", 4)};
    h.state.selected_paths = {"/w/a/", "/w/b"};
    h.state.selected_docker = {"docker-build-cache"};
    EXPECT_EQ(rows_apparent_bytes(h.state), kU64Max);
    EXPECT_EQ(docker_reclaimable_bytes(h.state), kU64Max);
    EXPECT_EQ(selected_bytes(h.state), kU64Max);
    EXPECT_EQ(selection_count(h.state), 3u);
    h.state.selected_docker.clear();
    h.state.selected_paths = {"/w/b"};
    EXPECT_EQ(selected_bytes(h.state), 5u);
    EXPECT_EQ(plan_bytes({row("/w/a", kU64Max), row("/w/b", 1)}).allocated, kU64Max);
}

} // namespace
} // namespace qb::tui
