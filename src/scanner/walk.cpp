#include "scanner/walk.hpp"

#include "common/dir.hpp"
#include "common/os_error.hpp"
#include "common/paths.hpp"

#include <algorithm>
#include <cerrno>
#include <fmt/format.h>
#include <memory>
#include <optional>
#include <sys/stat.h>
#include <vector>

namespace qb {
namespace {

// Directories held open at once, as far as the descriptor budget allows; beyond that the
// oldest listing is read into memory and its descriptor serves the next directory.
constexpr std::size_t kMaxOpen = 16;
constexpr std::size_t kListingBuffer = 32 * 1024;

enum class ItemKind { End, Error, Dir, Other };

struct Item {
    ItemKind kind = ItemKind::End;
    std::string name; // Dir, Other, and Error when the type lookup of `name` failed
    int err = 0;      // Error
};

struct Frame {
    dir::Handle dir; // closed once its listing is read into `buffered`
    std::unique_ptr<char[]> buf;
    std::optional<dir::Listing> listing;
    std::string path;
    std::size_t depth = 0;
    std::vector<Item> buffered;
    std::size_t next_buffered = 0;
    bool ended = false;
};

// The next item of an open listing, its type taken from the listing or, where the file
// system gives none, from fstatat without following links.
Item read_item(Frame& f) {
    dir::Entry e;
    if (!f.listing->next(e)) {
        f.ended = true;
        if (int err = f.listing->error(); err != 0) {
            return Item{ItemKind::Error, {}, err};
        }
        return Item{};
    }
    Item item;
    item.name = e.view();
    unsigned char type = dir::type_of(f.dir.fd(), e);
    if (type == DT_UNKNOWN) {
        item.kind = ItemKind::Error;
        item.err = errno;
        return item;
    }
    item.kind = type == DT_DIR ? ItemKind::Dir : ItemKind::Other;
    return item;
}

Item next_item(Frame& f) {
    if (f.dir.valid() && !f.ended) {
        return read_item(f);
    }
    if (f.next_buffered < f.buffered.size()) {
        return std::move(f.buffered[f.next_buffered++]);
    }
    return Item{};
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

// Opens a directory for listing; on failure an invalid handle with errno set.
dir::Handle open_listing(int parent_fd, const std::string& name, const std::string& path,
                         dir::Follow follow = dir::Follow::No) {
    if (path.size() >= kPathMax) {
        errno = ENAMETOOLONG;
        return dir::Handle();
    }
    return parent_fd >= 0 ? dir::open_at(parent_fd, name.c_str(), follow) : dir::open(path, follow);
}

class Walker {
public:
    Walker(const WalkDirFn& on_dir, const WalkErrorFn& on_error)
        : on_dir_(on_dir), on_error_(on_error) {}

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
            make_room();
            dir::Handle d = opened(open_listing(-1, root, root, dir::Follow::Yes));
            if (!d.valid()) {
                on_error_(walk_error_text(root, errno));
                return false;
            }
            return push(std::move(d), root, 0);
        }
        if (!S_ISDIR(st.st_mode)) {
            return false;
        }
        make_room();
        dir::Handle d = opened(open_listing(-1, root, root));
        int open_err = errno;
        WalkStep step = on_dir_(WalkDir{root, 0, -1, d.fd()});
        return enter_or_drop(step, std::move(d), open_err, root, 0);
    }

    void visit_child(const std::string& name) {
        make_room();
        Frame& top = stack_.back();
        std::string path = child_path(top.path, name);
        std::size_t depth = top.depth + 1;
        int parent_fd = top.dir.fd();
        dir::Handle d = opened(open_listing(parent_fd, name, path));
        int open_err = errno;
        WalkStep step = on_dir_(WalkDir{path, depth, parent_fd, d.fd()});
        enter_or_drop(step, std::move(d), open_err, std::move(path), depth);
    }

    // A skipped directory is closed and its open error forgotten; an entered one is
    // either read next or, when it could not be opened, reported as an error now.
    bool enter_or_drop(WalkStep step, dir::Handle d, int open_err, std::string path,
                       std::size_t depth) {
        if (step == WalkStep::Skip) {
            close(d);
            return false;
        }
        if (!d.valid()) {
            on_error_(walk_error_text(path, open_err));
            return false;
        }
        return push(std::move(d), std::move(path), depth);
    }

    // Starts reading an open directory; false (after reporting) when it cannot be read.
    bool push(dir::Handle d, std::string path, std::size_t depth) {
        Frame f;
        f.dir = std::move(d);
        f.path = std::move(path);
        f.depth = depth;
        f.buf = buffers_.take();
        f.listing.emplace(f.dir, buffers_.view(f.buf));
        if (f.listing->ended()) { // the listing could not even start
            on_error_(walk_error_text(f.path, f.listing->error()));
            close(f.dir);
            return false;
        }
        stack_.push_back(std::move(f));
        return true;
    }

    void pop() {
        Frame& f = stack_.back();
        close(f.dir);
        buffers_.give(std::move(f.buf));
        stack_.pop_back();
    }

    // Counts a descriptor just opened; errno is left as the open left it.
    dir::Handle opened(dir::Handle d) {
        open_ += d.valid() ? 1 : 0;
        return d;
    }

    // Closes a descriptor. Its slot stays with the walk until it ends: few, and taking
    // and giving them back for every directory would only load the shared count.
    void close(dir::Handle& d) {
        if (d.valid()) {
            d.close();
            --open_;
        }
    }

    // Reads the rest of a listing into memory and closes it.
    void buffer_listing(Frame& f) {
        while (!f.ended) {
            Item item = read_item(f);
            if (item.kind == ItemKind::End) {
                break;
            }
            f.buffered.push_back(std::move(item));
        }
        f.listing.reset();
        close(f.dir);
    }

    // Makes sure a slot is free for one more descriptor before it is opened: a new one
    // from the budget when it has one to spare, else the one of the oldest listing, which
    // is read into memory. The listing the child opens in goes last, so that the child is
    // opened relative to it rather than by path. Only a walk that holds nothing yet waits.
    void make_room() {
        if (open_ < slots_.size()) {
            return;
        }
        if (slots_.size() == 0) {
            slots_.take(1);
            return;
        }
        if (slots_.size() < most_ && slots_.try_grow()) {
            return;
        }
        for (std::size_t i = 0; i + 1 < stack_.size(); ++i) {
            if (stack_[i].dir.valid()) {
                buffer_listing(stack_[i]);
                return;
            }
        }
        if (!stack_.empty() && stack_.back().dir.valid()) {
            buffer_listing(stack_.back());
        }
    }

    const WalkDirFn& on_dir_;
    const WalkErrorFn& on_error_;
    // A share of what may be kept, so that measuring running meanwhile keeps some too.
    // Two at the least: a listing and the child opened in it.
    const std::size_t most_ = std::clamp<std::size_t>(dir::keep_capacity() / 4, 2, kMaxOpen);
    dir::KeptSlots slots_; // at least as many as the descriptors open
    std::size_t open_ = 0; // descriptors open: listings, and a directory being visited
    std::vector<Frame> stack_;
    dir::Buffers buffers_{kListingBuffer};
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
