#pragma once

// Applying the workers' messages to the state, and keeping the focused row focused
// while the row lists change underneath it.

#include "tui/state.hpp"

#include <optional>
#include <string_view>
#include <vector>

namespace qb::tui {

/// Applies one message completely. `sender` is the interface's own sending end; it is
/// handed on when a finished check starts the clean.
void handle_worker_message(TuiState& state, WorkerMessage message, const WorkerSender& sender);

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
