#include "tui/event_loop.hpp"

#include "common/io.hpp"
#include "common/paths.hpp"
#include "scanner/measure.hpp"
#include "scanner/pool.hpp"
#include "tui/draw.hpp"
#include "tui/term/emergency.hpp"
#include "tui/term/terminal.hpp"
#include "tui/workers.hpp"

#include <exception>
#include <unistd.h>

namespace qb::tui {
namespace {

// While the interface owns the terminal, a fault that reaches std::terminate on any
// thread puts the terminal back before the process ends as an internal failure.
[[noreturn]] void terminate_with_restore() {
    term::emergency_restore();
    fail_internal("internal error in the terminal interface: " + current_exception_text());
}

// Everything that must be undone once the terminal is changed, in the order the
// ordinary way out undoes it.
class TerminalOwnership {
public:
    TerminalOwnership() {
        armed_ = term::arm_emergency_restore(STDIN_FILENO, STDOUT_FILENO);
        previous_terminate_ = std::set_terminate(terminate_with_restore);
        set_terminal_restore_hook(term::emergency_restore);
    }
    ~TerminalOwnership() {
        set_terminal_restore_hook({});
        std::set_terminate(previous_terminate_);
        if (armed_) {
            term::disarm_emergency_restore();
        }
    }
    TerminalOwnership(const TerminalOwnership&) = delete;
    TerminalOwnership& operator=(const TerminalOwnership&) = delete;

private:
    bool armed_ = false;
    std::terminate_handler previous_terminate_ = nullptr;
};

// The loop proper, on a terminal that is already set up.
Result<Ok, AppError> run_loop(term::Terminal& terminal, term::EventSource& events, TuiState& state,
                              WorkerReceiver& receiver, const WorkerSender& sender) {
    bool redraw_requested = true;
    while (!state.quit) {
        Drained drained = drain_messages(state, receiver, sender, Clock::now() + kDrainBudget);
        if (turn_needs_draw(state, drained.applied, redraw_requested, Clock::now())) {
            auto drawn = terminal.draw([&](term::Frame& frame) {
                state.drawn_area = frame.area(); // the keys act on what this frame shows
                draw_frame(frame, state, DrawClock{Clock::now(), qb::now_unix()});
            });
            if (!drawn) {
                return unexpected(terminal_error(drawn.error()));
            }
        }
        // With messages still waiting, only look for a key; do not sleep.
        auto ready = events.poll(drained.cut_short ? std::chrono::milliseconds(0) : kInputWait);
        if (!ready) {
            return unexpected(terminal_error(ready.error()));
        }
        if (!*ready) {
            redraw_requested = false;
            continue;
        }
        auto event = events.read();
        if (!event) {
            return unexpected(terminal_error(event.error()));
        }
        redraw_requested = apply_event(state, *event, sender);
    }
    return Ok{};
}

} // namespace

std::vector<RememberedCache> preload_remembered(const ScanOptions& options, const SystemEnv& env) {
    std::optional<std::string> file = snapshot_path(env);
    if (!file) {
        return {};
    }
    std::uint64_t now = qb::now_unix();
    std::vector<std::string> roots = normalize_roots(options.roots);
    auto snapshot = read_snapshot(*file);
    if (!snapshot) {
        return {};
    }
    return select_remembered(std::move(snapshot->entries), options, roots,
                             env.get("HOME").value_or(""), now);
}

// The loop on a terminal that FullScreen has set up; `workers_left` tells whether a worker
// still held its end of the channel when the state and the loop's ends were dropped.
Result<Ok, AppError> run_interface(term::Terminal& terminal, ScanOptions options,
                                   const SystemEnv& env, bool& workers_left) {
    auto events = term::EventSource::open(STDIN_FILENO);
    if (!events) {
        return unexpected(terminal_error(events.error()));
    }
    // The budget counts what is open now, the terminal's descriptors among them. With too
    // few free, every scan and deletion says so itself.
    (void)ready_descriptors();
    auto [sender, receiver] = make_channel<WorkerMessage>();
    Result<Ok, AppError> outcome = Ok{};
    {
        std::vector<RememberedCache> remembered = preload_remembered(options, env);
        TuiState state = initial_state(std::move(options), remembered, detect_capabilities(env),
                                       default_services(env));
        start_background_scan(state, sender);
        outcome = run_loop(terminal, *events, state, receiver, sender);
    }
    sender = WorkerSender();
    workers_left = !receiver.senders_gone();
    return outcome;
}

Result<Ok, AppError> tui_event_loop(ScanOptions options, const SystemEnv& env, bool* workers_left) {
    if (!term::is_terminal(STDIN_FILENO) || !term::is_terminal(STDOUT_FILENO)) {
        return unexpected(AppError(errors::Usage{
            "the TUI needs an interactive terminal; use `quillbarrow scan` for pipelines"}));
    }
    TerminalOwnership ownership;
    auto screen = term::FullScreen::enter(STDIN_FILENO, STDOUT_FILENO);
    if (!screen) {
        return unexpected(terminal_error(screen.error()));
    }
    bool left = false;
    // The state, the channel's ends and the event source are gone before the restore.
    Result<Ok, AppError> outcome = run_interface(screen->terminal(), std::move(options), env, left);
    screen->restore();
    if (workers_left != nullptr) {
        *workers_left = left;
    }
    return outcome;
}

} // namespace qb::tui
