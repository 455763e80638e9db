#include "common/mount_id.hpp"

#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>

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

std::optional<std::uint64_t> mount_id_at(int dirfd, const char* name, dir::Follow follow) {
#ifdef __linux__
    const int empty = *name == '\0' ? AT_EMPTY_PATH : 0;
    const MountAnswers given = mount_answers();
#ifdef STATX_MNT_ID
    if (given == MountAnswers::All) {
        struct statx sx;
        int flags =
            empty | AT_NO_AUTOMOUNT | (follow == dir::Follow::Yes ? 0 : AT_SYMLINK_NOFOLLOW);
        if (::statx(dirfd, name, flags, STATX_MNT_ID, &sx) == 0 && (sx.stx_mask & STATX_MNT_ID)) {
            return sx.stx_mnt_id;
        }
    }
#endif
    if (given != MountAnswers::None) {
        // Only the mount id is wanted: the kernel gives it even when the handle does not
        // fit, but not when the file system makes no handles.
        alignas(struct file_handle) unsigned char buf[sizeof(struct file_handle) + MAX_HANDLE_SZ];
        auto* handle = reinterpret_cast<struct file_handle*>(buf);
        handle->handle_bytes = MAX_HANDLE_SZ;
        int mount = -1;
        int flags = empty | (follow == dir::Follow::Yes ? AT_SYMLINK_FOLLOW : 0);
        if ((::name_to_handle_at(dirfd, name, handle, &mount, flags) == 0 || errno == EOVERFLOW) &&
            mount >= 0) {
            return static_cast<std::uint64_t>(mount);
        }
    }
    return std::nullopt;
#else
    (void)dirfd;
    (void)name;
    (void)follow;
    return 0;
#endif
}

} // namespace qb
