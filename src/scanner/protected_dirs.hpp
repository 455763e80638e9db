#pragma once

// The directories that no cache can be: the root, and every home directory together with
// its ancestors. Whatever marks such a directory as a cache (a tag, a project's name, an
// environment variable naming it), removing it would take a user's own files with it.

#include "common/dir_identity.hpp"
#include "common/env.hpp"

#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

namespace qb {

/// Why the final validation refuses such a directory.
inline constexpr std::string_view kHomeOrAncestor =
    "target is the home directory or one of its ancestors";

/// "/", the home directory that HOME names (a relative one taken from the working
/// directory), the real and effective users' own homes and every other account's
/// existing home from the account database, each canonical (folded by the letter where
/// it cannot be resolved), and the identities of all of them and of their ancestors.
/// Worked out once per scan or clean.
class ProtectedDirs {
public:
    explicit ProtectedDirs(const SystemEnv& env);

    /// True when the canonical `dir` is one of them or an ancestor of one.
    bool holds(std::string_view dir) const;

    /// True when `id` is the identity of one of them or of an ancestor of one, whatever
    /// path leads there (a bind mount gives a directory a second canonical path).
    bool holds(const DirIdentity& id) const;

    /// holds() for a path not known to be canonical, such as a remembered one: by the
    /// identity of what it leads to, and by its canonical path where that could be one of
    /// them. Only a path whose last name one of them bears is resolved: a directory that
    /// was found, not a link, keeps its name when resolved.
    bool leads_to(const std::string& path) const;

private:
    std::vector<std::string> homes_;
    std::unordered_set<std::string> names_; // of the homes and their ancestors
    std::vector<DirIdentity> identities_;   // sorted, of "/", the homes and their ancestors
};

} // namespace qb
