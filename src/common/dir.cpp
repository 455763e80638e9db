#include "common/dir.hpp"

#include "common/io.hpp"
#include "common/paths.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fmt/format.h>
#include <limits.h>
#include <mutex>
#include <sys/resource.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#ifdef __linux__
#include <sys/syscall.h>
#endif

namespace qb::dir {

// The brief and reserved slots one thread holds, and the kept slots of its walks; only that
// thread touches them.
struct ThreadHolds {
    std::size_t brief = 0;
    std::size_t reserved = 0;
    std::size_t walk_kept = 0;
};

namespace {

constexpr std::size_t kLimitWhenUnknown = 1024;
constexpr std::size_t kLargestLimit = std::size_t{1} << 20;
// Descriptors are counted one by one only where the system does not list them.
constexpr int kMostProbed = 1 << 16;
// More open directories than this gain nothing, nor more reserved descriptors.
constexpr std::size_t kMostSlots = 4096;
constexpr std::size_t kMostReserved = 16;
constexpr std::size_t kOwnBuffer = 8 * 1024;
// A shortage the budget did not foresee is slept on about a second in all.
constexpr unsigned kShortageTries = 10;

#if defined(O_PATH)
constexpr int kSearchOnly = O_PATH; // search permission is enough on the way down
#elif defined(O_SEARCH)
constexpr int kSearchOnly = O_SEARCH;
#else
constexpr int kSearchOnly = O_RDONLY;
#endif

std::size_t open_file_limit() {
    struct rlimit rl;
    if (::getrlimit(RLIMIT_NOFILE, &rl) != 0) {
        return kLimitWhenUnknown;
    }
    if (rl.rlim_cur == RLIM_INFINITY || rl.rlim_cur > kLargestLimit) {
        return kLargestLimit;
    }
    return static_cast<std::size_t>(rl.rlim_cur);
}

// The descriptors open below `limit`: those above it take no number that an open could
// get.
std::size_t open_descriptors_below(std::size_t limit) {
    if (DIR* dir = ::opendir("/dev/fd")) {
        std::size_t count = 0;
        for (errno = 0; const struct dirent* d = ::readdir(dir); errno = 0) {
            char* end = nullptr;
            unsigned long fd = std::strtoul(d->d_name, &end, 10);
            count += end != d->d_name && *end == '\0' && fd < limit &&
                     fd != static_cast<unsigned long>(::dirfd(dir));
        }
        const bool listed = errno == 0;
        ::closedir(dir);
        if (listed) {
            return count;
        }
    }
    std::size_t count = 0;
    const int last = static_cast<int>(std::min<std::size_t>(limit, kMostProbed));
    for (int fd = 0; fd < last; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1) {
            ++count;
        }
    }
    return count;
}

ThreadHolds& this_thread_holds() {
    thread_local ThreadHolds mine;
    return mine;
}

// The waits the budget allows a thread; a forbidden one could hang the process for good.
void check_may_wait(std::string_view what, bool walk) {
    const ThreadHolds& mine = this_thread_holds();
    if (mine.brief > 0 || mine.reserved > 0) {
        fail_internal(
            fmt::format("waited for {} while holding a brief or reserved descriptor slot", what));
    }
    if (walk && mine.walk_kept > 0) {
        fail_internal(
            fmt::format("waited for {} while a walk on this thread holds kept slots", what));
    }
}

// Counts the slots held, the kept ones among them, in one word, so that taking one is one
// step; the reserve is counted apart. Only a full budget makes anyone wait.
class Budget {
public:
    Budget() {
        const std::size_t limit = open_file_limit();
        const std::size_t open = open_descriptors_below(limit);
        free_ = limit > open ? limit - open : 0;
        const std::size_t usable = std::max(free_, kFewestFree);
        reserved_ = std::clamp<std::size_t>(usable / 16, kFewestReserved, kMostReserved);
        capacity_ = std::min(usable - reserved_, kMostSlots);
        keep_ = capacity_ - std::max<std::size_t>(1, capacity_ / 4);
    }

    std::size_t free_at_start() const { return free_; }
    std::size_t keep_capacity() const { return keep_; }
    bool reserve_spares_one() const { return reserved_ > kFewestReserved; }

    bool try_take(std::size_t n, bool keep) {
        const std::uint64_t add = step(n, keep);
        std::uint64_t s = state_.load();
        do {
            if (held(s) + n > capacity_ || (keep && kept(s) + n > keep_)) {
                return false;
            }
        } while (!state_.compare_exchange_weak(s, s + add));
        return true;
    }

    // Waits until `taken()` succeeds. One who waits for any slot is woken per slot returned;
    // while others wait (for several kept or reserved ones), every return wakes everyone.
    template <class Taken>
    void wait_until(Taken taken, bool for_any_one) {
        if (taken()) {
            return;
        }
        std::atomic<int>& count = for_any_one ? any_waiters_ : other_waiters_;
        std::unique_lock lock(mutex_);
        count.fetch_add(1);
        returned_.wait(lock, taken);
        count.fetch_sub(1);
    }

    void give(std::size_t n, bool keep) {
        state_.fetch_sub(step(n, keep));
        wake(n == 1);
    }

    void take_reserved(std::size_t n) {
        if (n > reserved_) {
            fail_internal("asked for more reserved descriptors than the budget ever gives");
        }
        wait_until(
            [&] {
                std::size_t held = reserved_held_.load();
                return held + n <= reserved_ &&
                       reserved_held_.compare_exchange_strong(held, held + n);
            },
            false);
    }

    void give_reserved(std::size_t n) {
        reserved_held_.fetch_sub(n);
        wake(false);
    }

private:
    static std::uint64_t step(std::size_t n, bool keep) {
        return n + (keep ? std::uint64_t{n} << 32 : 0);
    }
    static std::size_t held(std::uint64_t s) { return static_cast<std::size_t>(s & 0xffffffffu); }
    static std::size_t kept(std::uint64_t s) { return static_cast<std::size_t>(s >> 32); }

    void wake(bool one_slot) {
        if (other_waiters_.load() > 0) {
            std::lock_guard lock(mutex_);
            returned_.notify_all();
        } else if (any_waiters_.load() > 0) {
            std::lock_guard lock(mutex_);
            one_slot ? returned_.notify_one() : returned_.notify_all();
        }
    }

    std::size_t free_ = 0;
    std::size_t capacity_ = 0;
    std::size_t keep_ = 0;
    std::size_t reserved_ = 0;
    std::atomic<std::size_t> reserved_held_{0};
    std::atomic<std::uint64_t> state_{0};
    std::atomic<int> any_waiters_{0};
    std::atomic<int> other_waiters_{0};
    std::mutex mutex_;
    std::condition_variable returned_;
};

// Never destroyed: a scan thread that nobody joins may still walk while the process exits.
Budget& budget() {
    static Budget* b = new Budget;
    return *b;
}

// openat(2), tried again while the system is out of descriptors: the caller holds a slot, so
// something outside the budget holds one, which may come back. It sleeps, waiting for no slot.
int open_retrying(int parent, const char* name, int flags, mode_t mode = 0) {
    for (unsigned tries = 0;; ++tries) {
        int fd = ::openat(parent, name, flags, mode);
        if (fd >= 0 || !is_shortage(errno) || tries == kShortageTries) {
            return fd;
        }
        int err = errno;
        std::this_thread::sleep_for(std::chrono::milliseconds(1u << tries));
        errno = err;
    }
}

} // namespace

void raise_open_file_limit() {
    struct rlimit rl;
    if (::getrlimit(RLIMIT_NOFILE, &rl) != 0 || rl.rlim_cur == rl.rlim_max) {
        return;
    }
    struct rlimit raised = rl;
    raised.rlim_cur = rl.rlim_max;
    if (::setrlimit(RLIMIT_NOFILE, &raised) == 0) {
        return;
    }
#ifdef OPEN_MAX
    // Some systems refuse an unlimited soft limit but take their own ceiling.
    if (rl.rlim_cur < OPEN_MAX) {
        raised.rlim_cur = OPEN_MAX;
        (void)::setrlimit(RLIMIT_NOFILE, &raised);
    }
#endif
}

std::size_t size_budget() {
    return budget().free_at_start();
}

std::size_t keep_capacity() {
    return budget().keep_capacity();
}

bool reserve_spares_one() {
    return budget().reserve_spares_one();
}

Slot& Slot::operator=(Slot&& o) noexcept {
    if (this != &o) {
        reset();
        kind_ = std::exchange(o.kind_, Kind::None);
        lender_ = std::exchange(o.lender_, nullptr);
        holds_ = std::exchange(o.holds_, nullptr);
    }
    return *this;
}

Slot Slot::take(bool wait) {
    bool keep = false;
    auto taken = [&keep] {
        keep = budget().try_take(1, true);
        return keep || budget().try_take(1, false);
    };
    if (wait) {
        check_may_wait("a descriptor slot", false);
        budget().wait_until(taken, true);
    } else if (!taken()) {
        return Slot();
    }
    return keep ? Slot(Kind::Kept, nullptr, nullptr) : std::move(held_here(Kind::Brief, 1)[0]);
}

Slot Slot::take_if_allowed() {
    const ThreadHolds& mine = this_thread_holds();
    return take(mine.brief == 0 && mine.reserved == 0);
}

std::vector<Slot> Slot::held_here(Kind kind, std::size_t count) {
    ThreadHolds& mine = this_thread_holds();
    (kind == Kind::Brief ? mine.brief : mine.reserved) += count;
    std::vector<Slot> slots;
    for (std::size_t i = 0; i < count; ++i) {
        slots.push_back(Slot(kind, nullptr, &mine));
    }
    return slots;
}

std::vector<Slot> Slot::try_brief(std::size_t count) {
    return budget().try_take(count, false) ? held_here(Kind::Brief, count) : std::vector<Slot>{};
}

std::vector<Slot> Slot::take_reserved(std::size_t count) {
    check_may_wait("reserved descriptor slots", false);
    budget().take_reserved(count);
    return held_here(Kind::Reserved, count);
}

void Slot::reset() {
    ThreadHolds* holds = std::exchange(holds_, nullptr);
    if (holds != nullptr && holds != &this_thread_holds()) {
        fail_internal("a descriptor slot went back on another thread than the one that took it");
    }
    switch (std::exchange(kind_, Kind::None)) {
    case Kind::None:
        break;
    case Kind::Brief:
        --holds->brief;
        budget().give(1, false);
        break;
    case Kind::Kept:
        budget().give(1, true);
        break;
    case Kind::Lent:
        --std::exchange(lender_, nullptr)->lent_;
        break;
    case Kind::Reserved:
        if (holds != nullptr) {
            --holds->reserved;
        }
        budget().give_reserved(1);
        break;
    }
}

void Slot::untie() {
    if (kind_ == Kind::Reserved && holds_ != nullptr) {
        --std::exchange(holds_, nullptr)->reserved;
    }
}

void KeptSlots::take(std::size_t count) {
    check_may_wait("kept descriptor slots", true);
    if (count_ > 0) {
        fail_internal("a walk that holds kept slots waited for more");
    }
    if (count > budget().keep_capacity()) {
        // Waiting would never end.
        fail_internal("asked for more directory descriptors than the budget ever gives");
    }
    budget().wait_until([count] { return budget().try_take(count, true); }, false);
    count_ += count;
    this_thread_holds().walk_kept += count;
}

bool KeptSlots::try_grow() {
    if (!budget().try_take(1, true)) {
        return false;
    }
    ++count_;
    ++this_thread_holds().walk_kept;
    return true;
}

Slot KeptSlots::lend() {
    if (lent_ == count_) {
        return Slot();
    }
    ++lent_;
    return Slot(Slot::Kind::Lent, this, nullptr);
}

KeptSlots::~KeptSlots() {
    if (lent_ > 0) {
        fail_internal("a directory descriptor outlived the walk that lent it a slot");
    }
    if (count_ > 0) {
        this_thread_holds().walk_kept -= count_;
        budget().give(count_, true);
    }
}

Handle::Handle(Handle&& o) noexcept : fd_(o.fd_), slot_(std::move(o.slot_)) {
    o.fd_ = -1;
#ifndef __linux__
    stream_ = o.stream_;
    o.stream_ = nullptr;
#endif
}

Handle& Handle::operator=(Handle&& o) noexcept {
    if (this != &o) {
        close();
        fd_ = o.fd_;
        o.fd_ = -1;
        slot_ = std::move(o.slot_);
#ifndef __linux__
        stream_ = o.stream_;
        o.stream_ = nullptr;
#endif
    }
    return *this;
}

void Handle::close() {
#ifndef __linux__
    if (stream_ != nullptr) {
        ::closedir(stream_);
        stream_ = nullptr;
        fd_ = -1;
    }
#endif
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
    slot_.reset();
}

Handle open_at(int parent, const char* name, Slot slot, Follow follow, Access access) {
    int flags = (access == Access::List ? O_RDONLY : kSearchOnly) | O_DIRECTORY | O_CLOEXEC |
                (follow == Follow::Yes ? 0 : O_NOFOLLOW);
    int fd = open_retrying(parent, name, flags);
    if (fd < 0) {
        int err = errno;
        slot.reset();
        errno = err;
        return Handle();
    }
    return Handle(fd, std::move(slot));
}

Handle open_briefly(int parent, const char* name, Follow follow) {
    return open_at(parent, name, Slot::take(), follow);
}

HeldFd open_file_at(int parent, const char* name, int flags, Slot slot, mode_t mode) {
    HeldFd held;
    held.fd.reset(open_retrying(parent, name, flags | O_CLOEXEC, mode));
    if (!held.fd.valid()) {
        int err = errno;
        slot.reset();
        errno = err;
        return held;
    }
    held.slot = std::move(slot);
    return held;
}

#ifdef __linux__

Listing::Listing(Handle& dir, std::span<char> buffer) : fd_(dir.fd()), buf_(buffer) {
    if (buf_.empty()) {
        own_.reset(new char[kOwnBuffer]);
        buf_ = std::span<char>(own_.get(), kOwnBuffer);
    }
}

bool Listing::fill() {
    if (ended_) {
        return false;
    }
    long n = ::syscall(SYS_getdents64, fd_, buf_.data(), buf_.size());
    if (n <= 0) {
        error_ = n < 0 ? errno : 0;
        ended_ = true;
        return false;
    }
    pos_ = 0;
    len_ = static_cast<std::size_t>(n);
    return true;
}

bool Listing::next(Entry& out) {
    for (;;) {
        if (pos_ >= len_ && !fill()) {
            return false;
        }
        auto* d = reinterpret_cast<struct dirent64*>(buf_.data() + pos_);
        pos_ += d->d_reclen;
        if (!path::is_dot_or_dotdot(d->d_name)) {
            out = Entry{d->d_name, std::strlen(d->d_name), d->d_type, d->d_ino};
            return true;
        }
    }
}

bool Listing::next_batch(std::vector<Entry>& out) {
    out.clear();
    while (out.empty()) {
        if (pos_ >= len_ && !fill()) {
            return false;
        }
        while (pos_ < len_) {
            auto* d = reinterpret_cast<struct dirent64*>(buf_.data() + pos_);
            pos_ += d->d_reclen;
            if (!path::is_dot_or_dotdot(d->d_name)) {
                out.push_back(Entry{d->d_name, std::strlen(d->d_name), d->d_type, d->d_ino});
            }
        }
    }
    return true;
}

#else

Listing::Listing(Handle& dir, std::span<char>) : stream_(dir.stream_) {
    if (stream_ == nullptr && dir.fd_ >= 0) {
        stream_ = dir.stream_ = ::fdopendir(dir.fd_);
    }
    if (stream_ == nullptr) {
        error_ = errno;
        ended_ = true;
    }
}

bool Listing::next(Entry& out) {
    while (!ended_) {
        errno = 0;
        struct dirent* d = ::readdir(stream_);
        if (d == nullptr) {
            error_ = errno;
            ended_ = true;
            return false;
        }
        if (!path::is_dot_or_dotdot(d->d_name)) {
            out = Entry{d->d_name, std::strlen(d->d_name), d->d_type};
            return true;
        }
    }
    return false;
}

bool Listing::next_batch(std::vector<Entry>& out) {
    constexpr std::size_t kBatch = 256;
    struct Found {
        std::size_t offset;
        std::size_t size;
        unsigned char type;
    };
    std::vector<Found> found;
    names_.clear();
    Entry e;
    while (found.size() < kBatch && next(e)) {
        found.push_back(Found{names_.size(), e.size, e.type});
        names_.append(e.name, e.size + 1);
    }
    out.clear();
    for (const Found& f : found) {
        out.push_back(Entry{names_.data() + f.offset, f.size, f.type});
    }
    return !out.empty();
}

#endif

unsigned char type_of(int dir_fd, const Entry& entry) {
    if (entry.type != DT_UNKNOWN) {
        return entry.type;
    }
    struct stat st;
    if (::fstatat(dir_fd, entry.name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
        return DT_UNKNOWN;
    }
    return IFTODT(st.st_mode);
}

ListingStack::ListingStack(Limits limits) : limits_(limits) {
    slots_.take(limits_.least);
}

int ListingStack::make_room(Spill which) {
    if (slots_.lent() < slots_.size()) {
        return 0;
    }
    if (slots_.size() < limits_.most && slots_.try_grow()) {
        return 0;
    }
    for (std::size_t i = 0; i + 1 < frames_.size(); ++i) {
        if (frames_[i].dir.valid()) {
            return spill(frames_[i]);
        }
    }
    if (which == Spill::TopToo && !frames_.empty() && frames_.back().dir.valid()) {
        return spill(frames_.back());
    }
    return EMFILE;
}

Handle ListingStack::open_at(int parent, const char* name, Follow follow, Access access) {
    Slot slot = slots_.lend();
    if (!slot.held()) {
        errno = EMFILE;
        return Handle();
    }
    return dir::open_at(parent, name, std::move(slot), follow, access);
}

int ListingStack::push(Handle dir, Level level) {
    Frame f;
    f.dir = std::move(dir);
    if (spare_.empty()) {
        f.buf.reset(new char[limits_.buffer]);
    } else {
        f.buf = std::move(spare_.back());
        spare_.pop_back();
    }
    f.listing.emplace(f.dir, std::span<char>(f.buf.get(), limits_.buffer));
    if (int err = f.listing->error(); f.listing->ended() && err != 0) {
        spare_.push_back(std::move(f.buf));
        return err;
    }
    f.level = std::move(level);
    frames_.push_back(std::move(f));
    return 0;
}

// The next item of a listing that is still read from its descriptor.
bool ListingStack::read_item(Frame& f, Item& out) {
    Entry e;
    if (!f.listing->next(e)) {
        out = Item{{}, DT_UNKNOWN, f.listing->error()};
        f.listing.reset();
        return out.err != 0;
    }
    out.name.assign(e.name, e.size);
    out.type = e.type;
    out.err = 0;
    if (limits_.look_up == LookUp::Types && e.type == DT_UNKNOWN) {
        out.type = type_of(f.dir.fd(), e);
        out.err = out.type == DT_UNKNOWN ? errno : 0;
    }
    return true;
}

// Reads the rest of a listing into memory and closes its descriptor.
int ListingStack::spill(Frame& f) {
    Item item;
    while (f.listing && read_item(f, item)) {
        f.items.push_back(std::move(item));
    }
    f.dir.close();
    if (f.buf) {
        spare_.push_back(std::move(f.buf));
    }
    return !f.items.empty() && f.items.back().name.empty() ? f.items.back().err : 0;
}

bool ListingStack::next(Item& out) {
    Frame& f = frames_.back();
    if (f.listing) {
        return read_item(f, out);
    }
    if (f.next < f.items.size()) {
        out = std::move(f.items[f.next++]);
        return true;
    }
    return false;
}

std::pair<Handle, ListingStack::Level> ListingStack::pop() {
    Frame f = std::move(frames_.back());
    frames_.pop_back();
    f.listing.reset();
    if (f.buf) {
        spare_.push_back(std::move(f.buf));
    }
    return {std::move(f.dir), std::move(f.level)};
}

int ListingStack::reopen_top(int child_fd) {
    Frame& f = frames_.back();
    Handle d = open_at(child_fd, "..", Follow::Yes);
    struct stat st;
    if (!d.valid() || ::fstat(d.fd(), &st) != 0) {
        return errno;
    }
    if (identity_of(st) != f.level.id) {
        return -1;
    }
    f.dir = std::move(d);
    return 0;
}

} // namespace qb::dir
