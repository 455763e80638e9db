#pragma once

// What makes a directory the one it was: its device and inode, whatever path leads to it.

#include <compare>
#include <cstdint>
#include <sys/stat.h>

namespace qb {

struct DirIdentity {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;

    auto operator<=>(const DirIdentity&) const = default;
};

/// The identity that `st` describes.
inline DirIdentity identity_of(const struct stat& st) {
    return DirIdentity{static_cast<std::uint64_t>(st.st_dev),
                       static_cast<std::uint64_t>(st.st_ino)};
}

} // namespace qb
