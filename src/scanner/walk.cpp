#include "scanner/walk.hpp"

#include "common/dir.hpp"
#include "common/os_error.hpp"
#include "common/paths.hpp"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <fmt/format.h>
#include <sys/stat.h>

namespace qb {
namespace {

// Directories held open at once, as far as the descriptor budget allows; beyond that the
// oldest listing is read into memory and its descriptor serves the next directory.
constexpr std::size_t kMaxOpen = 16;
constexpr std::size_t kListingBuffer = 32 * 1024;

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
        dir::Item item;
        while (!stack_.empty()) {
            if (!stack_.next(item)) {
                stack_.pop();
            } else if (item.err != 0 && item.name.empty()) {
                on_error_(os_error_text(item.err)); // the listing itself failed
            } else if (item.err != 0) {
                on_error_(walk_error_text(child_path(stack_.top().name, item.name), item.err));
            } else if (item.type == DT_DIR) {
                visit_child(item.name);
            }
        }
    }

private:
    // Opens a directory for listing, relative to its parent while the parent is open;
    // on failure an invalid handle with errno set. Call make_room() first.
    dir::Handle open_listing(int parent_fd, const std::string& name, const std::string& path,
                             dir::Follow follow = dir::Follow::No) {
        if (path.size() >= kPathMax) {
            errno = ENAMETOOLONG;
            return dir::Handle();
        }
        return parent_fd >= 0 ? stack_.open_at(parent_fd, name.c_str(), follow)
                              : stack_.open_at(AT_FDCWD, path.c_str(), follow);
    }

    // A slot for one more descriptor. The listing the child opens in is read into memory
    // last, so that the child still opens relative to it.
    void make_room() { (void)stack_.make_room(dir::ListingStack::Spill::TopToo); }

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
            dir::Handle d = open_listing(-1, root, root, dir::Follow::Yes);
            if (!d.valid()) {
                on_error_(walk_error_text(root, errno));
                return false;
            }
            return push(std::move(d), root);
        }
        if (!S_ISDIR(st.st_mode)) {
            return false;
        }
        make_room();
        dir::Handle d = open_listing(-1, root, root);
        int open_err = errno;
        WalkStep step = on_dir_(WalkDir{root, 0, -1, d.fd()});
        return enter(step, std::move(d), open_err, root);
    }

    void visit_child(const std::string& name) {
        make_room();
        std::string path = child_path(stack_.top().name, name);
        const std::size_t depth = stack_.size();
        const int parent_fd = stack_.top_fd();
        dir::Handle d = open_listing(parent_fd, name, path);
        int open_err = errno;
        WalkStep step = on_dir_(WalkDir{path, depth, parent_fd, d.fd()});
        enter(step, std::move(d), open_err, std::move(path));
    }

    // A skipped directory is closed and its open error forgotten; an entered one is
    // either read next or, when it could not be opened, reported as an error now.
    bool enter(WalkStep step, dir::Handle d, int open_err, std::string path) {
        if (step == WalkStep::Skip) {
            return false;
        }
        if (!d.valid()) {
            on_error_(walk_error_text(path, open_err));
            return false;
        }
        return push(std::move(d), std::move(path));
    }

    // Starts reading an open directory; false (after reporting) when it cannot be read.
    bool push(dir::Handle d, std::string path) {
        if (int err = stack_.push(std::move(d), dir::ListingStack::Level{path})) {
            on_error_(walk_error_text(path, err));
            return false;
        }
        return true;
    }

    const WalkDirFn& on_dir_;
    const WalkErrorFn& on_error_;
    // A share of what may be kept, so that measuring running meanwhile keeps some too.
    // One at the least: once the listing is read into memory, the child opened in it takes
    // its slot and opens by path. Each level is named by its full path.
    dir::ListingStack stack_{{1, std::clamp<std::size_t>(dir::keep_capacity() / 4, 2, kMaxOpen),
                              kListingBuffer, dir::ListingStack::LookUp::Types}};
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
