#pragma once

// Recognising project caches by their names and marker files.

#include <optional>
#include <string_view>
#include <vector>

namespace qb {

struct ProjectMatch {
    std::string_view kind;
    std::string_view ecosystem;
    bool network_restore;
};

/// Classifies one directory met by a walk; `path` is used as given (absolute or
/// relative, never canonicalised). None when no rule and no valid CACHEDIR.TAG claims it.
std::optional<ProjectMatch> classify_project_dir(std::string_view path);

/// True when `dir`/CACHEDIR.TAG is a regular file whose first line is the tag signature.
bool has_cachedir_tag(std::string_view dir);

/// True when `dir` holds any project marker (.git, Cargo.toml, go.mod, ...), of any type.
bool is_project_root(std::string_view dir);

/// True when the last component of `path` is exactly ".git", ".hg" or ".svn".
bool is_vcs_dir(std::string_view path);

/// True when `text` ends with any of `suffixes`.
bool ends_with_any(std::string_view text, const std::vector<std::string_view>& suffixes);

} // namespace qb
