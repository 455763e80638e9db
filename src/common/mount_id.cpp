#include "common/mount_id.hpp"

#include "common/paths.hpp"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <poll.h>
#include <span>
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

// procfs's own file at `path`, opened holding `slot` without waiting for it, so that nothing
// bound over it (a pipe, a stale copy) is believed; unopened, errno 0, when it is another's
// or no slot is held.
dir::HeldFd open_proc_file(const char* path, dir::Slot slot) {
    errno = 0;
    dir::HeldFd f =
        slot.held()
            ? dir::open_file_at(AT_FDCWD, path, O_RDONLY | O_NONBLOCK | O_NOCTTY, std::move(slot))
            : dir::HeldFd();
#ifdef __linux__
    struct statfs fs;
    if (f.fd.valid() && ::fstatfs(f.fd.get(), &fs) == 0 && fs.f_type == PROC_SUPER_MAGIC) {
        return f;
    }
#endif
    errno = f.fd.valid() ? 0 : errno;
    return {};
}

// The mount id the kernel gives for the open descriptor `fd`, asked holding `slot`; none
// where /proc gives none, or no slot was free to ask with.
Result<MountId, int> fdinfo_mount(int fd, dir::Slot slot) {
    const dir::HeldFd info =
        open_proc_file(("/proc/self/fdinfo/" + std::to_string(fd)).c_str(), std::move(slot));
    char text[512]; // a directory's takes one read, its id on the third line
    const ssize_t n = info.fd.valid() ? ::read(info.fd.get(), text, sizeof text - 1) : -1;
    if (n < 0 && errno != 0 && errno != ENOENT) {
        return unexpected(errno);
    }
    text[n > 0 ? n : 0] = '\0';
    char* end = nullptr;
    const char* at = std::strstr(text, "\nmnt_id:");
    const std::uint64_t id = at ? std::strtoull(at + 8, &end, 10) : 0;
    return at && end != at + 8 ? MountId(id) : MountId();
}

// Every mount point the table open as `fd` lists, by canonical path; none unless read whole.
std::shared_ptr<const std::vector<std::string>> read_points(int fd) {
    std::string text;
    char buf[4096];
    if (fd < 0 || (seam && seam(fd) != 0) || ::lseek(fd, 0, SEEK_SET) != 0) {
        return nullptr;
    }
    for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) != 0;) {
        if (n < 0 && errno != EINTR) {
            return nullptr;
        }
        text.append(buf, n < 0 ? 0 : static_cast<std::size_t>(n));
    }
    auto points = std::make_shared<std::vector<std::string>>();
    // The fifth field of each line, octal escapes ("\040" for a space) undone.
    std::istringstream lines(text);
    for (std::string line, field, point; std::getline(lines, line); points->push_back(point)) {
        std::istringstream fields(line);
        if (!(fields >> field >> field >> field >> field >> point)) {
            return nullptr;
        }
        for (auto i = point.find('\\'); i != point.npos && i + 3 < point.size();
             i = point.find('\\', i + 1)) {
            int byte = (point[i + 1] - '0') * 64 + (point[i + 2] - '0') * 8 + (point[i + 3] - '0');
            point.replace(i, 4, 1, static_cast<char>(byte));
        }
    }
    return points;
}

// The table's points, kept while the kernel reports no change: an open mountinfo polls
// POLLPRI after any mount or unmount in its namespace. It stays open only where the reserve
// can spare a slot for good; else it is read anew each time, as by a forked child at first.
std::shared_ptr<const std::vector<std::string>> mount_points() {
    struct Table {
        std::mutex mu;
        pid_t pid = 0;
        dir::HeldFd file;
        std::shared_ptr<const std::vector<std::string>> points;
    };
    static Table& t = *new Table; // never destroyed: a scan thread may still ask at exit
    std::lock_guard lock(t.mu);
    dir::HeldFd once;
    dir::HeldFd& table = dir::reserve_spares_one() ? t.file : once;
    if (const pid_t pid = ::getpid(); std::exchange(t.pid, pid) != pid || !table.fd.valid()) {
        table = open_proc_file("/proc/self/mountinfo", std::move(dir::Slot::take_reserved(1)[0]));
        table.slot.untie();
        t.points = nullptr;
    }
    if (pollfd changed{table.fd.get(), POLLPRI, 0}; !t.points || ::poll(&changed, 1, 0) != 0) {
        t.points = read_points(table.fd.get());
    }
    return t.points;
}

} // namespace

MountId statx_mount_id([[maybe_unused]] int dirfd, [[maybe_unused]] const char* name,
                       [[maybe_unused]] dir::Follow follow) {
#ifdef __linux__
    struct statx sx;
    int flags = (*name == '\0' ? AT_EMPTY_PATH : 0) | AT_NO_AUTOMOUNT |
                (follow == dir::Follow::Yes ? 0 : AT_SYMLINK_NOFOLLOW);
    if (mount_answers() == MountAnswers::All &&
        ::statx(dirfd, name, flags, STATX_MNT_ID, &sx) == 0 && (sx.stx_mask & STATX_MNT_ID)) {
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
    if (MountId id; source_ <= Source::Statx && (id = statx_mount_id(dirfd, name, follow))) {
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
    if (source_ <= Source::Fdinfo && given < MountAnswers::NoProc) {
        // By name, it is opened to be asked: two descriptors at once, from the reserve, for a
        // thread that holds none (making a probe, validation). Open, only its fdinfo's.
        std::vector<dir::Slot> two = empty ? std::vector<dir::Slot>() : dir::Slot::take_reserved(2);
        const dir::HeldFd opened =
            empty ? dir::HeldFd()
                  : dir::open_file_at(dirfd, name,
                                      O_PATH | (follow == dir::Follow::Yes ? 0 : O_NOFOLLOW),
                                      std::move(two[0]));
        auto id = !empty && !opened.fd.valid()
                      ? unexpected(errno)
                      : fdinfo_mount(empty ? dirfd : opened.fd.get(),
                                     empty ? dir::Slot::take_if_allowed() : std::move(two[1]));
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
    for (const std::string& point : points_ ? *points_ : std::span<const std::string>()) {
        if (path::starts_with(point, dir) && !path::equal(point, dir) &&
            (!first || path::compare(point, *first) < 0)) {
            first = point;
        }
    }
    return first;
}

} // namespace qb
