#pragma once

// The key map: what each key press does to the state in each phase, with the row
// actions behind Space, a, d and the confirmation keys.

#include "tui/state.hpp"
#include "tui/term/input.hpp"

namespace qb::tui {

/// Applies one key press. `sender` is the interface's own sending end, handed on to the
/// workers a key starts. Repeats and releases do nothing.
void handle_key(TuiState& state, const term::KeyEvent& key, const WorkerSender& sender);

/// `d` in Ready: plans the selection, or the focused row when nothing is selected, and
/// starts the check.
void request_clean(TuiState& state, const WorkerSender& sender);

/// `n` or Esc in Confirm.
void cancel_clean(TuiState& state);

/// Enter, `d` or `y` in Confirm: measures the plan once more before the clean.
void confirm_clean_tui(TuiState& state, const WorkerSender& sender);

/// Space in Ready: selects or unselects the focused row and moves down one.
void toggle_focused(TuiState& state);

/// `a` in Ready: selects every deletable visible row, or unselects them when all are.
void toggle_all_visible(TuiState& state);

/// Space in Scanning: like toggle_focused(), but refuses rows still being measured.
void toggle_while_sizing(TuiState& state);

} // namespace qb::tui
