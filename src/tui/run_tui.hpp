#pragma once

// The entry of the terminal interface.

#include "main/app_args.hpp"

namespace qb {

/// Runs the interactive interface until the user leaves it and returns the exit
/// status. Refuses JSON output with a usage error (status 3) without touching the
/// terminal; errors are rendered on standard error.
int run_tui(TuiArgs args, OutputFormat output);

} // namespace qb
