#pragma once

// The discovery walk: a pre-order walk over directories that never follows symbolic
// links and reports its errors as texts, in the order a path-based walk meets them.

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

namespace qb {

/// Path texts this long fail every path-based system call (ENAMETOOLONG). The walks go
/// through descriptors, which have no such limit, so they apply it themselves: what a
/// path-based walk could neither examine nor enter, they leave alone too.
inline constexpr std::size_t kPathMax = 4096;

/// One directory met by the walk.
struct WalkDir {
    std::string_view path; // the root, or its parent's path joined with the name
    std::size_t depth;     // 0 for the root
    int parent_fd;         // the open parent directory, or -1 (use the path)
    int dir_fd;            // the directory opened for reading, or -1 when it cannot be
};

enum class WalkStep { Descend, Skip };

using WalkDirFn = std::function<WalkStep(const WalkDir&)>;
using WalkErrorFn = std::function<void(std::string)>;

/// Walks `root`: the root first, then every directory below it in pre-order, entries in
/// the order the system lists them. Symbolic links are never followed below the root
/// (a root that is a link to a directory is read but not reported); files are not
/// reported. `on_dir` decides whether a directory is entered; a skipped directory never
/// produces an error of its own. Unreadable parts become error texts, passed to
/// `on_error` at the point the walk meets them, and the walk goes on. The directories
/// held open, whatever the depth, are few and taken from the process's descriptor budget
/// (dir::ListingStack): `on_dir` may wait for other work while they are held.
void walk_directories(const std::string& root, const WalkDirFn& on_dir,
                      const WalkErrorFn& on_error);

/// "IO error for operation on {path}: {os error}", the path shown lossily as UTF-8.
std::string walk_error_text(std::string_view path, int errnum);

} // namespace qb
