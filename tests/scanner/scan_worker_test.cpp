#include "common/channel.hpp"
#include "common/paths.hpp"
#include "scanner/measure.hpp"
#include "scanner/mount_helper.hpp"
#include "scanner/pool.hpp"
#include "scanner/scan_worker.hpp"
#include "support/test_support.hpp"

#include <algorithm>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <sys/stat.h>
#include <thread>
#include <variant>

namespace qb {
namespace {

using test::TempDir;

// A home, a cache base and a temporary root inside a TempDir, so that neither the global
// pass nor the snapshot ever looks at the real home.
struct Sandbox {
    TempDir tmp;
    SystemEnv env;
    std::string home = tmp / "home";
    std::string root = tmp / "root";

    Sandbox() {
        test::make_dirs(home);
        test::make_dirs(root);
        test::make_dirs(tmp / "private-tmp");
        test::make_dirs(tmp / "tmpdir");
        env.vars["HOME"] = home;
        env.vars["XDG_CACHE_HOME"] = home + "/.cache";
        env.vars["XDG_DATA_HOME"] = home + "/.local/share";
        env.vars["TMPDIR"] = tmp / "tmpdir";
        env.shared_tmp_root = tmp / "private-tmp";
    }
    std::string snapshot_file() const { return home + "/.cache/quillbarrow/scan-v1.json"; }
};

ScanJob job_for(std::vector<std::string> roots, std::vector<std::string> kinds = {},
                ScopeFilter scope = ScopeFilter::All) {
    ScanJob job;
    job.request = ScanOptions{std::move(roots), std::move(kinds), scope};
    return job;
}

// One record per report of the scan, named after the interface's messages they become.
namespace msg {
struct Found {
    FoundCache row;
};
struct Measured {
    Candidate candidate;
};
struct NoCandidate {
    std::string path;
};
struct WalkError {
    std::string text;
};
struct ScanFinished {
    Result<ScanResult, AppError> outcome;
};
} // namespace msg
using Report =
    std::variant<msg::Found, msg::Measured, msg::NoCandidate, msg::WalkError, msg::ScanFinished>;

// Puts the reports on a channel in the order they are made, as the interface does.
class ChannelSink final : public ScanSink {
public:
    explicit ChannelSink(Sender<Report> tx) : tx_(std::move(tx)) {}
    void found(const FoundCache& cache) override { tx_.send(msg::Found{cache}); }
    void measured(const Candidate& candidate) override { tx_.send(msg::Measured{candidate}); }
    void no_candidate(const std::string& path) override { tx_.send(msg::NoCandidate{path}); }
    void walk_error(const std::string& text) override { tx_.send(msg::WalkError{text}); }
    void finished(Result<ScanResult, AppError> outcome) override {
        tx_.send(msg::ScanFinished{std::move(outcome)});
    }

private:
    const Sender<Report> tx_;
};

// Runs the worker on a thread of its own, as the interface does, and collects every
// report until the worker has dropped its sink. `on_finished` runs the moment
// ScanFinished arrives, before the worker thread is joined.
std::vector<Report> run_worker(ScanJob job, const SystemEnv& env,
                               const std::function<void()>& on_finished = {}) {
    auto [tx, rx] = make_channel<Report>();
    job.sink = std::make_shared<ChannelSink>(std::move(tx));
    std::thread worker(run_scan_worker, std::move(job), env);
    std::vector<Report> messages;
    while (auto m = rx.receive()) {
        if (std::holds_alternative<msg::ScanFinished>(*m) && on_finished) {
            on_finished();
        }
        messages.push_back(std::move(*m));
    }
    worker.join();
    return messages;
}

struct Observed {
    std::vector<std::string> found;        // in order
    std::vector<FoundCache> found_rows;    // in order
    std::vector<Candidate> measured;       // in arrival order
    std::vector<std::string> no_candidate; // in arrival order
    std::vector<std::string> dropped;      // known paths that are no cache now, in order
    std::vector<std::string> walk_errors;
    std::size_t max_outstanding = 0;
    std::optional<Result<ScanResult, AppError>> outcome;
};

// Checks the order rules every scan keeps and sorts the messages by kind.
Observed check_order(const std::vector<Report>& messages) {
    Observed o;
    std::set<std::string> pending;
    std::set<std::string> found_once;
    for (std::size_t i = 0; i < messages.size(); ++i) {
        const Report& m = messages[i];
        if (auto* f = std::get_if<msg::Found>(&m)) {
            EXPECT_TRUE(found_once.insert(f->row.path).second) << "found twice: " << f->row.path;
            EXPECT_EQ(std::count(o.dropped.begin(), o.dropped.end(), f->row.path), 0)
                << "found after it was dropped: " << f->row.path;
            pending.insert(f->row.path);
            o.found.push_back(f->row.path);
            o.found_rows.push_back(f->row);
            o.max_outstanding = std::max(o.max_outstanding, pending.size());
        } else if (auto* me = std::get_if<msg::Measured>(&m)) {
            EXPECT_EQ(pending.erase(me->candidate.path), 1u)
                << "measured without a pending Found: " << me->candidate.path;
            o.measured.push_back(me->candidate);
        } else if (auto* n = std::get_if<msg::NoCandidate>(&m)) {
            // Without a Found: a known path that is no cache now, never to be found.
            if (!found_once.contains(n->path)) {
                o.dropped.push_back(n->path);
                continue;
            }
            EXPECT_EQ(pending.erase(n->path), 1u) << "no candidate twice: " << n->path;
            o.no_candidate.push_back(n->path);
        } else if (auto* w = std::get_if<msg::WalkError>(&m)) {
            o.walk_errors.push_back(w->text);
        } else if (auto* s = std::get_if<msg::ScanFinished>(&m)) {
            EXPECT_EQ(i + 1, messages.size()) << "ScanFinished is not the last message";
            o.outcome = s->outcome;
        }
    }
    EXPECT_TRUE(pending.empty()) << pending.size() << " found caches never measured";
    EXPECT_TRUE(o.outcome.has_value()) << "no ScanFinished";
    return o;
}

std::vector<std::string> paths_of(const std::vector<Candidate>& rows) {
    std::vector<std::string> out;
    for (const Candidate& c : rows) {
        out.push_back(c.path);
    }
    return out;
}

TEST(ScanWorker, TokenCountFollowsThePoolSize) {
    EXPECT_EQ(measure_token_count(0), 2u);
    EXPECT_EQ(measure_token_count(1), 2u);
    EXPECT_EQ(measure_token_count(2), 4u);
    EXPECT_EQ(measure_token_count(8), 16u);
    EXPECT_EQ(measure_token_count(16), 32u);
    EXPECT_EQ(measure_token_count(20), 32u);
}

// Random project trees: every cache is found once and measured once, with its exact
// size; nothing under version-control metadata is reported; the final rows are the
// measured ones, sorted; the number of found but unmeasured caches stays bounded.
TEST(ScanWorker, ReportsEveryCacheOnceInOrderOnGeneratedTrees) {
    const std::size_t tokens = measure_token_count(worker_threads());
    for (unsigned seed : {1u, 2u, 3u}) {
        Sandbox box;
        std::mt19937 rng(seed);
        std::map<std::string, std::uint64_t> expected; // cache path -> bytes
        auto fill = [&](const std::string& dir, int files) {
            std::uint64_t total = 0;
            for (int f = 0; f < files; ++f) {
                std::size_t size = rng() % 3000;
                test::write_file(dir + "/sub" + std::to_string(f % 3) + "/f" + std::to_string(f),
                                 std::string(size, 'x'));
                total += size;
            }
            return total;
        };
        for (int p = 0; p < 45; ++p) {
            std::string proj = box.root + "/g" + std::to_string(p % 4) + "/p" + std::to_string(p);
            switch (rng() % 4) {
            case 0:
                test::write_file(proj + "/Cargo.toml");
                expected[proj + "/target"] = fill(proj + "/target", 1 + rng() % 6);
                break;
            case 1:
                test::write_file(proj + "/package.json", "{}");
                expected[proj + "/node_modules"] = fill(proj + "/node_modules", 1 + rng() % 6);
                break;
            case 2:
                expected[proj + "/src/__pycache__"] = fill(proj + "/src/__pycache__", 2);
                break;
            default:
                // Looks like caches, but sits inside version-control metadata or lacks
                // its marker.
                fill(proj + "/.git/objects/__pycache__", 1);
                fill(proj + "/target", 1);
                break;
            }
        }
        auto messages = run_worker(job_for({box.root}), box.env);
        Observed o = check_order(messages);
        ASSERT_TRUE(o.outcome && o.outcome->has_value());
        const ScanResult& result = o.outcome->value();

        std::map<std::string, std::uint64_t> measured;
        for (const Candidate& c : o.measured) {
            measured[c.path] = c.bytes;
            EXPECT_FALSE(c.is_protected) << c.path; // a known time and no protection window
        }
        EXPECT_EQ(measured, expected) << "seed " << seed;
        EXPECT_TRUE(o.no_candidate.empty());
        EXPECT_TRUE(o.walk_errors.empty());
        EXPECT_TRUE(result.walk_errors.empty());

        std::vector<Candidate> sorted = o.measured;
        sort_candidates(sorted);
        EXPECT_EQ(paths_of(result.candidates), paths_of(sorted));
        for (std::size_t i = 1; i < result.candidates.size(); ++i) {
            EXPECT_GE(result.candidates[i - 1].bytes, result.candidates[i].bytes);
        }
        EXPECT_LE(o.max_outstanding, tokens + 1) << "seed " << seed;
    }
}

// Caches that take a while to measure, handed over as known paths so that discovery
// races ahead of the measuring: the token pool must hold it back.
TEST(ScanWorker, BoundsTheCachesFoundButNotMeasured) {
    const std::size_t tokens = measure_token_count(worker_threads());
    Sandbox box;
    ScanJob job = job_for({box.root});
    for (std::size_t p = 0; p < tokens * 2 + 8; ++p) {
        std::string proj = box.root + "/p" + std::to_string(p);
        test::write_file(proj + "/Cargo.toml");
        for (int f = 0; f < 150; ++f) {
            test::write_file(proj + "/target/d" + std::to_string(f % 10) + "/f" +
                             std::to_string(f));
        }
        job.known_paths.push_back(proj + "/target");
    }
    Observed o = check_order(run_worker(job, box.env));
    ASSERT_TRUE(o.outcome && o.outcome->has_value());
    EXPECT_EQ(o.outcome->value().candidates.size(), tokens * 2 + 8);
    EXPECT_EQ(o.found, job.known_paths);
    EXPECT_LE(o.max_outstanding, tokens + 1);
}

TEST(ScanWorker, BadKindOrRootSendsOnlyTheErrorAndLeavesTheSnapshot) {
    Sandbox box;
    test::write_file(box.snapshot_file(), "not touched");

    auto bad_kind = run_worker(job_for({box.root}, {"cargo-target", "nope", "other"}), box.env);
    ASSERT_EQ(bad_kind.size(), 1u);
    auto* finished = std::get_if<msg::ScanFinished>(&bad_kind[0]);
    ASSERT_NE(finished, nullptr);
    ASSERT_FALSE(finished->outcome.has_value());
    EXPECT_EQ(finished->outcome.error().kind_name(), "invalid_input");
    EXPECT_EQ(fmt_app_error(finished->outcome.error()),
              "invalid input: unknown cache kind nope; run `quillbarrow catalog`");

    test::write_file(box.root + "/p/Cargo.toml");
    test::make_dirs(box.root + "/p/target");
    auto bad_root = run_worker(job_for({box.root, box.tmp / "missing"}), box.env);
    ASSERT_EQ(bad_root.size(), 1u);
    finished = std::get_if<msg::ScanFinished>(&bad_root[0]);
    ASSERT_NE(finished, nullptr);
    ASSERT_FALSE(finished->outcome.has_value());
    EXPECT_NE(finished->outcome.error().as<errors::UnreadableDirectory>(), nullptr);

    EXPECT_EQ(test::read_file(box.snapshot_file()), "not touched");
}

TEST(ScanWorker, KnownPathsComeFirstAndEachCacheIsReportedOnce) {
    Sandbox box;
    std::string registry = box.home + "/.cargo/registry/cache";
    test::write_file(registry + "/crate.tar", "12345");
    test::write_file(box.root + "/a/Cargo.toml");
    test::write_file(box.root + "/a/target/x", "1");
    test::write_file(box.root + "/b/Cargo.toml");
    test::write_file(box.root + "/b/target/x", "22");
    test::write_file(box.tmp / "outside/Cargo.toml");
    test::make_dirs(box.tmp / "outside/target");
    test::make_symlink(box.root + "/b/target", box.root + "/b/linked");

    ScanJob job = job_for({box.root});
    job.known_paths = {box.root + "/b/target", registry, box.tmp / "outside/target",
                       box.root + "/b/linked", box.root + "/gone/target"};
    Observed o = check_order(run_worker(job, box.env));
    ASSERT_TRUE(o.outcome && o.outcome->has_value());
    // What is no cache now leaves the table at once.
    EXPECT_EQ(o.dropped,
              (std::vector<std::string>{box.tmp / "outside/target", box.root + "/b/linked",
                                        box.root + "/gone/target"}));
    ASSERT_EQ(o.found.size(), 3u);
    EXPECT_EQ(o.found[0], box.root + "/b/target");
    EXPECT_EQ(o.found_rows[0].scope, CacheScope::Project);
    EXPECT_EQ(o.found_rows[0].kind, "cargo-target");
    EXPECT_EQ(o.found[1], registry);
    EXPECT_EQ(o.found_rows[1].scope, CacheScope::Global);
    EXPECT_EQ(o.found_rows[1].kind, "cargo-registry");
    EXPECT_EQ(o.found[2], box.root + "/a/target");

    // The scope filter `global` walks nothing and takes known paths only as global
    // locations.
    ScanJob global = job_for({box.root}, {}, ScopeFilter::Global);
    global.known_paths = {box.root + "/b/target", registry};
    Observed g = check_order(run_worker(global, box.env));
    ASSERT_TRUE(g.outcome && g.outcome->has_value());
    EXPECT_EQ(g.found, std::vector<std::string>{registry});

    // A kind filter applies to every pass.
    Observed k = check_order(run_worker(job_for({box.root}, {"cargo-registry"}), box.env));
    EXPECT_EQ(k.found, std::vector<std::string>{registry});

    // A cache that holds the home directory is none, known or walked; what lies inside
    // the home is still found.
    test::write_file(box.root + "/h/Cargo.toml");
    test::write_file(box.root + "/h/target/u/w/Cargo.toml");
    test::write_file(box.root + "/h/target/u/w/target/x", "1");
    SystemEnv homely = box.env;
    homely.vars["HOME"] = box.root + "/h/target/u";
    ScanJob at_home = job_for({box.root}, {"cargo-target"});
    at_home.known_paths = {box.root + "/h/target"};
    Observed h = check_order(run_worker(at_home, homely));
    EXPECT_EQ(h.dropped, std::vector<std::string>{box.root + "/h/target"});
    std::sort(h.found.begin(), h.found.end());
    EXPECT_EQ(h.found, (std::vector<std::string>{box.root + "/a/target", box.root + "/b/target",
                                                 box.root + "/h/target/u/w/target"}));
}

TEST(ScanWorker, AGlobalLocationInsideARootIsReportedOnceAsGlobal) {
    Sandbox box;
    std::string npm = box.home + "/.npm/_cacache";
    test::write_file(npm + "/index", "x");
    // Tagged, so the walk of the home directory recognises it too.
    test::write_file(npm + "/CACHEDIR.TAG", "Signature: 8a477f597d28d172789f06886806bc55\n");
    Observed o = check_order(run_worker(job_for({box.home}), box.env));
    ASSERT_TRUE(o.outcome && o.outcome->has_value());
    ASSERT_EQ(o.found.size(), 1u);
    EXPECT_EQ(o.found[0], npm);
    EXPECT_EQ(o.found_rows[0].scope, CacheScope::Global);
    ASSERT_EQ(o.outcome->value().candidates.size(), 1u);
    EXPECT_EQ(o.outcome->value().candidates[0].anchor, box.home + "/.npm");
}

// Nothing inside another reported cache is ever Found, whichever pass meets it first, so
// nothing needs taking back. Known paths left over from an earlier scan (inner ones first
// here) are judged as the walk would judge them.
TEST(ScanWorker, NothingInsideAnotherReportedCacheIsFound) {
    Sandbox box;
    const std::string tag = "Signature: 8a477f597d28d172789f06886806bc55\n";
    const std::string ccache = box.home + "/.cache/ccache";
    for (const char* shard : {"3", "7", "a"}) {
        test::write_file(ccache + "/" + shard + "/CACHEDIR.TAG", tag);
    }
    const std::string git = box.home + "/.cargo/git";
    test::write_file(git + "/CACHEDIR.TAG", tag);
    test::write_file(git + "/checkouts/repo/src.rs", "c");

    struct Case {
        std::vector<std::string> kinds;
        std::vector<std::string> found; // sorted
    };
    const Case cases[] = {
        {{}, {ccache, git}},
        {{"cachedir-tag"}, {ccache + "/3", ccache + "/7", ccache + "/a", git}},
        {{"cargo-git"}, {git + "/checkouts"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.kinds));
        ScanJob job = job_for({box.home}, c.kinds);
        job.known_paths = {ccache + "/3", git + "/checkouts", ccache, git};
        Observed o = check_order(run_worker(job, box.env));
        ASSERT_TRUE(o.outcome && o.outcome->has_value());
        std::vector<std::string> found = o.found;
        std::sort(found.begin(), found.end());
        EXPECT_EQ(found, c.found);
        EXPECT_EQ(o.outcome->value().candidates.size(), c.found.size());
    }
}

/// A remembered Rust build directory.
RememberedCache remembered(std::string path, std::uint64_t observed, std::uint64_t bytes = 1) {
    RememberedCache e;
    e.kind = "cargo-target";
    e.ecosystem = "rust";
    e.path = std::move(path);
    e.bytes = bytes;
    e.observed_unix = observed;
    return e;
}

TEST(ScanWorker, RewritesTheSnapshotBeforeReportingTheOutcome) {
    Sandbox box;
    test::write_file(box.root + "/p/Cargo.toml");
    test::write_file(box.root + "/p/target/x", "abc");
    const std::uint64_t now = now_unix();
    Snapshot before;
    before.entries = {remembered(box.root + "/gone/target", now),          // covered, not found
                      remembered("/elsewhere/p/target", now - 100),        // not covered: kept
                      remembered("/elsewhere/q/target", now - 40 * 86400), // too old
                      remembered("/elsewhere/r/target", now + 1000)};      // observed in the future
    ASSERT_TRUE(store_snapshot_file(box.snapshot_file(), *write_snapshot(before)));

    std::optional<Result<Snapshot, IoError>> at_finish;
    auto messages = run_worker(job_for({box.root}), box.env,
                               [&] { at_finish = read_snapshot(box.snapshot_file()); });
    Observed o = check_order(messages);
    ASSERT_TRUE(o.outcome && o.outcome->has_value());
    ASSERT_TRUE(at_finish.has_value());
    ASSERT_TRUE(*at_finish) << at_finish->error().to_string();
    const auto& entries = (*at_finish)->entries;
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[0].path, "/elsewhere/r/target");
    EXPECT_EQ(entries[1].path, box.root + "/p/target");
    EXPECT_EQ(entries[1].bytes, 3u);
    EXPECT_GE(entries[1].observed_unix, now);
    EXPECT_EQ(entries[2].path, "/elsewhere/p/target");

    // Without a snapshot location nothing is written, and the scan ends as usual.
    Sandbox quiet;
    quiet.env.vars["QUILLBARROW_NO_CACHE"] = "";
    test::write_file(quiet.root + "/p/Cargo.toml");
    test::make_dirs(quiet.root + "/p/target");
    Observed q = check_order(run_worker(job_for({quiet.root}), quiet.env));
    ASSERT_TRUE(q.outcome && q.outcome->has_value());
    EXPECT_EQ(q.outcome->value().candidates.size(), 1u);
    EXPECT_FALSE(test::exists_nofollow(quiet.home + "/.cache"));
}

// Measured with no protection window: only a tree without a usable modification time
// comes back protected. A found cache that measures below its minimum yields
// NoCandidate with the path of its Found message, and no row.
TEST(ScanWorker, ProtectsOnlyTimelessCachesAndDropsTooSmallOnes) {
    Sandbox box;
    test::write_file(box.root + "/old/Cargo.toml");
    test::write_file(box.root + "/old/target/x", "1");
    const timespec before_epoch[2] = {{-100, 0}, {-100, 0}};
    for (const std::string& p : {box.root + "/old/target/x", box.root + "/old/target"}) {
        ASSERT_EQ(::utimensat(AT_FDCWD, p.c_str(), before_epoch, AT_SYMLINK_NOFOLLOW), 0) << p;
    }
    test::write_file(box.root + "/new/Cargo.toml");
    test::write_file(box.root + "/new/target/x", "22");
    // A temporary workspace far below its 100 MiB minimum.
    std::string workspace = box.tmp / "private-tmp/ws";
    test::write_file(workspace + "/Cargo.toml", "[package]");

    Observed o = check_order(run_worker(job_for({box.root}), box.env));
    ASSERT_TRUE(o.outcome && o.outcome->has_value());
    EXPECT_EQ(o.no_candidate, std::vector<std::string>{workspace});
    EXPECT_NE(std::find(o.found.begin(), o.found.end(), workspace), o.found.end());
    const auto& rows = o.outcome->value().candidates;
    ASSERT_EQ(paths_of(rows),
              (std::vector<std::string>{box.root + "/new/target", box.root + "/old/target"}));
    EXPECT_FALSE(rows[0].is_protected);
    EXPECT_TRUE(rows[0].modified_unix.has_value());
    EXPECT_TRUE(rows[1].is_protected);
    EXPECT_FALSE(rows[1].modified_unix.has_value());
}

// The interface may quit while its scan runs: every send then fails, and the worker
// still measures everything and leaves the snapshot for the next start.
TEST(ScanWorker, KeepsGoingWhenTheInterfaceHasGone) {
    Sandbox box;
    test::write_file(box.root + "/p/Cargo.toml");
    test::write_file(box.root + "/p/target/x", "abcd");
    test::write_file(box.root + "/q/Cargo.toml");
    test::write_file(box.root + "/q/target/x", "ab");
    ScanJob job = job_for({box.root});
    Sender<Report> tx;
    {
        auto channel = make_channel<Report>();
        tx = std::move(channel.first);
    }
    ASSERT_FALSE(tx.send(msg::WalkError{"nobody listens"}));
    job.sink = std::make_shared<ChannelSink>(std::move(tx));
    std::thread worker(run_scan_worker, std::move(job), box.env);
    worker.join();

    auto written = read_snapshot(box.snapshot_file());
    ASSERT_TRUE(written) << written.error().to_string();
    ASSERT_EQ(written->entries.size(), 2u);
    EXPECT_EQ(written->entries[0].path, box.root + "/p/target");
    EXPECT_EQ(written->entries[0].bytes, 4u);
    EXPECT_EQ(written->entries[1].path, box.root + "/q/target");
}

// The unprivileged walk runs in a forked child of a process whose pool has started, so
// its jobs run only while someone waits for them; with more caches than tokens the
// discovery must run them itself.
TEST(ScanWorker, ReportsWalkErrorsAsTheyHappenAndAgainAtTheEnd) {
    Sandbox box;
    const std::size_t caches = 40;
    for (std::size_t p = 0; p < caches; ++p) {
        test::write_file(box.root + "/p" + std::to_string(p) + "/Cargo.toml");
        test::write_file(box.root + "/p" + std::to_string(p) + "/target/x", "1");
    }
    test::write_file(box.root + "/locked/inner/file");
    ::chmod((box.root + "/locked").c_str(), 0);
    test::chown_tree(box.root);
    SystemEnv env = box.env;
    env.vars["QUILLBARROW_NO_CACHE"] = "1";

    // The unprivileged run forks, so it goes first: a fork after the pool's threads have
    // started may inherit a lock that one of them held.
    auto status = test::run_unprivileged([&] {
        Observed o = check_order(run_worker(job_for({box.root}), env));
        bool ok = o.outcome && o.outcome->has_value() && o.walk_errors.size() == 1 &&
                  o.outcome->value().walk_errors == o.walk_errors &&
                  o.walk_errors[0] == "IO error for operation on " + box.root +
                                          "/locked: Permission denied (os error 13)" &&
                  o.found.size() == caches && o.outcome->value().candidates.size() == caches &&
                  !::testing::Test::HasFailure();
        return ok ? 0 : 1;
    });
    // As root nothing is unreadable.
    test::run_as_root([&] {
        Observed as_root = check_order(run_worker(job_for({box.root}), env));
        ASSERT_TRUE(as_root.outcome && as_root.outcome->has_value());
        EXPECT_TRUE(as_root.walk_errors.empty());
        EXPECT_EQ(as_root.found.size(), caches);
    });

    ::chmod((box.root + "/locked").c_str(), 0755);
    if (!status) {
        GTEST_SKIP() << "no unprivileged user to run the walk as";
    }
    EXPECT_EQ(*status, 0);
}

// Re-runs this test program with a pool of one thread; the hook below does the scan in
// that process before any test starts and reports through its exit status.
TEST(ScanWorker, FinishesWithAPoolOfOneThread) {
    Sandbox box;
    for (int p = 0; p < 12; ++p) {
        test::write_file(box.root + "/p" + std::to_string(p) + "/Cargo.toml");
        test::write_file(box.root + "/p" + std::to_string(p) + "/target/a/b", "xy");
    }
    test::ProcessOptions options;
    options.env = {{"RAYON_NUM_THREADS", "1"},
                   {"QB_TEST_ONE_THREAD_SCAN", box.root},
                   {"QB_TEST_HOME", box.home}};
    options.timeout = std::chrono::seconds(120);
    auto r = test::run_process({"/proc/self/exe"}, options);
    EXPECT_EQ(r.signal, 0) << "killed: the scan did not finish";
    EXPECT_EQ(r.exit_status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("one-thread scan: 12 rows\n"), std::string::npos) << r.out << r.err;
}

int one_thread_scan(const std::string& root, const std::string& home) {
    if (worker_threads() != 1) {
        std::fprintf(stderr, "pool of %zu threads\n", worker_threads());
        return 2;
    }
    SystemEnv env;
    env.vars["HOME"] = home;
    env.vars["QUILLBARROW_NO_CACHE"] = "";
    env.shared_tmp_root = home + "/no-tmp";
    auto messages = run_worker(job_for({root}), env);
    Observed o = check_order(messages);
    if (!o.outcome || !o.outcome->has_value() || ::testing::Test::HasFailure()) {
        return 1;
    }
    // Two tokens: at most two caches measuring and one waiting for a token.
    if (o.max_outstanding > 3) {
        std::fprintf(stderr, "%zu caches found and not measured at once\n", o.max_outstanding);
        return 1;
    }
    std::printf("one-thread scan: %zu rows\n", o.outcome->value().candidates.size());
    return 0;
}

// In the child process of the test above, the scan runs before any test and ends the
// process.
class OneThreadChild : public ::testing::Environment {
public:
    void SetUp() override {
        const char* root = std::getenv("QB_TEST_ONE_THREAD_SCAN");
        const char* home = std::getenv("QB_TEST_HOME");
        if (root != nullptr && home != nullptr) {
            int status = one_thread_scan(root, home);
            std::fflush(stdout);
            std::_Exit(status);
        }
    }
};
[[maybe_unused]] ::testing::Environment* const one_thread_child =
    ::testing::AddGlobalTestEnvironment(new OneThreadChild);

// ---- the snapshot merge -----------------------------------------------------------

TEST(SnapshotMerge, KeepsRecentUncoveredEntriesAndReplacesTheRest) {
    const std::uint64_t now = 10'000'000;
    Snapshot old;
    old.entries = {remembered("/e/kept", now - 2'592'000),
                   remembered("/e/expired", now - 2'592'001),
                   remembered("/e/future", now + 5),
                   remembered("/r/p/target", now, 500), // covered, not found again
                   remembered("/r/q/target", now - 9, 7),
                   remembered("/e/dup", now - 50, 1),
                   remembered("/e//dup/", now - 50, 2)}; // the same path, later wins
    Candidate found;
    found.kind = "cargo-target";
    found.ecosystem = "rust";
    found.path = "/r/q/target";
    found.bytes = 70;
    found.allocated_bytes = 80;
    found.modified_unix = 3;
    ScanOptions request{{"/r"}, {}, ScopeFilter::All};

    auto entries = merge_snapshot_entries(old, {found}, request, {"/r"}, now);
    std::vector<std::string> paths;
    for (const auto& e : entries) {
        paths.push_back(e.path);
    }
    EXPECT_EQ(paths, (std::vector<std::string>{"/e/future", "/r/q/target", "/e//dup/", "/e/kept"}));
    EXPECT_EQ(entries[1], (RememberedCache{"cargo-target", "rust", CacheScope::Project,
                                           "/r/q/target", 70, 80, 3, true, now}));
    EXPECT_EQ(entries[2].bytes, 2u);

    // A request for another kind covers nothing of these.
    ScanOptions other{{"/r"}, {"node-modules"}, ScopeFilter::All};
    EXPECT_EQ(merge_snapshot_entries(old, {}, other, {"/r"}, now).size(), 5u);
}

TEST(SnapshotMerge, CapsTheCountAndShrinksTheTextToTheLimit) {
    Snapshot old;
    for (std::uint64_t i = 0; i < 5000; ++i) {
        old.entries.push_back(remembered("/e/" + std::to_string(i), 1000 + i % 10, i));
    }
    auto capped =
        merge_snapshot_entries(old, {}, ScanOptions{{"/r"}, {}, ScopeFilter::All}, {"/r"}, 2000);
    ASSERT_EQ(capped.size(), 4096u);
    EXPECT_EQ(capped.front().observed_unix, 1009u);
    EXPECT_EQ(capped.front().bytes, 4999u);
    for (std::size_t i = 1; i < capped.size(); ++i) {
        ASSERT_TRUE(capped[i - 1].observed_unix > capped[i].observed_unix ||
                    (capped[i - 1].observed_unix == capped[i].observed_unix &&
                     capped[i - 1].bytes >= capped[i].bytes));
    }

    // About 400 bytes an entry: 4096 and 3072 entries are too long, 2304 fit.
    std::vector<RememberedCache> big;
    for (int i = 0; i < 4096; ++i) {
        big.push_back(remembered("/" + std::string(250, 'p') + "/" + std::to_string(i), 5));
    }
    auto text = fit_snapshot_text(big);
    ASSERT_TRUE(text.has_value());
    EXPECT_LE(text->size(), kSnapshotMaxBytes);
    auto back = parse_snapshot(*text);
    ASSERT_TRUE(back);
    ASSERT_EQ(back->entries.size(), 2304u);
    EXPECT_EQ(back->entries.back(), big[2303]);

    big[0].path = "/bad\xff";
    EXPECT_FALSE(fit_snapshot_text(big).has_value());
}

} // namespace
} // namespace qb
