#include "common/mount_id.hpp"

#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

#ifdef __linux__
#include <linux/magic.h>
#include <sys/vfs.h>
#endif

namespace qb {
namespace {

std::atomic<MountAnswers> answers{MountAnswers::All};
std::atomic<int> failing{0};

} // namespace

void set_mount_answers(MountAnswers a, int failing_lookup) {
    failing.store(failing_lookup);
    answers.store(a, std::memory_order_relaxed);
}

MountAnswers mount_answers() {
    return answers.load(std::memory_order_relaxed);
}

Result<MountId, int> mount_id_at([[maybe_unused]] int dirfd, [[maybe_unused]] const char* name,
                                 [[maybe_unused]] dir::Follow follow) {
#ifdef __linux__
    if (int err = failing.load(); err != 0 && dirfd != AT_FDCWD && *name != '\0') {
        return unexpected(err);
    }
    const int empty = *name == '\0' ? AT_EMPTY_PATH : 0;
    const MountAnswers given = mount_answers();
#ifdef STATX_MNT_ID
    if (given == MountAnswers::All) {
        struct statx sx;
        int flags =
            empty | AT_NO_AUTOMOUNT | (follow == dir::Follow::Yes ? 0 : AT_SYMLINK_NOFOLLOW);
        if (::statx(dirfd, name, flags, STATX_MNT_ID, &sx) == 0 && (sx.stx_mask & STATX_MNT_ID)) {
            return MountId(sx.stx_mnt_id);
        }
    }
#endif
    if (given < MountAnswers::None) {
        // Only the mount id is wanted: the kernel gives it even when the handle does not
        // fit, but not when the file system makes no handles.
        alignas(struct file_handle) unsigned char buf[sizeof(struct file_handle) + MAX_HANDLE_SZ];
        auto* handle = reinterpret_cast<struct file_handle*>(buf);
        handle->handle_bytes = MAX_HANDLE_SZ;
        int mount = -1;
        int flags = empty | (follow == dir::Follow::Yes ? AT_SYMLINK_FOLLOW : 0);
        if (::name_to_handle_at(dirfd, name, handle, &mount, flags) == 0 || errno == EOVERFLOW) {
            return mount >= 0 ? MountId(static_cast<std::uint64_t>(mount)) : MountId();
        }
        // Only a system or file system without ids gives no answer; statx's failures recur.
        if (errno != ENOSYS && errno != EPERM && errno != EOPNOTSUPP && errno != EINVAL) {
            return unexpected(errno);
        }
    }
    return MountId();
#else
    return MountId(0);
#endif
}

std::optional<MountTable> MountTable::read(bool watch) {
    MountTable table;
    table.file_ =
        dir::open_file_at(AT_FDCWD, "/proc/self/mountinfo", O_RDONLY | O_NONBLOCK | O_NOCTTY,
                          std::move(dir::Slot::take_reserved(1).front()));
    if (!table.load()) {
        return std::nullopt;
    }
    if (!watch) {
        (void)std::exchange(table.file_, {}); // the descriptor closed before its slot goes
    }
    return table;
}

bool MountTable::load() {
#ifdef __linux__
    const int fd = file_.fd.get();
    struct stat st;
    struct statfs fs;
    if (!file_.fd.valid() || mount_answers() == MountAnswers::NoTable || ::fstat(fd, &st) != 0 ||
        !S_ISREG(st.st_mode) || ::fstatfs(fd, &fs) != 0 || fs.f_type != PROC_SUPER_MAGIC ||
        ::lseek(fd, 0, SEEK_SET) != 0) {
        return false;
    }
    std::string text;
    char buf[4096];
    for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) != 0;) {
        if (n < 0 && errno != EINTR) {
            return false;
        }
        text.append(buf, n < 0 ? 0 : static_cast<std::size_t>(n));
    }
    // The fifth field of each line, octal escapes ("\040" for a space) undone.
    points_.clear();
    std::istringstream lines(text);
    for (std::string line, field, point; std::getline(lines, line);) {
        std::istringstream fields(line);
        if (!(fields >> field >> field >> field >> field >> point)) {
            return false;
        }
        for (auto i = point.find('\\'); i != point.npos && i + 3 < point.size();
             i = point.find('\\', i + 1)) {
            int byte = (point[i + 1] - '0') * 64 + (point[i + 2] - '0') * 8 + (point[i + 3] - '0');
            point.replace(i, 4, 1, static_cast<char>(byte));
        }
        points_.insert(std::move(point));
    }
    return true;
#else
    return false;
#endif
}

std::optional<std::string> MountTable::first_within(std::string_view dir) const {
    std::optional<std::string> first;
    for (const std::string& point : points_) {
        if (path::starts_with(point, dir) && (!first || path::compare(point, *first) < 0)) {
            first = point;
        }
    }
    return first;
}

std::optional<bool> MountTable::changed() {
    // The kernel marks the table's descriptor when a mount comes or goes.
    pollfd watched{file_.fd.get(), POLLPRI, 0};
    return ::poll(&watched, 1, 0) == 0 ? std::optional(false)
           : load()                    ? std::optional(true)
                                       : std::nullopt;
}

} // namespace qb
