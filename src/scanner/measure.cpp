#include "common/paths.hpp"
#include "common/saturating.hpp"
#include "scanner/candidate.hpp"
#include "scanner/pool.hpp"
#include "scanner/walk.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>
#include <vector>

#ifdef __linux__
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#endif

namespace qb {
namespace {

constexpr std::uint64_t kNanosPerSecond = 1'000'000'000;
constexpr int kDirFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

// What measuring needs of one entry, whichever call produced it.
struct EntryStat {
    mode_t mode = 0;
    std::uint64_t dev = 0;
    std::uint64_t ino = 0;
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
    e.dev = static_cast<std::uint64_t>(st.st_dev);
    e.ino = static_cast<std::uint64_t>(st.st_ino);
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
    out.dev = makedev(stx.stx_dev_major, stx.stx_dev_minor);
    out.ino = stx.stx_ino;
    out.nlink = stx.stx_nlink;
    out.size = stx.stx_size;
    out.blocks = stx.stx_blocks;
    out.mtime_sec = stx.stx_mtime.tv_sec;
    out.mtime_nsec = stx.stx_mtime.tv_nsec;
    out.mount_root_known = (stx.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) != 0;
    out.mount_root = (stx.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0;
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
    std::uint64_t dev;
    std::uint64_t ino;
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
            records.push_back({e.dev, e.ino, e.size, allocated});
        } else {
            t.bytes = sat_add(t.bytes, e.size);
            t.allocated = sat_add(t.allocated, allocated);
        }
    }
    return false;
}

// Directory descriptors held open so that children open relative to them, shared by
// every measurement in the process. Past the budget, children are opened by path.
std::atomic<long> g_kept_fds{0};

long kept_fd_budget() {
    static const long budget = [] {
        struct rlimit rl;
        long soft = 1024;
        if (::getrlimit(RLIMIT_NOFILE, &rl) == 0) {
            soft = rl.rlim_cur == RLIM_INFINITY ? (1L << 20) : static_cast<long>(rl.rlim_cur);
        }
        return std::clamp(soft / 4, 8L, 1024L);
    }();
    return budget;
}

// A listing is read in batches of this size; a directory with more than one batch has
// its later batches examined as separate jobs, so one huge directory is not one thread's
// work.
constexpr std::size_t kListingBuffer = 32 * 1024;

struct DirNode {
    std::shared_ptr<DirNode> parent; // kept for the path of a child opened by path
    std::string name;                // empty for the root
    std::size_t path_len = 0;        // length of the path text of this directory
    std::size_t child_sep = 1;       // 0 when the path already ends in "/"
    int fd = -1;
    bool kept = false;           // counted in g_kept_fds
    bool children_by_fd = false; // children open relative to fd
    // Jobs and unopened children that still need fd; the last one closes it.
    std::atomic<std::size_t> holders{0};
    std::atomic<std::size_t> batches_in_flight{0};
};

struct TreeRun {
    std::string root_path;
    bool record_all = false;
    PoolJobs* jobs = nullptr;
    std::function<void(TreeStats)> done;

    std::mutex mu;
    Totals totals;
    std::vector<FileRecord> records;

    std::atomic<std::size_t> pending{0}; // jobs of this tree not yet finished
    std::atomic<bool> crossed_mount{false};
};

void start_run(PoolJobs& jobs, std::string path, bool record_all,
               std::function<void(TreeStats)> done);

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

void finish_run(const std::shared_ptr<TreeRun>& run) {
    if (run->crossed_mount.load() && !run->record_all) {
        // A mount inside the tree can show one file twice with a single link; only the
        // full (device, inode) set counts that right.
        start_run(*run->jobs, std::move(run->root_path), true, std::move(run->done));
        return;
    }
    Totals totals = run->totals;
    auto& records = run->records;
    std::sort(records.begin(), records.end(), [](const FileRecord& a, const FileRecord& b) {
        return a.dev != b.dev ? a.dev < b.dev : a.ino < b.ino;
    });
    for (std::size_t i = 0; i < records.size(); ++i) {
        if (i > 0 && records[i].dev == records[i - 1].dev && records[i].ino == records[i - 1].ino) {
            continue;
        }
        totals.bytes = sat_add(totals.bytes, records[i].size);
        totals.allocated = sat_add(totals.allocated, records[i].allocated);
    }
    records.clear();
    records.shrink_to_fit();

    TreeStats stats;
    stats.newest_mtime_nanos = totals.newest;
    stats.bytes = totals.bytes;
    stats.allocated_bytes = totals.allocated;
    stats.entries = totals.entries;
    if (totals.newest) {
        stats.modified_unix = static_cast<std::uint64_t>(*totals.newest / kNanosPerSecond);
    }
    auto done = std::move(run->done);
    done(std::move(stats));
}

// Ends one job of the tree; the last one finishes the measurement.
void end_job(const std::shared_ptr<TreeRun>& run) {
    if (run->pending.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        finish_run(run);
    }
}

// Drops one hold on the node's descriptor; the last hold closes it.
void release(DirNode& node) {
    if (node.holders.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        ::close(node.fd);
        if (node.kept) {
            g_kept_fds.fetch_sub(1);
        }
    }
}

void open_node(DirNode& node, const TreeRun& run) {
    DirNode* parent = node.parent.get();
    if (parent == nullptr) {
        return; // the root is opened before its job starts
    }
    if (parent->children_by_fd) {
        node.fd = ::openat(parent->fd, node.name.c_str(), kDirFlags);
        release(*parent);
    } else {
        node.fd = ::open(node_path(node, run.root_path).c_str(), kDirFlags);
    }
}

void process_dir(const std::shared_ptr<TreeRun>& run, const std::shared_ptr<DirNode>& node);

// Stats one batch of names of the node's directory, adds them to the tree and queues a
// job for every subdirectory. `names` must stay valid during the call only.
void examine_batch(const std::shared_ptr<TreeRun>& run, const std::shared_ptr<DirNode>& node,
                   const std::vector<std::string_view>& names) {
    Totals local;
    std::vector<FileRecord> records;
    std::vector<std::string_view> subdirs;
    bool crossed = false;
    for (std::string_view name : names) {
        // Past the system's path length a path-based walk can neither stat nor list.
        if (node->path_len + node->child_sep + name.size() >= kPathMax) {
            continue;
        }
        EntryStat e;
        if (!stat_at(node->fd, name.data(), false, e)) {
            continue;
        }
        crossed = crossed || e.mount_root;
        if (count_entry(e, run->record_all, local, records)) {
            subdirs.push_back(name);
        }
    }
    {
        std::lock_guard lock(run->mu);
        run->totals.add(local);
        run->records.insert(run->records.end(), records.begin(), records.end());
    }
    if (crossed) {
        run->crossed_mount.store(true);
    }
    if (subdirs.empty()) {
        return;
    }
    if (node->children_by_fd) {
        node->holders.fetch_add(subdirs.size());
    }
    run->pending.fetch_add(subdirs.size());
    for (std::string_view name : subdirs) {
        auto child = std::make_shared<DirNode>();
        child->parent = node;
        child->path_len = node->path_len + node->child_sep + name.size();
        child->name = std::string(name);
        run->jobs->run([run, child] { process_dir(run, child); });
    }
}

// A later batch of a large directory, examined by a job of its own.
void queue_batch(const std::shared_ptr<TreeRun>& run, const std::shared_ptr<DirNode>& node,
                 const std::vector<std::string_view>& names) {
    auto blob = std::make_shared<std::string>();
    std::vector<std::size_t> ends;
    for (std::string_view n : names) {
        blob->append(n);
        blob->push_back('\0');
        ends.push_back(blob->size());
    }
    node->holders.fetch_add(1);
    node->batches_in_flight.fetch_add(1);
    run->pending.fetch_add(1);
    run->jobs->run([run, node, blob, ends = std::move(ends)] {
        std::vector<std::string_view> batch;
        std::size_t start = 0;
        for (std::size_t end : ends) {
            batch.emplace_back(blob->data() + start, end - start - 1);
            start = end;
        }
        examine_batch(run, node, batch);
        node->batches_in_flight.fetch_sub(1);
        release(*node);
        end_job(run);
    });
}

// Reads the listing in batches; returns when it ends or fails (a failure only shortens
// the listing).
template <class F>
void for_each_batch(int fd, F&& f) {
    std::vector<std::string_view> names;
#ifdef __linux__
    thread_local std::vector<char> buf(kListingBuffer);
    for (;;) {
        long n = ::syscall(SYS_getdents64, fd, buf.data(), buf.size());
        if (n <= 0) {
            return;
        }
        names.clear();
        for (long pos = 0; pos < n;) {
            auto* d = reinterpret_cast<struct dirent64*>(buf.data() + pos);
            pos += d->d_reclen;
            const char* name = d->d_name;
            if (path::is_dot_or_dotdot(name)) {
                continue;
            }
            names.emplace_back(name);
        }
        f(names);
    }
#else
    int dup_fd = ::dup(fd);
    DIR* dir = dup_fd >= 0 ? ::fdopendir(dup_fd) : nullptr;
    if (dir == nullptr) {
        if (dup_fd >= 0) {
            ::close(dup_fd);
        }
        return;
    }
    std::vector<std::string> storage;
    while (struct dirent* d = ::readdir(dir)) {
        const char* name = d->d_name;
        if (!path::is_dot_or_dotdot(name)) {
            storage.emplace_back(name);
        }
    }
    ::closedir(dir);
    for (const auto& n : storage) {
        names.emplace_back(n);
    }
    f(names);
#endif
}

void process_dir(const std::shared_ptr<TreeRun>& run, const std::shared_ptr<DirNode>& node) {
    open_node(*node, *run);
    if (node->fd >= 0) {
        if (g_kept_fds.fetch_add(1) < kept_fd_budget()) {
            node->kept = true;
            node->children_by_fd = true;
        } else {
            g_kept_fds.fetch_sub(1);
        }
        node->holders.store(1);
        const std::size_t max_in_flight = 2 * worker_threads();
        bool first = true;
        for_each_batch(node->fd, [&](const std::vector<std::string_view>& names) {
            if (first || node->batches_in_flight.load() >= max_in_flight) {
                examine_batch(run, node, names);
            } else {
                queue_batch(run, node, names);
            }
            first = false;
        });
        release(*node);
    }
    end_job(run);
}

// Measures from the root entry: `root` is its lstat. A root that is a symbolic link is
// not counted, but a directory behind it is read, as a path-based walk reads it.
void measure_from_root(PoolJobs& jobs, std::string path, const EntryStat& root, bool record_all,
                       std::function<void(TreeStats)> done) {
    auto run = std::make_shared<TreeRun>();
    run->root_path = std::move(path);
    run->jobs = &jobs;
    run->done = std::move(done);
    // Without a way to see mounts inside the tree, every file goes into the set.
    run->record_all = record_all || !root.mount_root_known;

    int fd = -1;
    if (S_ISLNK(root.mode)) {
        EntryStat target;
        if (stat_at(AT_FDCWD, run->root_path.c_str(), true, target) && S_ISDIR(target.mode)) {
            fd = ::open(run->root_path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        }
    } else {
        std::vector<FileRecord> records;
        bool is_dir = count_entry(root, run->record_all, run->totals, records);
        run->records = std::move(records);
        if (is_dir) {
            fd = ::open(run->root_path.c_str(), kDirFlags);
        }
    }
    run->pending.store(1);
    if (fd < 0) {
        end_job(run);
        return;
    }
    auto node = std::make_shared<DirNode>();
    node->fd = fd;
    node->path_len = run->root_path.size();
    node->child_sep = !run->root_path.empty() && run->root_path.back() == '/' ? 0 : 1;
    process_dir(run, node);
}

void start_run(PoolJobs& jobs, std::string path, bool record_all,
               std::function<void(TreeStats)> done) {
    jobs.run([&jobs, path = std::move(path), record_all, done = std::move(done)]() mutable {
        EntryStat root;
        if (!stat_at(AT_FDCWD, path.c_str(), false, root)) {
            done(TreeStats{});
            return;
        }
        measure_from_root(jobs, std::move(path), root, record_all, std::move(done));
    });
}

} // namespace

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
    start_run(jobs, std::move(path), false, std::move(done));
}

void measure_dir_async(PoolJobs& jobs, std::string path,
                       std::function<void(std::optional<MeasuredDir>)> done) {
    jobs.run([&jobs, path = std::move(path), done = std::move(done)]() mutable {
        // A trailing "/" or "/." would make even lstat follow a final link.
        path.resize(path::trim_trailing(path).size());
        EntryStat root;
        if (!stat_at(AT_FDCWD, path.c_str(), false, root) || !S_ISDIR(root.mode)) {
            done(std::nullopt);
            return;
        }
        MeasuredDir dir;
        // The platform's device number, widened with its sign.
        dir.device = static_cast<std::int64_t>(static_cast<dev_t>(root.dev));
        dir.inode = root.ino;
        measure_from_root(jobs, std::move(path), root, false,
                          [dir, done = std::move(done)](TreeStats stats) mutable {
                              dir.stats = std::move(stats);
                              done(std::move(dir));
                          });
    });
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
    c.device = measured.device;
    c.inode = measured.inode;
    c.fingerprint = stats;
    return c;
}

void measure_candidate_async(PoolJobs& jobs, FoundCache found, std::uint64_t protect_days,
                             std::uint64_t now_unix,
                             std::function<void(std::optional<Candidate>)> done) {
    std::string path = found.path;
    measure_dir_async(jobs, std::move(path),
                      [found = std::move(found), protect_days, now_unix,
                       done = std::move(done)](std::optional<MeasuredDir> measured) mutable {
                          if (!measured) {
                              done(std::nullopt);
                              return;
                          }
                          done(make_candidate(std::move(found), *measured, protect_days, now_unix));
                      });
}

TreeStats measure_tree(const std::string& path) {
    TreeStats result;
    run_blocking([&] {
        PoolJobs jobs;
        measure_tree_async(jobs, path, [&result](TreeStats s) { result = std::move(s); });
        jobs.wait();
    });
    return result;
}

std::optional<Candidate> measure_candidate(FoundCache found, std::uint64_t protect_days,
                                           std::uint64_t now_unix) {
    std::optional<Candidate> result;
    run_blocking([&] {
        PoolJobs jobs;
        measure_candidate_async(jobs, std::move(found), protect_days, now_unix,
                                [&result](std::optional<Candidate> c) { result = std::move(c); });
        jobs.wait();
    });
    return result;
}

} // namespace qb
