#pragma once

// The entry of the terminal interface.

#include "common/app_error.hpp"
#include "tui/tui_args.hpp"

#include <functional>

namespace qb {

/// Writes an error to standard error: one JSON line when `json`, text otherwise. The
/// front end passes its renderer in, so that the interface does not link it.
using ErrorReporter = std::function<void(const AppError& error, bool json)>;

/// Runs the interactive interface until the user leaves it and returns the exit
/// status. Refuses JSON output with a usage error (status 3) without touching the
/// terminal; errors go to `report_error`.
int run_tui(TuiArgs args, OutputFormat output, const ErrorReporter& report_error);

} // namespace qb
