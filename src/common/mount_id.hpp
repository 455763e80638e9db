#pragma once

// The mount a directory lies on. A bind mount of the same file system keeps its device
// number: only the mount tells it from an ordinary directory, by its id: statx's, a file
// handle's, or the one the kernel gives for an open descriptor (/proc/self/fdinfo), which
// still names the mount once it was moved or detached. A directory that nothing tells
// about is taken for a mount point, since one taken for a plain directory would be entered
// and emptied. Where statx does not mark mount roots, a file's mount only the table lists.

#include "common/dir.hpp"
#include "common/paths.hpp"
#include "common/result.hpp"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>

namespace qb {

using MountId = std::optional<std::uint64_t>;

/// The mount table (/proc/self/mountinfo): every mount point, a file's too, by canonical
/// path. Only procfs's own regular file, read to its end without waiting, is believed.
class MountTable {
public:
    /// Read afresh with a reserved slot (see dir::Slot for who may wait for one); none when
    /// it cannot be read whole.
    static std::optional<MountTable> read();
    /// The least mount point, in path order, strictly below the canonical `dir`.
    std::optional<std::string> first_below(std::string_view dir) const;

private:
    std::unordered_set<std::string, path::Hash, path::Equal> points_;
};

enum class MountPlace : unsigned char { Same, Other, Untold };

/// The one mount check, for measuring, validation and removal alike: made once per walk
/// from the directory it starts on, it tells where each directory the walk meets lies
/// against that one's mount.
class MountProbe {
public:
    /// From the directory `name` in `dirfd` (the one open as `dirfd` when `name` is empty),
    /// links followed; the errno when it cannot be examined. Where only descriptors tell
    /// mount ids, it shares the process's slots for asking /proc; where statx does not mark
    /// mount roots, it reads the table. So only a thread that holds no brief or reserved
    /// slot makes one.
    static Result<MountProbe, int> of(int dirfd, const char* name);

    /// Where the directory `name` in `dirfd` (as above, no final link followed), on `device`,
    /// lies: by device, else by mount id; Untold where no id answers. The errno of a failed
    /// lookup; ENOENT: gone.
    Result<MountPlace, int> place(int dirfd, const char* name, std::uint64_t device) const;

    /// The table, where statx does not mark mount roots and it could be read whole.
    const std::optional<MountTable>& table() const { return table_; }

private:
    enum class Source : unsigned char { Statx, Handle, Fdinfo, None };
    // The first answer of the sources from `from` on, and which gave it.
    Result<std::pair<MountId, Source>, int> id_at(int dirfd, const char* name, dir::Follow follow,
                                                  Source from) const;

    std::uint64_t device_ = 0;
    MountId id_;
    Source source_ = Source::Statx; // where the walk's mount id came from: lookups start there
    bool fdinfo_ = false;           // asked only where nothing else answers
    std::optional<MountTable> table_;
};

/// What the system is asked about mounts; each withholds what the one before it does.
enum class MountAnswers : unsigned char {
    All,
    NoStatx,   // statx's mount id and mount-root attribute are not used: kernels before 5.8
    NoHandles, // name_to_handle_at's mount id neither: a file system without file handles
    NoProc,    // nor /proc (fdinfo, the mount table): nothing tells
};

/// Test seam, process-wide: withholds answers from MountProbe and measuring's mount-root
/// attribute (All otherwise). `lookup`, when set, runs before each lookup of a mount id with
/// the descriptor it looks in or at (AT_FDCWD for a path); an errno it returns fails the
/// lookup. Set it while nothing measures, removes or validates on another thread.
void set_mount_answers(MountAnswers answers, std::function<int(int)> lookup = {});
MountAnswers mount_answers();

} // namespace qb
