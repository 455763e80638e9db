#include "scanner/scan_worker.hpp"

#include "common/paths.hpp"
#include "common/saturating.hpp"
#include "scanner/classifier.hpp"
#include "scanner/global_caches.hpp"
#include "scanner/pool.hpp"
#include "scanner/scan.hpp"

#include <algorithm>
#include <condition_variable>
#include <map>
#include <mutex>
#include <unordered_set>

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
    ScanRun(const WorkerSender& sender, const ScanRequest& request,
            std::vector<std::string> resolved_roots, std::vector<std::string> known_paths,
            const SystemEnv& env)
        : sender_(sender), request_(request), roots_(std::move(resolved_roots)),
          known_paths_(std::move(known_paths)), kinds_(request.kinds), now_(now_unix()),
          plan_(roots_, kinds_,
                request_.scope == ScopeFilter::Project ? std::vector<GlobalCandidate>{}
                                                       : discover_global_caches(env)),
          tokens_(measure_token_count(worker_threads())) {}

    /// Runs the three passes, waits for every measurement, and hands over the results.
    ScanResult run() {
        known_paths_pass();
        if (request_.scope != ScopeFilter::Project) {
            global_pass();
        }
        walk_pass();
        jobs_.wait();
        std::scoped_lock lock(results_mutex_, walk_errors_mutex_);
        return ScanResult{std::move(results_), std::move(walk_errors_)};
    }

private:
    // The rows already on screen first, so their fresh values arrive early.
    void known_paths_pass() {
        for (const std::string& known : known_paths_) {
            if (!is_directory_nofollow(known)) {
                continue;
            }
            if (request_.scope != ScopeFilter::Project) {
                if (const DiscoveryPlan::Global* g = plan_.global_at(known)) {
                    if (g->reported) {
                        submit(global_found_cache(g->row));
                    }
                    continue;
                }
                if (request_.scope == ScopeFilter::Global) {
                    continue;
                }
            }
            std::optional<std::string> real = canonical_path(known);
            if (!real) {
                continue;
            }
            const std::string* anchor = nullptr;
            std::size_t anchor_depth = 0;
            for (const std::string& root : roots_) {
                if (path::equal(*real, root) || !path::starts_with(*real, root)) {
                    continue;
                }
                std::size_t depth = path::components(root).size();
                if (anchor == nullptr || depth > anchor_depth) {
                    anchor = &root;
                    anchor_depth = depth;
                }
            }
            if (anchor == nullptr) {
                continue;
            }
            // Only what the walk would report: nothing inside another reported cache.
            std::optional<ProjectMatch> match = classify_project_dir(*real);
            if (match && kinds_.passes(match->kind) && plan_.walk_reaches(*real, *anchor)) {
                submit(project_found_cache(*match, *real, *anchor), true);
            }
        }
    }

    void global_pass() {
        for (const DiscoveryPlan::Global& g : plan_.globals()) {
            if (g.reported) {
                submit(global_found_cache(g.row));
            }
        }
    }

    void walk_pass() {
        plan_.walk([&](FoundCache found) { submit(std::move(found), true); },
                   [&](std::string text) { walk_error(std::move(text)); });
    }

    // Reports a newly found cache and queues its measurement; a path found before (by
    // its canonical form) is dropped silently. Walk results are canonical already: a
    // canonical root followed by names of real directories.
    void submit(FoundCache found, bool is_canonical = false) {
        std::string key =
            is_canonical ? found.path : canonical_path(found.path).value_or(found.path);
        if (!seen_.insert(std::move(key)).second) {
            return;
        }
        (void)sender_.send(msg::Found{
            SizingRow{found.kind, found.ecosystem, found.path, found.scope, found.cleanable}});
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
    // pool threads: sent and listed under one lock, so the final list keeps the order of
    // the messages.
    void walk_error(std::string text) {
        std::lock_guard lock(walk_errors_mutex_);
        (void)sender_.send(msg::WalkError{text});
        walk_errors_.push_back(std::move(text));
    }

    // On a pool thread. The row is kept only after its message went out, so the final
    // rows are exactly the measured ones that were reported.
    void measured(const std::string& path, std::optional<Candidate> candidate) {
        // Back however this ends, or discovery could wait for the token forever.
        struct GiveBack {
            MeasureTokens& tokens;
            ~GiveBack() { tokens.give_back(); }
        } give_back{tokens_};
        if (candidate) {
            (void)sender_.send(msg::Measured{*candidate});
            std::lock_guard lock(results_mutex_);
            results_.push_back(std::move(*candidate));
        } else {
            (void)sender_.send(msg::NoCandidate{path});
        }
    }

    const WorkerSender sender_; // a second sending side, dropped when the scan ends
    const ScanRequest& request_;
    const std::vector<std::string> roots_;
    const std::vector<std::string> known_paths_;
    const KindFilter kinds_;
    const std::uint64_t now_;
    DiscoveryPlan plan_;
    std::unordered_set<std::string, path::Hash, path::Equal> seen_;
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
        by_path.insert_or_assign(c.path, RememberedCache{c.kind, c.ecosystem, c.scope, c.path,
                                                         c.bytes, c.allocated_bytes,
                                                         c.modified_unix, c.cleanable, now});
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
    const WorkerSender sender = std::move(job.sender);
    ScanRequest request;
    request.roots = std::move(job.roots);
    request.kinds = std::move(job.kinds);
    request.protect_days = 0;
    request.scope = job.scope;

    if (auto valid = validate_kind_filter(request.kinds); !valid) {
        (void)sender.send(msg::ScanFinished{unexpected(std::move(valid).error())});
        return;
    }
    auto roots = resolve_scan_roots(request);
    if (!roots) {
        (void)sender.send(msg::ScanFinished{unexpected(std::move(roots).error())});
        return;
    }
    ScanResult result;
    {
        ScanRun run(sender, request, std::move(*roots), std::move(job.known_paths), env);
        result = run.run();
    }
    sort_candidates(result.candidates);
    update_snapshot(env, job.snapshot_request, result.candidates);
    (void)sender.send(msg::ScanFinished{std::move(result)});
}

} // namespace qb
