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

#ifdef __linux__
#include <sys/syscall.h>
#endif

namespace qb {
namespace {

// Directories held open at once; beyond that the oldest listing is read into memory.
constexpr std::size_t kMaxOpen = 16;
constexpr int kDirFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

enum class ItemKind { End, Error, Dir, Other };

struct Item {
    ItemKind kind = ItemKind::End;
    std::string name; // Dir, Other, and Error when the type lookup of `name` failed
    int err = 0;      // Error
};

constexpr std::size_t kListingBuffer = 32 * 1024;

struct Frame {
    int fd = -1; // -1 once read into `buffered`, or when there is none
    std::string path;
    std::size_t depth = 0;
    std::vector<Item> buffered;
    std::size_t next_buffered = 0;
    bool ended = false;
#ifdef __linux__
    std::vector<char> buf;
    std::size_t pos = 0;
    std::size_t len = 0;
#else
    DIR* dir = nullptr;
#endif
};

// The next name of an open listing with its type from the listing, or none at the end
// (errno set when the listing failed).
const char* next_name(Frame& f, unsigned char& type) {
#ifdef __linux__
    for (;;) {
        if (f.pos >= f.len) {
            long n = ::syscall(SYS_getdents64, f.fd, f.buf.data(), f.buf.size());
            if (n <= 0) {
                errno = n < 0 ? errno : 0;
                return nullptr;
            }
            f.pos = 0;
            f.len = static_cast<std::size_t>(n);
        }
        auto* d = reinterpret_cast<struct dirent64*>(f.buf.data() + f.pos);
        f.pos += d->d_reclen;
        if (!path::is_dot_or_dotdot(d->d_name)) {
            type = d->d_type;
            return d->d_name;
        }
    }
#else
    for (;;) {
        errno = 0;
        struct dirent* d = ::readdir(f.dir);
        if (d == nullptr) {
            return nullptr;
        }
        if (!path::is_dot_or_dotdot(d->d_name)) {
            type = d->d_type;
            return d->d_name;
        }
    }
#endif
}

// The next item of an open listing, its type taken from the listing or, where the file
// system gives none, from fstatat without following links.
Item read_item(Frame& f) {
    unsigned char type = DT_UNKNOWN;
    const char* name = next_name(f, type);
    if (name == nullptr) {
        int err = errno;
        f.ended = true;
        if (err != 0) {
            return Item{ItemKind::Error, {}, err};
        }
        return Item{};
    }
    Item item;
    item.name = name;
    if (type == DT_UNKNOWN) {
        struct stat st;
        if (::fstatat(f.fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
            item.kind = ItemKind::Error;
            item.err = errno;
            return item;
        }
        type = S_ISDIR(st.st_mode) ? DT_DIR : DT_REG;
    }
    item.kind = type == DT_DIR ? ItemKind::Dir : ItemKind::Other;
    return item;
}

Item next_item(Frame& f) {
    if (f.fd >= 0 && !f.ended) {
        return read_item(f);
    }
    if (f.next_buffered < f.buffered.size()) {
        return std::move(f.buffered[f.next_buffered++]);
    }
    return Item{};
}

void close_frame(Frame& f) {
    if (f.fd < 0) {
        return;
    }
#ifdef __linux__
    ::close(f.fd);
#else
    ::closedir(f.dir);
    f.dir = nullptr;
#endif
    f.fd = -1;
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
    close_frame(f);
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

// Opens a directory for listing; on failure returns -1 with errno set.
int open_listing(int parent_fd, const std::string& name, const std::string& path,
                 bool follow = false) {
    if (path.size() >= kPathMax) {
        errno = ENAMETOOLONG;
        return -1;
    }
    int flags = follow ? (kDirFlags & ~O_NOFOLLOW) : kDirFlags;
    return parent_fd >= 0 ? ::openat(parent_fd, name.c_str(), flags) : ::open(path.c_str(), flags);
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
                pop();
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
            int fd = open_listing(-1, root, root, true);
            if (fd < 0) {
                on_error_(walk_error_text(root, errno));
                return false;
            }
            return push(fd, root, 0);
        }
        if (!S_ISDIR(st.st_mode)) {
            return false;
        }
        int fd = open_listing(-1, root, root);
        int open_err = errno;
        WalkStep step = on_dir_(WalkDir{root, 0, -1, fd});
        return enter_or_drop(step, fd, open_err, root, 0);
    }

    void visit_child(const std::string& name) {
        make_room();
        Frame& top = stack_.back();
        std::string path = child_path(top.path, name);
        std::size_t depth = top.depth + 1;
        int parent_fd = top.fd;
        int fd = open_listing(parent_fd, name, path);
        int open_err = errno;
        WalkStep step = on_dir_(WalkDir{path, depth, parent_fd, fd});
        enter_or_drop(step, fd, open_err, std::move(path), depth);
    }

    // A skipped directory is closed and its open error forgotten; an entered one is
    // either read next or, when it could not be opened, reported as an error now.
    bool enter_or_drop(WalkStep step, int fd, int open_err, std::string path, std::size_t depth) {
        if (step == WalkStep::Skip) {
            if (fd >= 0) {
                ::close(fd);
            }
            return false;
        }
        if (fd < 0) {
            on_error_(walk_error_text(path, open_err));
            return false;
        }
        return push(fd, std::move(path), depth);
    }

    // Starts reading an open directory; false (after reporting) when it cannot be read.
    bool push(int fd, std::string path, std::size_t depth) {
        Frame f;
        f.path = std::move(path);
        f.depth = depth;
#ifdef __linux__
        f.fd = fd;
        if (!spare_buffers_.empty()) {
            f.buf = std::move(spare_buffers_.back());
            spare_buffers_.pop_back();
        } else {
            f.buf.resize(kListingBuffer);
        }
#else
        f.dir = ::fdopendir(fd);
        if (f.dir == nullptr) {
            on_error_(walk_error_text(f.path, errno));
            ::close(fd);
            return false;
        }
        f.fd = fd;
#endif
        stack_.push_back(std::move(f));
        return true;
    }

    void pop() {
        Frame& f = stack_.back();
        close_frame(f);
#ifdef __linux__
        if (!f.buf.empty()) {
            spare_buffers_.push_back(std::move(f.buf));
        }
#endif
        stack_.pop_back();
    }

    // Keeps the open listings below the limit before one more is opened.
    void make_room() {
        std::size_t open = 0;
        for (const auto& f : stack_) {
            open += f.fd >= 0 ? 1 : 0;
        }
        if (open + 1 <= kMaxOpen) {
            return;
        }
        for (auto& f : stack_) {
            if (f.fd >= 0) {
                buffer_listing(f);
                return;
            }
        }
    }

    const WalkDirFn& on_dir_;
    const WalkErrorFn& on_error_;
    std::vector<Frame> stack_;
#ifdef __linux__
    std::vector<std::vector<char>> spare_buffers_;
#endif
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
