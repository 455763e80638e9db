#pragma once

// A scripted interface for the state tests: the worker channel, and a state whose
// services answer from the test's script, run every worker at once on the calling
// thread and record what they were asked to do.

#include "tui/keys.hpp"
#include "tui/messages.hpp"
#include "tui/view.hpp"
#include "tui/workers.hpp"

#include <optional>
#include <string>
#include <vector>

namespace qb::tui::testing {

/// A project cache, cleanable, 30 days old.
inline Candidate row(std::string path, std::uint64_t bytes) {
    Candidate c;
    c.kind = "cargo-target";
    c.ecosystem = "rust";
    c.path = std::move(path);
    c.bytes = c.allocated_bytes = bytes;
    c.modified_unix = 1'000'000;
    c.age_days = 30;
    c.is_protected = false;
    return c;
}

inline SizingRow sizing(std::string path, CacheScope scope = CacheScope::Project) {
    return SizingRow{"node-modules", "node", std::move(path), scope, true};
}

inline NativeResource docker(std::string kind, std::string label, std::uint64_t reclaimable,
                             bool cleanable = false) {
    return NativeResource{"docker", "daemon",    std::move(kind), std::move(label), 1,
                          0,        reclaimable, reclaimable,     cleanable};
}

inline NativeResource build_cache(std::uint64_t reclaimable) {
    return docker("docker-build-cache", "Docker build cache", reclaimable, true);
}

/// In display order under Size: images, build cache, volumes, containers.
inline std::vector<NativeResource> docker_classes() {
    return {docker("docker-images", "Docker images", 500), build_cache(300),
            docker("docker-containers", "Docker containers", 0),
            docker("docker-volumes", "Docker volumes", 100)};
}

inline msg::DockerInspected inspected(std::vector<NativeResource> rows,
                                      std::vector<NativeDiagnostic> diagnostics = {},
                                      bool available = true) {
    return {NativeInspection{"docker", std::move(rows), std::move(diagnostics), available}};
}

inline msg::ScanFinished finished(std::vector<Candidate> rows,
                                  std::vector<std::string> errors = {}) {
    return {ScanResult{std::move(rows), std::move(errors)}};
}

inline msg::ScanFinished failed(std::string path) {
    return {unexpected(AppError(errors::UnreadableDirectory{std::move(path)}))};
}

inline term::KeyEvent key(term::KeyCode code) {
    return term::KeyEvent::key(code);
}

class Harness {
public:
    explicit Harness(ScanOptions options = {{"/w"}, {}, ScopeFilter::All}) {
        auto [tx, rx] = make_channel<WorkerMessage>();
        sender = std::move(tx);
        receiver.emplace(std::move(rx));
        Capabilities caps;
        caps.unicode = true;
        state = initial_state(std::move(options), {}, caps, services());
    }
    Harness(const Harness&) = delete;
    Harness& operator=(const Harness&) = delete;

    TuiState state;
    WorkerSender sender;
    std::optional<WorkerReceiver> receiver;

    // The script: measure_entries refuses the paths in `refuse` with their reason and
    // answers `remeasure_as` where given, else the target unchanged.
    std::vector<std::pair<std::string, std::string>> refuse;
    std::vector<Candidate> remeasure_as;
    Result<NativeResource, NativeDiagnostic> preview_answer = build_cache(300);
    std::optional<Result<NativeCleanReport, NativeDiagnostic>> prune_answer;

    // The record.
    std::vector<ScanJob> scan_jobs;
    int inspections = 0;
    std::vector<std::string> measured;
    int previews = 0;
    std::vector<std::vector<Candidate>> cleans;
    int prunes = 0;

    void apply(WorkerMessage m) { handle_worker_message(state, std::move(m), sender); }
    void press(const term::KeyEvent& k) { handle_key(state, k, sender); }
    void press(char32_t c, std::uint8_t mods = 0) { press(term::KeyEvent::character(c, mods)); }
    void type(std::string_view keys) {
        for (char c : keys) {
            press(static_cast<char32_t>(c));
        }
    }

    /// Applies every queued message, as the event loop does; returns how many.
    int drain() {
        int n = 0;
        for (; auto m = receiver->try_receive(); ++n) {
            apply(std::move(*m));
        }
        return n;
    }

    /// A finished scan with these rows (and Docker rows, when given).
    void show(std::vector<Candidate> rows, std::vector<NativeResource> docker_rows = {}) {
        if (!docker_rows.empty()) {
            apply(inspected(std::move(docker_rows)));
        }
        apply(finished(std::move(rows)));
    }

    std::string status() const { return state.status ? state.status->text : std::string(); }

    std::vector<std::string> visible_paths() const {
        std::vector<std::string> out;
        for (std::size_t i : state.visible_rows) {
            out.push_back(state.rows[i].path);
        }
        return out;
    }

private:
    TuiServices services() {
        TuiServices s;
        s.run_scan = [this](ScanJob job) { scan_jobs.push_back(std::move(job)); };
        s.inspect_docker = [this] {
            ++inspections;
            return inspected(docker_classes()).inspection;
        };
        s.measure_entries =
            [this](
                const std::vector<Candidate>& targets) -> Result<std::vector<Candidate>, AppError> {
            std::vector<Candidate> out;
            for (Candidate c : targets) {
                measured.push_back(c.path);
                for (const auto& [p, reason] : refuse) {
                    if (p == c.path) {
                        return unexpected(AppError(errors::Conflict{reason}));
                    }
                }
                for (const Candidate& fresh : remeasure_as) {
                    if (fresh.path == c.path) {
                        c = fresh;
                    }
                }
                out.push_back(std::move(c));
            }
            return out;
        };
        // Removes the cleanable targets, skips the others, as the clean executor does.
        s.execute_clean = [this](const std::vector<Candidate>& targets) {
            cleans.push_back(targets);
            CleanReport r;
            r.selected = targets.size();
            for (const Candidate& t : targets) {
                if (t.cleanable) {
                    r.cleaned += 1;
                    r.cleaned_paths.push_back(t.path);
                    r.apparent_bytes_removed += t.bytes;
                    r.allocated_bytes_removed_estimate += t.allocated_bytes;
                } else {
                    r.skipped += 1;
                    r.skipped_paths.push_back({t.path, "scan-only cache"});
                }
            }
            auto freed = static_cast<std::int64_t>(r.apparent_bytes_removed);
            r.filesystem_deltas.push_back({"/w", 0, r.apparent_bytes_removed, freed});
            return r;
        };
        s.preview_build_cache = [this] {
            ++previews;
            return preview_answer;
        };
        s.prune_build_cache = [this] {
            ++prunes;
            return prune_answer.value();
        };
        s.spawn = [](std::function<void()> body) { body(); };
        return s;
    }
};

} // namespace qb::tui::testing
