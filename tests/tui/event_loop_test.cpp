// The parts of the loop that need no terminal: which remembered entries are shown at
// start, when a turn draws, and what terminal events do.

#include "scanner/mount_helper.hpp"
#include "support/test_support.hpp"
#include "tui/event_loop.hpp"
#include "tui/messages.hpp"
#include "tui/workers.hpp"

#include <fmt/format.h>
#include <gtest/gtest.h>

namespace qb::tui {
namespace {

constexpr std::uint64_t kNow = 1'700'000'000;

RememberedCache entry(std::string path, std::uint64_t bytes, std::uint64_t observed = kNow,
                      CacheScope scope = CacheScope::Project, std::string kind = "cargo-target") {
    return RememberedCache{std::move(kind), "rust",       scope, std::move(path), bytes,
                           bytes,           std::nullopt, true,  observed};
}

std::vector<std::string> paths(const std::vector<RememberedCache>& entries) {
    std::vector<std::string> out;
    for (const RememberedCache& e : entries) {
        out.push_back(e.path);
    }
    return out;
}

TEST(SelectRemembered, AgeRootsScopeAndKinds) {
    ScanOptions options{{"/w"}, {}, ScopeFilter::All};
    SystemEnv env;
    env.vars["HOME"] = "/h/.cache/pip/u";
    const std::string home = env.get("HOME").value_or("");
    std::vector<RememberedCache> entries = {
        entry("/w/edge/target", 10, kNow - 2'592'000), // exactly 30 days: shown
        entry("/w/old/target", 10, kNow - 2'592'001),  // one second more: not
        entry("/w/future/target", 10, kNow + 86'400),  // from the future: age 0
        entry("w/relative/target", 10),                // relative: never
        entry("", 10),                                 // empty: never
        entry("/w", 10),                               // the root itself: not inside
        entry("/elsewhere/target", 10),                // outside the roots
        entry("/h/.npm/_cacache", 10, kNow, CacheScope::Global, "npm-cache"),
        entry("/h/.cache/pip", 10, kNow, CacheScope::Global, "pip-cache"), // holds the home
    };
    EXPECT_EQ(paths(select_remembered(entries, options, {"/w"}, home, kNow)),
              (std::vector<std::string>{"/h/.npm/_cacache", "/w/edge/target", "/w/future/target"}));

    options.scope = ScopeFilter::Project;
    EXPECT_EQ(paths(select_remembered(entries, options, {"/w"}, home, kNow)),
              (std::vector<std::string>{"/w/edge/target", "/w/future/target"}));
    options.scope = ScopeFilter::Global;
    EXPECT_EQ(paths(select_remembered(entries, options, {"/w"}, home, kNow)),
              (std::vector<std::string>{"/h/.npm/_cacache"}));
    options = ScanOptions{{"/w"}, {"npm-cache"}, ScopeFilter::All};
    EXPECT_EQ(paths(select_remembered(entries, options, {"/w"}, home, kNow)),
              (std::vector<std::string>{"/h/.npm/_cacache"}));
}

// Before the first frame an entry is judged by its path alone: "/", HOME and its
// ancestors as written go, and nothing is looked at. One that leads to the home another
// way (here a bind alias of its parent) is shown, and leaves the table as soon as the
// scan's first pass judges it by identity, before the scan ends.
TEST(SelectRemembered, ByPathBeforeTheFirstFrameByIdentityInTheScan) {
    test::TempDir t;
    test::write_file(t / "real/x/CACHEDIR.TAG", "Signature: 8a477f597d28d172789f06886806bc55\n");
    test::write_file(t / "real/x/home/.ssh/id", "key");
    test::make_dirs(t / "w/alias");
    test::write_file(t / "w/p/Cargo.toml", "[package]\n");
    test::make_dirs(t / "w/p/target");
    SystemEnv env;
    env.vars = {{"HOME", t / "real/x/home"}, {"TMPDIR", t / "tmp"}, {"QUILLBARROW_NO_CACHE", ""}};
    env.shared_tmp_root = t / "shared-tmp";
    // A kind filter keeps the docker client out of the run.
    ScanOptions options{{t.path()}, {"cachedir-tag", "cargo-target"}, ScopeFilter::All};
    const std::string alias = t / "w/alias/x";
    auto tagged = [&](std::string path) {
        return entry(std::move(path), 30, kNow, CacheScope::Project, "cachedir-tag");
    };
    std::vector<RememberedCache> entries = {tagged(t / "real/x"), tagged(t / "real/x/home"),
                                            tagged(alias), entry(t / "w/p/target", 10)};
    test::run_in_mount_namespace([&] {
        test::mount_bind(t / "real", t / "w/alias");
        std::vector<RememberedCache> shown =
            select_remembered(entries, options, {t.path()}, env.get("HOME").value_or(""), kNow);
        EXPECT_EQ(paths(shown), (std::vector<std::string>{alias, t / "w/p/target"}));

        auto [sender, receiver] = make_channel<WorkerMessage>();
        TuiState state = initial_state(options, shown, {}, default_services(env));
        start_background_scan(state, sender);
        bool dropped = false;
        for (;;) {
            std::optional<WorkerMessage> m = receiver.receive_for(std::chrono::seconds(120));
            ASSERT_TRUE(m.has_value());
            if (std::holds_alternative<msg::ScanFinished>(*m)) {
                EXPECT_TRUE(dropped);
                EXPECT_FALSE(state.remembered.contains(alias));
                handle_worker_message(state, std::move(*m), sender);
                break;
            }
            if (const auto* none = std::get_if<msg::NoCandidate>(&*m)) {
                dropped = dropped || none->path == alias;
            }
            handle_worker_message(state, std::move(*m), sender);
        }
        ASSERT_EQ(state.rows.size(), 1u);
        EXPECT_EQ(state.rows[0].path, t / "w/p/target");
        EXPECT_EQ(test::read_file(t / "real/x/home/.ssh/id"), "key");
    });
}

TEST(SelectRemembered, OrderRepeatsAndLimit) {
    ScanOptions options{{"/w"}, {}, ScopeFilter::All};
    const std::string home;
    // Largest first, ties by path in component order (/w/a/b before /w/a-b); of two
    // entries for one path (written differently) only the larger one stays.
    std::vector<RememberedCache> entries = {
        entry("/w/a-b", 5),  entry("/w/a/b", 5), entry("/w/big/", 7),
        entry("/w//big", 9), entry("/w/z", 1),
    };
    std::vector<RememberedCache> kept = select_remembered(entries, options, {"/w"}, home, kNow);
    EXPECT_EQ(paths(kept), (std::vector<std::string>{"/w//big", "/w/a/b", "/w/a-b", "/w/z"}));
    EXPECT_EQ(kept[0].bytes, 9u);

    std::vector<RememberedCache> many;
    for (int i = 0; i < 5'000; ++i) {
        many.push_back(entry(fmt::format("/w/p{:05}", i), static_cast<std::uint64_t>(i)));
    }
    kept = select_remembered(many, options, {"/w"}, home, kNow);
    ASSERT_EQ(kept.size(), 4'096u);
    EXPECT_EQ(kept.front().bytes, 4'999u);
    EXPECT_EQ(kept.back().bytes, 5'000u - 4'096u);
}

TEST(LoopTurn, WhenToDraw) {
    TuiState s;
    s.phase = TuiPhase::Ready;
    Clock::time_point t = Clock::now();
    // Nothing changed and nothing turns: no frame.
    EXPECT_FALSE(turn_needs_draw(s, false, false, t));
    EXPECT_TRUE(turn_needs_draw(s, true, false, t));
    EXPECT_TRUE(turn_needs_draw(s, false, true, t));
    // A spinner turns only while something runs, and only when animating.
    for (TuiPhase phase : {TuiPhase::Scanning, TuiPhase::Checking, TuiPhase::Cleaning}) {
        s.phase = phase;
        EXPECT_FALSE(turn_needs_draw(s, false, false, t));
        s.animate = true;
        EXPECT_TRUE(turn_needs_draw(s, false, false, t));
        s.animate = false;
    }
    s.animate = true;
    for (TuiPhase phase : {TuiPhase::Ready, TuiPhase::Confirm, TuiPhase::ScanFailed}) {
        s.phase = phase;
        EXPECT_FALSE(turn_needs_draw(s, false, false, t));
    }

    // A status line goes on the first turn at least 4 s after it was set, and that turn
    // draws even though nothing else happened.
    s.status = StatusLine{"Deleted cache", t};
    EXPECT_FALSE(turn_needs_draw(s, false, false, t + std::chrono::milliseconds(3'999)));
    EXPECT_TRUE(s.status.has_value());
    EXPECT_TRUE(turn_needs_draw(s, false, false, t + std::chrono::milliseconds(4'000)));
    EXPECT_FALSE(s.status.has_value());
    // A clock that reads earlier than the stamp keeps it.
    s.status = StatusLine{"later", t + std::chrono::seconds(10)};
    EXPECT_FALSE(turn_needs_draw(s, false, false, t));
    EXPECT_TRUE(s.status.has_value());
}

TEST(LoopTurn, Events) {
    auto [sender, receiver] = make_channel<WorkerMessage>();
    TuiState s;
    s.phase = TuiPhase::Ready;
    term::KeyEvent q = term::KeyEvent::character(U'q');
    // Releases and repeats neither act nor redraw.
    for (term::KeyKind kind : {term::KeyKind::Release, term::KeyKind::Repeat}) {
        term::KeyEvent k = q;
        k.kind = kind;
        EXPECT_FALSE(apply_event(s, k, sender));
        EXPECT_FALSE(s.quit);
    }
    EXPECT_TRUE(apply_event(s, term::ResizeEvent{}, sender));
    EXPECT_FALSE(apply_event(s, term::OtherEvent{}, sender));
    // A press goes to the key map and always redraws, whatever it did.
    EXPECT_TRUE(apply_event(s, term::KeyEvent::character(U'x'), sender));
    EXPECT_TRUE(apply_event(s, q, sender));
    EXPECT_TRUE(s.quit);
}

TEST(LoopTurn, DrainsWaitingMessagesWithinTheBudget) {
    auto [sender, receiver] = make_channel<WorkerMessage>();
    TuiState s;
    EXPECT_FALSE(drain_messages(s, receiver, sender).applied);
    for (const char* text : {"first", "second", "third"}) {
        sender.send(msg::WalkError{text});
    }
    // A deadline already past still applies one message, in order, and says so.
    Drained one = drain_messages(s, receiver, sender, Clock::time_point{});
    EXPECT_TRUE(one.applied && one.cut_short);
    EXPECT_EQ(s.scan_errors, (std::vector<std::string>{"first"}));
    Drained rest = drain_messages(s, receiver, sender);
    EXPECT_TRUE(rest.applied && !rest.cut_short);
    EXPECT_EQ(s.scan_errors, (std::vector<std::string>{"first", "second", "third"}));
    EXPECT_FALSE(drain_messages(s, receiver, sender).applied);
}

TEST(LoopTurn, TerminalFailuresAreIoErrorsOnTheTerminal) {
    AppError e = terminal_error(term::TermError{5, "draw to the terminal"});
    EXPECT_EQ(e.exit_status(), 4);
    EXPECT_EQ(fmt_app_error(e),
              "filesystem operation failed for <terminal>: Input/output error (os error 5)");
}

} // namespace
} // namespace qb::tui
