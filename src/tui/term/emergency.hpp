#pragma once

// Putting the terminal back when the program cannot do it the ordinary way: a signal
// that ends the process, a crash, an exception nobody catches, an internal failure, a
// thread that cannot start. Only async-signal-safe calls are made once armed.

namespace qb::term {

/// Remembers the current modes of `in_fd` so that emergency_restore() can put them back
/// and leave the alternate screen on `out_fd`. SIGTERM, SIGHUP, SIGINT, SIGQUIT and the
/// crash signals (SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT), unless ignored, then do that
/// before they end the process as they would have, and so does fail_internal(). Call it
/// before the terminal is changed. Returns false (and arms nothing) when the modes cannot
/// be read.
bool arm_emergency_restore(int in_fd, int out_fd);

/// The ordinary restore has happened or is about to: signals get their earlier
/// handlers back and emergency_restore() does nothing.
void disarm_emergency_restore();

/// Restores the remembered modes, leaves the alternate screen and shows the cursor, at
/// most once per arming. Safe to call from a signal handler and from any thread.
void emergency_restore();

} // namespace qb::term
