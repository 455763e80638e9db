#pragma once

// The `docker` and `docker clean` commands.

#include "common/result.hpp"
#include "main/app_args.hpp"
#include "main/app_error.hpp"

#include <string>

namespace qb {

/// Reports one row per Docker storage class.
Result<std::string, AppError> run_docker_inspect(DockerInspectionArgs args, bool json);

/// Prunes the ordinary build cache after a fresh preview and confirmation.
Result<std::string, AppError> run_docker_clean(DockerCleanArgs args, bool json);

} // namespace qb
