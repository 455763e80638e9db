#pragma once

#include "common/dir_identity.hpp"
#include "common/result.hpp"

#include <optional>
#include <string>

namespace qb {

/// The canonical absolute form of `path`, every symbolic link resolved, or the errno of
/// the failure (EINVAL for a path holding a NUL byte, which no system call could take).
Result<std::string, int> resolve_canonical(const std::string& path);

/// The canonical form of `path` where it resolves; otherwise the path with its ".."
/// components folded by the letter, so that either names the place the path leads to.
std::string canonical_or_normal(const std::string& path);

/// The identity of what `path` names when that is a directory, not a link to one (lstat).
std::optional<DirIdentity> directory_nofollow(const std::string& path);

/// True when stat (links followed) finds a directory.
bool is_directory(const std::string& path);

} // namespace qb
