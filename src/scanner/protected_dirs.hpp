#pragma once

// The directories that no cache can be: the root, and every home directory together with
// its ancestors. Whatever marks such a directory as a cache (a tag, a project's name, an
// environment variable naming it), removing it would take a user's own files with it.

#include "common/env.hpp"

#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

namespace qb {

/// Why the final validation refuses such a directory.
inline constexpr std::string_view kHomeOrAncestor =
    "target is the home directory or one of its ancestors";

/// "/", the home directory that HOME names and the real and effective users' own homes from
/// the account database, each canonical (folded by the letter where it cannot be resolved).
/// Worked out once per scan or clean.
class ProtectedDirs {
public:
    explicit ProtectedDirs(const SystemEnv& env);

    /// True when the canonical `dir` is one of them or an ancestor of one.
    bool holds(std::string_view dir) const;

    /// holds() for a path not known to be canonical, such as a remembered one. Only a path
    /// whose last name one of them bears is resolved: a directory that was found, not a
    /// link, keeps its name when resolved, so the others cannot lead to one of them.
    bool leads_to(const std::string& path) const;

private:
    std::vector<std::string> homes_;
    std::unordered_set<std::string> names_; // of the homes and their ancestors
};

} // namespace qb
