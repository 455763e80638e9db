// The parts of the loop that need no terminal: choosing the remembered entries, applying
// messages and events, and deciding when to draw.

#include "common/paths.hpp"
#include "common/saturating.hpp"
#include "scanner/scan.hpp"
#include "tui/event_loop.hpp"
#include "tui/keys.hpp"
#include "tui/messages.hpp"

#include <algorithm>
#include <unordered_set>

namespace qb::tui {

std::vector<RememberedCache> select_remembered(std::vector<RememberedCache> entries,
                                               const ScanOptions& options,
                                               const std::vector<std::string>& canonical_roots,
                                               std::string_view home, std::uint64_t now_unix) {
    std::vector<RememberedCache> kept;
    for (RememberedCache& e : entries) {
        if (!path::is_absolute(e.path)) {
            continue;
        }
        if (sat_sub(now_unix, e.observed_unix) > kRememberedMaxAgeSeconds) {
            continue;
        }
        if (!remembered_entry_matches(options.scope, options.kinds, canonical_roots, e) ||
            path::components(e.path).size() <= 1 || path::starts_with(home, e.path)) {
            continue;
        }
        kept.push_back(std::move(e));
    }
    std::stable_sort(kept.begin(), kept.end(), LargestFirst{});
    std::unordered_set<std::string, path::Hash, path::Equal> seen;
    std::vector<RememberedCache> out;
    for (RememberedCache& e : kept) {
        if (out.size() == kRememberedMaxEntries) {
            break;
        }
        if (seen.insert(e.path).second) {
            out.push_back(std::move(e));
        }
    }
    return out;
}

Drained drain_messages(TuiState& state, WorkerReceiver& receiver, const WorkerSender& sender,
                       Clock::time_point deadline) {
    Drained d;
    MessageRun run(state, sender);
    while (std::optional<WorkerMessage> message = receiver.try_receive()) {
        run.apply(std::move(*message));
        d.applied = true;
        if (Clock::now() >= deadline) {
            d.cut_short = true;
            break;
        }
    }
    run.finish();
    return d;
}

bool turn_needs_draw(TuiState& state, bool applied, bool redraw_requested, Clock::time_point now) {
    if (state.status && now >= state.status->set_at &&
        now - state.status->set_at >= kStatusLifetime) {
        state.status.reset();
        return true;
    }
    bool spinning =
        state.animate && (state.phase == TuiPhase::Scanning || state.phase == TuiPhase::Checking ||
                          state.phase == TuiPhase::Cleaning);
    return spinning || redraw_requested || applied;
}

bool apply_event(TuiState& state, const term::Event& event, const WorkerSender& sender) {
    if (const auto* key = std::get_if<term::KeyEvent>(&event)) {
        if (key->kind != term::KeyKind::Press) {
            return false;
        }
        handle_key(state, *key, sender);
        return true;
    }
    return std::holds_alternative<term::ResizeEvent>(event);
}

AppError terminal_error(const term::TermError& error) {
    return errors::Io{"<terminal>", IoError::from_errno(error.os_code)};
}

} // namespace qb::tui
