#include "common/mount_id.hpp"

#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace qb {
namespace {

std::atomic<MountAnswers> answers{MountAnswers::All};

} // namespace

void set_mount_answers(MountAnswers a) {
    answers.store(a, std::memory_order_relaxed);
}

MountAnswers mount_answers() {
    return answers.load(std::memory_order_relaxed);
}

Result<MountId, int> mount_id_at([[maybe_unused]] int dirfd, [[maybe_unused]] const char* name,
                                 [[maybe_unused]] dir::Follow follow) {
#ifdef __linux__
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

std::optional<MountPoints> read_mount_points() {
    dir::HeldFd file = dir::open_file_at(AT_FDCWD, "/proc/self/mountinfo", O_RDONLY,
                                         std::move(dir::Slot::take_reserved(1).front()));
    std::string text;
    char buf[4096];
    for (ssize_t n; file.fd.valid() && (n = ::read(file.fd.get(), buf, sizeof buf)) != 0;) {
        if (n < 0 && errno != EINTR) {
            return std::nullopt;
        }
        text.append(buf, n < 0 ? 0 : static_cast<std::size_t>(n));
    }
    if (!file.fd.valid() || mount_answers() == MountAnswers::NoTable) {
        return std::nullopt;
    }
    // The fifth field of each line, octal escapes ("\040" for a space) undone.
    MountPoints table;
    std::istringstream lines(text);
    for (std::string line, field, point; std::getline(lines, line);) {
        std::istringstream fields(line);
        if (!(fields >> field >> field >> field >> field >> point)) {
            return std::nullopt;
        }
        for (auto i = point.find('\\'); i != point.npos && i + 3 < point.size();
             i = point.find('\\', i + 1)) {
            int byte = (point[i + 1] - '0') * 64 + (point[i + 2] - '0') * 8 + (point[i + 3] - '0');
            point.replace(i, 4, 1, static_cast<char>(byte));
        }
        table.insert(std::move(point));
    }
    return table;
}

} // namespace qb
