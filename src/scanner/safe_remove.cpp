#include "scanner/safe_remove.hpp"

#include "common/dir.hpp"
#include "common/mount_id.hpp"
#include "common/os_error.hpp"
#include "common/paths.hpp"

#include <algorithm>
#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <fmt/format.h>
#include <optional>
#include <string>
#include <unistd.h>
#include <utility>
#include <vector>

namespace qb {
namespace {

// Directory listings held open at once by one walk, as far as the descriptor budget
// allows; beyond that the outermost open levels read the rest of their listing into memory
// and close it, and are opened again through ".." on the way back up. The walk needs
// dir::kFewestKept descriptors at least: the target's parent, the directory it empties and one
// below or above it.
constexpr std::size_t kMaxOpenListings = 16;
constexpr std::size_t kListingBuffer = 8 * 1024;

// mount_point_refusal of `name` in `fd` (AT_EMPTY_PATH when empty), at the canonical `path`,
// from its parent `parent_name` in `parent_fd`, whose probe goes to `probe`.
std::optional<std::string> mount_refusal(int parent_fd, const char* parent_name, int fd,
                                         const char* name, std::string_view path,
                                         std::optional<MountProbe>& probe) {
    struct stat st;
    auto made = MountProbe::of(parent_fd, parent_name);
    if (!made ||
        ::fstatat(fd, name, &st, (*name == '\0' ? AT_EMPTY_PATH : 0) | AT_SYMLINK_NOFOLLOW) != 0) {
        return cannot_stat_text(made ? errno : made.error());
    }
    auto place = (probe = std::move(*made))->place(fd, name, st.st_dev);
    if (!place || *place != MountPlace::Same) {
        return !place ? cannot_stat_text(place.error())
                      : std::string(*place == MountPlace::Other ? kTargetIsMountPoint
                                                                : kCannotTellMounts);
    }
    auto below = probe->first_below(path);
    return below ? std::optional(contains_mount_point(*below)) : std::nullopt;
}

IoError cannot_stat(int errnum) {
    return IoError::from_text(cannot_stat_text(errnum));
}

class Walk {
public:
    // `parent_fd`, the directory that holds the root, is open already, with a slot of
    // `stack`. A directory of `protected_dirs` (none: no check) is never entered.
    Walk(TreeVisitor& visitor, dir::ListingStack& stack, int parent_fd, std::string_view root_path,
         const ProtectedDirs* protected_dirs)
        : visitor_(visitor), stack_(stack), parent_fd_(parent_fd), root_path_(root_path),
          protected_(protected_dirs) {}
    Walk(const Walk&) = delete;
    Walk& operator=(const Walk&) = delete;

    std::optional<IoError> run(dir::Handle root, std::string root_name, DirIdentity expected);

    /// True when it stopped before going past its checks of the root, or at a protected one.
    bool refused() const { return refused_; }

private:
    // The full path of `name` inside the directory the walk is in.
    std::string path_of(std::string_view name) const {
        std::string p(root_path_);
        for (std::size_t i = 1; i < stack_.size(); ++i) {
            p = path::join(p, stack_.level(i).name);
        }
        return path::join(p, name);
    }

    // Pops the finished top level and lets the visitor leave it. Its parent, when it was
    // read into memory, is opened again through "..", which must still lead to it. The
    // root is left by its name, which another directory may have taken meanwhile; that one
    // is not ours.
    std::optional<IoError> finish_top() {
        auto [done, level] = stack_.pop();
        int parent_fd = parent_fd_;
        if (stack_.empty()) {
            struct stat st;
            if (::fstatat(parent_fd, level.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
                identity_of(st) != level.id) {
                return IoError::from_text(std::string(kIdentityChangedDuringRemoval));
            }
        } else {
            if (stack_.top_fd() < 0) {
                if (int err = stack_.make_room();
                    err != 0 || (err = stack_.reopen_top(done.fd()))) {
                    return err < 0 ? IoError::from_text(std::string(kIdentityChangedDuringRemoval))
                                   : IoError::from_errno(err);
                }
            }
            parent_fd = stack_.top_fd();
        }
        done.close();
        return visitor_.leave_dir(parent_fd, level.name.c_str());
    }

    std::optional<IoError> visit_entry(const dir::Item& entry) {
        const char* name = entry.name.c_str();
        if (entry.type != DT_DIR && entry.type != DT_UNKNOWN) {
            return visitor_.non_dir(stack_.top_fd(), name);
        }
        // A slot for one more descriptor: the listings below may be read into memory for it.
        if (int err = stack_.make_room()) {
            return IoError::from_errno(err);
        }
        const int dir_fd = stack_.top_fd();
        dir::Handle d = stack_.open_at(dir_fd, name);
        if (!d.valid()) {
            int err = errno;
            // Not a directory after all (or swapped for a link since the listing).
            if (err == ENOTDIR || err == ELOOP) {
                return visitor_.non_dir(dir_fd, name);
            }
            return visitor_.open_failed(dir_fd, name, err);
        }
        struct stat st;
        if (::fstat(d.fd(), &st) != 0) {
            return IoError::from_errno(errno);
        }
        // Asked of the open directory: whatever became of the path, its mount is that one.
        auto place = probe_->place(d.fd(), "", identity_of(st).device);
        if (!place) {
            return IoError::from_errno(place.error());
        }
        if (*place != MountPlace::Same) {
            d.close();
            return *place == MountPlace::Other ? visitor_.mount_point(path_of(name))
                                               : IoError::from_text(std::string(kCannotTellMounts));
        }
        return push(std::move(d), st, entry.name);
    }

    // Lets the visitor enter the directory open as `d`, unless protected; it becomes the top.
    std::optional<IoError> push(dir::Handle d, const struct stat& st, std::string name) {
        if (protected_ != nullptr && protected_->holds(identity_of(st))) {
            refused_ = true;
            return IoError::from_text("contains the home directory or one of its ancestors: " +
                                      path::display(stack_.empty() ? root_path_ : path_of(name)));
        }
        if (auto err = visitor_.enter_dir(d.fd(), st)) {
            return err;
        }
        dir::ListingStack::Level level{std::move(name), identity_of(st)};
        if (int err = stack_.push(std::move(d), std::move(level))) {
            return IoError::from_errno(err);
        }
        return std::nullopt;
    }

    TreeVisitor& visitor_;
    dir::ListingStack& stack_;
    int parent_fd_;
    std::string_view root_path_;
    const ProtectedDirs* protected_;
    std::optional<MountProbe> probe_; // of the root's parent, whose mount the root is on
    bool refused_ = true;
};

std::optional<IoError> Walk::run(dir::Handle root, std::string root_name, DirIdentity expected) {
    struct stat st;
    if (::fstat(root.fd(), &st) != 0) {
        return cannot_stat(errno);
    }
    // Checked on the very descriptor the walk goes on with: a mount placed on the target
    // since its validation is refused before anything on it is touched.
    if (auto refusal = mount_refusal(parent_fd_, "", root.fd(), "", root_path_, probe_)) {
        return IoError::from_text(std::move(*refusal));
    }
    if (!S_ISDIR(st.st_mode)) {
        return IoError::from_text(std::string(kNotARealDirectory));
    }
    if (identity_of(st) != expected) {
        return IoError::from_text(std::string(kIdentityChanged));
    }
    refused_ = false;
    if (auto err = push(std::move(root), st, std::move(root_name))) {
        return err;
    }
    dir::Item entry;
    while (!stack_.empty()) {
        if (!stack_.next(entry)) {
            if (auto failed = finish_top()) {
                return failed;
            }
        } else if (entry.err != 0) {
            return IoError::from_errno(entry.err);
        } else if (auto failed = visit_entry(entry)) {
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

// walk_tree, its failure marked refused when nothing inside the directory was visited.
static Result<Ok, WalkFailure> walk_path(std::string_view path, DirIdentity expected,
                                         TreeVisitor& visitor,
                                         const ProtectedDirs* protected_dirs) {
    auto refuse = [](IoError error) { return unexpected(WalkFailure{std::move(error), true}); };
    auto parts = path::components(path);
    auto normal = [](const path::Component& c) { return c.kind == path::ComponentKind::Normal; };
    if (parts.size() < 2 || parts.front().kind != path::ComponentKind::Root ||
        !std::all_of(parts.begin() + 1, parts.end(), normal)) {
        return refuse(cannot_stat(EINVAL));
    }
    // Waited for: the thread that removes holds no other slot.
    dir::ListingStack stack({dir::kFewestKept, kMaxOpenListings + 1, kListingBuffer,
                             dir::ListingStack::LookUp::AsListed});
    dir::Handle dir = stack.open_at(AT_FDCWD, "/", dir::Follow::Yes, dir::Access::Search);
    if (!dir.valid()) {
        return refuse(cannot_stat(errno));
    }
    // Down to the parent without following any link: a component swapped for a link
    // since the validation stops the walk here.
    for (std::size_t i = 1; i + 1 < parts.size(); ++i) {
        std::string name(parts[i].name);
        dir::Handle next =
            stack.open_at(dir.fd(), name.c_str(), dir::Follow::No, dir::Access::Search);
        if (!next.valid()) {
            return refuse(cannot_stat(errno));
        }
        dir = std::move(next);
    }
    std::string name(parts.back().name);
    dir::Handle root = stack.open_at(dir.fd(), name.c_str());
    if (!root.valid()) {
        int err = errno;
        return refuse(err == ENOTDIR || err == ELOOP
                          ? IoError::from_text(std::string(kNotARealDirectory))
                          : cannot_stat(err));
    }
    Walk walk(visitor, stack, dir.fd(), path, protected_dirs);
    if (auto err = walk.run(std::move(root), std::move(name), expected)) {
        return unexpected(WalkFailure{std::move(*err), walk.refused()});
    }
    return Ok{};
}

Result<Ok, IoError> walk_tree(std::string_view path, DirIdentity expected, TreeVisitor& visitor) {
    auto walked = walk_path(path, expected, visitor, nullptr);
    if (!walked) {
        return unexpected(std::move(walked.error().error));
    }
    return Ok{};
}

Result<Ok, WalkFailure> remove_tree(std::string_view path, DirIdentity expected,
                                    const ProtectedDirs& protected_dirs) {
    Remover remover;
    return walk_path(path, expected, remover, &protected_dirs);
}

std::optional<std::string> mount_point_refusal(const std::string& path) {
    std::string dir(path::parent(path).value_or("/"));
    std::optional<MountProbe> probe;
    return mount_refusal(AT_FDCWD, dir.c_str(), AT_FDCWD, path.c_str(), path, probe);
}

} // namespace qb
