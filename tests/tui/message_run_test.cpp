// Runs of worker messages applied with one view rebuild at the end of each run of scan
// progress, against the same messages applied one at a time by the rules as written.

#include "tui_harness.hpp"

#include <algorithm>
#include <fmt/format.h>
#include <gtest/gtest.h>
#include <random>

namespace qb::tui {
namespace {

using namespace testing;

class Script {
public:
    explicit Script(unsigned seed, bool with_scan_ends) : rng_(seed), ends_(with_scan_ends) {
        for (int i = 0; i < 24; ++i) {
            // Component order differs from byte order for some of them (/w/a/b, /w/a-b).
            paths_.push_back(fmt::format("/w/{}/p{}", i % 3 == 0 ? "a-b" : "a/b", i));
        }
    }

    WorkerMessage next() {
        unsigned roll = pick(100);
        if (roll < 40) {
            SizingRow r = sizing(path(), pick(3) == 0 ? CacheScope::Global : CacheScope::Project);
            return msg::Found{std::move(r)};
        }
        if (roll < 80) {
            // Few sizes, so that ties leave the order to the path.
            return msg::Measured{row(path(), 10 * pick(4))};
        }
        if (roll < 92) {
            return msg::NoCandidate{path()};
        }
        if (roll < 95) {
            return msg::WalkError{"walk error"};
        }
        if (roll < 98 || !ends_) {
            std::vector<NativeResource> rows = docker_classes();
            rows.resize(pick(static_cast<unsigned>(rows.size()) + 1));
            return inspected(std::move(rows));
        }
        std::vector<Candidate> rows;
        for (unsigned n = pick(6); n > 0; --n) {
            rows.push_back(row(path(), 10 * pick(4)));
        }
        return finished(std::move(rows));
    }

    unsigned pick(unsigned n) { return static_cast<unsigned>(rng_() % n); }

private:
    // Now and then a second spelling of the same path.
    std::string path() {
        const std::string& p = paths_[pick(static_cast<unsigned>(paths_.size()))];
        return pick(6) == 0 ? p + "/" : p;
    }

    std::mt19937 rng_;
    bool ends_;
    std::vector<std::string> paths_;
};

/// The rules for one progress message as written, searching the row lists from the
/// front; every other message as the interface applies it.
void apply_one_by_one(Harness& h, WorkerMessage m) {
    TuiState& s = h.state;
    auto in = [](auto& rows, std::string_view p) {
        return std::find_if(rows.begin(), rows.end(),
                            [&](const auto& r) { return path::equal(r.path, p); });
    };
    auto drop_sizing = [&](std::string_view p) {
        std::erase_if(s.sizing_rows, [&](const SizingRow& r) { return path::equal(r.path, p); });
    };
    std::optional<RowKey> key = selected_row_key(s);
    if (auto* f = std::get_if<msg::Found>(&m)) {
        if (s.pending_paths.insert(f->row.path).second) {
            ++s.found_count;
        }
        if (in(s.rows, f->row.path) != s.rows.end() ||
            in(s.sizing_rows, f->row.path) != s.sizing_rows.end()) {
            return;
        }
        s.sizing_rows.push_back(f->row);
    } else if (auto* measured = std::get_if<msg::Measured>(&m)) {
        const Candidate& c = measured->candidate;
        s.pending_paths.erase(c.path);
        s.measured_paths.insert(c.path);
        s.remembered.erase(c.path);
        drop_sizing(c.path);
        if (auto same = in(s.rows, c.path); same != s.rows.end()) {
            *same = c;
        } else {
            s.rows.push_back(c);
        }
    } else if (auto* none = std::get_if<msg::NoCandidate>(&m)) {
        s.pending_paths.erase(none->path);
        s.remembered.erase(none->path);
        drop_sizing(none->path);
    } else {
        h.apply(std::move(m));
        return;
    }
    replace_rows(s, key);
}

void expect_same(const TuiState& a, const TuiState& b) {
    ASSERT_EQ(a.visible_rows, b.visible_rows);
    ASSERT_EQ(a.visible_sizing, b.visible_sizing);
    ASSERT_EQ(a.visible_docker, b.visible_docker);
    ASSERT_EQ(a.cursor, b.cursor);
    ASSERT_EQ(a.rows.size(), b.rows.size());
    for (std::size_t i = 0; i < a.rows.size(); ++i) {
        ASSERT_EQ(a.rows[i].path, b.rows[i].path);
        ASSERT_EQ(a.rows[i].bytes, b.rows[i].bytes);
    }
    ASSERT_EQ(a.sizing_rows.size(), b.sizing_rows.size());
    for (std::size_t i = 0; i < a.sizing_rows.size(); ++i) {
        ASSERT_EQ(a.sizing_rows[i].path, b.sizing_rows[i].path);
    }
    ASSERT_EQ(a.found_count, b.found_count);
    ASSERT_EQ(a.pending_paths.size(), b.pending_paths.size());
    ASSERT_EQ(a.scan_errors, b.scan_errors);
    ASSERT_EQ(a.phase, b.phase);
}

/// Feeds the same script to one harness message by message and to another in runs of
/// random length, comparing after every run.
void compare(Script& script, Harness& single, Harness& batched, int runs) {
    for (int r = 0; r < runs; ++r) {
        MessageRun run(batched.state, batched.sender);
        for (unsigned n = script.pick(40) + 1; n > 0; --n) {
            WorkerMessage m = script.next();
            apply_one_by_one(single, m);
            run.apply(std::move(m));
        }
        run.finish();
        expect_same(single.state, batched.state);
        if (::testing::Test::HasFatalFailure()) {
            FAIL() << "run " << r;
        }
    }
}

TEST(MessageRun, MatchesMessageByMessageWhileTheUserHasNotMoved) {
    for (unsigned seed : {1u, 2u, 3u, 4u}) {
        SCOPED_TRACE(seed);
        Script script(seed, true);
        Harness single;
        Harness batched;
        compare(script, single, batched, 300);
        EXPECT_EQ(batched.state.cursor, 0u);
    }
}

TEST(MessageRun, FollowsTheFocusedRowThroughARun) {
    for (unsigned seed : {5u, 6u, 7u}) {
        SCOPED_TRACE(seed);
        Script script(seed, false);
        Harness single;
        Harness batched;
        // A measured row stays until a scan's final list replaces it; runs without one keep
        // the focus on it however the rows around it change.
        for (Harness* h : {&single, &batched}) {
            h->show({row("/w/keep", 15), row("/w/other", 25)});
            h->state.user_moved = true;
            h->state.cursor = 1;
            ASSERT_EQ(h->visible_paths()[h->state.cursor], "/w/keep");
        }
        compare(script, single, batched, 200);
        ASSERT_LT(batched.state.cursor, batched.state.visible_rows.size());
        EXPECT_EQ(batched.state.rows[batched.state.visible_rows[batched.state.cursor]].path,
                  "/w/keep");
    }
}

TEST(MessageRun, FocusedSizingRowIsFollowedIntoTheMeasuredRows) {
    Harness h;
    h.show({row("/w/big", 500)});
    h.apply(msg::Found{sizing("/w/a")});
    h.apply(msg::Found{sizing("/w/b")});
    h.state.user_moved = true;
    h.state.cursor = 2; // the sizing row of /w/b
    {
        MessageRun run(h.state, h.sender);
        run.apply(msg::Measured{row("/w/b", 900)});
        run.apply(msg::NoCandidate{"/w/a"});
        run.apply(msg::Found{sizing("/w/c")});
    }
    EXPECT_EQ(h.visible_paths(), (std::vector<std::string>{"/w/b", "/w/big"}));
    EXPECT_EQ(h.state.cursor, 0u);
    ASSERT_EQ(h.state.visible_sizing.size(), 1u);
    EXPECT_EQ(h.state.sizing_rows[h.state.visible_sizing[0]].path, "/w/c");
    EXPECT_EQ(h.state.found_count, 3u);
}

} // namespace
} // namespace qb::tui
