#include "scanner/safe_remove.hpp"

#include "common/paths.hpp"
#include "common/unique_fd.hpp"

#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <utility>
#include <vector>

namespace qb {
namespace {

// Directory listings held open at once by one walk; deeper levels read the rest of
// their listing into memory and close it, and are opened again through ".." later.
constexpr std::size_t kMaxOpenListings = 16;

#if defined(O_PATH)
constexpr int kSearchOnly = O_PATH; // search permission is enough on the way down
#elif defined(O_SEARCH)
constexpr int kSearchOnly = O_SEARCH;
#else
constexpr int kSearchOnly = O_RDONLY;
#endif

// The mount a descriptor lies on, where the system tells it: a bind mount of the same
// file system has the same device number but another mount.
std::optional<std::uint64_t> mount_id(int fd) {
#if defined(STATX_MNT_ID)
    struct statx sx;
    if (::statx(fd, "", AT_EMPTY_PATH, STATX_MNT_ID, &sx) == 0 && (sx.stx_mask & STATX_MNT_ID)) {
        return sx.stx_mnt_id;
    }
#else
    (void)fd;
#endif
    return std::nullopt;
}

// Whether the directory open as `fd` lies on another mount than `parent_fd`, the directory
// it was reached from. A bind mount keeps its file system's device, so mounts are compared
// too where the system names them.
Result<bool, int> on_another_mount(int parent_fd, int fd) {
    struct stat parent;
    struct stat st;
    if (::fstat(parent_fd, &parent) != 0 || ::fstat(fd, &st) != 0) {
        return unexpected(errno);
    }
    if (parent.st_dev != st.st_dev) {
        return true;
    }
    auto parent_mount = mount_id(parent_fd);
    auto mount = mount_id(fd);
    return parent_mount && mount && *parent_mount != *mount;
}

struct Entry {
    std::string name;
    unsigned char type = DT_UNKNOWN;
};

// Reads the next entry of an open listing other than "." and ".." into `out`; false at
// the end of the listing or on an error, which is left in `err` (0 at the end).
bool read_entry(DIR* dir, Entry& out, int& err) {
    for (;;) {
        errno = 0;
        dirent* e = ::readdir(dir);
        if (e == nullptr) {
            err = errno;
            return false;
        }
        if (!path::is_dot_or_dotdot(e->d_name)) {
            out.name = e->d_name;
            out.type = e->d_type;
            return true;
        }
    }
}

// One directory of the walk. While `dir` is open, `fd` is its descriptor; once its listing
// was read into `pending`, `dir` is closed and `fd` is open only when needed.
struct Frame {
    DIR* dir = nullptr;
    int fd = -1;
    std::vector<Entry> pending;
    std::size_t next = 0;
    DirIdentity id;
    std::string name;
};

class Walk {
public:
    Walk(TreeVisitor& visitor, int parent_fd, std::string_view root_path)
        : visitor_(visitor), parent_fd_(parent_fd), root_path_(root_path) {}
    ~Walk() {
        for (Frame& f : stack_) {
            close_frame(f);
        }
    }
    Walk(const Walk&) = delete;
    Walk& operator=(const Walk&) = delete;

    std::optional<IoError> run(int root_fd, std::string root_name, DirIdentity expected);

    /// The full path of `name` inside the directory the walk is in.
    std::string path_of(std::string_view name) const {
        std::string p(root_path_);
        for (std::size_t i = 1; i < stack_.size(); ++i) {
            p = path::join(p, stack_[i].name);
        }
        return path::join(p, name);
    }

private:
    static void close_frame(Frame& f) {
        if (f.dir != nullptr) {
            ::closedir(f.dir);
        } else if (f.fd >= 0) {
            ::close(f.fd);
        }
        f.dir = nullptr;
        f.fd = -1;
    }

    // Reads what is left of the listing of `f` and closes it.
    static std::optional<IoError> read_rest(Frame& f) {
        Entry entry;
        int err = 0;
        while (f.dir != nullptr && read_entry(f.dir, entry, err)) {
            f.pending.push_back(std::move(entry));
        }
        close_frame(f);
        if (err != 0) {
            return IoError::from_errno(err);
        }
        return std::nullopt;
    }

    std::optional<IoError> keep_within_budget() {
        std::size_t open = 0;
        for (const Frame& f : stack_) {
            open += f.fd >= 0 ? 1 : 0;
        }
        for (std::size_t i = 0; open > kMaxOpenListings && i + 1 < stack_.size(); ++i) {
            if (stack_[i].fd >= 0) {
                if (auto err = read_rest(stack_[i])) {
                    return err;
                }
                --open;
            }
        }
        return std::nullopt;
    }

    // The next entry of the top frame into `out`; false at its end or on an error.
    static bool next_entry(Frame& f, Entry& out, int& err) {
        if (f.dir != nullptr) {
            return read_entry(f.dir, out, err);
        }
        err = 0;
        if (f.next < f.pending.size()) {
            out = std::move(f.pending[f.next++]);
            return true;
        }
        return false;
    }

    // Opens a frame whose listing was closed again from its child, checking that ".."
    // still leads to the same directory.
    std::optional<IoError> reopen_from_child(Frame& f, int child_fd) {
        int fd = ::openat(child_fd, "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0) {
            return IoError::from_errno(errno);
        }
        struct stat st;
        if (::fstat(fd, &st) != 0) {
            int err = errno;
            ::close(fd);
            return IoError::from_errno(err);
        }
        if (identity_of(st) != f.id) {
            ::close(fd);
            return IoError::from_text(std::string(kIdentityChanged));
        }
        f.fd = fd;
        return std::nullopt;
    }

    // Pops the finished top frame and lets the visitor leave it.
    std::optional<IoError> finish_top() {
        Frame done = std::move(stack_.back());
        stack_.pop_back();
        int parent_fd = parent_fd_;
        if (!stack_.empty()) {
            Frame& parent = stack_.back();
            if (parent.fd < 0) {
                if (auto err = reopen_from_child(parent, done.fd)) {
                    close_frame(done);
                    return err;
                }
            }
            parent_fd = parent.fd;
        }
        close_frame(done);
        return visitor_.leave_dir(parent_fd, done.name.c_str());
    }

    std::optional<IoError> visit_entry(Frame& top, const Entry& entry) {
        const char* name = entry.name.c_str();
        if (entry.type != DT_DIR && entry.type != DT_UNKNOWN) {
            return visitor_.non_dir(top.fd, name);
        }
        int fd = ::openat(top.fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0) {
            int err = errno;
            // Not a directory after all (or swapped for a link since the listing).
            if (err == ENOTDIR || err == ELOOP) {
                return visitor_.non_dir(top.fd, name);
            }
            return visitor_.open_failed(top.fd, name, err);
        }
        UniqueFd guard(fd);
        struct stat st;
        if (::fstat(fd, &st) != 0) {
            return IoError::from_errno(errno);
        }
        if (identity_of(st).device != root_.device ||
            (root_mount_ && mount_id(fd).value_or(*root_mount_) != *root_mount_)) {
            guard.reset();
            return visitor_.mount_point(top.fd, name);
        }
        return push(std::move(guard), st, entry.name);
    }

    // Lets the visitor enter the directory open as `fd` and makes it the top frame.
    std::optional<IoError> push(UniqueFd fd, const struct stat& st, std::string name) {
        if (auto err = visitor_.enter_dir(fd.get(), st)) {
            return err;
        }
        DIR* dir = ::fdopendir(fd.get());
        if (dir == nullptr) {
            return IoError::from_errno(errno);
        }
        Frame frame;
        frame.fd = fd.release(); // the listing owns the descriptor from here on
        frame.dir = dir;
        frame.id = identity_of(st);
        frame.name = std::move(name);
        stack_.push_back(std::move(frame));
        return keep_within_budget();
    }

    TreeVisitor& visitor_;
    int parent_fd_;
    std::string_view root_path_;
    DirIdentity root_;
    std::optional<std::uint64_t> root_mount_;
    std::vector<Frame> stack_;
};

std::optional<IoError> Walk::run(int root_fd, std::string root_name, DirIdentity expected) {
    UniqueFd guard(root_fd);
    struct stat st;
    if (::fstat(root_fd, &st) != 0) {
        return IoError::from_errno(errno);
    }
    // Checked on the very descriptor the walk goes on with: a mount placed on the target
    // since its validation is refused before anything on it is touched.
    auto mounted = on_another_mount(parent_fd_, root_fd);
    if (!mounted) {
        return IoError::from_errno(mounted.error());
    }
    if (*mounted) {
        return IoError::from_text(std::string(kTargetIsMountPoint));
    }
    if (!S_ISDIR(st.st_mode) || identity_of(st) != expected) {
        return IoError::from_text(std::string(kIdentityChanged));
    }
    root_ = expected;
    root_mount_ = mount_id(root_fd);
    if (auto err = push(std::move(guard), st, std::move(root_name))) {
        return err;
    }

    while (!stack_.empty()) {
        Entry entry;
        int err = 0;
        if (!next_entry(stack_.back(), entry, err)) {
            if (err != 0) {
                return IoError::from_errno(err);
            }
            if (auto failed = finish_top()) {
                return failed;
            }
            continue;
        }
        if (auto failed = visit_entry(stack_.back(), entry)) {
            return failed;
        }
    }
    return std::nullopt;
}

class Remover : public TreeVisitor {
public:
    /// The walk this removal runs in, to name a mount met inside.
    const Walk* walk = nullptr;

    std::optional<IoError> non_dir(int parent_fd, const char* name) override {
        return unlink_at(parent_fd, name, 0);
    }
    // A mount point and its contents stay, and the target is reported.
    std::optional<IoError> mount_point(int, const char* name) override {
        return IoError::from_text("contains a mount point: " + path::display(walk->path_of(name)));
    }
    std::optional<IoError> leave_dir(int parent_fd, const char* name) override {
        return unlink_at(parent_fd, name, AT_REMOVEDIR);
    }

private:
    static std::optional<IoError> unlink_at(int fd, const char* name, int flags) {
        if (::unlinkat(fd, name, flags) != 0) {
            return IoError::from_errno(errno);
        }
        return std::nullopt;
    }
};

} // namespace

DirIdentity identity_of(const struct stat& st) {
    return DirIdentity{static_cast<std::int64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
}

std::optional<IoError> TreeVisitor::enter_dir(int, const struct stat&) {
    return std::nullopt;
}
std::optional<IoError> TreeVisitor::non_dir(int, const char*) {
    return std::nullopt;
}
std::optional<IoError> TreeVisitor::mount_point(int, const char*) {
    return std::nullopt;
}
std::optional<IoError> TreeVisitor::open_failed(int, const char*, int err) {
    return IoError::from_errno(err);
}
std::optional<IoError> TreeVisitor::leave_dir(int, const char*) {
    return std::nullopt;
}

// walk_tree; `current`, when given, points at the walk while it runs.
static Result<Ok, IoError> walk_path(std::string_view path, DirIdentity expected,
                                     TreeVisitor& visitor, const Walk** current) {
    auto parts = path::components(path);
    if (parts.size() < 2 || parts.front().kind != path::ComponentKind::Root) {
        return unexpected(IoError::from_errno(EINVAL));
    }
    UniqueFd dir(::open("/", kSearchOnly | O_DIRECTORY | O_CLOEXEC));
    if (dir.get() < 0) {
        return unexpected(IoError::from_errno(errno));
    }
    // Down to the parent without following any link: a component swapped for a link
    // since the validation stops the walk here.
    for (std::size_t i = 1; i + 1 < parts.size(); ++i) {
        if (parts[i].kind != path::ComponentKind::Normal) {
            return unexpected(IoError::from_errno(EINVAL));
        }
        std::string name(parts[i].name);
        UniqueFd next(
            ::openat(dir.get(), name.c_str(), kSearchOnly | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (next.get() < 0) {
            return unexpected(IoError::from_errno(errno));
        }
        dir = std::move(next);
    }
    if (parts.back().kind != path::ComponentKind::Normal) {
        return unexpected(IoError::from_errno(EINVAL));
    }
    std::string name(parts.back().name);
    int root_fd =
        ::openat(dir.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (root_fd < 0) {
        return unexpected(IoError::from_errno(errno));
    }
    Walk walk(visitor, dir.get(), path);
    if (current != nullptr) {
        *current = &walk;
    }
    if (auto err = walk.run(root_fd, std::move(name), expected)) {
        return unexpected(std::move(*err));
    }
    return Ok{};
}

Result<Ok, IoError> walk_tree(std::string_view path, DirIdentity expected, TreeVisitor& visitor) {
    return walk_path(path, expected, visitor, nullptr);
}

Result<Ok, IoError> remove_tree(std::string_view path, DirIdentity expected) {
    Remover remover;
    return walk_path(path, expected, remover, &remover.walk);
}

Result<bool, int> is_mount_point(const std::string& path) {
    if (path.find('\0') != std::string::npos) {
        return unexpected(EINVAL);
    }
    auto parent = path::parent(path);
    if (!parent) {
        return false; // the root, or a path naming no entry of a directory
    }
    std::string dir = parent->empty() ? std::string(".") : std::string(*parent);
    UniqueFd parent_fd(::open(dir.c_str(), kSearchOnly | O_DIRECTORY | O_CLOEXEC));
    if (parent_fd.get() < 0) {
        return unexpected(errno);
    }
    UniqueFd fd(::open(path.c_str(), kSearchOnly | O_NOFOLLOW | O_CLOEXEC));
    if (fd.get() < 0) {
        return unexpected(errno);
    }
    return on_another_mount(parent_fd.get(), fd.get());
}

} // namespace qb
