#pragma once

// The interface's one state record. Only the interface thread reads or writes it; the
// workers get copies of what they need and answer through the worker channel.

#include "common/paths.hpp"
#include "docker/native.hpp"
#include "scanner/candidate.hpp"
#include "scanner/scan.hpp"
#include "scanner/snapshot.hpp"
#include "tui/services.hpp"
#include "tui/term/geometry.hpp"
#include "tui/theme.hpp"
#include "tui/worker_message.hpp"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace qb::tui {

using Clock = std::chrono::steady_clock;

enum class TuiPhase { Scanning, Ready, Checking, Confirm, Cleaning, ScanFailed };

/// Size: bytes descending; Age: age in days descending; Name: path ascending.
enum class SortMode { Size, Age, Name };

/// The footer's status message; the loop drops it once it is 4 seconds old.
struct StatusLine {
    std::string text;
    Clock::time_point set_at;
};

/// The identity of the focused row across a change of the row lists.
struct RowKey {
    enum class Kind { Path, DockerKind };
    Kind kind = Kind::Path;
    std::string value; // a path (measured or sizing row) or a Docker kind id

    static RowKey path(std::string p) { return {Kind::Path, std::move(p)}; }
    static RowKey docker_kind(std::string k) { return {Kind::DockerKind, std::move(k)}; }
    bool operator==(const RowKey&) const = default;
};

/// Paths as keys: two written forms of one path are one key.
using PathSet = std::unordered_set<std::string, path::Hash, path::Equal>;
using RememberedMap = std::unordered_map<std::string, RememberedCache, path::Hash, path::Equal>;
/// Docker kind ids, compared byte for byte.
using KindSet = std::unordered_set<std::string>;

struct TuiState {
    ScanOptions options;
    /// Measured caches of the current results.
    std::vector<Candidate> rows;
    /// Found or remembered caches without a measurement in this scan yet.
    std::vector<SizingRow> sizing_rows;
    /// The view: indices into rows, sizing_rows and docker_rows, in display order.
    std::vector<std::size_t> visible_rows;
    std::vector<std::size_t> visible_sizing;
    std::vector<NativeResource> docker_rows;
    std::vector<std::size_t> visible_docker;
    std::vector<std::string> scan_errors;
    std::string filter;
    /// The clean plan waiting for confirmation.
    std::vector<Candidate> plan;
    /// Paths of the measured rows in the running check or clean.
    std::vector<std::string> operation_paths;
    /// The build-cache row to prune together with the plan.
    std::optional<NativeResource> pending_prune;
    /// The message of the last failed scan.
    std::optional<std::string> scan_error;
    std::optional<StatusLine> status;
    /// Start of the running scan, check or clean: the spinner's clock.
    Clock::time_point operation_started = Clock::now();
    /// Snapshot entries whose paths have not been measured in this scan yet.
    RememberedMap remembered;
    /// Paths waiting for a measurement in this scan.
    PathSet pending_paths;
    PathSet measured_paths;
    PathSet selected_paths;
    KindSet selected_docker;
    /// Distinct paths that entered pending_paths in this scan.
    std::uint64_t found_count = 0;
    /// Index into the visible order: visible_rows, then visible_sizing, then visible_docker.
    std::uint64_t cursor = 0;
    bool unicode = false;
    bool animate = false;
    Theme theme;
    /// The running scan replaces results that were already on screen.
    bool refreshing = false;
    /// Once set, a replacement of the rows keeps the focused row focused.
    bool user_moved = false;
    bool filter_open = false;
    bool help_open = false;
    /// The area of the frame last drawn, none before the first.
    std::optional<term::Rect> drawn_area;
    /// The running check or clean includes the Docker build cache.
    bool docker_in_operation = false;
    bool quit = false;
    ScopeFilter view_scope = ScopeFilter::All;
    SortMode sort = SortMode::Size;
    TuiPhase phase = TuiPhase::Scanning;

    /// How the workers reach the engine and Docker.
    TuiServices services;
};

/// The focused row, resolved to the stored list it lives in.
struct FocusedRow {
    enum class Kind { None, Measured, Sizing, Docker };
    Kind kind = Kind::None;
    std::size_t index = 0; // into rows, sizing_rows or docker_rows

    bool operator==(const FocusedRow&) const = default;
};

/// The number of entries in the visible order.
std::size_t visible_count(const TuiState& state);

/// The last index of the visible order, 0 when it is empty.
std::uint64_t last_visible_index(const TuiState& state);

/// The row at `cursor`, or none when the cursor lies beyond the visible order.
FocusedRow focused_row(const TuiState& state);

/// Apparent bytes of every measured row, filtered or not (saturating).
std::uint64_t rows_apparent_bytes(const TuiState& state);

/// Reclaimable bytes of every Docker row (saturating).
std::uint64_t docker_reclaimable_bytes(const TuiState& state);

/// Selected measured rows and Docker rows together, hidden ones included.
std::size_t selection_count(const TuiState& state);

/// Bytes of the selected measured rows plus the reclaimable bytes of the selected Docker
/// rows, hidden ones included (saturating).
std::uint64_t selected_bytes(const TuiState& state);

/// Apparent and allocated bytes of the rows of a plan (saturating).
struct PlanBytes {
    std::uint64_t apparent = 0;
    std::uint64_t allocated = 0;
};
PlanBytes plan_bytes(const std::vector<Candidate>& plan);

/// Whether a frame of this area is below 58 x 16, where it shows only the too-small notice.
bool below_minimum(term::Rect area);

/// Replaces the status line with `text`, stamped now.
void set_status(TuiState& state, std::string text);

/// The state the interface starts with: the remembered entries (already filtered and
/// ordered) as sizing rows and by path, the capability decision, the view computed once.
TuiState initial_state(ScanOptions options, const std::vector<RememberedCache>& remembered,
                       const Capabilities& capabilities, TuiServices services);

} // namespace qb::tui
