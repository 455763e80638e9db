#include "scanner/walk.hpp"

#include "common/os_error.hpp"
#include "common/paths.hpp"

#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <fmt/format.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace qb {
namespace {

// Path-based calls fail with ENAMETOOLONG from this length on; the walk reports the
// same error there instead of quietly reading on through descriptors.
constexpr std::size_t kPathMax = 4096;
// Directories held open at once; beyond that the oldest listing is read into memory.
constexpr std::size_t kMaxOpen = 16;
constexpr int kDirFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

enum class ItemKind { End, Error, Dir, Other };

struct Item {
    ItemKind kind = ItemKind::End;
    std::string name; // Dir, Other, and Error when the type lookup of `name` failed
    int err = 0;      // Error
};

struct Frame {
    DIR* dir = nullptr; // null once read into `buffered`, or after the listing ended
    std::string path;
    std::size_t depth = 0;
    std::vector<Item> buffered;
    std::size_t next_buffered = 0;
    bool ended = false;

    int fd() const { return dir != nullptr ? ::dirfd(dir) : -1; }
};

bool is_dot_or_dotdot(const char* n) {
    return n[0] == '.' && (n[1] == '\0' || (n[1] == '.' && n[2] == '\0'));
}

// The next item of an open listing, its type taken from the listing or, where the file
// system gives none, from fstatat without following links.
Item read_item(Frame& f) {
    for (;;) {
        errno = 0;
        struct dirent* d = ::readdir(f.dir);
        if (d == nullptr) {
            int err = errno;
            f.ended = true;
            if (err != 0) {
                return Item{ItemKind::Error, {}, err};
            }
            return Item{};
        }
        if (is_dot_or_dotdot(d->d_name)) {
            continue;
        }
        Item item;
        item.name = d->d_name;
        unsigned char type = d->d_type;
        if (type == DT_UNKNOWN) {
            struct stat st;
            if (::fstatat(::dirfd(f.dir), d->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
                item.kind = ItemKind::Error;
                item.err = errno;
                return item;
            }
            type = S_ISDIR(st.st_mode) ? DT_DIR : DT_REG;
        }
        item.kind = type == DT_DIR ? ItemKind::Dir : ItemKind::Other;
        return item;
    }
}

Item next_item(Frame& f) {
    if (f.dir != nullptr && !f.ended) {
        return read_item(f);
    }
    if (f.next_buffered < f.buffered.size()) {
        return std::move(f.buffered[f.next_buffered++]);
    }
    return Item{};
}

// Reads the rest of an open listing into memory and closes it.
void buffer_listing(Frame& f) {
    while (!f.ended) {
        Item item = read_item(f);
        if (item.kind == ItemKind::End) {
            break;
        }
        f.buffered.push_back(std::move(item));
    }
    ::closedir(f.dir);
    f.dir = nullptr;
}

void close_frame(Frame& f) {
    if (f.dir != nullptr) {
        ::closedir(f.dir);
        f.dir = nullptr;
    }
}

std::string child_path(const std::string& parent, std::string_view name) {
    std::string p;
    p.reserve(parent.size() + 1 + name.size());
    p = parent;
    if (!p.empty() && p.back() != '/') {
        p.push_back('/');
    }
    p.append(name);
    return p;
}

// Opens a directory for listing; on failure returns null with errno set.
DIR* open_listing(int parent_fd, const std::string& name, const std::string& path,
                  bool follow = false) {
    if (path.size() >= kPathMax) {
        errno = ENAMETOOLONG;
        return nullptr;
    }
    int flags = follow ? (kDirFlags & ~O_NOFOLLOW) : kDirFlags;
    int fd =
        parent_fd >= 0 ? ::openat(parent_fd, name.c_str(), flags) : ::open(path.c_str(), flags);
    if (fd < 0) {
        return nullptr;
    }
    DIR* dir = ::fdopendir(fd);
    if (dir == nullptr) {
        int err = errno;
        ::close(fd);
        errno = err;
    }
    return dir;
}

class Walker {
public:
    Walker(const WalkDirFn& on_dir, const WalkErrorFn& on_error)
        : on_dir_(on_dir), on_error_(on_error) {}

    ~Walker() {
        for (auto& f : stack_) {
            close_frame(f);
        }
    }
    Walker(const Walker&) = delete;
    Walker& operator=(const Walker&) = delete;

    void run(const std::string& root) {
        if (!visit_root(root)) {
            return;
        }
        while (!stack_.empty()) {
            Item item = next_item(stack_.back());
            switch (item.kind) {
            case ItemKind::End:
                close_frame(stack_.back());
                stack_.pop_back();
                break;
            case ItemKind::Error:
                if (item.name.empty()) {
                    on_error_(os_error_text(item.err)); // the listing itself failed
                } else {
                    on_error_(walk_error_text(child_path(stack_.back().path, item.name), item.err));
                }
                break;
            case ItemKind::Other:
                break;
            case ItemKind::Dir:
                visit_child(item.name);
                break;
            }
        }
    }

private:
    // Handles the root entry; false when there is nothing to read below it.
    bool visit_root(const std::string& root) {
        struct stat st;
        if (::lstat(root.c_str(), &st) != 0) {
            on_error_(walk_error_text(root, errno));
            return false;
        }
        if (S_ISLNK(st.st_mode)) {
            // A root given as a link is read through it, but is itself no directory entry.
            struct stat target;
            if (::stat(root.c_str(), &target) != 0) {
                on_error_(walk_error_text(root, errno));
                return false;
            }
            if (!S_ISDIR(target.st_mode)) {
                return false;
            }
            DIR* dir = open_listing(-1, root, root, true);
            if (dir == nullptr) {
                on_error_(walk_error_text(root, errno));
                return false;
            }
            push(dir, root, 0);
            return true;
        }
        if (!S_ISDIR(st.st_mode)) {
            return false;
        }
        DIR* dir = open_listing(-1, root, root);
        int open_err = errno;
        WalkStep step = on_dir_(WalkDir{root, 0, -1, dir != nullptr ? ::dirfd(dir) : -1});
        return enter_or_drop(step, dir, open_err, root, 0);
    }

    void visit_child(const std::string& name) {
        make_room();
        Frame& top = stack_.back();
        std::string path = child_path(top.path, name);
        std::size_t depth = top.depth + 1;
        int parent_fd = top.fd();
        DIR* dir = open_listing(parent_fd, name, path);
        int open_err = errno;
        WalkStep step =
            on_dir_(WalkDir{path, depth, parent_fd, dir != nullptr ? ::dirfd(dir) : -1});
        enter_or_drop(step, dir, open_err, std::move(path), depth);
    }

    // A skipped directory is closed and its open error forgotten; an entered one is
    // either read next or, when it could not be opened, reported as an error now.
    bool enter_or_drop(WalkStep step, DIR* dir, int open_err, std::string path, std::size_t depth) {
        if (step == WalkStep::Skip) {
            if (dir != nullptr) {
                ::closedir(dir);
            }
            return false;
        }
        if (dir == nullptr) {
            on_error_(walk_error_text(path, open_err));
            return false;
        }
        push(dir, std::move(path), depth);
        return true;
    }

    void push(DIR* dir, std::string path, std::size_t depth) {
        Frame f;
        f.dir = dir;
        f.path = std::move(path);
        f.depth = depth;
        stack_.push_back(std::move(f));
    }

    // Keeps the open listings below the limit before one more is opened.
    void make_room() {
        std::size_t open = 0;
        for (const auto& f : stack_) {
            open += f.dir != nullptr ? 1 : 0;
        }
        if (open + 1 <= kMaxOpen) {
            return;
        }
        for (auto& f : stack_) {
            if (f.dir != nullptr) {
                buffer_listing(f);
                return;
            }
        }
    }

    const WalkDirFn& on_dir_;
    const WalkErrorFn& on_error_;
    std::vector<Frame> stack_;
};

} // namespace

std::string walk_error_text(std::string_view path, int errnum) {
    return fmt::format("IO error for operation on {}: {}", path::display(path),
                       os_error_text(errnum));
}

void walk_directories(const std::string& root, const WalkDirFn& on_dir,
                      const WalkErrorFn& on_error) {
    Walker walker(on_dir, on_error);
    walker.run(root);
}

} // namespace qb
