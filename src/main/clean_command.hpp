#pragma once

// The `clean` command.

#include "common/result.hpp"
#include "main/app_args.hpp"
#include "main/app_error.hpp"

#include <string>

namespace qb {

/// Removes the eligible caches after confirmation and reports the outcome.
Result<std::string, AppError> run_clean(CleanArgs args, bool json);

} // namespace qb
