#pragma once

// The directories that no cache can be: the root, and every home directory together with
// its ancestors. Whatever marks such a directory as a cache (a tag, a project's name, an
// environment variable naming it), removing it would take a user's own files with it.

#include "common/app_error.hpp"
#include "common/dir.hpp"
#include "common/dir_identity.hpp"
#include "common/env.hpp"
#include "common/paths.hpp"
#include "common/result.hpp"

#include <functional>
#include <set>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

namespace qb {

/// Why the final validation refuses such a directory.
inline constexpr std::string_view kHomeOrAncestor =
    "target is the home directory or one of its ancestors";

/// "/", the home directory that HOME names (a relative one taken from the working
/// directory), the homes of the real and effective users (and, in a root run, of the
/// account SUDO_UID names) and every other account's existing home from the account
/// database, with their ancestors, by identity: each followed as the system follows it,
/// however long, and climbed from through "..". Where HOME names nothing, the deepest
/// directory on its way stands for it; one that cannot be followed for another reason is
/// known by its path as written too. Once per operation, the account database read once.
class ProtectedDirs {
public:
    explicit ProtectedDirs(const SystemEnv& env);

    /// True for the root, and the path as written of a home not followed, or a prefix of one.
    bool holds(std::string_view dir) const;

    /// True when `id` is the identity of one of them or of an ancestor of one, whatever
    /// path leads there (a bind mount gives a directory a second canonical path).
    bool holds(const DirIdentity& id) const;

    /// The I/O error on "<account database>" that kept the account database from being read
    /// whole: homes may be missing, so nothing may be removed on the set's word.
    Result<Ok, AppError> whole() const;

private:
    /// Follows `written`, recording where it leads and the ancestors; `listed`: from the database.
    void resolve(const std::string& written, bool listed, dir::KeptSlots& slots,
                 bool at_once = true);

    std::unordered_set<std::string, path::Hash, path::Equal> paths_; // as written, prefixes
    std::vector<DirIdentity> identities_; // sorted, of "/", the homes and their ancestors
    std::unordered_set<std::string, path::Hash, path::Equal> parents_; // followed, as written
    std::set<std::pair<DirIdentity, std::uint64_t>> climbed_; // and mount: every ancestor known
    int account_error_ = 0;
};

/// Test seam, process-wide: called before each entry of an enumeration of the account
/// database is read, with its number (0 for the first). An error number it returns stands
/// for the enumeration's answer (ENOENT: the end); 0 reads the entry. None outside tests.
using AccountHook = std::function<int(std::size_t entry)>;
void set_account_hook(AccountHook hook);

} // namespace qb
