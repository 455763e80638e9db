#pragma once

// Recognising project caches by their names and marker files.

#include "scanner/catalog.hpp"

#include <optional>
#include <string_view>
#include <vector>

namespace qb {

/// What claims a project directory: the catalogue row of its kind.
using ProjectMatch = CatalogEntry;

/// Classifies one directory met by a walk; `path` is used as given (absolute or
/// relative, never canonicalised). None when no rule and no valid CACHEDIR.TAG claims it.
std::optional<ProjectMatch> classify_project_dir(std::string_view path);

/// The same classification for a walker that holds descriptors: `parent_fd` is the open
/// directory that holds the last component of `path`, `dir_fd` the open directory itself.
/// Either may be -1, and then that directory is reached through `path`. Descriptors are
/// only read, never closed. `path` still supplies the names.
std::optional<ProjectMatch> classify_project_dir_at(int parent_fd, int dir_fd,
                                                    std::string_view path);

/// True when `dir`/CACHEDIR.TAG is a regular file of at most 1 MiB whose first line is the
/// tag signature, all of it valid UTF-8.
bool has_cachedir_tag(std::string_view dir);

/// True when `path` (links followed) is a regular file of at most 1 MiB whose whole
/// content is valid UTF-8 and whose first line, without its "\n" or "\r\n", is exactly
/// `line`. A larger file, or anything but a regular file, gives false without being read.
bool text_file_first_line_is(std::string_view path, std::string_view line);

/// True when `dir` holds any project marker (.git, Cargo.toml, go.mod, ...), of any type.
bool is_project_root(std::string_view dir);

/// True when the last component of `path` is exactly ".git", ".hg" or ".svn".
bool is_vcs_dir(std::string_view path);

/// True when `text` ends with any of `suffixes`.
bool ends_with_any(std::string_view text, const std::vector<std::string_view>& suffixes);

} // namespace qb
