#include "tui/keys.hpp"

#include "common/saturating.hpp"
#include "tui/messages.hpp"
#include "tui/view.hpp"
#include "tui/workers.hpp"

#include <algorithm>
#include <utf8proc.h>

namespace qb::tui {
namespace {

using term::KeyCode;
using term::KeyEvent;

constexpr std::uint64_t kPageStep = 10;

enum class Action {
    None,
    Up,
    Down,
    Home,
    End,
    PageUp,
    PageDown,
    NextScope,
    NextSort,
    OpenFilter,
    OpenHelp,
    Space,
    All,
    Delete,
    Confirm,
    Cancel,
    Rescan,
    Quit,
    Esc,
};

/// The key table's row for a key, modifiers ignored.
Action action_of(const KeyEvent& key) {
    switch (key.code) {
    case KeyCode::Up:
        return Action::Up;
    case KeyCode::Down:
        return Action::Down;
    case KeyCode::Home:
        return Action::Home;
    case KeyCode::End:
        return Action::End;
    case KeyCode::PageUp:
        return Action::PageUp;
    case KeyCode::PageDown:
        return Action::PageDown;
    case KeyCode::Tab:
        return Action::NextScope;
    case KeyCode::Enter:
        return Action::Confirm;
    case KeyCode::Esc:
        return Action::Esc;
    case KeyCode::Char:
        break;
    default:
        return Action::None;
    }
    switch (key.ch) {
    case U'k':
        return Action::Up;
    case U'j':
        return Action::Down;
    case U'g':
        return Action::Home;
    case U'G':
        return Action::End;
    case U's':
        return Action::NextSort;
    case U'/':
        return Action::OpenFilter;
    case U'?':
        return Action::OpenHelp;
    case U' ':
        return Action::Space;
    case U'a':
        return Action::All;
    case U'd':
        return Action::Delete;
    case U'y':
        return Action::Confirm;
    case U'n':
        return Action::Cancel;
    case U'r':
        return Action::Rescan;
    case U'q':
        return Action::Quit;
    default:
        return Action::None;
    }
}

void move_cursor(TuiState& state, Action action) {
    const std::uint64_t last = last_visible_index(state);
    std::uint64_t& c = state.cursor;
    switch (action) {
    case Action::Up:
        c = c == 0 ? 0 : c - 1;
        break;
    case Action::Down:
        c = std::min(sat_add(c, 1), last);
        break;
    case Action::Home:
        c = 0;
        break;
    case Action::End:
        c = last;
        break;
    case Action::PageUp:
        c = sat_sub(c, kPageStep);
        break;
    case Action::PageDown:
        c = std::min(sat_add(c, kPageStep), last);
        break;
    default:
        return;
    }
    state.user_moved = true;
}

ScopeFilter next_scope(ScopeFilter s) {
    switch (s) {
    case ScopeFilter::All:
        return ScopeFilter::Project;
    case ScopeFilter::Project:
        return ScopeFilter::Global;
    case ScopeFilter::Global:
        break;
    }
    return ScopeFilter::All;
}

SortMode next_sort(SortMode s) {
    switch (s) {
    case SortMode::Size:
        return SortMode::Age;
    case SortMode::Age:
        return SortMode::Name;
    case SortMode::Name:
        break;
    }
    return SortMode::Size;
}

void change_view(TuiState& state, Action action) {
    if (action == Action::NextScope) {
        state.view_scope = next_scope(state.view_scope);
    } else {
        state.sort = next_sort(state.sort);
    }
    state.user_moved = true;
    state.cursor = 0;
    rebuild_view(state);
}

void pop_last_char(std::string& s) {
    while (!s.empty()) {
        bool continuation = (static_cast<unsigned char>(s.back()) & 0xC0) == 0x80;
        s.pop_back();
        if (!continuation) {
            return;
        }
    }
}

void append_char(std::string& s, char32_t c) {
    utf8proc_uint8_t buf[4];
    utf8proc_ssize_t n = utf8proc_encode_char(static_cast<utf8proc_int32_t>(c), buf);
    s.append(reinterpret_cast<const char*>(buf), static_cast<std::size_t>(n));
}

void filter_key(TuiState& state, const KeyEvent& key) {
    if (key.code == KeyCode::Enter || key.code == KeyCode::Esc) {
        state.filter_open = false;
        return;
    }
    if (key.code == KeyCode::Char && !key.ctrl()) {
        append_char(state.filter, key.ch);
    } else if (key.code == KeyCode::Char && key.ch == U'u') {
        state.filter.clear();
    } else if (key.code == KeyCode::Backspace) {
        pop_last_char(state.filter);
    } else {
        return;
    }
    state.cursor = 0;
    rebuild_view(state);
}

void quit(TuiState& state) {
    state.quit = true;
}

/// Quits, except while a clean runs: that cannot be left from the keyboard.
void quit_unless_cleaning(TuiState& state) {
    if (state.phase == TuiPhase::Cleaning) {
        set_status(state, "Deletion is in progress — wait for it to finish");
    } else {
        quit(state);
    }
}

/// The keys of Scanning and Ready, which share everything but the row actions.
void browse_key(TuiState& state, Action action, const WorkerSender& sender) {
    const bool scanning = state.phase == TuiPhase::Scanning;
    switch (action) {
    case Action::NextScope:
    case Action::NextSort:
        change_view(state, action);
        break;
    case Action::OpenFilter:
        state.user_moved = true;
        state.filter_open = true;
        break;
    case Action::OpenHelp:
        state.help_open = true;
        break;
    case Action::Space:
        scanning ? toggle_while_sizing(state) : toggle_focused(state);
        break;
    case Action::All:
    case Action::Delete:
        if (scanning) {
            state.user_moved = true;
            set_status(state, "Finish sizing before batch selection or deletion");
        } else if (action == Action::All) {
            toggle_all_visible(state);
        } else {
            request_clean(state, sender);
        }
        break;
    case Action::Rescan:
        if (!scanning) {
            start_background_scan(state, sender);
        }
        break;
    case Action::Quit:
        quit(state);
        break;
    case Action::Esc:
        // A filter goes first: the empty view tells the user that Esc clears it.
        if (!state.filter.empty()) {
            state.user_moved = true;
            state.filter.clear();
            state.cursor = 0;
            rebuild_view(state);
        } else if (scanning) {
            quit(state);
        }
        break;
    default:
        move_cursor(state, action);
        break;
    }
}

void confirm_key(TuiState& state, Action action, const WorkerSender& sender) {
    switch (action) {
    case Action::Delete:
    case Action::Confirm:
        confirm_clean_tui(state, sender);
        break;
    case Action::Cancel:
    case Action::Esc:
        cancel_clean(state);
        break;
    default:
        break;
    }
}

void scan_failed_key(TuiState& state, Action action, const WorkerSender& sender) {
    switch (action) {
    case Action::Rescan:
        start_background_scan(state, sender);
        break;
    case Action::Quit:
    case Action::Esc:
        quit(state);
        break;
    default:
        break;
    }
}

void toggle_path(TuiState& state, const Candidate& row) {
    if (state.selected_paths.erase(row.path) == 0) {
        state.selected_paths.insert(row.path);
        if (!row.cleanable) {
            set_status(state, "Selected scan-only cache; delete requires confirmation");
        }
    }
}

} // namespace

void handle_key(TuiState& state, const KeyEvent& key, const WorkerSender& sender) {
    if (key.kind != term::KeyKind::Press) {
        return;
    }
    if (key.is_char(U'c') && key.ctrl()) {
        quit_unless_cleaning(state);
        return;
    }
    // Behind the too-small notice nothing can be seen, so only what it offers acts.
    if (state.drawn_area && below_minimum(*state.drawn_area)) {
        if (action_of(key) == Action::Quit) {
            quit_unless_cleaning(state);
        }
        return;
    }
    if (state.filter_open) {
        filter_key(state, key);
        return;
    }
    if (state.help_open) {
        if (key.is_char(U'?') || key.is_char(U'q') || key.code == KeyCode::Esc) {
            state.help_open = false;
        }
        return;
    }
    const Action action = action_of(key);
    switch (state.phase) {
    case TuiPhase::Scanning:
    case TuiPhase::Ready:
        browse_key(state, action, sender);
        break;
    case TuiPhase::Confirm:
        confirm_key(state, action, sender);
        break;
    case TuiPhase::ScanFailed:
        scan_failed_key(state, action, sender);
        break;
    case TuiPhase::Checking:
    case TuiPhase::Cleaning:
        break;
    }
}

void request_clean(TuiState& state, const WorkerSender& sender) {
    state.user_moved = true;
    std::vector<Candidate> plan;
    std::optional<NativeResource> docker;
    if (state.selected_paths.empty() && state.selected_docker.empty()) {
        FocusedRow focus = focused_row(state);
        switch (focus.kind) {
        case FocusedRow::Kind::Docker: {
            const NativeResource& row = state.docker_rows[focus.index];
            if (!row.cleanable) {
                set_status(state,
                           "This Docker resource is inspection-only; no prune command was run");
                return;
            }
            docker = clone_native_resource(row);
            break;
        }
        case FocusedRow::Kind::Measured: {
            const Candidate& row = state.rows[focus.index];
            if (!row.cleanable) {
                set_status(state, "Select this scan-only cache with Space to override");
                return;
            }
            plan.push_back(row);
            break;
        }
        case FocusedRow::Kind::Sizing:
        case FocusedRow::Kind::None:
            return;
        }
    } else {
        for (const NativeResource& row : state.docker_rows) {
            if (state.selected_docker.contains(row.kind)) {
                docker = clone_native_resource(row);
                break;
            }
        }
        for (const Candidate& row : state.rows) {
            if (state.selected_paths.contains(row.path)) {
                plan.push_back(row);
            }
        }
        if (plan.empty() && !docker) {
            return;
        }
    }
    spawn_remeasure_worker(state, std::move(plan), std::move(docker), false, sender);
}

void cancel_clean(TuiState& state) {
    state.plan.clear();
    state.pending_prune.reset();
    state.operation_paths.clear();
    state.docker_in_operation = false;
    state.phase = TuiPhase::Ready;
}

void confirm_clean_tui(TuiState& state, const WorkerSender& sender) {
    if (state.plan.empty() && !state.pending_prune) {
        state.phase = TuiPhase::Ready;
        return;
    }
    std::vector<Candidate> plan = std::exchange(state.plan, {});
    std::optional<NativeResource> prune = std::exchange(state.pending_prune, std::nullopt);
    spawn_remeasure_worker(state, std::move(plan), std::move(prune), true, sender);
}

void toggle_focused(TuiState& state) {
    FocusedRow focus = focused_row(state);
    switch (focus.kind) {
    case FocusedRow::Kind::Docker: {
        const NativeResource& row = state.docker_rows[focus.index];
        if (!row.cleanable) {
            set_status(state, "This Docker resource is inspection-only");
            return;
        }
        if (state.selected_docker.erase(row.kind) == 0) {
            state.selected_docker.insert(row.kind);
        }
        break;
    }
    case FocusedRow::Kind::Measured:
        toggle_path(state, state.rows[focus.index]);
        break;
    case FocusedRow::Kind::Sizing:
    case FocusedRow::Kind::None:
        return;
    }
    state.user_moved = true;
    state.cursor = std::min(sat_add(state.cursor, 1), last_visible_index(state));
}

void toggle_all_visible(TuiState& state) {
    state.user_moved = true;
    std::vector<const std::string*> paths;
    std::vector<const std::string*> kinds;
    for (std::size_t i : state.visible_rows) {
        if (state.rows[i].cleanable) {
            paths.push_back(&state.rows[i].path);
        }
    }
    for (std::size_t i : state.visible_docker) {
        if (state.docker_rows[i].cleanable) {
            kinds.push_back(&state.docker_rows[i].kind);
        }
    }
    if (paths.empty() && kinds.empty()) {
        set_status(state, "No deletable caches in this view");
        return;
    }
    bool all_selected =
        std::all_of(paths.begin(), paths.end(),
                    [&](const std::string* p) { return state.selected_paths.contains(*p); }) &&
        std::all_of(kinds.begin(), kinds.end(),
                    [&](const std::string* k) { return state.selected_docker.contains(*k); });
    for (const std::string* p : paths) {
        if (all_selected) {
            state.selected_paths.erase(*p);
        } else {
            state.selected_paths.insert(*p);
        }
    }
    for (const std::string* k : kinds) {
        if (all_selected) {
            state.selected_docker.erase(*k);
        } else {
            state.selected_docker.insert(*k);
        }
    }
}

void toggle_while_sizing(TuiState& state) {
    state.user_moved = true;
    FocusedRow focus = focused_row(state);
    switch (focus.kind) {
    case FocusedRow::Kind::Docker:
        toggle_focused(state);
        break;
    case FocusedRow::Kind::Sizing:
        set_status(state, "Wait for this cache to finish sizing before selecting it");
        break;
    case FocusedRow::Kind::Measured:
        if (state.refreshing && !state.measured_paths.contains(state.rows[focus.index].path)) {
            set_status(state, "Waiting for this cache to be remeasured");
        } else {
            toggle_focused(state);
        }
        break;
    case FocusedRow::Kind::None:
        break;
    }
}

} // namespace qb::tui
