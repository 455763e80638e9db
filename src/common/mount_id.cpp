#include "common/mount_id.hpp"

#include "common/unique_fd.hpp"

#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <linux/magic.h>
#include <mutex>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <tuple>
#include <unistd.h>
#include <utility>
#include <vector>

namespace qb {
namespace {

std::atomic<MountAnswers> answers{MountAnswers::All};

// The errno that the test seam fails a lookup in or at `fd` with; 0 outside tests.
std::function<int(int)>& lookup_hook() {
    static std::function<int(int)> hook;
    return hook;
}

int seam_failure(int fd) {
    const auto& hook = lookup_hook();
    return hook ? hook(fd) : 0;
}

// The text of procfs's own regular file at `path`, read to its end without waiting, so
// that nothing bound over it (a pipe, a stale copy) is believed or waited for. None when it
// is anything else (errno 0) or cannot be read whole (errno set).
std::optional<std::string> read_proc_file(const char* path) {
    UniqueFd fd(::open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    struct stat st;
    struct statfs fs;
    std::string text;
    char buf[4096];
    if (fd.valid() && (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) ||
                       ::fstatfs(fd.get(), &fs) != 0 || fs.f_type != PROC_SUPER_MAGIC)) {
        errno = 0;
        return std::nullopt;
    }
    for (ssize_t n = 0; fd.valid() && (n = ::read(fd.get(), buf, sizeof buf)) != 0;) {
        if (n < 0 && errno != EINTR) {
            return std::nullopt;
        }
        text.append(buf, n < 0 ? 0 : static_cast<std::size_t>(n));
    }
    return fd.valid() ? std::optional(std::move(text)) : std::nullopt;
}

// The mount id the kernel gives for the open descriptor `fd`; none where /proc gives none.
Result<MountId, int> fdinfo_mount(int fd) {
    auto text = read_proc_file(("/proc/self/fdinfo/" + std::to_string(fd)).c_str());
    if (!text && errno != 0 && errno != ENOENT) {
        return unexpected(errno);
    }
    std::istringstream fields(text.value_or(""));
    std::uint64_t id = 0;
    for (std::string key; fields >> key;) {
        if (key == "mnt_id:") {
            return fields >> id ? MountId(id) : MountId();
        }
    }
    return MountId();
}

} // namespace

// The two reserved slots that asking /proc about a directory takes (the directory opened
// by name, its fdinfo), taken for every probe that needs them at once and used in turn, so
// that no thread that asks ever waits for a slot.
struct MountProbe::FdinfoSlots {
    std::mutex asking;
    std::vector<dir::Slot> slots = dir::Slot::take_reserved(2);

    static std::shared_ptr<FdinfoSlots> shared() {
        static std::mutex mu;
        static std::weak_ptr<FdinfoSlots> current;
        std::lock_guard lock(mu);
        std::shared_ptr<FdinfoSlots> s = current.lock();
        if (!s) {
            current = s = std::make_shared<FdinfoSlots>();
            for (dir::Slot& slot : s->slots) {
                slot.untie(); // given back by whichever thread lets go of them last
            }
        }
        return s;
    }
};

void set_mount_answers(MountAnswers a, std::function<int(int)> lookup) {
    lookup_hook() = std::move(lookup);
    answers.store(a, std::memory_order_relaxed);
}

MountAnswers mount_answers() {
    return answers.load(std::memory_order_relaxed);
}

Result<MountId, int> MountProbe::ask(Source source, int dirfd, const char* name,
                                     dir::Follow follow) const {
    const int empty = *name == '\0' ? AT_EMPTY_PATH : 0;
    const MountAnswers given = mount_answers();
    if (source == Source::Statx && given == MountAnswers::All) {
        struct statx sx;
        int flags =
            empty | AT_NO_AUTOMOUNT | (follow == dir::Follow::Yes ? 0 : AT_SYMLINK_NOFOLLOW);
        if (::statx(dirfd, name, flags, STATX_MNT_ID, &sx) == 0 && (sx.stx_mask & STATX_MNT_ID)) {
            return MountId(sx.stx_mnt_id);
        }
    } else if (source == Source::Handle && given < MountAnswers::NoHandles) {
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
    } else if (source == Source::Fdinfo && fdinfo_) {
        std::lock_guard lock(fdinfo_->asking);
        // Only looked at, never read: the mount it lies on is all that is asked.
        UniqueFd opened(
            empty ? -1
                  : ::openat(dirfd, name,
                             O_PATH | O_CLOEXEC | (follow == dir::Follow::Yes ? 0 : O_NOFOLLOW)));
        if (!empty && !opened.valid()) {
            return unexpected(errno);
        }
        return fdinfo_mount(empty ? dirfd : opened.get());
    }
    return MountId();
}

Result<std::pair<MountId, MountProbe::Source>, int>
MountProbe::id_at(int dirfd, const char* name, dir::Follow follow, Source from) const {
    if (int err = seam_failure(dirfd); err != 0) {
        return unexpected(err);
    }
    for (Source s : kSources) {
        auto id = s < from ? MountId() : ask(s, dirfd, name, follow);
        if (!id || *id) {
            return !id ? unexpected(id.error()) : Result<std::pair<MountId, Source>, int>({*id, s});
        }
    }
    return std::pair(MountId(), Source::None);
}

Result<MountProbe, int> MountProbe::of(int dirfd, const char* name) {
    MountProbe probe;
    struct stat st;
    if (::fstatat(dirfd, name, &st, *name == '\0' ? AT_EMPTY_PATH : 0) != 0) {
        return unexpected(errno);
    }
    probe.device_ = static_cast<std::uint64_t>(st.st_dev);
    auto id = probe.id_at(dirfd, name, dir::Follow::Yes, Source::Statx);
    if (id && !id->first && mount_answers() < MountAnswers::NoProc) {
        probe.fdinfo_ = FdinfoSlots::shared(); // only asked for where nothing else answers
        id = probe.id_at(dirfd, name, dir::Follow::Yes, Source::Fdinfo);
    }
    if (!id) {
        return unexpected(id.error());
    }
    std::tie(probe.id_, probe.source_) = *id;
    if (!probe.id_) {
        probe.fdinfo_.reset();
    }
    if (probe.source_ != Source::Statx) {
        probe.table_ = MountTable::read();
    }
    return probe;
}

Result<MountPlace, int> MountProbe::place(int dirfd, const char* name, dir::Follow follow,
                                          std::uint64_t device) const {
    if (device != device_ || !id_) {
        return device != device_ ? MountPlace::Other : MountPlace::Untold;
    }
    auto id = id_at(dirfd, name, follow, source_);
    if (!id) {
        return unexpected(id.error());
    }
    return !id->first           ? MountPlace::Untold
           : *id->first == *id_ ? MountPlace::Same
                                : MountPlace::Other;
}

std::optional<MountTable> MountTable::read() {
    if (mount_answers() == MountAnswers::NoProc) {
        return std::nullopt;
    }
    const std::vector<dir::Slot> slot = dir::Slot::take_reserved(1);
    const auto text = read_proc_file("/proc/self/mountinfo");
    if (!text) {
        return std::nullopt;
    }
    // The fifth field of each line, octal escapes ("\040" for a space) undone.
    MountTable table;
    std::istringstream lines(*text);
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
        table.points_.insert(std::move(point));
    }
    return table;
}

std::optional<std::string> MountTable::first_below(std::string_view dir) const {
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
