#pragma once

// Paths are byte strings. Equality, order, hashing and the "inside" test work on
// components, so "/a/b/", "/a/./b" and "/a//b" are one path, and a directory sorts
// directly before everything inside it (/p/a/b before /p/a-b).

#include <compare>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qb::path {

enum class ComponentKind : unsigned char { Root, CurDir, ParentDir, Normal };

struct Component {
    ComponentKind kind;
    std::string_view name; // the bytes of a Normal component; "/" , "." or ".." otherwise
    bool operator==(const Component&) const = default;
};

/// Splits a path into components: a leading "/" (or "//") is one Root component,
/// repeated and trailing separators are ignored, "." is dropped except at the start
/// of a relative path, ".." is kept.
std::vector<Component> components(std::string_view p);

/// True for the entries "." and ".." that every directory listing holds.
inline bool is_dot_or_dotdot(std::string_view name) {
    return name == "." || name == "..";
}

/// True when the path starts with "/".
inline bool is_absolute(std::string_view p) {
    return !p.empty() && p.front() == '/';
}

/// The last component when it is a Normal name; none for "", "/", "." or a path
/// ending in "..".
std::optional<std::string_view> file_name(std::string_view p);

/// The path without trailing separators and trailing "." components ("/" and "." stay),
/// so that system calls name its last component itself rather than what it leads to.
std::string_view trim_trailing(std::string_view p);

/// The path without its last component, trailing separators trimmed. The parent of
/// a bare relative name is the empty path; "", "/" and "." have none.
std::optional<std::string_view> parent(std::string_view p);

/// Appends `rel` to `base`, adding a separator only when `base` is non-empty and
/// does not already end in one. An absolute `rel` replaces `base`.
std::string join(std::string_view base, std::string_view rel);

/// The path with "." components dropped and each ".." folded into the name before it,
/// by the letter: no link is looked at. ".." at the root stays the root; a relative path
/// keeps its leading "..". Trailing separators go.
std::string lexically_normal(std::string_view p);

/// Text after the last dot of a file name, unless that dot is the first character or
/// the name is "..".
std::optional<std::string_view> extension(std::string_view name);

/// Component-wise comparison: Root < "." < ".." < names, names byte by byte.
std::strong_ordering compare(std::string_view a, std::string_view b);
bool equal(std::string_view a, std::string_view b);

/// True when every component of `prefix` begins `p` (so a path starts with itself).
bool starts_with(std::string_view p, std::string_view prefix);

/// A hash consistent with `equal`.
std::size_t hash(std::string_view p);

/// Function objects for ordered and hashed containers of path strings.
struct Less {
    bool operator()(std::string_view a, std::string_view b) const { return compare(a, b) < 0; }
};
struct Equal {
    using is_transparent = void; // so hashed sets of paths are searched without a copy
    bool operator()(std::string_view a, std::string_view b) const { return equal(a, b); }
};
struct Hash {
    using is_transparent = void;
    std::size_t operator()(std::string_view p) const { return hash(p); }
};

/// The path as UTF-8 text, invalid sequences replaced by U+FFFD.
std::string display(std::string_view p);

} // namespace qb::path
