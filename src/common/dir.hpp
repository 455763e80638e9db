#pragma once

// Directories as every walk of the program reads them: an owned descriptor opened without
// following a final link, a listing read in batches with each entry's type, the stack of
// listings one walk holds open, and one budget of the descriptors the process may still
// open, shared by everything that scans, measures or removes, so that nothing fails for
// want of a descriptor that another part holds. Every directory descriptor and every
// marker file read holds a slot of the budget; the few of anything else (a tool's pipes,
// the snapshot file, the account database, the mount table) hold reserved slots.

#include "common/dir_identity.hpp"
#include "common/unique_fd.hpp"

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <dirent.h>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <utility>
#include <vector>

namespace qb::dir {

/// Raises the soft limit on open files to the hard limit. Called once, at start, before
/// the budget is sized.
void raise_open_file_limit();

/// The fewest kept slots: a removal holds the target's parent, the directory it empties
/// and one more.
inline constexpr std::size_t kFewestKept = 3;
/// The fewest reserved slots: the most that one holder takes at once (a tool's two pipes).
inline constexpr std::size_t kFewestReserved = 4;
/// The fewest free descriptors with which every scan, measurement and removal works
/// exactly: the fewest kept slots, one brief slot and the fewest reserved ones.
inline constexpr std::size_t kFewestFree = kFewestKept + 1 + kFewestReserved;

/// Sizes the budget, unless it is sized already, from the descriptors free now: the soft
/// limit on open files less the descriptors open below it. Whatever uses the budget first
/// sizes it, so a caller that opens descriptors for its whole life (a terminal) opens them
/// before. Returns the descriptors that were free when it was sized; below kFewestFree
/// the budget acts as if it had kFewestFree, and callers refuse to work.
std::size_t size_budget();

/// How many directory descriptors may be kept (see Slot) at once; the part of the budget
/// that is never kept serves brief holds.
std::size_t keep_capacity();
/// Whether one reserved slot may be kept for good (the mount table's), the rest still giving
/// the most that one holder takes at once.
bool reserve_spares_one();

/// True for the errors of a process or system out of descriptors.
inline bool is_shortage(int err) {
    return err == EMFILE || err == ENFILE;
}

class KeptSlots;
struct ThreadHolds;

/// One descriptor's share of the budget, given back when its owner drops it. The rules, each
/// checked where a breach could hang the process for good (it then ends as an internal
/// failure, whether or not this wait would have blocked):
/// - take() is how a descriptor is opened: a kept slot when one is free, else a brief one,
///   else it waits for either. Only a thread that holds no brief or reserved slot waits.
/// - brief: its holder uses the descriptor and closes it, waiting for no slot meanwhile.
///   Waiting for one is always safe: kept slots never fill the whole budget, and brief
///   ones always come back.
/// - kept: may stay held while its holder waits for anything, other slots included. Never
///   waited for as such, except by a walk that holds no slot yet (KeptSlots); one lent by
///   a walk's KeptSlots goes back to them, not to the budget.
/// - several brief ones at once, or none, never waited for (try_brief): for a holder of two at
///   a time, who may not wait holding one (a pool job then queues itself again).
/// - reserved: for anything but a directory or a marker file; as many as the holder needs,
///   taken at once by a thread that holds no brief or reserved slot; its holder waits for
///   no other slot.
/// - a brief or reserved slot goes back on the thread that took it, or is untied first.
/// Any holder may sleep while the system itself runs out of descriptors (open_at).
class Slot {
public:
    Slot() = default;
    Slot(Slot&& o) noexcept
        : kind_(std::exchange(o.kind_, Kind::None)), lender_(std::exchange(o.lender_, nullptr)),
          holds_(std::exchange(o.holds_, nullptr)) {}
    Slot& operator=(Slot&& o) noexcept;
    Slot(const Slot&) = delete;
    Slot& operator=(const Slot&) = delete;
    ~Slot() { reset(); }

    /// A kept slot if one is free, else a brief one, else waits for either (with `wait`
    /// false: none held).
    static Slot take(bool wait = true);
    /// take(), waiting only on a thread that may (it holds no brief or reserved slot).
    static Slot take_if_allowed();
    /// `count` brief slots if that many are free now; none otherwise.
    static std::vector<Slot> try_brief(std::size_t count);
    /// Waits until `count` reserved slots are free and takes them at once. A count the
    /// reserve can never give ends the process as an internal failure.
    static std::vector<Slot> take_reserved(std::size_t count);

    bool held() const { return kind_ != Kind::None; }
    bool kept() const { return kind_ == Kind::Kept || kind_ == Kind::Lent; }
    /// Gives the slot back.
    void reset();
    /// Counts a reserved slot as held by no thread from now on: for one handed over to a
    /// thread of its own that waits for no slot.
    void untie();

private:
    friend class KeptSlots;
    enum class Kind : unsigned char { None, Brief, Kept, Lent, Reserved };
    Slot(Kind kind, KeptSlots* lender, ThreadHolds* holds)
        : kind_(kind), lender_(lender), holds_(holds) {}
    // `count` brief or reserved slots, counted as this thread's.
    static std::vector<Slot> held_here(Kind kind, std::size_t count);
    Kind kind_ = Kind::None;
    KeptSlots* lender_ = nullptr;  // for a lent slot
    ThreadHolds* holds_ = nullptr; // the counts of the thread that holds a brief or reserved one
};

/// The kept slots of a walk that holds several directories open on one thread, lent to
/// its descriptors one by one; all given back to the budget when the walk ends. The slots
/// lent out are counted by the descriptors that hold them. A walk lives on one thread.
class KeptSlots {
public:
    KeptSlots() = default;
    KeptSlots(const KeptSlots&) = delete;
    KeptSlots& operator=(const KeptSlots&) = delete;
    /// Every slot lent must have come back.
    ~KeptSlots();

    /// Waits until `count` kept slots are free and takes them at once. Only for a walk
    /// that holds no slot, on a thread that holds no brief slot and no other walk's:
    /// waiting while holding some could hold up the others for good (checked: an internal
    /// failure). A count the budget can never give is one too.
    void take(std::size_t count);
    /// One more kept slot, when one is free now.
    bool try_grow();
    std::size_t size() const { return count_; }
    /// One of them for a descriptor; none held when every one is lent out.
    Slot lend();
    /// How many are lent out.
    std::size_t lent() const { return lent_; }

private:
    friend class Slot;
    std::size_t count_ = 0;
    std::size_t lent_ = 0;
};

enum class Follow : bool { No, Yes };

/// What a directory is opened for: reading its listing, or only reaching what lies below
/// it, for which search permission is enough.
enum class Access : bool { List, Search };

class Handle;

/// Opens `name` in the directory `parent` (AT_FDCWD: `name` is a path) holding `slot`:
/// O_DIRECTORY | O_CLOEXEC and, unless links are followed, O_NOFOLLOW, so a final link
/// fails with ELOOP. While the system refuses for want of descriptors all the same
/// (something outside the budget holds them), it sleeps and tries again, for about a second
/// in all. An invalid handle, with errno set and the slot given back, on failure.
Handle open_at(int parent, const char* name, Slot slot, Follow follow = Follow::No,
               Access access = Access::List);

/// open_at with Slot::take(): for listings that are read and closed at once.
Handle open_briefly(int parent, const char* name, Follow follow = Follow::No);

/// A descriptor of something other than a directory (a marker file, a pipe's end, the
/// snapshot file) with the slot it holds; the descriptor is closed before the slot goes.
struct HeldFd {
    Slot slot;
    UniqueFd fd;
};

/// openat(2) of `name` in `parent` with `flags` (O_CLOEXEC added) and `mode`, holding
/// `slot`, tried again as open_at() tries. An invalid descriptor, with errno set and the
/// slot given back, on failure.
HeldFd open_file_at(int parent, const char* name, int flags, Slot slot, mode_t mode = 0);

/// An owned directory descriptor with the slot of the budget it holds; both are given
/// back when the handle is closed or goes away. Only open_at makes one.
class Handle {
public:
    Handle() = default;
    Handle(Handle&& o) noexcept;
    Handle& operator=(Handle&& o) noexcept;
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    ~Handle() { close(); }

    int fd() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    /// True when it holds a kept slot.
    bool kept() const { return slot_.kept(); }
    void close();
    /// Closes the descriptor and hands over its slot.
    Slot release() {
        Slot slot = std::move(slot_);
        close();
        return slot;
    }

private:
    friend class Listing;
    friend Handle open_at(int, const char*, Slot, Follow, Access);
    Handle(int fd, Slot slot) : fd_(fd), slot_(std::move(slot)) {}
    int fd_ = -1;
    Slot slot_;
#ifndef __linux__
    DIR* stream_ = nullptr; // made for the first listing; owns fd_ from then on
#endif
};

/// One entry of a listing ("." and ".." are never given). `name` is NUL-terminated and
/// valid until the listing reads on.
struct Entry {
    const char* name = nullptr;
    std::size_t size = 0;
    unsigned char type = DT_UNKNOWN; // as the listing gave it
    std::uint64_t inode = 0;         // as the listing gave it; 0 where it gave none
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

/// The type of an entry of the directory open as `dir_fd`: the listing's, or where it
/// gave none, fstatat's without following links. DT_UNKNOWN with errno set when that
/// fails.
unsigned char type_of(int dir_fd, const Entry& entry);

/// One entry of a listing as a ListingStack hands it out. An item with `err` set and no
/// name is the failure of the listing itself, its last item; with a name, the failed
/// lookup of that entry's type (ListingStack::LookUp::Types).
struct Item {
    std::string name;
    unsigned char type = DT_UNKNOWN;
    int err = 0;
};

/// The listings one walk holds open, the outermost first, each with the descriptor of its
/// directory. The descriptors, and any the walk opens through open_at(), hold kept slots of
/// the walk's own: `least` of them waited for at the start (the walk must hold no slot
/// yet), then one more from the budget whenever one is free, up to `most`. Beyond that,
/// make_room() reads the rest of the oldest open listing into memory and closes its
/// descriptor; the items come out in the same order either way. A level read into memory
/// can be opened again from its child through "..", provided it is still the directory
/// it was.
class ListingStack {
public:
    enum class LookUp : bool { AsListed, Types }; // Types: entries without a type are stat'ed
    /// Which open listings make_room() may read into memory: only those below the top, or
    /// the top's too when no other is open.
    enum class Spill : bool { BelowTop, TopToo };
    struct Limits {
        std::size_t least;
        std::size_t most;
        std::size_t buffer; // bytes of one listing buffer
        LookUp look_up;
    };
    /// What a level remembers of its directory: a name of the walk's choosing, and its
    /// identity when it may have to be opened again.
    struct Level {
        std::string name;
        DirIdentity id{};
    };

    explicit ListingStack(Limits limits);
    ListingStack(const ListingStack&) = delete;
    ListingStack& operator=(const ListingStack&) = delete;

    /// Makes sure one more descriptor may be opened. Without a slot to spare, the oldest
    /// open listing that `spill` allows is read into memory and closed. EMFILE when none
    /// could be closed; the errno of a failed read while reading one into memory (that
    /// failure also ends its items).
    int make_room(Spill spill = Spill::BelowTop);
    /// open_at with a slot of the walk, after make_room().
    Handle open_at(int parent, const char* name, Follow follow = Follow::No,
                   Access access = Access::List);
    /// Starts reading `dir` as the new top level. When its listing cannot even start, the
    /// handle is closed and the errno returned; 0 otherwise.
    int push(Handle dir, Level level);
    /// The next item of the top level; false at its end.
    bool next(Item& out);
    /// Removes the top level and hands over its descriptor (invalid when it was closed).
    std::pair<Handle, Level> pop();
    /// Opens the top level again, after it was read into memory, through ".." of its child
    /// `child_fd`: 0, the errno of the failure, or -1 when ".." is another directory now.
    int reopen_top(int child_fd);

    bool empty() const { return frames_.empty(); }
    std::size_t size() const { return frames_.size(); }
    const Level& top() const { return frames_.back().level; }
    const Level& level(std::size_t i) const { return frames_[i].level; }
    /// The top level's descriptor; -1 once its listing was read into memory.
    int top_fd() const { return frames_.back().dir.fd(); }

private:
    struct Frame {
        Handle dir;
        std::unique_ptr<char[]> buf;
        std::optional<Listing> listing; // while it reads from `dir`
        std::vector<Item> items;        // the rest, once read into memory
        std::size_t next = 0;
        Level level;
    };
    bool read_item(Frame& f, Item& out);
    int spill(Frame& f);

    const Limits limits_;
    KeptSlots slots_; // before the frames: their descriptors hold slots lent by it
    std::vector<Frame> frames_;
    std::vector<std::unique_ptr<char[]>> spare_; // listing buffers for reuse
};

} // namespace qb::dir
