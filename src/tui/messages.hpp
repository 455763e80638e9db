#pragma once

// Applying the workers' messages to the state, and keeping the focused row focused
// while the row lists change underneath it.

#include "tui/state.hpp"

#include <memory>
#include <optional>
#include <string_view>
#include <vector>

namespace qb::tui {

/// Applies one message completely. `sender` is the interface's own sending end; it is
/// handed on when a finished check starts the clean.
void handle_worker_message(TuiState& state, WorkerMessage message, const WorkerSender& sender);

class ProgressIndex;

/// Applies messages in order with the effect of handle_worker_message on each, except
/// that a run of scan-progress messages (`Found`, `Measured`, `NoCandidate`) rebuilds the
/// view once, at the end of the run, instead of after every message: a scan of thousands
/// of caches sends them faster than a whole view can be rebuilt for each. The focus taken
/// before the run is restored after it; a focused row that went away during the run
/// leaves the cursor at its clamped position. Between `apply` and `finish` the visible
/// lists may lag behind the rows: nothing may read them before `finish` (or the end of
/// the object's life).
class MessageRun {
public:
    MessageRun(TuiState& state, const WorkerSender& sender);
    ~MessageRun();
    MessageRun(const MessageRun&) = delete;
    MessageRun& operator=(const MessageRun&) = delete;

    void apply(WorkerMessage message);
    /// Ends the current run: rebuilds the view and restores the focus.
    void finish();

private:
    TuiState& state_;
    const WorkerSender& sender_;
    std::unique_ptr<ProgressIndex> index_; // set while a run is open
    std::optional<RowKey> focus_;          // taken when the run opened
    bool changed_ = false;
};

/// The key of the row under the cursor, or none when the cursor focuses nothing.
std::optional<RowKey> selected_row_key(const TuiState& state);

/// Rebuilds the view after a change of the rows and puts the cursor back on `key`, or on
/// the first row while the user has not moved.
void replace_rows(TuiState& state, const std::optional<RowKey>& key);

/// The first row of that kind, or null.
NativeResource* find_native_resource(std::vector<NativeResource>& rows, std::string_view kind);
const NativeResource* find_native_resource(const std::vector<NativeResource>& rows,
                                           std::string_view kind);

NativeResource clone_native_resource(const NativeResource& resource);

} // namespace qb::tui
