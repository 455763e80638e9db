#pragma once

// Starting the interface's workers: the background scan, the Docker inspection, the
// check before a deletion and the clean. Each worker runs on a thread of its own, owns
// its job and its sender, and reports only through the worker channel.

#include "tui/state.hpp"

#include <optional>
#include <string>
#include <vector>

namespace qb::tui {

/// What the check thread owns.
struct RemeasureJob {
    WorkerSender sender;
    std::vector<Candidate> targets;
    std::optional<NativeResource> build_cache_row;
    bool after_confirmation = false;
};

/// What the clean thread owns.
struct CleanJob {
    WorkerSender sender;
    std::vector<Candidate> targets;
    std::optional<NativeResource> build_cache_row;
};

/// The paths already on screen (measured rows, else remembered entries), largest first,
/// ties by path, adjacent repeats dropped: what a new scan re-examines first.
std::vector<std::string> known_scan_paths(const TuiState& state);

/// Starts a scan: resets what belonged to the previous scan or an unfinished deletion,
/// enters Scanning, and starts the scan thread and, when Docker rows are wanted, the
/// Docker inspection thread.
void start_background_scan(TuiState& state, const WorkerSender& sender);

/// The body of the Docker inspection thread: one DockerInspected message.
void run_docker_inspect_worker(const TuiServices& services, WorkerSender sender);

/// Enters Checking and starts the thread that measures the targets again.
void spawn_remeasure_worker(TuiState& state, std::vector<Candidate> targets,
                            std::optional<NativeResource> build_cache_row, bool after_confirmation,
                            const WorkerSender& sender);

/// The body of the check thread: one Remeasured message.
void run_remeasure_worker(const TuiServices& services, RemeasureJob job);

/// Applies the manual override to explicitly selected scan-only targets, enters
/// Cleaning and starts the clean thread.
void spawn_clean_worker(TuiState& state, std::vector<Candidate> targets,
                        std::optional<NativeResource> build_cache_row, const WorkerSender& sender);

/// The body of the clean thread: one CleanFinished message.
void run_clean_worker(const TuiServices& services, CleanJob job);

} // namespace qb::tui
