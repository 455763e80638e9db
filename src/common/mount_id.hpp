#pragma once

// The mount a directory lies on. A bind mount of the same file system keeps its device
// number: only the mount tells it from an ordinary directory, and a directory whose mount
// nothing tells is taken for a mount point, since one taken for a plain directory would be
// entered and emptied.

#include "common/dir.hpp"

#include <cstdint>
#include <optional>

namespace qb {

/// The id of the mount that `name` in `dirfd` lies on (the directory open as `dirfd` when
/// `name` is empty): statx's, else the one name_to_handle_at gives; none when neither
/// tells. Holds no descriptor. Where each mount has a device number of its own (not
/// Linux), always 0.
std::optional<std::uint64_t> mount_id_at(int dirfd, const char* name, dir::Follow follow);

/// True when both mounts are known and are the same one.
inline bool same_mount(std::optional<std::uint64_t> a, std::optional<std::uint64_t> b) {
    return a && b && *a == *b;
}

/// What the system is asked about mounts.
enum class MountAnswers : unsigned char {
    All,
    NoStatx, // statx's mount id and mount-root attribute are not used: kernels before 5.8
    None,    // name_to_handle_at's mount id neither: nothing tells
};

/// Test seam, process-wide: withholds answers from mount_id_at and measuring's mount-root
/// attribute, to stand for a kernel that does not give them. MountAnswers::All otherwise.
void set_mount_answers(MountAnswers answers);
MountAnswers mount_answers();

} // namespace qb
