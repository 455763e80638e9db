#pragma once

// What the command line hands to the interface. Kept apart from its entry, so that the
// front end's parser can name them without the interface's machinery.

#include "scanner/scan_worker.hpp"

namespace qb {

/// The run's output mode; `auto` means JSON exactly when standard output is not a terminal.
enum class OutputFormat { Auto = 0, Json = 1, Text = 2 };

/// The interface's first scan request; no roots means the default project roots.
using TuiArgs = ScanOptions;

} // namespace qb
