#include "scanner/scan_worker.hpp"

#include "common/paths.hpp"
#include "common/saturating.hpp"
#include "scanner/measure.hpp"
#include "scanner/pool.hpp"
#include "scanner/scan.hpp"

#include <algorithm>
#include <condition_variable>
#include <map>
#include <mutex>

namespace qb {
namespace {

// The bound on measuring jobs. A job holds a token from before it is queued until its
// measurement is reported.
class MeasureTokens {
public:
    explicit MeasureTokens(std::size_t count) : free_(count) {}

    /// Takes a token, waiting while none is free. Where queued jobs run only while some
    /// thread waits for them, the taker runs them itself, so discovery never stalls the
    /// measuring it waits for.
    void take(PoolJobs& jobs) {
        std::unique_lock lock(mutex_);
        while (free_ == 0) {
            if (jobs.runs_only_in_wait()) {
                lock.unlock();
                jobs.wait();
                lock.lock();
            } else {
                returned_.wait(lock);
            }
        }
        --free_;
    }

    void give_back() {
        {
            std::lock_guard lock(mutex_);
            ++free_;
        }
        returned_.notify_one();
    }

private:
    std::mutex mutex_;
    std::condition_variable returned_;
    std::size_t free_;
};

// One scan's discovery and measuring. Discovery runs on the scan's own thread; each
// found cache becomes a measuring job on the worker pool.
class ScanRun {
public:
    ScanRun(ScanSink& sink, DiscoveryPlan plan, std::vector<std::string> known_paths)
        : sink_(sink), known_paths_(std::move(known_paths)), now_(now_unix()),
          plan_(std::move(plan)), tokens_(measure_token_count(worker_threads())) {}

    /// Runs the three passes, waits for every measurement, and hands over the results.
    /// The rows already on screen come first, so their fresh values arrive early, and those
    /// that are no cache now leave at once; on equal paths the earlier pass wins.
    ScanResult run() {
        plan_.discover(
            {DiscoveryPass::KnownPaths, DiscoveryPass::Globals, DiscoveryPass::Walk},
            [this](FoundCache found) { submit(std::move(found)); },
            [this](std::string text) { walk_error(std::move(text)); }, known_paths_,
            [this](const std::string& path) { sink_.no_candidate(path); });
        jobs_.wait();
        std::scoped_lock lock(results_mutex_, walk_errors_mutex_);
        return ScanResult{std::move(results_), std::move(walk_errors_)};
    }

private:
    // Reports a newly found cache and queues its measurement.
    void submit(FoundCache found) {
        sink_.found(found);
        tokens_.take(jobs_);
        std::string path = found.path;
        measure_candidate_async(
            jobs_, std::move(found), 0, now_,
            [this, path = std::move(path)](std::optional<Candidate> c) {
                measured(path, std::move(c));
            },
            [this](std::string text) { walk_error(std::move(text)); });
    }

    // From the discovery and, for what measuring left out for want of a descriptor, from
    // pool threads: reported and listed under one lock, so the final list keeps the order
    // of the reports.
    void walk_error(std::string text) {
        std::lock_guard lock(walk_errors_mutex_);
        sink_.walk_error(text);
        walk_errors_.push_back(std::move(text));
    }

    // On a pool thread. The row is kept only after it was reported, so the final rows
    // are exactly the measured ones that were reported.
    void measured(const std::string& path, std::optional<Candidate> candidate) {
        // Back however this ends, or discovery could wait for the token forever.
        struct GiveBack {
            MeasureTokens& tokens;
            ~GiveBack() { tokens.give_back(); }
        } give_back{tokens_};
        if (candidate) {
            sink_.measured(*candidate);
            std::lock_guard lock(results_mutex_);
            results_.push_back(std::move(*candidate));
        } else {
            sink_.no_candidate(path);
        }
    }

    ScanSink& sink_;
    const std::vector<std::string> known_paths_;
    const std::uint64_t now_;
    DiscoveryPlan plan_;
    std::mutex walk_errors_mutex_;
    std::vector<std::string> walk_errors_;
    std::mutex results_mutex_;
    std::vector<Candidate> results_;
    MeasureTokens tokens_;
    PoolJobs jobs_; // last: waits for the jobs before anything they use goes away
};

bool remembered_before(const RememberedCache& a, const RememberedCache& b) {
    if (a.observed_unix != b.observed_unix) {
        return a.observed_unix > b.observed_unix;
    }
    return LargestFirst{}(a, b);
}

void update_snapshot(const SystemEnv& env, const ScanOptions& request,
                     const std::vector<Candidate>& rows) {
    std::optional<std::string> file = snapshot_path(env);
    if (!file) {
        return;
    }
    std::uint64_t now = now_unix();
    std::vector<std::string> roots = normalize_roots(request.roots);
    auto old = read_snapshot(*file);
    std::optional<std::string> text = fit_snapshot_text(
        merge_snapshot_entries(old ? *old : Snapshot{}, rows, request, roots, now));
    if (text) {
        (void)store_snapshot_file(*file, *text);
    }
}

} // namespace

std::size_t measure_token_count(std::size_t pool_threads) {
    return std::min<std::size_t>(std::max<std::size_t>(sat_mul(2, pool_threads), 2), 32);
}

std::vector<RememberedCache>
merge_snapshot_entries(const Snapshot& old, const std::vector<Candidate>& rows,
                       const ScanOptions& request, const std::vector<std::string>& normalized_roots,
                       std::uint64_t now) {
    std::map<std::string, RememberedCache, path::Less> by_path;
    for (const RememberedCache& e : old.entries) {
        if (sat_sub(now, e.observed_unix) <= kRememberedMaxAgeSeconds &&
            !remembered_entry_matches(request.scope, request.kinds, normalized_roots, e)) {
            by_path.insert_or_assign(e.path, e);
        }
    }
    for (const Candidate& c : rows) {
        by_path.insert_or_assign(c.path, RememberedCache{c, now});
    }
    std::vector<RememberedCache> entries;
    entries.reserve(by_path.size());
    for (auto& [path, e] : by_path) {
        entries.push_back(std::move(e));
    }
    std::stable_sort(entries.begin(), entries.end(), remembered_before);
    if (entries.size() > kRememberedMaxEntries) {
        entries.resize(kRememberedMaxEntries);
    }
    return entries;
}

std::optional<std::string> fit_snapshot_text(std::vector<RememberedCache> entries) {
    Snapshot snapshot{kSnapshotVersion, std::move(entries)};
    for (;;) {
        auto text = write_snapshot(snapshot);
        if (!text) {
            return std::nullopt;
        }
        if (text->size() <= kSnapshotMaxBytes) {
            return std::move(*text);
        }
        if (snapshot.entries.empty()) {
            return std::nullopt;
        }
        snapshot.entries.resize(snapshot.entries.size() * 3 / 4);
    }
}

void run_scan_worker(ScanJob job, SystemEnv env) {
    ScanSink& sink = *job.sink;
    const ScanOptions& options = job.request;
    auto plan = plan_discovery(ScanRequest{.roots = options.roots,
                                           .kinds = options.kinds,
                                           .protect_days = 0,
                                           .scope = options.scope},
                               env);
    if (!plan) {
        sink.finished(unexpected(std::move(plan).error()));
        return;
    }
    ScanResult result;
    {
        ScanRun run(sink, std::move(*plan), std::move(job.known_paths));
        result = run.run();
    }
    sort_candidates(result.candidates);
    update_snapshot(env, options, result.candidates);
    sink.finished(std::move(result));
}

} // namespace qb
