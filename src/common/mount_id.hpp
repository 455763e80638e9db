#pragma once

// The mount a directory lies on. A bind mount keeps its file system's device number: only
// its mount id tells it (statx's, a file handle's, or /proc's for an open descriptor, wherever
// the mount went since). One that nothing tells about is taken for a mount point, not emptied.

#include "common/dir.hpp"
#include "common/result.hpp"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace qb {

using MountId = std::optional<std::uint64_t>;

/// statx's id of the mount `name` in `dirfd` lies on (as for MountProbe::of), if it gives one.
MountId statx_mount_id(int dirfd, const char* name, dir::Follow follow);

enum class MountPlace : unsigned char { Same, Other, Untold };

/// The one mount check of measuring, validation and removal: made once per walk from the
/// directory it starts on, it tells where each directory met lies against that one's mount.
class MountProbe {
public:
    /// From the directory `name` in `dirfd` (the one open as `dirfd` when `name` is empty),
    /// links followed, or the errno. It may take reserved slots (for /proc, and the table where
    /// statx marks no mount roots): made on a thread that holds no brief or reserved one.
    static Result<MountProbe, int> of(int dirfd, const char* name);

    /// Where the directory `name` in `dirfd` (as above, no final link followed), on `device`,
    /// lies: by device, else by mount id, Untold where none answers (or no slot to ask /proc of
    /// an open one with was free, waited for only where allowed); else the errno (ENOENT: gone).
    Result<MountPlace, int> place(int dirfd, const char* name, std::uint64_t device) const;

    /// Whether each lookup reads /proc, where nothing else gives the walk's mount an id.
    bool asks_proc() const { return source_ == Source::Fdinfo; }

    /// Where statx marks no mount roots, the least mount point strictly below the canonical
    /// `dir` (a file's too) that the mount table listed when the probe was made.
    std::optional<std::string> first_below(std::string_view dir) const;

private:
    enum class Source : unsigned char { Statx, Handle, Fdinfo, None };
    // The first answer of the sources from source_ on, and its source.
    Result<std::pair<MountId, Source>, int> id_at(int dirfd, const char* name,
                                                  dir::Follow follow) const;

    std::uint64_t device_ = 0;
    MountId id_;
    Source source_ = Source::Statx; // where the walk's mount id came from: lookups start there
    std::shared_ptr<const std::vector<std::string>> points_; // of the mount table
};

/// What the system is asked about mounts; each withholds what the one before it does.
enum class MountAnswers : unsigned char {
    All,
    NoStatx,   // statx's mount id and mount-root attribute are not used: kernels before 5.8
    NoHandles, // name_to_handle_at's mount id neither: a file system without file handles
    NoProc,    // nor /proc (fdinfo, the mount table): nothing tells
};

/// Test seam, process-wide: withholds answers from MountProbe and measuring's mount-root
/// attribute (All otherwise). `lookup` runs before each mount id lookup with the descriptor it
/// looks in or at (AT_FDCWD for a path), and each read of the table with its descriptor; an
/// errno it returns fails it. Set while nothing runs.
void set_mount_answers(MountAnswers answers, std::function<int(int)> lookup = {});
MountAnswers mount_answers();

} // namespace qb
