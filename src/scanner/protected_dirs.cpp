#include "scanner/protected_dirs.hpp"

#include "common/dir.hpp"
#include "common/mount_id.hpp"
#include "scanner/pool.hpp"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <optional>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace qb {
namespace {

constexpr std::size_t kLargestAccountEntry = std::size_t{1} << 20;
constexpr std::size_t kLooksPerJob = 512;

AccountHook& account_hook() {
    static AccountHook hook;
    return hook;
}

// One entry of the account database into `pw`, `buf` grown until it fits: 0, ENOENT when
// there is none, or the error. `read` is a reentrant lookup with its leading arguments bound.
template <class Read>
int read_account(struct passwd& pw, std::vector<char>& buf, Read read) {
    for (;;) {
        struct passwd* found = nullptr;
        int err = read(&pw, buf.data(), buf.size(), &found);
        if (err == ERANGE && buf.size() < kLargestAccountEntry) {
            buf.resize(buf.size() * 2);
            continue;
        }
        return err != 0 ? err : found != nullptr ? 0 : ENOENT;
    }
}

// Every read of the account database is here, since each opens files of its own: the
// database itself, and a socket to a caching daemon where one may run. Each home goes to
// `add`, `listed` when the enumeration gave it; the result is the error that kept the
// database from being read whole, or 0.
template <class Add>
int read_account_homes(const SystemEnv& env, Add add) {
    const std::vector<dir::Slot> descriptors = dir::Slot::take_reserved(2);
    // The enumeration reads one stream per process: two at once would each miss entries.
    static std::mutex enumerating;
    long hint = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buf(hint > 0 ? static_cast<std::size_t>(hint) : 4096);
    struct passwd pw;
    int error = 0;
    std::vector<uid_t> uids{::getuid(), ::geteuid()};
    // Directory services often leave the account that sudo ran for out of an enumeration.
    const std::string sudo = env.get("SUDO_UID").value_or("");
    const char* end = sudo.data() + sudo.size();
    if (uid_t uid = 0; ::geteuid() == 0 && std::from_chars(sudo.data(), end, uid).ptr == end) {
        uids.push_back(uid);
    }
    for (uid_t uid : uids) {
        int err = read_account(pw, buf, [uid](auto... rest) { return ::getpwuid_r(uid, rest...); });
        if (err == 0) {
            add(pw.pw_dir, false);
        } else if (err != ENOENT && err != ESRCH && err != EBADF && err != EPERM) {
            error = err; // the others tell of an unknown account
        }
    }
    std::lock_guard lock(enumerating);
    ::setpwent();
    for (std::size_t entry = 0;; ++entry) {
        const int hooked = account_hook() ? account_hook()(entry) : 0;
        const int err = hooked != 0 ? hooked : read_account(pw, buf, ::getpwent_r);
        if (err != 0) {
            error = err == ENOENT ? error : err;
            break;
        }
        add(pw.pw_dir, true);
    }
    ::endpwent();
    return error;
}

// The home directory HOME names, for protecting it: a relative one names the place it
// leads to from the working directory.
std::optional<std::string> home_of(const SystemEnv& env) {
    std::string home = env.get("HOME").value_or("");
    if (home.empty() || path::is_absolute(home)) {
        return home.empty() ? std::nullopt : std::optional(home);
    }
    std::unique_ptr<char, decltype(&std::free)> cwd(::getcwd(nullptr, 0), &std::free);
    return cwd ? std::optional(path::join(cwd.get(), home)) : std::nullopt;
}

struct Home {
    std::string path;
    bool listed = false; // by the enumeration
    int err = 0;         // of looking at it
    struct stat st {};
};

// `path` followed from "/" as the system follows it: whole (`at_once`) or name by name, however
// long; the deepest directory reached, the error that stopped it, where `at` was opened from.
struct Reached {
    dir::Handle at;
    int err = 0;
    dir::Handle from;
    std::string name;
};

Reached open_path(std::string_view path, dir::KeptSlots& slots, bool at_once) {
    Reached r; // the first name is "/"
    const std::vector<path::Component> whole{{path::ComponentKind::Root, path}}; // as "/" is
    for (const path::Component& c : at_once ? whole : path::components(path)) {
        dir::Handle next = dir::open_at(r.at.fd(), std::string(c.name).c_str(), slots.lend(),
                                        dir::Follow::Yes, dir::Access::Search);
        if (!next.valid()) {
            r.err = errno;
            break;
        }
        r.from = c.kind == path::ComponentKind::Normal ? std::move(r.at) : dir::Handle();
        r.at = std::move(next);
        r.name = c.name;
    }
    return r;
}

} // namespace

ProtectedDirs::ProtectedDirs(const SystemEnv& env) {
    std::vector<Home> homes{Home{.path = "/"}};
    if (auto home = home_of(env)) {
        homes.push_back(Home{.path = std::move(*home)});
    }
    account_error_ = read_account_homes(env, [&](const char* home, bool listed) {
        if (home != nullptr && path::is_absolute(home)) {
            homes.push_back(Home{.path = home, .listed = listed});
        }
    });
    // A system call each, for thousands of accounts maybe, on the worker pool; no final link
    // followed (hence no trailing "/") and nothing mounted: a home not mounted holds nothing.
    PoolJobs jobs;
    for (std::size_t first = 0; first < homes.size(); first += kLooksPerJob) {
        jobs.run([&homes, first] {
            for (std::size_t i = first; i < std::min(homes.size(), first + kLooksPerJob); ++i) {
                const std::string bare(path::trim_trailing(homes[i].path));
                homes[i].err = ::fstatat(AT_FDCWD, bare.c_str(), &homes[i].st,
                                         AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT) == 0
                                   ? 0
                                   : errno;
            }
        });
    }
    jobs.wait();
    // Two directories held while a third opens; waited for once the reserved slots are back.
    dir::KeptSlots slots;
    slots.take(3);
    for (const Home& home : homes) {
        auto parent = path::parent(home.path);
        // A directory, not a link, is looked at alone; many accounts share its parent, which
        // is followed once for them all.
        if (home.err == 0 && S_ISDIR(home.st.st_mode) && parent && path::file_name(home.path)) {
            if (parents_.emplace(*parent).second) {
                resolve(std::string(*parent), false, slots);
            }
            identities_.push_back(identity_of(home.st));
        } else {
            resolve(home.path, home.listed, slots);
        }
    }
    std::sort(identities_.begin(), identities_.end());
    identities_.erase(std::unique(identities_.begin(), identities_.end()), identities_.end());
}

void ProtectedDirs::resolve(const std::string& written, bool listed, dir::KeptSlots& slots,
                            bool at_once) {
    at_once = at_once && written.size() < PATH_MAX;
    Reached r = open_path(written, slots, at_once);
    const bool absent = r.err == ENOENT || r.err == ENOTDIR;
    if (listed && absent) {
        return;
    }
    // Climbs "..", up to the root, which is its own, or to a directory climbed from before.
    std::vector<std::pair<DirIdentity, std::uint64_t>> chain;
    bool whole = false;
    for (struct stat st, entry; r.at.valid() && ::fstat(r.at.fd(), &st) == 0;) {
        // Its mount too (0: untold): a bind mount gives a directory other ancestors.
        const std::pair here{identity_of(st),
                             statx_mount_id(r.at.fd(), "", dir::Follow::Yes).value_or(0)};
        if ((whole = (here.second != 0 && climbed_.contains(here)) ||
                     (!chain.empty() && chain.back().first == here.first))) {
            break;
        }
        chain.push_back(here);
        identities_.push_back(here.first);
        dir::Handle up =
            dir::open_at(r.at.fd(), "..", slots.lend(), dir::Follow::No, dir::Access::Search);
        // Not searchable, it lies where it was opened from, unless a link led there.
        if (!up.valid() && r.from.valid() &&
            ::fstatat(r.from.fd(), r.name.c_str(), &entry, AT_SYMLINK_NOFOLLOW) == 0 &&
            identity_of(entry) == here.first) {
            up = std::move(r.from);
        }
        r.from.close();
        r.at = std::move(up);
    }
    // Where the way matters (a name that fails, a ".." not searchable), it is taken by names.
    if (at_once && (r.err != 0 || !whole)) {
        return resolve(written, listed, slots, false);
    }
    climbed_.insert(chain.begin(), whole ? chain.end() : chain.begin()); // a climb cut short: none
    // What it leads to may lie beyond what was reached, or have ancestors not climbed to: a
    // target at or above the path as written is refused whole.
    for (std::optional<std::string_view> at = written; (r.err != 0 && !absent) || !whole;
         at = path::parent(*at)) {
        if (!at || at->empty() || !paths_.emplace(*at).second) {
            break; // and its prefixes
        }
    }
}

bool ProtectedDirs::holds(std::string_view dir) const {
    // The root, or a path naming nothing at all.
    return path::components(dir).size() <= 1 || paths_.contains(dir);
}

bool ProtectedDirs::holds(const DirIdentity& id) const {
    return std::binary_search(identities_.begin(), identities_.end(), id);
}

Result<Ok, AppError> ProtectedDirs::whole() const {
    if (account_error_ != 0) {
        return unexpected(
            AppError(errors::Io{"<account database>", IoError::from_errno(account_error_)}));
    }
    return Ok{};
}

void set_account_hook(AccountHook hook) {
    account_hook() = std::move(hook);
}

} // namespace qb
