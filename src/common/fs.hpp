#pragma once

#include "common/result.hpp"

#include <string>

namespace qb {

/// The canonical absolute form of `path`, every symbolic link resolved, or the errno of
/// the failure (EINVAL for a path holding a NUL byte, which no system call could take).
Result<std::string, int> resolve_canonical(const std::string& path);

} // namespace qb
