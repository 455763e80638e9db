#include "scanner/safe_remove.hpp"

#include "common/dir.hpp"
#include "common/os_error.hpp"
#include "common/paths.hpp"
#include "common/unique_fd.hpp"

#include <algorithm>
#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <fmt/format.h>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <unistd.h>
#include <utility>
#include <vector>

namespace qb {
namespace {

// Directory listings held open at once by one walk, as far as the descriptor budget
// allows; deeper levels read the rest of their listing into memory and close it, and are
// opened again through ".." later. The walk needs three descriptors at least: the
// target's parent, the directory it empties and one below or above it.
constexpr std::size_t kMaxOpenListings = 16;
constexpr std::size_t kLeastSlots = 3;
constexpr std::size_t kListingBuffer = 8 * 1024;

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

IoError cannot_stat(int errnum) {
    return IoError::from_text(cannot_stat_text(errnum));
}

struct Entry {
    std::string name;
    unsigned char type = DT_UNKNOWN;
};

// One directory of the walk. While `listing` is set, it reads from `dir`; once the rest
// of the listing was read into `pending`, `dir` is closed and open only when needed.
struct Frame {
    dir::Handle dir;
    std::unique_ptr<char[]> buf;
    std::optional<dir::Listing> listing;
    std::vector<Entry> pending;
    std::size_t next = 0;
    DirIdentity id;
    std::string name;
};

class Walk {
public:
    // `parent_fd` and the root's descriptor are open already, within `slots`.
    Walk(TreeVisitor& visitor, int parent_fd, std::string_view root_path, dir::KeptSlots& slots)
        : visitor_(visitor), parent_fd_(parent_fd), root_path_(root_path), slots_(slots) {}
    Walk(const Walk&) = delete;
    Walk& operator=(const Walk&) = delete;

    std::optional<IoError> run(int root_fd, std::string root_name, DirIdentity expected);

    /// True once the walk went past its checks of the root and into the directory.
    bool entered() const { return entered_; }

private:
    // The full path of `name` inside the directory the walk is in.
    std::string path_of(std::string_view name) const {
        std::string p(root_path_);
        for (std::size_t i = 1; i < stack_.size(); ++i) {
            p = path::join(p, stack_[i].name);
        }
        return path::join(p, name);
    }

    // Reads the next entry of a listing other than "." and ".." into `out`; false at the
    // end of the listing or on an error, which is left in `err` (0 at the end).
    static bool read_entry(dir::Listing& listing, Entry& out, int& err) {
        dir::Entry e;
        if (!listing.next(e)) {
            err = listing.error();
            return false;
        }
        out.name.assign(e.name, e.size);
        out.type = e.type;
        err = 0;
        return true;
    }

    void close_frame(Frame& f) {
        f.listing.reset();
        if (f.dir.valid()) {
            f.dir.close();
            --open_;
        }
    }

    // Reads what is left of the listing of `f` and closes it.
    std::optional<IoError> read_rest(Frame& f) {
        Entry entry;
        int err = 0;
        while (f.listing && read_entry(*f.listing, entry, err)) {
            f.pending.push_back(std::move(entry));
        }
        close_frame(f);
        if (err != 0) {
            return IoError::from_errno(err);
        }
        return std::nullopt;
    }

    // Before one more descriptor is opened: a slot for it, new from the budget when it has
    // one to spare, else the one of the oldest listing below the top, which is read into
    // memory. With three slots at least, there always is such a listing.
    std::optional<IoError> make_room() {
        if (open_ < slots_.size()) {
            return std::nullopt;
        }
        if (slots_.size() < kMaxOpenListings + 1 && slots_.try_grow()) {
            return std::nullopt;
        }
        for (std::size_t i = 0; i + 1 < stack_.size(); ++i) {
            if (stack_[i].dir.valid()) {
                return read_rest(stack_[i]);
            }
        }
        return IoError::from_errno(EMFILE);
    }

    // The next entry of the top frame into `out`; false at its end or on an error.
    static bool next_entry(Frame& f, Entry& out, int& err) {
        if (f.listing) {
            return read_entry(*f.listing, out, err);
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
        if (auto err = make_room()) {
            return err;
        }
        dir::Handle d = dir::open_at(child_fd, "..", dir::Follow::Yes);
        if (!d.valid()) {
            return IoError::from_errno(errno);
        }
        ++open_;
        struct stat st;
        if (::fstat(d.fd(), &st) != 0) {
            int err = errno;
            d.close();
            --open_;
            return IoError::from_errno(err);
        }
        if (identity_of(st) != f.id) {
            d.close();
            --open_;
            return IoError::from_text(std::string(kIdentityChanged));
        }
        f.dir = std::move(d);
        return std::nullopt;
    }

    // Whether `name` in `parent_fd` still leads to the directory `id`, links not followed.
    static bool still_named(int parent_fd, const std::string& name, DirIdentity id) {
        struct stat st;
        return ::fstatat(parent_fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
               identity_of(st) == id;
    }

    // Pops the finished top frame and lets the visitor leave it. The root is left by its
    // name, which another directory may have taken meanwhile; that one is not ours.
    std::optional<IoError> finish_top() {
        Frame done = std::move(stack_.back());
        stack_.pop_back();
        int parent_fd = parent_fd_;
        if (stack_.empty() && !still_named(parent_fd, done.name, done.id)) {
            close_frame(done);
            return IoError::from_text(std::string(kIdentityChangedDuringRemoval));
        }
        if (!stack_.empty()) {
            Frame& parent = stack_.back();
            if (!parent.dir.valid()) {
                if (auto err = reopen_from_child(parent, done.dir.fd())) {
                    close_frame(done);
                    return err;
                }
            }
            parent_fd = parent.dir.fd();
        }
        close_frame(done);
        buffers_.give(std::move(done.buf));
        return visitor_.leave_dir(parent_fd, done.name.c_str());
    }

    std::optional<IoError> visit_entry(Frame& top, const Entry& entry) {
        const char* name = entry.name.c_str();
        if (entry.type != DT_DIR && entry.type != DT_UNKNOWN) {
            return visitor_.non_dir(top.dir.fd(), name);
        }
        if (auto err = make_room()) {
            return err;
        }
        dir::Handle d = dir::open_at(top.dir.fd(), name);
        if (!d.valid()) {
            int err = errno;
            // Not a directory after all (or swapped for a link since the listing).
            if (err == ENOTDIR || err == ELOOP) {
                return visitor_.non_dir(top.dir.fd(), name);
            }
            return visitor_.open_failed(top.dir.fd(), name, err);
        }
        ++open_;
        struct stat st;
        if (::fstat(d.fd(), &st) != 0) {
            int err = errno;
            d.close();
            --open_;
            return IoError::from_errno(err);
        }
        if (identity_of(st).device != root_.device ||
            (root_mount_ && mount_id(d.fd()).value_or(*root_mount_) != *root_mount_)) {
            d.close();
            --open_;
            return visitor_.mount_point(path_of(name));
        }
        return push(std::move(d), st, entry.name);
    }

    // Lets the visitor enter the directory open as `d` and makes it the top frame.
    std::optional<IoError> push(dir::Handle d, const struct stat& st, std::string name) {
        if (auto err = visitor_.enter_dir(d.fd(), st)) {
            d.close();
            --open_;
            return err;
        }
        Frame frame;
        frame.dir = std::move(d);
        frame.buf = buffers_.take();
        frame.listing.emplace(frame.dir, buffers_.view(frame.buf));
        if (frame.listing->ended()) { // the listing could not even start
            int err = frame.listing->error();
            close_frame(frame);
            return IoError::from_errno(err);
        }
        frame.id = identity_of(st);
        frame.name = std::move(name);
        stack_.push_back(std::move(frame));
        return std::nullopt;
    }

    TreeVisitor& visitor_;
    int parent_fd_;
    std::string_view root_path_;
    dir::KeptSlots& slots_;
    std::size_t open_ = 2; // the parent and the root to begin with
    DirIdentity root_;
    std::optional<std::uint64_t> root_mount_;
    bool entered_ = false;
    std::vector<Frame> stack_;
    dir::Buffers buffers_{kListingBuffer};
};

std::optional<IoError> Walk::run(int root_fd, std::string root_name, DirIdentity expected) {
    dir::Handle guard(root_fd);
    struct stat st;
    if (::fstat(root_fd, &st) != 0) {
        return cannot_stat(errno);
    }
    // Checked on the very descriptor the walk goes on with: a mount placed on the target
    // since its validation is refused before anything on it is touched.
    auto mounted = on_another_mount(parent_fd_, root_fd);
    if (!mounted) {
        return cannot_stat(mounted.error());
    }
    if (*mounted) {
        return IoError::from_text(std::string(kTargetIsMountPoint));
    }
    if (!S_ISDIR(st.st_mode)) {
        return IoError::from_text(std::string(kNotARealDirectory));
    }
    if (identity_of(st) != expected) {
        return IoError::from_text(std::string(kIdentityChanged));
    }
    root_ = expected;
    root_mount_ = mount_id(root_fd);
    entered_ = true;
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
    std::optional<IoError> non_dir(int parent_fd, const char* name) override {
        return unlink_at(parent_fd, name, 0);
    }
    // A mount point and its contents stay, and the target is reported.
    std::optional<IoError> mount_point(const std::string& path) override {
        return IoError::from_text(contains_mount_point(path));
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

std::string cannot_stat_text(int errnum) {
    return fmt::format("cannot stat path: {}", os_error_text(errnum));
}

std::string contains_mount_point(std::string_view path) {
    return "contains a mount point: " + path::display(path);
}

DirIdentity identity_of(const struct stat& st) {
    return DirIdentity{static_cast<std::int64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
}

std::optional<IoError> TreeVisitor::enter_dir(int, const struct stat&) {
    return std::nullopt;
}
std::optional<IoError> TreeVisitor::non_dir(int, const char*) {
    return std::nullopt;
}
std::optional<IoError> TreeVisitor::mount_point(const std::string&) {
    return std::nullopt;
}
std::optional<IoError> TreeVisitor::open_failed(int, const char*, int err) {
    return IoError::from_errno(err);
}
std::optional<IoError> TreeVisitor::leave_dir(int, const char*) {
    return std::nullopt;
}

// walk_tree, its failure marked refused when nothing inside the directory was visited.
static Result<Ok, WalkFailure> walk_path(std::string_view path, DirIdentity expected,
                                         TreeVisitor& visitor) {
    auto refuse = [](IoError error) { return unexpected(WalkFailure{std::move(error), true}); };
    auto parts = path::components(path);
    auto normal = [](const path::Component& c) { return c.kind == path::ComponentKind::Normal; };
    if (parts.size() < 2 || parts.front().kind != path::ComponentKind::Root ||
        !std::all_of(parts.begin() + 1, parts.end(), normal)) {
        return refuse(cannot_stat(EINVAL));
    }
    // Waited for: the thread that removes holds no other slot.
    dir::KeptSlots slots;
    slots.take(kLeastSlots);
    UniqueFd dir(::open("/", kSearchOnly | O_DIRECTORY | O_CLOEXEC));
    if (dir.get() < 0) {
        return refuse(cannot_stat(errno));
    }
    // Down to the parent without following any link: a component swapped for a link
    // since the validation stops the walk here.
    for (std::size_t i = 1; i + 1 < parts.size(); ++i) {
        std::string name(parts[i].name);
        UniqueFd next(
            ::openat(dir.get(), name.c_str(), kSearchOnly | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (next.get() < 0) {
            return refuse(cannot_stat(errno));
        }
        dir = std::move(next);
    }
    std::string name(parts.back().name);
    int root_fd =
        ::openat(dir.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (root_fd < 0) {
        int err = errno;
        return refuse(err == ENOTDIR || err == ELOOP
                          ? IoError::from_text(std::string(kNotARealDirectory))
                          : cannot_stat(err));
    }
    Walk walk(visitor, dir.get(), path, slots);
    if (auto err = walk.run(root_fd, std::move(name), expected)) {
        return unexpected(WalkFailure{std::move(*err), !walk.entered()});
    }
    return Ok{};
}

Result<Ok, IoError> walk_tree(std::string_view path, DirIdentity expected, TreeVisitor& visitor) {
    auto walked = walk_path(path, expected, visitor);
    if (!walked) {
        return unexpected(std::move(walked.error().error));
    }
    return Ok{};
}

Result<Ok, WalkFailure> remove_tree(std::string_view path, DirIdentity expected) {
    Remover remover;
    return walk_path(path, expected, remover);
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
