#pragma once

// What the interface's workers call in the engine and the Docker provider, gathered in
// one set of functions so that tests can script every answer, and the one place where
// worker threads are started.

#include "common/app_error.hpp"
#include "common/env.hpp"
#include "common/result.hpp"
#include "docker/native.hpp"
#include "scanner/candidate.hpp"
#include "scanner/clean.hpp"
#include "scanner/scan.hpp"
#include "scanner/scan_worker.hpp"

#include <functional>
#include <string>
#include <vector>

namespace qb::tui {

// The scan job and its options belong to the engine's background scan.
using qb::ScanJob;
using qb::ScanOptions;

/// Starts `body` on a new detached thread. When the system refuses the thread, the
/// terminal is restored through the hook and the process ends with status 101.
void spawn_detached(std::function<void()> body);

struct TuiServices {
    /// The body of the scan thread: reports to the job's sink and ends with finished().
    std::function<void(ScanJob)> run_scan;
    std::function<NativeInspection()> inspect_docker;
    /// The check of a whole selection, with one protected set for all of it.
    std::function<Result<std::vector<Candidate>, AppError>(const std::vector<Candidate>&)>
        measure_entries;
    /// Always a real run: the interface never asks for a dry run.
    std::function<Result<CleanReport, AppError>(const std::vector<Candidate>&)> execute_clean;
    std::function<Result<NativeResource, NativeDiagnostic>()> preview_build_cache;
    std::function<Result<NativeCleanReport, NativeDiagnostic>()> prune_build_cache;
    /// Runs a worker body to its end on a thread of its own; nobody waits for it.
    std::function<void(std::function<void()>)> spawn = spawn_detached;
};

/// The engine and the Docker client of this machine, reading `env`, with workers on
/// detached threads.
TuiServices default_services(SystemEnv env);

/// What spawn_detached() calls before it ends the process; the event loop sets it once
/// the terminal is changed and clears it (an empty function) once it is restored.
void set_terminal_restore_hook(std::function<void()> hook);

} // namespace qb::tui
