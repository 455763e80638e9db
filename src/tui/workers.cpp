#include "tui/workers.hpp"

#include "scanner/scan.hpp"
#include "tui/messages.hpp"

#include <algorithm>
#include <memory>
#include <utility>

namespace qb::tui {

namespace {

/// The background scan's reports as messages on the interface's channel; a message the
/// interface is no longer there to receive is dropped.
class ChannelScanSink final : public ScanSink {
public:
    explicit ChannelScanSink(WorkerSender sender) : sender_(std::move(sender)) {}

    void found(const FoundCache& c) override {
        sender_.send(msg::Found{SizingRow{c.kind, c.ecosystem, c.path, c.scope, c.cleanable}});
    }
    void measured(const Candidate& candidate) override { sender_.send(msg::Measured{candidate}); }
    void no_candidate(const std::string& path) override { sender_.send(msg::NoCandidate{path}); }
    void walk_error(const std::string& text) override { sender_.send(msg::WalkError{text}); }
    void finished(Result<ScanResult, AppError> outcome) override {
        sender_.send(msg::ScanFinished{std::move(outcome)});
    }

private:
    const WorkerSender sender_;
};

/// The phase and the working panel's record of a check or clean that starts now.
void begin_operation(TuiState& state, TuiPhase phase, const std::vector<Candidate>& targets,
                     bool with_build_cache) {
    state.phase = phase;
    state.operation_started = Clock::now();
    state.operation_paths.clear();
    for (const Candidate& target : targets) {
        state.operation_paths.push_back(target.path);
    }
    state.docker_in_operation = with_build_cache;
}

} // namespace

std::vector<std::string> known_scan_paths(const TuiState& state) {
    struct Known {
        std::uint64_t bytes;
        std::string path;
    };
    std::vector<Known> known;
    for (const Candidate& row : state.rows) {
        known.push_back({row.bytes, row.path});
    }
    for (const auto& [p, entry] : state.remembered) {
        known.push_back({entry.bytes, entry.path});
    }
    std::stable_sort(known.begin(), known.end(), LargestFirst{});
    std::vector<std::string> paths;
    for (Known& k : known) {
        if (paths.empty() || !path::equal(paths.back(), k.path)) {
            paths.push_back(std::move(k.path));
        }
    }
    return paths;
}

void start_background_scan(TuiState& state, const WorkerSender& sender) {
    auto key = selected_row_key(state);
    state.phase = TuiPhase::Scanning;
    state.operation_started = Clock::now();
    state.refreshing = !state.rows.empty() || !state.remembered.empty();
    if (!state.rows.empty()) {
        state.sizing_rows.clear();
        state.remembered.clear();
    }
    std::vector<std::string> known = known_scan_paths(state);
    state.pending_paths = PathSet(known.begin(), known.end());
    state.found_count = state.pending_paths.size();
    state.measured_paths.clear();

    state.scan_errors.clear();
    state.selected_paths.clear();
    state.selected_docker.clear();
    state.plan.clear();
    state.operation_paths.clear();
    state.pending_prune.reset();
    state.scan_error.reset();
    state.status.reset();
    state.docker_in_operation = false;
    replace_rows(state, key);

    const TuiServices& services = state.services;
    if (!state.options.kinds.empty() || state.options.scope == ScopeFilter::Project) {
        state.docker_rows.clear();
        state.visible_docker.clear();
        // The cursor may have pointed at a Docker row that is gone now.
        state.cursor = std::min(state.cursor, last_visible_index(state));
    } else {
        services.spawn([services, docker_sender = sender]() mutable {
            run_docker_inspect_worker(services, std::move(docker_sender));
        });
    }

    ScanJob job{std::make_shared<ChannelScanSink>(sender), state.options, std::move(known)};
    services.spawn(
        [run = services.run_scan, job = std::move(job)]() mutable { run(std::move(job)); });
}

void run_docker_inspect_worker(const TuiServices& services, WorkerSender sender) {
    sender.send(msg::DockerInspected{services.inspect_docker()});
}

void spawn_remeasure_worker(TuiState& state, std::vector<Candidate> targets,
                            std::optional<NativeResource> build_cache_row, bool after_confirmation,
                            const WorkerSender& sender) {
    begin_operation(state, TuiPhase::Checking, targets, build_cache_row.has_value());
    RemeasureJob job{sender, std::move(targets), std::move(build_cache_row), after_confirmation};
    state.services.spawn([services = state.services, job = std::move(job)]() mutable {
        run_remeasure_worker(services, std::move(job));
    });
}

void run_remeasure_worker(const TuiServices& services, RemeasureJob job) {
    msg::Remeasured outcome{services.measure_entries(job.targets), std::nullopt,
                            job.after_confirmation};
    if (job.build_cache_row) {
        outcome.build_cache = services.preview_build_cache();
    }
    job.sender.send(std::move(outcome));
}

void spawn_clean_worker(TuiState& state, std::vector<Candidate> targets,
                        std::optional<NativeResource> build_cache_row, const WorkerSender& sender) {
    for (Candidate& target : targets) {
        if (!target.cleanable && state.selected_paths.contains(target.path)) {
            target.cleanable = true;
        }
    }
    begin_operation(state, TuiPhase::Cleaning, targets, build_cache_row.has_value());
    CleanJob job{sender, std::move(targets), std::move(build_cache_row)};
    state.services.spawn([services = state.services, job = std::move(job)]() mutable {
        run_clean_worker(services, std::move(job));
    });
}

void run_clean_worker(const TuiServices& services, CleanJob job) {
    msg::CleanFinished outcome{services.execute_clean(job.targets), std::nullopt};
    // A clean that stopped before removing anything stops the prune too.
    if (job.build_cache_row && outcome.report) {
        outcome.prune = services.prune_build_cache();
    }
    job.sender.send(std::move(outcome));
}

} // namespace qb::tui
