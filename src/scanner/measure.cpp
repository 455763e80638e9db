#include "scanner/measure.hpp"

#include "common/dir.hpp"
#include "common/fs.hpp"
#include "common/mount_id.hpp"
#include "common/paths.hpp"
#include "common/saturating.hpp"
#include "scanner/pool.hpp"
#include "scanner/walk.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <ctime>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>
#include <utility>
#include <vector>

#ifdef __linux__
#include <sys/sysmacros.h>
#endif

namespace qb {
namespace {

constexpr std::uint64_t kNanosPerSecond = 1'000'000'000;

ListedHook& listed_hook() {
    static ListedHook hook;
    return hook;
}

// What measuring needs of one entry, whichever call produced it.
struct EntryStat {
    mode_t mode = 0;
    DirIdentity id;
    std::uint64_t nlink = 0;
    std::uint64_t size = 0;
    std::uint64_t blocks = 0;
    std::int64_t mtime_sec = 0;
    std::int64_t mtime_nsec = 0;
    bool mount_root = false;
    bool mount_root_known = false;
};

#if !(defined(__linux__) && defined(STATX_ATTR_MOUNT_ROOT))
EntryStat from_stat(const struct stat& st) {
    EntryStat e;
    e.mode = st.st_mode;
    e.id = identity_of(st);
    e.nlink = static_cast<std::uint64_t>(st.st_nlink);
    e.size = st.st_size > 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
    e.blocks = st.st_blocks > 0 ? static_cast<std::uint64_t>(st.st_blocks) : 0;
#ifdef __APPLE__
    e.mtime_sec = st.st_mtimespec.tv_sec;
    e.mtime_nsec = st.st_mtimespec.tv_nsec;
#else
    e.mtime_sec = st.st_mtim.tv_sec;
    e.mtime_nsec = st.st_mtim.tv_nsec;
#endif
    return e;
}
#endif

// Stats `name` in `dirfd` (or a path with AT_FDCWD). Links are followed only when
// `follow` is set, which only the root of a walk ever asks for.
bool stat_at(int dirfd, const char* name, bool follow, EntryStat& out) {
#if defined(__linux__) && defined(STATX_ATTR_MOUNT_ROOT)
    struct statx stx;
    int flags = AT_NO_AUTOMOUNT | AT_STATX_SYNC_AS_STAT | (follow ? 0 : AT_SYMLINK_NOFOLLOW);
    unsigned mask =
        STATX_TYPE | STATX_MODE | STATX_NLINK | STATX_INO | STATX_SIZE | STATX_BLOCKS | STATX_MTIME;
    if (::statx(dirfd, name, flags, mask, &stx) != 0) {
        return false;
    }
    out.mode = stx.stx_mode;
    out.id = DirIdentity{makedev(stx.stx_dev_major, stx.stx_dev_minor), stx.stx_ino};
    out.nlink = stx.stx_nlink;
    out.size = stx.stx_size;
    out.blocks = stx.stx_blocks;
    out.mtime_sec = stx.stx_mtime.tv_sec;
    out.mtime_nsec = stx.stx_mtime.tv_nsec;
    out.mount_root_known = (stx.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) != 0 &&
                           mount_answers() == MountAnswers::All;
    out.mount_root = out.mount_root_known && (stx.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0;
    return true;
#else
    struct stat st;
    if (::fstatat(dirfd, name, &st, follow ? 0 : AT_SYMLINK_NOFOLLOW) != 0) {
        return false;
    }
    out = from_stat(st);
    return true;
#endif
}

// One regular file whose (device, inode) may repeat inside the tree.
struct FileRecord {
    DirIdentity id;
    std::uint64_t size;
    std::uint64_t allocated;
};

struct Totals {
    std::uint64_t bytes = 0;
    std::uint64_t allocated = 0;
    std::uint64_t entries = 0;
    std::optional<u128> newest;

    void offer_mtime(std::int64_t sec, std::int64_t nsec) {
        // Normal form first: nanoseconds in [0, 1e9), carried into the seconds.
        if (nsec < 0 || nsec >= static_cast<std::int64_t>(kNanosPerSecond)) {
            std::int64_t carry = nsec / static_cast<std::int64_t>(kNanosPerSecond);
            nsec %= static_cast<std::int64_t>(kNanosPerSecond);
            if (nsec < 0) {
                nsec += static_cast<std::int64_t>(kNanosPerSecond);
                --carry;
            }
            if (__builtin_add_overflow(sec, carry, &sec)) {
                return;
            }
        }
        if (sec < 0) {
            return; // before the epoch
        }
        u128 t = static_cast<u128>(sec) * kNanosPerSecond + static_cast<u128>(nsec);
        if (!newest || t > *newest) {
            newest = t;
        }
    }

    void add(const Totals& o) {
        bytes = sat_add(bytes, o.bytes);
        allocated = sat_add(allocated, o.allocated);
        entries = sat_add(entries, o.entries);
        if (o.newest && (!newest || *o.newest > *newest)) {
            newest = o.newest;
        }
    }
};

// Counts one entry. Regular files that may be linked elsewhere in the tree go to
// `records` instead of the byte sums; every file goes there when `record_all` is set.
// Returns true for a directory.
bool count_entry(const EntryStat& e, bool record_all, Totals& t, std::vector<FileRecord>& records) {
    if (S_ISLNK(e.mode)) {
        return false;
    }
    t.entries = sat_add(t.entries, 1);
    t.offer_mtime(e.mtime_sec, e.mtime_nsec);
    // A block count of 2^55 or more saturates the product by itself.
    std::uint64_t allocated = sat_mul(e.blocks, 512);
    if (S_ISDIR(e.mode)) {
        t.allocated = sat_add(t.allocated, allocated);
        return true;
    }
    if (S_ISREG(e.mode)) {
        if (record_all || e.nlink > 1) {
            records.push_back({e.id, e.size, allocated});
        } else {
            t.bytes = sat_add(t.bytes, e.size);
            t.allocated = sat_add(t.allocated, allocated);
        }
    }
    return false;
}

// A listing is read in batches of this size; a directory with more than one batch has
// its later batches examined as separate jobs, so one huge directory is not one thread's
// work.
constexpr std::size_t kListingBuffer = 32 * 1024;

struct DirNode;

// One hold on a directory's open descriptor; the last hold given back closes it.
class DirHold {
public:
    DirHold() = default;
    explicit DirHold(DirNode& node);
    DirHold(DirHold&& o) noexcept : node_(std::exchange(o.node_, nullptr)) {}
    DirHold& operator=(DirHold&& o) noexcept {
        if (this != &o) {
            give_back();
            node_ = std::exchange(o.node_, nullptr);
        }
        return *this;
    }
    DirHold(const DirHold&) = delete;
    DirHold& operator=(const DirHold&) = delete;
    ~DirHold() { give_back(); }

    bool held() const { return node_ != nullptr; }
    void give_back();

private:
    DirNode* node_ = nullptr;
};

// A directory of the tree. Its descriptor comes with a slot of the process's budget: a
// kept one lets it stay open after its own job, for its children to open relative to it
// and for later batches of its listing; with a brief one it is closed when its job ends,
// and its children open by path, or from it in a descent (see Descent).
struct DirNode {
    std::shared_ptr<DirNode> parent; // kept for the path of a child opened by path
    std::string name;                // empty for the root
    std::size_t path_len = 0;        // length of the path text of this directory
    std::size_t child_sep = 1;       // 0 when the path already ends in "/"
    DirIdentity id;                  // from the parent's listing (the root's own stat), which
                                     // a directory opened by path must still have
    dir::Handle dir;
    bool covered = false;        // listed under another inode: a mount may cover it
    bool children_by_fd = false; // children open relative to dir
    // Holds on dir: the job that lists it, batches waiting to be examined, children not
    // open yet. The last one given back closes it.
    std::atomic<std::size_t> holders{0};
    std::atomic<std::size_t> batches_in_flight{0};
    // On the parent's descriptor, while this directory still opens relative to it.
    DirHold parent_hold;
};

DirHold::DirHold(DirNode& node) : node_(&node) {
    node.holders.fetch_add(1);
}

void DirHold::give_back() {
    if (DirNode* node = std::exchange(node_, nullptr);
        node != nullptr && node->holders.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        node->dir.close();
    }
}

using TreeDone = std::function<void(std::optional<MeasuredDir>)>;

// The report of a measurement, made once: by the job that finishes the tree or, when the
// measurement ends any other way (a job threw, or was never queued), as "nothing
// measured" when the report goes away unmade. Whoever waits for a measurement is never
// left waiting; the exception that cut it short reaches PoolJobs::wait.
class Report {
public:
    explicit Report(TreeDone done) : done_(std::move(done)) {}
    Report(Report&& o) noexcept : done_(std::exchange(o.done_, nullptr)) {}
    Report& operator=(Report&&) = delete;
    Report(const Report&) = delete;
    Report& operator=(const Report&) = delete;
    ~Report() {
        if (done_) {
            try {
                std::exchange(done_, nullptr)(std::nullopt);
            } catch (...) {
                // A second fault on the way out of the first one; that one is reported.
            }
        }
    }

    void operator()(std::optional<MeasuredDir> result) {
        std::exchange(done_, nullptr)(std::move(result));
    }

private:
    TreeDone done_;
};

struct TreeRun {
    TreeRun(PoolJobs& jobs, std::string path, Report report)
        : root_path(std::move(path)), jobs(&jobs), report(std::move(report)) {}

    std::string root_path;
    PoolJobs* jobs;
    bool dir_only = false; // a root that is not a directory is not measured
    bool again = false;    // measured again, every file in the set
    bool record_all = false;
    MeasuredDir result; // the root's identity, then the sums

    std::mutex mu;
    Totals totals;
    std::vector<FileRecord> records;
    std::vector<std::string> shortages; // directories left out for want of a descriptor
    std::optional<std::string> mount_inside;
    std::optional<MountProbe> probe; // only where statx does not mark mount roots

    std::atomic<std::size_t> pending{0}; // jobs of this tree not yet finished
    std::atomic<bool> crossed_mount{false};

    Report report; // last: whatever ends the run, the report is made before the rest goes
};

void start_run(std::shared_ptr<TreeRun> run);

std::string node_path(const DirNode& node, const std::string& root_path) {
    std::vector<const DirNode*> chain;
    for (const DirNode* n = &node; n->parent; n = n->parent.get()) {
        chain.push_back(n);
    }
    std::string path = root_path;
    path.reserve(node.path_len);
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
        if (!path.empty() && path.back() != '/') {
            path.push_back('/');
        }
        path += (*it)->name;
    }
    return path;
}

// A tree measured in part must not pass for a smaller one: a mount not looked up may hide
// anything, so may a part left for want of descriptors or memory (others are left silently).
void note_error(TreeRun& run, const std::string& path, int err) {
    std::lock_guard lock(run.mu);
    run.shortages.push_back(walk_error_text(path, err));
}

void note_if_shortage(TreeRun& run, const std::string& path, int err) {
    if (dir::is_shortage(err) || err == ENOMEM) {
        note_error(run, path, err);
    }
}

// Keeps the least path of the mount points met, in whatever order the jobs meet them.
void note_mount(TreeRun& run, std::string path) {
    std::lock_guard lock(run.mu);
    if (!run.mount_inside || path::compare(path, *run.mount_inside) < 0) {
        run.mount_inside = std::move(path);
    }
}

void finish_run(const std::shared_ptr<TreeRun>& run) {
    if (run->crossed_mount.load() && !run->record_all) {
        // A mount inside the tree can show one file twice with a single link; only the
        // full (device, inode) set counts that right.
        auto again = std::make_shared<TreeRun>(*run->jobs, std::move(run->root_path),
                                               std::move(run->report));
        again->again = true;
        again->record_all = true;
        again->result.identity = run->result.identity;
        again->mount_inside = std::move(run->mount_inside);
        start_run(std::move(again));
        return;
    }
    Totals totals = run->totals;
    auto& records = run->records;
    std::sort(records.begin(), records.end(),
              [](const FileRecord& a, const FileRecord& b) { return a.id < b.id; });
    for (std::size_t i = 0; i < records.size(); ++i) {
        if (i > 0 && records[i].id == records[i - 1].id) {
            continue;
        }
        totals.bytes = sat_add(totals.bytes, records[i].size);
        totals.allocated = sat_add(totals.allocated, records[i].allocated);
    }
    records.clear();
    records.shrink_to_fit();

    TreeStats& stats = run->result.stats;
    stats.newest_mtime_nanos = totals.newest;
    stats.bytes = totals.bytes;
    stats.allocated_bytes = totals.allocated;
    stats.entries = totals.entries;
    if (totals.newest) {
        stats.modified_unix = static_cast<std::uint64_t>(*totals.newest / kNanosPerSecond);
    }
    // Found in whatever order the jobs ran; reported in a fixed one.
    std::sort(run->shortages.begin(), run->shortages.end());
    run->result.errors = std::move(run->shortages);
    run->result.mount_inside = std::move(run->mount_inside);
    run->report(std::move(run->result));
}

// Ends one job of the tree; the last one finishes the measurement. A job that throws
// never gets here, and then the run's report is made when the run goes away.
void end_job(const std::shared_ptr<TreeRun>& run) {
    if (run->pending.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        finish_run(run);
    }
}

// True when `fd` is the directory that the parent's listing showed under this name.
bool same_directory(int fd, const DirNode& node) {
    struct stat st;
    return ::fstat(fd, &st) == 0 && identity_of(st) == node.id;
}

// True when the path of a directory is too long for the system to open: it opens only
// relative to its parent, which must stay open for it.
bool beyond_path_max(std::size_t path_len) {
    return path_len >= kPathMax;
}

// Beyond this, opening by path costs more than the parallel work it allows.
constexpr std::size_t kLongPath = kPathMax / 4;

// What a job measures itself, depth first, below a directory that nothing holds open: the
// subdirectories too deep for a path, and the first with a long one, so that a chain is not
// opened by ever longer paths. With a second slot, each opens from its parent, and a parent
// again through ".." of its child, which must lead to the directory that was listed.
struct Descent {
    dir::Slot spare;
    std::vector<std::shared_ptr<DirNode>> todo;
};

// A directory too deep to open by path, whose parent is not held open for it: opened from
// its nearest ancestor that opens by path, one name at a time, each directory on the way
// checked to be the one that was listed. Its two slots are taken together, the second left
// in `spare`, or not at all (false) when they are not both free now.
bool open_down(DirNode& node, TreeRun& run, dir::Slot& spare) {
    std::vector<dir::Slot> two = dir::Slot::try_brief(2);
    if (two.empty()) {
        return false;
    }
    spare = std::move(two[1]);
    std::vector<const DirNode*> chain{&node};
    while (beyond_path_max(chain.back()->path_len)) {
        chain.push_back(chain.back()->parent.get());
    }
    const std::string top = node_path(*chain.back(), run.root_path);
    dir::Handle at = dir::open_at(AT_FDCWD, top.c_str(), std::move(two[0]));
    if (!at.valid()) {
        note_if_shortage(run, top, errno);
        return true;
    }
    for (std::size_t i = chain.size() - 1; i > 0; --i) {
        if (!same_directory(at.fd(), *chain[i])) {
            return true; // replaced since it was listed: not part of this tree
        }
        dir::Handle next = dir::open_at(at.fd(), chain[i - 1]->name.c_str(), std::move(spare));
        if (!next.valid()) {
            note_if_shortage(run, node_path(*chain[i - 1], run.root_path), errno);
            return true;
        }
        spare = at.release();
        at = std::move(next);
    }
    if (same_directory(at.fd(), node)) {
        node.dir = std::move(at);
    }
    return true;
}

// Opens a directory below the root: relative to its parent while that is held open for it,
// else by path, which must lead to the directory the parent listed, else down from an
// ancestor. False when that needed two slots that only other work can give back.
bool open_node(DirNode& node, TreeRun& run, dir::Slot& spare) {
    const bool deep = beyond_path_max(node.path_len);
    if (deep && !node.parent_hold.held()) {
        return open_down(node, run, spare);
    }
    dir::Slot slot = dir::Slot::take(false);
    if (!slot.held()) {
        if (!deep) {
            node.parent_hold.give_back(); // so that it waits holding nothing
        }
        slot = dir::Slot::take();
    }
    if (node.parent_hold.held()) {
        node.dir = dir::open_at(node.parent->dir.fd(), node.name.c_str(), std::move(slot));
        int err = errno;
        node.parent_hold.give_back();
        if (!node.dir.valid()) {
            note_if_shortage(run, node_path(node, run.root_path), err);
        }
        return true;
    }
    std::string path = node_path(node, run.root_path);
    node.dir = dir::open_at(AT_FDCWD, path.c_str(), std::move(slot));
    if (!node.dir.valid()) {
        note_if_shortage(run, path, errno);
    } else if (!same_directory(node.dir.fd(), node)) {
        node.dir.close(); // replaced since it was listed: not part of this tree
    }
    return true;
}

void process_dir(const std::shared_ptr<TreeRun>& run, const std::shared_ptr<DirNode>& node);

struct Subdir {
    std::string_view name;
    DirIdentity id;
    bool covered; // listed under another inode than its own
};

// Stats one batch of names of the node's directory, adds them to the tree and queues a
// job for every subdirectory. `names` must stay valid during the call only.
void examine_batch(const std::shared_ptr<TreeRun>& run, const std::shared_ptr<DirNode>& node,
                   const std::vector<dir::Entry>& names, Descent* descent = nullptr) {
    Totals local;
    std::vector<FileRecord> records;
    std::vector<Subdir> subdirs;
    std::optional<std::string_view> mount; // the least name of a mount point here
    const int fd = node->dir.fd();
    for (const dir::Entry& name : names) {
        EntryStat e;
        if (!stat_at(fd, name.name, false, e)) {
            if (errno == ENOMEM) {
                note_if_shortage(*run, path::join(node_path(*node, run->root_path), name.view()),
                                 ENOMEM);
            }
            continue;
        }
        if (e.mount_root) {
            run->crossed_mount.store(true);
        }
        if ((e.mount_root || e.id.device != node->id.device) &&
            (!mount || path::compare(name.view(), *mount) < 0)) {
            mount = name.view();
        }
        if (count_entry(e, run->record_all, local, records)) {
            subdirs.push_back(Subdir{name.view(), e.id, name.inode != e.id.inode});
        }
    }
    {
        std::lock_guard lock(run->mu);
        run->totals.add(local);
        run->records.insert(run->records.end(), records.begin(), records.end());
    }
    if (mount) {
        note_mount(*run, path::join(node_path(*node, run->root_path), *mount));
    }
    if (subdirs.empty()) {
        return;
    }
    if (const ListedHook& hook = listed_hook()) {
        hook(node_path(*node, run->root_path));
    }
    run->pending.fetch_add(subdirs.size());
    bool continued = false;
    for (const Subdir& sub : subdirs) {
        auto child = std::make_shared<DirNode>();
        child->parent = node;
        child->path_len = node->path_len + node->child_sep + sub.name.size();
        child->name = std::string(sub.name);
        child->id = sub.id;
        child->covered = sub.covered;
        if (node->children_by_fd) {
            child->parent_hold = DirHold(*node);
        } else if (descent != nullptr && (beyond_path_max(child->path_len) ||
                                          (!continued && child->path_len >= kLongPath))) {
            continued = true;
            descent->todo.push_back(std::move(child));
            continue;
        }
        run->jobs->run([run, child] { process_dir(run, child); });
    }
}

// A later batch of a large directory's listing, waiting for a job of its own. The
// directory stays open for it, and it counts as in flight, until it goes away.
struct Batch {
    explicit Batch(const std::shared_ptr<DirNode>& dir) : node(dir), hold(*dir) {
        node->batches_in_flight.fetch_add(1);
    }
    Batch(const Batch&) = delete;
    Batch& operator=(const Batch&) = delete;
    ~Batch() { node->batches_in_flight.fetch_sub(1); }

    std::shared_ptr<DirNode> node;
    DirHold hold;
    std::string names;             // each one NUL-terminated
    std::vector<std::size_t> ends; // just past each NUL
};

void queue_batch(const std::shared_ptr<TreeRun>& run, const std::shared_ptr<DirNode>& node,
                 const std::vector<dir::Entry>& names) {
    auto batch = std::make_shared<Batch>(node);
    for (const dir::Entry& n : names) {
        batch->names.append(n.name, n.size);
        batch->names.push_back('\0');
        batch->ends.push_back(batch->names.size());
    }
    run->pending.fetch_add(1);
    run->jobs->run([run, batch = std::move(batch)] {
        std::vector<dir::Entry> entries;
        std::size_t start = 0;
        for (std::size_t end : batch->ends) {
            entries.push_back(dir::Entry{batch->names.data() + start, end - start - 1, DT_UNKNOWN});
            start = end;
        }
        examine_batch(run, batch->node, entries);
        batch->hold.give_back();
        end_job(run);
    });
}

// Reads the node's listing in batches (a failure only shortens it), holding the
// descriptor meanwhile.
void read_listing(const std::shared_ptr<TreeRun>& run, const std::shared_ptr<DirNode>& node,
                  Descent* descent = nullptr) {
    thread_local std::unique_ptr<char[]> buf(new char[kListingBuffer]);
    thread_local std::vector<dir::Entry> batch;
    node->children_by_fd = node->dir.kept();
    DirHold hold(*node);
    const std::size_t max_in_flight = 2 * worker_threads();
    dir::Listing listing(node->dir, std::span<char>(buf.get(), kListingBuffer));
    bool first = true;
    while (listing.next_batch(batch)) {
        // Only a kept directory stays open for batches examined later.
        if (first || !node->children_by_fd || node->batches_in_flight.load() >= max_in_flight) {
            examine_batch(run, node, batch, descent);
        } else {
            queue_batch(run, node, batch);
        }
        first = false;
    }
    if (listing.error() != 0) {
        note_if_shortage(*run, node_path(*node, run->root_path), listing.error());
    }
}

// The next directory of a descent from `at`, opened; none at its end. Without a second slot,
// or with a directory on the way up moved since it was listed, the rest are queued instead.
std::shared_ptr<DirNode> go_on(const std::shared_ptr<TreeRun>& run, Descent& d,
                               std::shared_ptr<DirNode>& at, DirHold& held) {
    while (!d.todo.empty()) {
        if (std::vector<dir::Slot> one;
            !d.spare.held() && !(one = dir::Slot::try_brief(1)).empty()) {
            d.spare = std::move(one.front());
        }
        std::shared_ptr<DirNode> next = std::move(d.todo.back());
        d.todo.pop_back();
        while (d.spare.held() && at != next->parent) {
            dir::Handle up = dir::open_at(at->dir.fd(), "..", std::move(d.spare), dir::Follow::Yes);
            if (!up.valid() || !same_directory(up.fd(), *at->parent)) {
                break;
            }
            d.spare = at->dir.release();
            at->parent->dir = std::move(up);
            held = DirHold(*at->parent); // while `at` still holds the node it gives back
            at = std::shared_ptr<DirNode>(at->parent);
        }
        if (!d.spare.held() || at != next->parent) {
            d.todo.push_back(std::move(next));
            for (std::shared_ptr<DirNode>& rest : d.todo) {
                run->jobs->run([run, rest = std::move(rest)] { process_dir(run, rest); });
            }
            d.todo.clear();
            break;
        }
        next->dir = dir::open_at(at->dir.fd(), next->name.c_str(), std::move(d.spare));
        if (next->dir.valid()) {
            d.spare = at->dir.release();
            return next;
        }
        note_if_shortage(*run, node_path(*next, run->root_path), errno);
        end_job(run);
    }
    held.give_back(); // before `at` can go
    return nullptr;
}

void process_dir(const std::shared_ptr<TreeRun>& run, const std::shared_ptr<DirNode>& node) {
    Descent d;
    if (!open_node(*node, *run, d.spare)) {
        run->jobs->run_later([run, node] { process_dir(run, node); });
        return;
    }
    DirHold held; // keeps the directory open past its listing, to go on from
    for (std::shared_ptr<DirNode> at = node; at; at = go_on(run, d, at, held)) {
        // Where statx marks no mount roots, a directory's descriptor is asked its mount: a bind
        // mount keeps the device (none, or no slot free to ask /proc with: it counts as one).
        // Where that reads /proc, only one listed under another inode is: one bound onto itself
        // brings nothing from elsewhere, and the table and the removal meet it.
        if (at->dir.valid() && run->probe && (at->covered || !run->probe->asks_proc())) {
            auto place = run->probe->place(at->dir.fd(), "", at->id.device);
            if (!place && place.error() != ENOENT) {
                note_error(*run, node_path(*at, run->root_path), place.error());
            } else if (place && *place != MountPlace::Same) {
                run->crossed_mount.store(true);
                note_mount(*run, node_path(*at, run->root_path));
            }
        }
        if (at->dir.valid()) {
            held = DirHold(*at);
            read_listing(run, at, &d);
        }
        end_job(run);
    }
}

// Measures from the root entry: `root` is its lstat. A root that is a symbolic link is
// not counted, but a directory behind it is read, as a path-based walk reads it.
void measure_from_root(const std::shared_ptr<TreeRun>& run, const EntryStat& root) {
    // Without a way to see mounts inside the tree, every file goes into the set.
    run->record_all = run->record_all || !root.mount_root_known;

    std::optional<dir::Follow> open_as;
    auto node = std::make_shared<DirNode>();
    node->id = root.id; // its device is what the root's entries are on, unless mounted there
    if (S_ISLNK(root.mode)) {
        EntryStat target;
        if (stat_at(AT_FDCWD, run->root_path.c_str(), true, target) && S_ISDIR(target.mode)) {
            open_as = dir::Follow::Yes;
            node->id = target.id;
        }
    } else {
        std::vector<FileRecord> records;
        bool is_dir = count_entry(root, run->record_all, run->totals, records);
        run->records = std::move(records);
        if (is_dir) {
            open_as = dir::Follow::No;
        }
    }
    run->pending.store(1);
    if (open_as) {
        node->dir = dir::open_at(AT_FDCWD, run->root_path.c_str(), dir::Slot::take(), *open_as);
        if (!node->dir.valid()) {
            note_if_shortage(*run, run->root_path, errno);
        }
    }
    if (node->dir.valid()) {
        node->path_len = run->root_path.size();
        node->child_sep = !run->root_path.empty() && run->root_path.back() == '/' ? 0 : 1;
        read_listing(run, node);
    }
    end_job(run);
}

// The first job of a run: the root's lstat, then the tree.
void measure_root(const std::shared_ptr<TreeRun>& run) {
    EntryStat root;
    if (!stat_at(AT_FDCWD, run->root_path.c_str(), false, root)) {
        // Gone before it was measured again: known, but empty.
        run->report(run->again ? std::optional<MeasuredDir>(run->result) : std::nullopt);
        return;
    }
    if (!run->again) {
        if (run->dir_only && !S_ISDIR(root.mode)) {
            run->report(std::nullopt);
            return;
        }
        run->result.identity = root.id;
    }
    if (!root.mount_root_known) {
        // Here, where the job holds no descriptor slot yet, the probe may be made. Only the
        // table tells a file's mount: what it lists below the root is met too.
        auto probe = MountProbe::of(AT_FDCWD, run->root_path.c_str());
        if (!probe && probe.error() != ENOENT) {
            note_error(*run, run->root_path, probe.error());
        }
        auto canonical = probe ? resolve_canonical(run->root_path) : unexpected(0);
        if (auto below = canonical ? probe->first_below(*canonical) : std::nullopt) {
            note_mount(
                *run, path::join(run->root_path, below->substr(path::join(*canonical, "").size())));
        }
        run->probe = probe ? std::optional(std::move(*probe)) : std::nullopt;
    }
    measure_from_root(run, root);
}

void start_run(std::shared_ptr<TreeRun> run) {
    PoolJobs& jobs = *run->jobs;
    jobs.run([run = std::move(run)] { measure_root(run); });
}

// Runs `start(jobs, done)`, an asynchronous measurement, and waits for what it reports.
template <class T, class Start>
T wait_for(Start start) {
    T result{};
    run_blocking([&] {
        PoolJobs jobs;
        start(jobs, [&result](T r) { result = std::move(r); });
        jobs.wait();
    });
    return result;
}

} // namespace

void set_listed_hook(ListedHook hook) {
    listed_hook() = std::move(hook);
}

bool TreeStats::same_fingerprint(const TreeStats& other) const {
    return newest_mtime_nanos == other.newest_mtime_nanos && bytes == other.bytes &&
           allocated_bytes == other.allocated_bytes && entries == other.entries;
}

std::uint64_t now_unix() {
    struct timespec ts;
    if (::clock_gettime(CLOCK_REALTIME, &ts) != 0 || ts.tv_sec < 0) {
        return 0;
    }
    return static_cast<std::uint64_t>(ts.tv_sec);
}

void measure_tree_async(PoolJobs& jobs, std::string path, std::function<void(TreeStats)> done) {
    start_run(std::make_shared<TreeRun>(
        jobs, std::move(path), Report([done = std::move(done)](std::optional<MeasuredDir> m) {
            done(m ? std::move(m->stats) : TreeStats{});
        })));
}

void measure_dir_async(PoolJobs& jobs, std::string path,
                       std::function<void(std::optional<MeasuredDir>)> done) {
    // A trailing "/" or "/." would make even lstat follow a final link.
    path.resize(path::trim_trailing(path).size());
    auto run = std::make_shared<TreeRun>(jobs, std::move(path), Report(std::move(done)));
    run->dir_only = true;
    start_run(std::move(run));
}

std::optional<Candidate> make_candidate(FoundCache found, const MeasuredDir& measured,
                                        std::uint64_t protect_days, std::uint64_t now_unix) {
    const TreeStats& stats = measured.stats;
    if (stats.bytes < found.min_bytes) {
        return std::nullopt;
    }
    Candidate c;
    c.kind = std::move(found.kind);
    c.ecosystem = std::move(found.ecosystem);
    c.scope = found.scope;
    c.path = std::move(found.path);
    c.bytes = stats.bytes;
    c.allocated_bytes = stats.allocated_bytes;
    c.modified_unix = stats.modified_unix;
    if (stats.modified_unix) {
        c.age_days = sat_sub(now_unix, *stats.modified_unix) / 86'400;
        c.is_protected = *c.age_days < protect_days;
    } else {
        c.is_protected = true; // no time known: nothing says it is old
    }
    c.network_restore = found.network_restore;
    c.cleanable = found.cleanable;
    c.anchor = std::move(found.anchor);
    c.identity = measured.identity;
    c.fingerprint = stats;
    c.mount_inside = measured.mount_inside;
    c.measured_in_part = !measured.errors.empty();
    return c;
}

void measure_candidate_async(PoolJobs& jobs, FoundCache found, std::uint64_t protect_days,
                             std::uint64_t now_unix,
                             std::function<void(std::optional<Candidate>)> done,
                             std::function<void(std::string)> on_error) {
    std::string path = found.path;
    std::shared_ptr<const MeasuredDir> measured_already = std::move(found.measured);
    auto finish = [found = std::move(found), protect_days, now_unix, done = std::move(done),
                   on_error = std::move(on_error)](std::optional<MeasuredDir> measured) mutable {
        if (!measured) {
            done(std::nullopt);
            return;
        }
        if (on_error) {
            try {
                for (std::string& text : measured->errors) {
                    on_error(std::move(text));
                }
            } catch (...) {
                done(std::nullopt); // cut short, but still reported
                throw;
            }
        }
        done(make_candidate(std::move(found), *measured, protect_days, now_unix));
    };
    if (measured_already) {
        finish(*measured_already);
        return;
    }
    measure_dir_async(jobs, std::move(path), std::move(finish));
}

TreeStats measure_tree(const std::string& path) {
    return wait_for<TreeStats>(
        [&](PoolJobs& jobs, auto done) { measure_tree_async(jobs, path, std::move(done)); });
}

std::optional<MeasuredDir> measure_dir(const std::string& path) {
    return wait_for<std::optional<MeasuredDir>>(
        [&](PoolJobs& jobs, auto done) { measure_dir_async(jobs, path, std::move(done)); });
}

std::optional<Candidate> measure_candidate(FoundCache found, std::uint64_t protect_days,
                                           std::uint64_t now_unix) {
    return wait_for<std::optional<Candidate>>([&](PoolJobs& jobs, auto done) {
        measure_candidate_async(jobs, std::move(found), protect_days, now_unix, std::move(done));
    });
}

} // namespace qb
