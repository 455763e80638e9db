#pragma once

// The mount a directory lies on. A bind mount of the same file system keeps its device
// number: only the mount tells it from an ordinary directory, by its id or, where the system
// gives none, by the mount table. A directory that nothing tells about is taken for a mount
// point, since one taken for a plain directory would be entered and emptied.

#include "common/dir.hpp"
#include "common/paths.hpp"
#include "common/result.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_set>

namespace qb {

using MountId = std::optional<std::uint64_t>;

/// The id of the mount that `name` in `dirfd` lies on (the directory open as `dirfd` when
/// `name` is empty): statx's, else the one name_to_handle_at gives; none when neither
/// tells; the errno when the lookup fails (ENOENT: gone since it was examined). Holds no
/// descriptor. Where each mount has a device number of its own (not Linux), always 0.
Result<MountId, int> mount_id_at(int dirfd, const char* name, dir::Follow follow);

/// The mount points the mount table (/proc/self/mountinfo) lists, by canonical path, read
/// afresh with a reserved slot (see dir::Slot for who may wait for one); none if unreadable.
using MountPoints = std::unordered_set<std::string, path::Hash, path::Equal>;
std::optional<MountPoints> read_mount_points();

/// Whether a directory lies on another mount: on another device, by the ids `id` and `base`
/// where both are known, else as `table` lists its canonical path `path()`; none if untold.
template <class Path>
std::optional<bool> on_other_mount(bool other_device, MountId id, MountId base,
                                   const std::optional<MountPoints>& table, const Path& path) {
    if (other_device || (id && base)) {
        return other_device || *id != *base;
    }
    return table ? std::optional<bool>(table->contains(path())) : std::nullopt;
}

/// What the system is asked about mounts; each withholds what the one before it does.
enum class MountAnswers : unsigned char {
    All,
    NoStatx, // statx's mount id and mount-root attribute are not used: kernels before 5.8
    None,    // name_to_handle_at's mount id neither: a file system without file handles
    NoTable, // nor the mount table: nothing tells
};

/// Test seam, process-wide: withholds answers from mount_id_at, read_mount_points and
/// measuring's mount-root attribute, to stand for a system without them. All otherwise.
void set_mount_answers(MountAnswers answers);
MountAnswers mount_answers();

} // namespace qb
