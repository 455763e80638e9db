#include "scanner/protected_dirs.hpp"

#include "common/dir.hpp"
#include "common/fs.hpp"
#include "common/paths.hpp"
#include "scanner/scan.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qb {
namespace {

constexpr std::size_t kLargestAccountEntry = std::size_t{1} << 20;

struct AccountHomes {
    std::vector<std::string> own;    // of the real and effective users
    std::vector<std::string> others; // of every account listed
};

// One entry of the account database into `pw`, `buf` grown until it fits; false when
// there is none. `read` is a reentrant lookup with its leading arguments bound.
template <class Read>
bool read_account(struct passwd& pw, std::vector<char>& buf, Read read) {
    for (;;) {
        struct passwd* found = nullptr;
        int err = read(&pw, buf.data(), buf.size(), &found);
        if (err == ERANGE && buf.size() < kLargestAccountEntry) {
            buf.resize(buf.size() * 2);
            continue;
        }
        return err == 0 && found != nullptr && pw.pw_dir != nullptr;
    }
}

// Every read of the account database is here, since each opens files of its own: the
// database itself, and a socket to a caching daemon where one may run.
AccountHomes read_account_homes() {
    const std::vector<dir::Slot> descriptors = dir::Slot::take_reserved(2);
    // The enumeration reads one stream per process: two at once would each miss entries.
    static std::mutex enumerating;
    long hint = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buf(hint > 0 ? static_cast<std::size_t>(hint) : 4096);
    struct passwd pw;
    AccountHomes homes;
    for (uid_t uid : {::getuid(), ::geteuid()}) {
        if (read_account(pw, buf, [uid](auto... rest) { return ::getpwuid_r(uid, rest...); })) {
            homes.own.emplace_back(pw.pw_dir);
        }
    }
    std::lock_guard lock(enumerating);
    ::setpwent();
    while (read_account(pw, buf, ::getpwent_r)) {
        homes.others.emplace_back(pw.pw_dir);
    }
    ::endpwent();
    return homes;
}

// The home directory HOME names, for protecting it: a relative one names the place it
// leads to from the working directory.
std::optional<std::string> home_of(const SystemEnv& env) {
    auto home = env.get("HOME");
    if (!home || home->empty()) {
        return std::nullopt;
    }
    if (path::is_absolute(*home)) {
        return home;
    }
    char* cwd = ::getcwd(nullptr, 0);
    if (cwd == nullptr) {
        return std::nullopt;
    }
    std::string joined = path::join(cwd, *home);
    std::free(cwd);
    return joined;
}

} // namespace

ProtectedDirs::ProtectedDirs(const SystemEnv& env) {
    std::vector<std::string> homes;
    if (auto home = home_of(env)) {
        homes.push_back(std::move(*home));
    }
    AccountHomes accounts = read_account_homes();
    for (std::string& home : accounts.own) {
        if (path::is_absolute(home)) {
            homes.push_back(std::move(home));
        }
    }
    for (std::string& home : accounts.others) {
        if (path::is_absolute(home) && is_directory(home)) {
            homes.push_back(std::move(home));
        }
    }
    struct stat st;
    if (::stat("/", &st) == 0) {
        identities_.push_back(identity_of(st));
    }
    // Many accounts share a home or its ancestors: each directory is looked at once.
    std::unordered_set<std::string> seen;
    for (const std::string& home : homes) {
        std::string real = canonical_or_normal(home);
        if (seen.contains(real)) {
            continue;
        }
        homes_.push_back(real);
        for (std::optional<std::string_view> dir = homes_.back(); dir && !dir->empty();
             dir = path::parent(*dir)) {
            if (!seen.emplace(*dir).second) {
                break;
            }
            if (auto name = path::file_name(*dir)) {
                names_.emplace(*name);
            }
            if (::stat(std::string(*dir).c_str(), &st) == 0) {
                identities_.push_back(identity_of(st));
            }
        }
    }
    std::sort(identities_.begin(), identities_.end());
    identities_.erase(std::unique(identities_.begin(), identities_.end()), identities_.end());
}

bool ProtectedDirs::holds(std::string_view dir) const {
    // The root, or a path naming nothing at all.
    if (path::components(dir).size() <= 1) {
        return true;
    }
    return std::any_of(homes_.begin(), homes_.end(),
                       [&](const std::string& home) { return path::starts_with(home, dir); });
}

bool ProtectedDirs::holds(const DirIdentity& id) const {
    return std::binary_search(identities_.begin(), identities_.end(), id);
}

bool ProtectedDirs::leads_to(const std::string& path) const {
    struct stat st;
    if (::stat(path.c_str(), &st) == 0 && holds(identity_of(st))) {
        return true;
    }
    auto name = path::file_name(path);
    if (name && !names_.contains(std::string(*name))) {
        return false;
    }
    return holds(canonical_or_normal(path));
}

} // namespace qb
