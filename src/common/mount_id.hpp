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
#include <string_view>
#include <unordered_set>

namespace qb {

using MountId = std::optional<std::uint64_t>;

/// The id of the mount that `name` in `dirfd` lies on (the directory open as `dirfd` when
/// `name` is empty): statx's, else the one name_to_handle_at gives; none when neither
/// tells; the errno when the lookup fails (ENOENT: gone since it was examined). Holds no
/// descriptor. Where each mount has a device number of its own (not Linux), always 0.
Result<MountId, int> mount_id_at(int dirfd, const char* name, dir::Follow follow);

/// The mount table (/proc/self/mountinfo): every mount point, a file's too, by canonical
/// path. Only procfs's own regular file, read to its end without waiting, is believed.
class MountTable {
public:
    /// Read afresh with a reserved slot (see dir::Slot for who may wait for one); none when
    /// it cannot be read whole. Kept open with `watch`, for changed().
    static std::optional<MountTable> read(bool watch = false);
    bool lists(std::string_view path) const { return points_.contains(path); }
    /// The least mount point, in path order, at or below the canonical `dir`.
    std::optional<std::string> first_within(std::string_view dir) const;
    /// Whether a watched table changed (asked without waiting), then read again; none: unread.
    std::optional<bool> changed();

private:
    bool load();
    dir::HeldFd file_;
    std::unordered_set<std::string, path::Hash, path::Equal> points_;
};

enum class MountPlace : unsigned char { Same, Other, Untold };

/// The one mount check, for measuring, validation and removal alike: where the directory
/// `name` in `dirfd` (as for mount_id_at), on `device`, at the canonical path `path()`, lies
/// against the mount a walk started on (`base_device`, `base_id`): by device, by mount id,
/// or where that has none, as `table` says. The errno of a failed lookup; ENOENT: gone.
template <class Path>
Result<MountPlace, int> mount_place(std::uint64_t base_device, MountId base_id,
                                    const MountTable* table, int dirfd, const char* name,
                                    dir::Follow follow, std::uint64_t device, const Path& path) {
    if (device != base_device) {
        return MountPlace::Other;
    }
    if (!base_id) {
        return table == nullptr       ? MountPlace::Untold
               : table->lists(path()) ? MountPlace::Other
                                      : MountPlace::Same;
    }
    auto id = mount_id_at(dirfd, name, follow);
    if (!id) {
        return unexpected(id.error());
    }
    return !*id ? MountPlace::Untold : **id != *base_id ? MountPlace::Other : MountPlace::Same;
}

/// What the system is asked about mounts; each withholds what the one before it does.
enum class MountAnswers : unsigned char {
    All,
    NoStatx, // statx's mount id and mount-root attribute are not used: kernels before 5.8
    None,    // name_to_handle_at's mount id neither: a file system without file handles
    NoTable, // nor the mount table: nothing tells
};

/// Test seam, process-wide: withholds answers from mount_id_at, MountTable and measuring's
/// mount-root attribute (All otherwise); lookups by name in a directory fail with `failing`.
void set_mount_answers(MountAnswers answers, int failing = 0);
MountAnswers mount_answers();

} // namespace qb
