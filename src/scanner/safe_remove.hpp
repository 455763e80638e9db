#pragma once

// Walking and removing a directory tree so that nothing can redirect it. The tree is
// reached from its absolute, link-free path one component at a time, never following a
// link; the directory found there must still be the one that was validated; everything
// below is reached through descriptors (openat/unlinkat), links are met as links, a
// directory on another mount is never entered, and the emptied directory is removed only
// while its name still leads to it.

#include "common/app_error.hpp"
#include "common/dir_identity.hpp"
#include "common/result.hpp"
#include "scanner/protected_dirs.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <sys/stat.h>

namespace qb {

/// Why a walk or removal refuses a directory that is no longer the validated one.
inline constexpr std::string_view kIdentityChanged = "filesystem identity changed after scanning";

/// Why a walk or removal refuses a target whose last component is no longer a directory,
/// or is a link.
inline constexpr std::string_view kNotARealDirectory = "path is no longer a real directory";

/// Why a walk stops on its way back up when a directory it left is no longer the one it
/// entered: the target's name no longer leads to it, or ".." of a level it reopens leads
/// elsewhere. Something moved while its contents were visited.
inline constexpr std::string_view kIdentityChangedDuringRemoval =
    "filesystem identity changed during removal";

/// "cannot stat path: {}" with the system's text of `errnum`: a target that cannot be
/// reached or examined.
std::string cannot_stat_text(int errnum);

/// Why a walk, a removal or the final validation refuses a directory that is itself a
/// mount point: another file system, or another view of one, that nobody chose.
inline constexpr std::string_view kTargetIsMountPoint = "target is a mount point";

/// Why they refuse a directory where nothing tells whether it is one: no mount id.
inline constexpr std::string_view kCannotTellMounts =
    "cannot tell whether the target holds a mount point";

/// Why a removal, or the final validation of a tree whose measuring met one, refuses a
/// tree with a mount point inside: "contains a mount point: {}" with the mount's full path.
std::string contains_mount_point(std::string_view path);

/// Why the final validation refuses the directory at the canonical `path` as a mount point:
/// kTargetIsMountPoint when it lies on another device or mount than its parent,
/// kCannotTellMounts, or cannot_stat_text() when examining either fails; where statx marks
/// no mount roots, a mount the table lists below it (contains_mount_point()); none otherwise.
std::optional<std::string> mount_point_refusal(const std::string& path);

/// What a walk meets. Every callback may stop the walk by returning an error; the
/// defaults do nothing (open_failed returns the failure).
class TreeVisitor {
public:
    virtual ~TreeVisitor() = default;
    /// A directory of the tree (`fd`, `st`), the root first, before anything inside it.
    virtual std::optional<IoError> enter_dir(int, const struct stat&) { return {}; }
    /// An entry (`parent_fd`, `name`) that is not a directory; a link is met as a link.
    virtual std::optional<IoError> non_dir(int, const char*) { return {}; }
    /// A directory of the tree, by its full path, that belongs to another mount; it is
    /// not entered.
    virtual std::optional<IoError> mount_point(const std::string&) { return {}; }
    /// A directory (`parent_fd`, `name`) that could not be opened, with the errno of the try.
    virtual std::optional<IoError> open_failed(int, const char*, int err) {
        return IoError::from_errno(err);
    }
    /// A directory after everything inside it, seen from its parent (`parent_fd`, `name`).
    virtual std::optional<IoError> leave_dir(int, const char*) { return {}; }
};

/// Walks the directory at `path` (absolute, without links or "." and ".." components)
/// and every directory below it on the same mount, parents before their contents. Before
/// anything inside is visited it fails with cannot_stat_text() when the directory cannot
/// be reached or examined, with kNotARealDirectory when it is no directory or a link,
/// with what mount_point_refusal() says of it, and with kIdentityChanged when it is not
/// `expected`. Its own entry is left only while its name still leads to it, and a directory
/// it reopens on the way up must be the one it left, else the walk fails with
/// kIdentityChangedDuringRemoval. Each directory it opens is asked for its mount on the open
/// descriptor, whatever became of its path since (a mount moved, detached or renamed in): one
/// on another mount, or that nothing tells, is not entered. Otherwise it fails with the first
/// error of the walk or of a callback.
Result<Ok, IoError> walk_tree(std::string_view path, DirIdentity expected, TreeVisitor& visitor);

/// Why a walk or removal stopped. `refused` when it stopped before anything inside the
/// directory was visited (it could not be reached, or it is no longer the validated one or a
/// mount point), or at a protected directory. Otherwise part of the tree may be gone already.
struct WalkFailure {
    IoError error;
    bool refused = false;
};

/// Removes the directory at `path` (as for walk_tree) and everything inside it, and stops
/// at the first error. A directory mounted inside is neither entered nor removed: the call
/// fails with "contains a mount point: {}" and the mount's full path. Nor is one of
/// `protected_dirs`: "contains the home directory or one of its ancestors: {}", refused.
Result<Ok, WalkFailure> remove_tree(std::string_view path, DirIdentity expected,
                                    const ProtectedDirs& protected_dirs);

} // namespace qb
