#pragma once

// Directories as every walk of the program reads them: an owned descriptor opened without
// following a final link, a listing read in batches with each entry's type, and one budget
// of directory descriptors shared by all walks of the process, so that no walk fails for
// want of a descriptor that another one holds.

#include <cerrno>
#include <cstddef>
#include <dirent.h>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace qb::dir {

/// Raises the soft limit on open files to the hard limit. Called once, at start.
void raise_open_file_limit();

/// How many directory descriptors may be kept (see Slot) at once. The whole budget is the
/// open-file limit less room for everything else (standard streams, pipes to a tool, the
/// snapshot file), fixed at its first use; the part that is never kept serves brief holds.
std::size_t keep_capacity();

/// True for the errors of a process or system out of descriptors.
inline bool is_shortage(int err) {
    return err == EMFILE || err == ENFILE;
}

/// One descriptor's share of the budget, given back when its owner drops it. A slot is
/// either brief or kept:
/// - brief: its holder lists or reads with the descriptor and closes it, waiting for
///   nothing else meanwhile. Waiting for a brief slot is always safe: kept slots never
///   fill the whole budget, and brief ones always come back.
/// - kept: may stay held while its holder waits for other things (a walk's open
///   listings, a directory kept open for its children's sake). It is taken only when one
///   is free, never waited for, except by a walk that holds no slot yet (KeptSlots).
class Slot {
public:
    Slot() = default;
    Slot(Slot&& o) noexcept : kind_(o.kind_) { o.kind_ = Kind::None; }
    Slot& operator=(Slot&& o) noexcept;
    Slot(const Slot&) = delete;
    Slot& operator=(const Slot&) = delete;
    ~Slot() { reset(); }

    /// Waits until a brief slot is free.
    static Slot take_brief();
    /// A brief slot if one is free now; none held otherwise.
    static Slot try_brief();
    /// A kept slot if one is free now; none held otherwise.
    static Slot try_kept();

    bool held() const { return kind_ != Kind::None; }
    bool kept() const { return kind_ == Kind::Kept; }
    /// Gives the slot back.
    void reset();

private:
    enum class Kind : unsigned char { None, Brief, Kept };
    explicit Slot(Kind kind) : kind_(kind) {}
    Kind kind_ = Kind::None;
};

/// The kept slots of a walk that holds several listings open on one thread; all given
/// back when the walk ends.
class KeptSlots {
public:
    KeptSlots() = default;
    KeptSlots(const KeptSlots&) = delete;
    KeptSlots& operator=(const KeptSlots&) = delete;
    ~KeptSlots();

    /// Waits until `count` kept slots are free and takes them at once. Only for a walk
    /// that holds no slot: one that waited while holding some could hold up the others.
    void take(std::size_t count);
    /// One more kept slot, when one is free now.
    bool try_grow();
    std::size_t size() const { return count_; }

private:
    std::size_t count_ = 0;
};

/// An owned directory descriptor, with the slot it holds (if any); both are given back
/// when the handle is closed or goes away.
class Handle {
public:
    Handle() = default;
    explicit Handle(int fd, Slot slot = {}) : fd_(fd), slot_(std::move(slot)) {}
    Handle(Handle&& o) noexcept;
    Handle& operator=(Handle&& o) noexcept;
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    ~Handle() { close(); }

    int fd() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    /// True when it holds a kept slot.
    bool kept() const { return slot_.kept(); }
    /// Holds `slot` for the descriptor from now on.
    void attach(Slot slot) { slot_ = std::move(slot); }
    void close();

private:
    friend class Listing;
    int fd_ = -1;
    Slot slot_;
#ifndef __linux__
    DIR* stream_ = nullptr; // made for the first listing; owns fd_ from then on
#endif
};

enum class Follow : bool { No, Yes };

/// Opens `name` in the directory `parent` (AT_FDCWD: `name` is a path) for listing:
/// O_DIRECTORY | O_CLOEXEC and, unless links are followed, O_NOFOLLOW, so a final link
/// fails with ELOOP. An invalid handle, with errno set, on failure.
Handle open_at(int parent, const char* name, Follow follow = Follow::No);

/// open_at by path.
Handle open(const std::string& path, Follow follow = Follow::No);

/// open_at holding a brief slot, waited for: for listings that are read and closed at once.
Handle open_briefly(int parent, const char* name, Follow follow = Follow::No);

/// One entry of a listing ("." and ".." are never given). `name` is NUL-terminated and
/// valid until the listing reads on.
struct Entry {
    const char* name = nullptr;
    std::size_t size = 0;
    unsigned char type = DT_UNKNOWN; // as the listing gave it
    std::string_view view() const { return {name, size}; }
};

/// The listing of an open directory, read in batches. It reads through the handle's
/// descriptor, which must outlive it.
class Listing {
public:
    /// Listing batches land in `buffer` (on Linux; at least a few hundred bytes), or in
    /// one of the listing's own when none is given.
    explicit Listing(Handle& dir, std::span<char> buffer = {});

    /// The next entry; false at the end, or on an error (then error() tells which).
    bool next(Entry& out);
    /// The entries of the next batch, in listing order; false when none is left.
    bool next_batch(std::vector<Entry>& out);
    /// The errno of a failed read, 0 when none failed.
    int error() const { return error_; }
    /// True once nothing is left to read: at the end, after an error, or (where listings
    /// need a stream of their own) when the listing could not even start.
    bool ended() const { return ended_; }

private:
    int error_ = 0;
    bool ended_ = false;
#ifdef __linux__
    bool fill();

    int fd_;
    std::unique_ptr<char[]> own_;
    std::span<char> buf_;
    std::size_t pos_ = 0;
    std::size_t len_ = 0;
#else
    DIR* stream_;
    std::string names_; // a batch's names, for next_batch
#endif
};

/// Listing buffers of one size, kept for reuse by the walk that owns them, so that a deep
/// walk allocates one per level it ever reached rather than one per directory.
class Buffers {
public:
    explicit Buffers(std::size_t size) : size_(size) {}

    /// A spare buffer, or a new one.
    std::unique_ptr<char[]> take() {
        if (spare_.empty()) {
            return std::unique_ptr<char[]>(new char[size_]);
        }
        std::unique_ptr<char[]> b = std::move(spare_.back());
        spare_.pop_back();
        return b;
    }
    void give(std::unique_ptr<char[]> b) {
        if (b) {
            spare_.push_back(std::move(b));
        }
    }
    std::span<char> view(const std::unique_ptr<char[]>& b) const { return {b.get(), size_}; }

private:
    std::size_t size_;
    std::vector<std::unique_ptr<char[]>> spare_;
};

/// The type of an entry of the directory open as `dir_fd`: the listing's, or where it
/// gave none, fstatat's without following links. DT_UNKNOWN with errno set when that
/// fails.
unsigned char type_of(int dir_fd, const Entry& entry);

} // namespace qb::dir
