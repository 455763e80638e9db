#include "tui/term/emergency.hpp"

#include "common/io.hpp"
#include "tui/term/terminal.hpp"

#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <termios.h>
#include <unistd.h>

namespace qb::term {
namespace {

// Signals that end the process, then faults: a crash is a way out too.
constexpr std::array<int, 9> kSignals = {SIGTERM, SIGHUP, SIGINT, SIGQUIT, SIGSEGV,
                                         SIGBUS,  SIGFPE, SIGILL, SIGABRT};

// Written before `armed` is set and only read after it was seen set.
termios saved_modes{};
int saved_in = -1;
int saved_out = -1;
std::atomic<bool> armed{false};
std::array<struct sigaction, kSignals.size()> previous{};
// Per signal: our handler is in place. A signal the process was started to ignore (as
// under nohup) keeps being ignored.
std::array<bool, kSignals.size()> installed{};
bool handlers_installed = false;

static_assert(std::atomic<bool>::is_always_lock_free, "used from signal handlers");

void on_fatal_signal(int sig, siginfo_t* info, void*) {
    int saved_errno = errno;
    emergency_restore();
    // End the way the signal would have ended us: its earlier action (the default, or a
    // sanitizer's report) takes over. A fault the processor raised comes back by itself
    // when the faulting instruction runs again; a signal that was sent is raised anew.
    for (std::size_t i = 0; i < kSignals.size(); ++i) {
        if (kSignals[i] == sig) {
            ::sigaction(sig, &previous[i], nullptr);
        }
    }
    errno = saved_errno;
    if (info == nullptr || info->si_code <= 0) {
        ::raise(sig);
    }
}

} // namespace

bool arm_emergency_restore(int in_fd, int out_fd) {
    termios modes{};
    if (::tcgetattr(in_fd, &modes) != 0) {
        return false;
    }
    saved_modes = modes;
    saved_in = in_fd;
    saved_out = out_fd;
    armed.store(true);
    set_fail_internal_hook(emergency_restore);
    if (!handlers_installed) {
        struct sigaction sa {};
        sa.sa_sigaction = on_fatal_signal;
        sa.sa_flags = SA_SIGINFO | SA_ONSTACK;
        sigemptyset(&sa.sa_mask);
        for (std::size_t i = 0; i < kSignals.size(); ++i) {
            installed[i] = ::sigaction(kSignals[i], nullptr, &previous[i]) == 0 &&
                           previous[i].sa_handler != SIG_IGN &&
                           ::sigaction(kSignals[i], &sa, nullptr) == 0;
        }
        handlers_installed = true;
    }
    return true;
}

void disarm_emergency_restore() {
    armed.store(false);
    set_fail_internal_hook(nullptr);
    if (handlers_installed) {
        for (std::size_t i = 0; i < kSignals.size(); ++i) {
            if (installed[i]) {
                ::sigaction(kSignals[i], &previous[i], nullptr);
            }
        }
        handlers_installed = false;
    }
}

void emergency_restore() {
    if (!armed.exchange(false)) {
        return;
    }
    ::tcsetattr(saved_in, TCSANOW, &saved_modes);
    // write_all() only loops over write(2), so it may run in a signal handler.
    (void)write_all(saved_out, seq::leave_alternate_screen);
    (void)write_all(saved_out, seq::show_cursor);
}

} // namespace qb::term
