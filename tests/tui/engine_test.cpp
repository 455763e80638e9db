#include "scanner/protected_dirs.hpp"
#include "support/test_support.hpp"
#include "tui/keys.hpp"
#include "tui/messages.hpp"
#include "tui/workers.hpp"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

namespace qb::tui {
namespace {

using test::TempDir;

/// The interface over the real engine on a temporary tree: a project with one Cargo
/// target directory, the environment pointing into the same directory.
class EngineRun {
public:
    EngineRun() {
        test::write_file(project + "/Cargo.toml", "[package]\n");
        test::write_file(target + "/debug/app", std::string(4096, 'x'));
        SystemEnv env;
        env.vars = {{"HOME", tmp / "home"}, {"TMPDIR", tmp / "tmp"}, {"QUILLBARROW_NO_CACHE", ""}};
        env.shared_tmp_root = tmp / "shared-tmp";
        auto [tx, rx] = make_channel<WorkerMessage>();
        sender = std::move(tx);
        receiver.emplace(std::move(rx));
        // A kind filter keeps the docker client out of the run.
        state = initial_state({{tmp / "projects"}, {"cargo-target"}, ScopeFilter::All}, {}, {},
                              default_services(env));
    }

    /// Applies the next message; fails the test when none comes.
    void next() {
        std::optional<WorkerMessage> m = receiver->receive_for(std::chrono::seconds(120));
        ASSERT_TRUE(m.has_value());
        handle_worker_message(state, std::move(*m), sender);
    }
    void until(TuiPhase phase) {
        while (state.phase != phase && !::testing::Test::HasFatalFailure()) {
            next();
        }
    }
    void press(char32_t c) { handle_key(state, term::KeyEvent::character(c), sender); }

    /// Every entry of the target dated 30 days back, so nothing about it is recent.
    void age_target() {
        timespec old[2] = {{time(nullptr) - 30 * 86400, 0}, {time(nullptr) - 30 * 86400, 0}};
        for (const std::string& p : {target + "/debug/app", target + "/debug", target}) {
            ASSERT_EQ(utimensat(AT_FDCWD, p.c_str(), old, AT_SYMLINK_NOFOLLOW), 0);
        }
    }

    TempDir tmp;
    std::string project = tmp / "projects/app";
    std::string target = project + "/target";
    TuiState state;
    WorkerSender sender;
    std::optional<WorkerReceiver> receiver;
};

TEST(EngineRun, OldTargetIsDeletedWithoutADialog) {
    EngineRun run;
    run.age_target();
    start_background_scan(run.state, run.sender);
    run.until(TuiPhase::Ready);
    ASSERT_EQ(run.state.rows.size(), 1u);
    EXPECT_EQ(run.state.rows[0].kind, "cargo-target");
    EXPECT_FALSE(run.state.rows[0].is_protected);
    // The streamed messages were applied: found once, measured once.
    EXPECT_EQ(run.state.found_count, 1u);
    EXPECT_TRUE(run.state.measured_paths.contains(run.target));
    // A rescan starts from the row on screen and measures it again.
    run.press('r');
    EXPECT_TRUE(run.state.refreshing);
    EXPECT_EQ(run.state.found_count, 1u);
    run.until(TuiPhase::Ready);
    EXPECT_EQ(run.state.rows.size(), 1u);
    EXPECT_TRUE(run.state.measured_paths.contains(run.target));

    run.press('d');
    EXPECT_EQ(run.state.phase, TuiPhase::Checking);
    run.next();
    EXPECT_EQ(run.state.phase, TuiPhase::Cleaning);
    run.until(TuiPhase::Ready);
    EXPECT_FALSE(test::exists_nofollow(run.target));
    EXPECT_TRUE(test::exists_nofollow(run.project + "/Cargo.toml"));
    EXPECT_TRUE(run.state.rows.empty());
    EXPECT_TRUE(run.state.status->text.starts_with("Deleted cache · 4.0 KiB apparent"))
        << run.state.status->text;
}

TEST(EngineRun, RecentTargetAsksAndAReplacedOneIsKept) {
    EngineRun run;
    start_background_scan(run.state, run.sender);
    run.until(TuiPhase::Ready);
    ASSERT_EQ(run.state.rows.size(), 1u);
    run.press('d');
    run.until(TuiPhase::Confirm);
    EXPECT_EQ(run.state.plan.at(0).age_days, 0u);
    EXPECT_TRUE(run.state.plan[0].is_protected);

    // The directory is replaced by another between the dialog and its confirmation (the
    // old one is kept aside, so the new one cannot reuse its inode).
    ASSERT_EQ(std::rename(run.target.c_str(), (run.target + "-aside").c_str()), 0);
    test::write_file(run.target + "/other", "y");
    run.press('y');
    run.until(TuiPhase::Ready);
    EXPECT_TRUE(run.state.status->text.starts_with("Cache changed; scan again · "))
        << run.state.status->text;
    EXPECT_TRUE(test::exists_nofollow(run.target + "/other"));
}

// The interface reads the account database once for the check of a whole selection and
// once for its deletion. Read in part, it trusts it for nothing: its scan warns, and a
// deletion stops before removing anything and says why.
TEST(EngineRun, TheAccountDatabaseOncePerCheckAndPerDeletionAndWhole) {
    EngineRun run;
    for (const char* name : {"projects/b", "projects/c"}) {
        test::write_file(run.tmp / name + "/Cargo.toml", "[package]\n");
        test::write_file(run.tmp / name + "/target/x", "y");
    }
    std::atomic<int> enumerations{0};
    std::atomic<int> failure{EIO};
    set_account_hook([&](std::size_t entry) {
        enumerations += entry == 0 ? 1 : 0;
        return entry == 0 ? failure.load() : 0;
    });
    struct Unhook {
        ~Unhook() { set_account_hook({}); }
    } unhook;
    start_background_scan(run.state, run.sender);
    run.until(TuiPhase::Ready);
    const std::string text =
        "filesystem operation failed for <account database>: Input/output error (os error 5)";
    EXPECT_EQ(run.state.scan_errors, std::vector<std::string>{text});
    ASSERT_EQ(run.state.rows.size(), 3u);
    const auto before = test::tree_contents(run.tmp.path());
    run.press('a');
    run.press('d');
    run.until(TuiPhase::Ready);
    EXPECT_EQ(run.state.status->text, "Nothing deleted · " + text);
    EXPECT_EQ(test::tree_contents(run.tmp.path()), before);

    failure = 0;
    enumerations = 0;
    run.press('d');
    run.until(TuiPhase::Confirm); // the targets are recent
    EXPECT_EQ(enumerations, 1);
    run.press('y');
    run.until(TuiPhase::Ready);
    EXPECT_EQ(enumerations, 3); // checked again once confirmed, then cleaned
    EXPECT_TRUE(run.state.rows.empty());
    EXPECT_FALSE(test::exists_nofollow(run.target));
}

} // namespace
} // namespace qb::tui
