#pragma once

// The interactive interface's set-up and its one loop: the terminal switched into raw mode
// and the alternate screen, the remembered results shown at once, worker messages applied,
// frames drawn when something changed, keys handed to the key map, and the terminal put
// back on every way out.

#include "common/app_error.hpp"
#include "common/env.hpp"
#include "common/result.hpp"
#include "scanner/protected_dirs.hpp"
#include "scanner/snapshot.hpp"
#include "tui/state.hpp"
#include "tui/term/input.hpp"

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace qb::tui {

/// How long a status line stays, and how long the loop waits for input.
inline constexpr std::chrono::seconds kStatusLifetime{4};
inline constexpr std::chrono::milliseconds kInputWait{80};

/// The snapshot entries the interface shows before its scan has measured anything:
/// absolute paths observed at most 30 days before `now_unix` (one observed later counts
/// as new) that the request covers and that are neither "/" nor `home` or one of its
/// ancestors (compared as written: nothing is looked at), largest first (ties by path),
/// each path once, at most 4,096.
std::vector<RememberedCache> select_remembered(std::vector<RememberedCache> entries,
                                               const ScanOptions& options,
                                               const std::vector<std::string>& canonical_roots,
                                               std::string_view home, std::uint64_t now_unix);

/// Reads the snapshot of `env` and selects from it; any failure gives no entries.
std::vector<RememberedCache> preload_remembered(const ScanOptions& options, const SystemEnv& env);

/// How long one turn may spend applying messages before it draws and reads the keyboard.
/// A scan that finds thousands of caches sends messages faster than they are applied; the
/// budget keeps keys answered within a frame or two while the rest waits for the next turn.
inline constexpr std::chrono::milliseconds kDrainBudget{16};

struct Drained {
    bool applied = false;   // at least one message was applied
    bool cut_short = false; // the deadline came while messages may still be waiting
};

/// Applies the messages waiting on the channel, in order and without waiting for more,
/// until none is left or `deadline` has passed.
Drained drain_messages(TuiState& state, WorkerReceiver& receiver, const WorkerSender& sender,
                       Clock::time_point deadline = Clock::time_point::max());

/// Whether this turn draws: a status line that has grown old is dropped (and drawn
/// away), a running spinner turns, or something changed.
bool turn_needs_draw(TuiState& state, bool applied, bool redraw_requested, Clock::time_point now);

/// Applies one terminal event; the result is whether the next turn must draw.
bool apply_event(TuiState& state, const term::Event& event, const WorkerSender& sender);

/// The terminal failure as the interface reports it: an io error on "<terminal>".
AppError terminal_error(const term::TermError& error);

/// Runs the interface on the process's terminal until the user quits. `env` is the
/// environment that decides the snapshot, the capabilities and the services. Workers are
/// not waited for; `workers_left`, when given, tells whether any was still running.
Result<Ok, AppError> tui_event_loop(ScanOptions options, const SystemEnv& env,
                                    bool* workers_left = nullptr);

} // namespace qb::tui
