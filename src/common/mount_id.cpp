#include "common/mount_id.hpp"

#include "common/paths.hpp"
#include "common/unique_fd.hpp"

#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <mutex>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <tuple>
#include <unistd.h>
#include <utility>
#include <vector>

#ifdef __linux__
#include <linux/magic.h>
#include <sys/vfs.h>
#endif

namespace qb {
namespace {

std::atomic<MountAnswers> answers{MountAnswers::All};

std::function<int(int)> seam; // the errno of a lookup in or at a descriptor; none outside tests

// The text of procfs's own regular file at `path`, read to its end without waiting, so
// that nothing bound over it (a pipe, a stale copy) is believed or waited for. None when it
// is anything else (errno 0) or cannot be read whole (errno set).
std::optional<std::string> read_proc_file([[maybe_unused]] const char* path) {
#ifndef __linux__
    errno = 0;
    return std::nullopt;
#else
    UniqueFd fd(::open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    struct stat st;
    struct statfs fs;
    if (!fd.valid() || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) ||
        ::fstatfs(fd.get(), &fs) != 0 || fs.f_type != PROC_SUPER_MAGIC) {
        errno = fd.valid() ? 0 : errno;
        return std::nullopt;
    }
    std::string text;
    char buf[4096];
    for (ssize_t n; (n = ::read(fd.get(), buf, sizeof buf)) != 0;) {
        if (n < 0 && errno != EINTR) {
            return std::nullopt;
        }
        text.append(buf, n < 0 ? 0 : static_cast<std::size_t>(n));
    }
    return text;
#endif
}

// The mount id the kernel gives for the open descriptor `fd`; none where /proc gives none.
Result<MountId, int> fdinfo_mount(int fd) {
    auto text = read_proc_file(("/proc/self/fdinfo/" + std::to_string(fd)).c_str());
    if (!text && errno != 0 && errno != ENOENT) {
        return unexpected(errno);
    }
    std::istringstream fields(text.value_or(""));
    std::uint64_t id = 0;
    for (std::string key; fields >> key && key != "mnt_id:";) {
    }
    return fields >> id ? MountId(id) : MountId();
}

// Every mount point the table lists, by canonical path; none unless it is read whole.
std::vector<std::string> mount_points() {
    const std::vector<dir::Slot> slot = dir::Slot::take_reserved(1);
    const auto text = read_proc_file("/proc/self/mountinfo");
    std::vector<std::string> points;
    // The fifth field of each line, octal escapes ("\040" for a space) undone.
    std::istringstream lines(text.value_or(""));
    for (std::string line, field, point; std::getline(lines, line); points.push_back(point)) {
        std::istringstream fields(line);
        if (!(fields >> field >> field >> field >> field >> point)) {
            return {};
        }
        for (auto i = point.find('\\'); i != point.npos && i + 3 < point.size();
             i = point.find('\\', i + 1)) {
            int byte = (point[i + 1] - '0') * 64 + (point[i + 2] - '0') * 8 + (point[i + 3] - '0');
            point.replace(i, 4, 1, static_cast<char>(byte));
        }
    }
    return points;
}

// Asking /proc about a directory by name takes two descriptors at once (the directory, its
// fdinfo): two reserved slots, taken for good by the first probe that needs them, a thread
// that holds no other slot, and used in turn, so that no thread that asks waits for a slot.
std::mutex& fdinfo_slots() {
    static std::mutex asking;
    static const std::vector<dir::Slot> slots = [] {
        std::vector<dir::Slot> two = dir::Slot::take_reserved(2);
        for (dir::Slot& slot : two) {
            slot.untie();
        }
        return two;
    }();
    return asking;
}

} // namespace

MountId statx_mount_id([[maybe_unused]] int dirfd, [[maybe_unused]] const char* name,
                       [[maybe_unused]] dir::Follow follow) {
#ifdef __linux__
    struct statx sx;
    int flags = (*name == '\0' ? AT_EMPTY_PATH : 0) | AT_NO_AUTOMOUNT |
                (follow == dir::Follow::Yes ? 0 : AT_SYMLINK_NOFOLLOW);
    if (::statx(dirfd, name, flags, STATX_MNT_ID, &sx) == 0 && (sx.stx_mask & STATX_MNT_ID)) {
        return sx.stx_mnt_id;
    }
#endif
    return std::nullopt;
}

void set_mount_answers(MountAnswers a, std::function<int(int)> lookup) {
    seam = std::move(lookup);
    answers.store(a, std::memory_order_relaxed);
}

MountAnswers mount_answers() {
    return answers.load(std::memory_order_relaxed);
}

Result<std::pair<MountId, MountProbe::Source>, int> MountProbe::id_at(int dirfd, const char* name,
                                                                      dir::Follow follow) const {
    if (int err = seam ? seam(dirfd) : 0; err != 0) {
        return unexpected(err);
    }
#ifndef __linux__
    return std::pair(MountId(0), Source::Statx); // each mount has a device number of its own
#else
    const int empty = *name == '\0' ? AT_EMPTY_PATH : 0;
    const MountAnswers given = mount_answers();
    if (MountId id; source_ <= Source::Statx && given == MountAnswers::All &&
                    (id = statx_mount_id(dirfd, name, follow))) {
        return std::pair(id, Source::Statx);
    }
    if (source_ <= Source::Handle && given < MountAnswers::NoHandles) {
        // Only the mount id is wanted: the kernel gives it even when the handle does not
        // fit, but not when the file system makes no handles.
        alignas(struct file_handle) unsigned char buf[sizeof(struct file_handle) + MAX_HANDLE_SZ];
        auto* handle = reinterpret_cast<struct file_handle*>(buf);
        handle->handle_bytes = MAX_HANDLE_SZ;
        int mount = -1;
        int flags = empty | (follow == dir::Follow::Yes ? AT_SYMLINK_FOLLOW : 0);
        if (::name_to_handle_at(dirfd, name, handle, &mount, flags) == 0 || errno == EOVERFLOW) {
            if (mount >= 0) {
                return std::pair(MountId(mount), Source::Handle);
            }
        } else if (errno != ENOSYS && errno != EPERM && errno != EOPNOTSUPP && errno != EINVAL) {
            return unexpected(errno); // only a system or file system without ids has no answer
        }
    }
    if (source_ == Source::Fdinfo) {
        std::lock_guard lock(fdinfo_slots());
        // Only looked at, never read: the mount it lies on is all that is asked.
        UniqueFd opened(
            empty ? -1
                  : ::openat(dirfd, name,
                             O_PATH | O_CLOEXEC | (follow == dir::Follow::Yes ? 0 : O_NOFOLLOW)));
        auto id = !empty && !opened.valid() ? unexpected(errno)
                                            : fdinfo_mount(empty ? dirfd : opened.get());
        if (!id) {
            return unexpected(id.error());
        }
        return std::pair(*id, *id ? Source::Fdinfo : Source::None);
    }
    return std::pair(MountId(), Source::None);
#endif
}

Result<MountProbe, int> MountProbe::of(int dirfd, const char* name) {
    MountProbe probe;
    struct stat st;
    if (::fstatat(dirfd, name, &st, *name == '\0' ? AT_EMPTY_PATH : 0) != 0) {
        return unexpected(errno);
    }
    probe.device_ = static_cast<std::uint64_t>(st.st_dev);
    auto id = probe.id_at(dirfd, name, dir::Follow::Yes);
    if (id && !id->first && mount_answers() < MountAnswers::NoProc) {
        fdinfo_slots(); // only taken where nothing else answers
        probe.source_ = Source::Fdinfo;
        id = probe.id_at(dirfd, name, dir::Follow::Yes);
    }
    if (!id) {
        return unexpected(id.error());
    }
    std::tie(probe.id_, probe.source_) = *id;
    if (probe.source_ != Source::Statx && mount_answers() < MountAnswers::NoProc) {
        probe.points_ = mount_points();
    }
    return probe;
}

Result<MountPlace, int> MountProbe::place(int dirfd, const char* name, std::uint64_t device) const {
    if (device != device_ || !id_) {
        return device != device_ ? MountPlace::Other : MountPlace::Untold;
    }
    auto id = id_at(dirfd, name, dir::Follow::No);
    if (!id) {
        return unexpected(id.error());
    }
    return !id->first           ? MountPlace::Untold
           : *id->first == *id_ ? MountPlace::Same
                                : MountPlace::Other;
}

std::optional<std::string> MountProbe::first_below(std::string_view dir) const {
    std::optional<std::string> first;
    for (const std::string& point : points_) {
        if (path::starts_with(point, dir) && !path::equal(point, dir) &&
            (!first || path::compare(point, *first) < 0)) {
            first = point;
        }
    }
    return first;
}

} // namespace qb
