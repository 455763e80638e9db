#pragma once

#include <string>
#include <string_view>

namespace qb {

/// Writes all of `data` to `fd`, retrying short writes and EINTR. Returns 0, or the
/// errno of the failed write.
int write_all(int fd, std::string_view data);

/// The message of the exception being handled (std::current_exception), or "unknown
/// exception" when it carries none.
std::string current_exception_text();

/// Ends the process as an internal failure: runs the hook set below, writes "{message}\n"
/// to standard error (best effort) and exits with status 101.
[[noreturn]] void fail_internal(std::string_view message);

/// What fail_internal() runs first, on whichever thread fails: it puts back what must not
/// outlive the process, such as the terminal's modes. Async-signal-safe; null for none.
void set_fail_internal_hook(void (*hook)());

} // namespace qb
