#include "scanner/protected_dirs.hpp"

#include "common/fs.hpp"
#include "common/paths.hpp"

#include <algorithm>
#include <cerrno>
#include <optional>
#include <pwd.h>
#include <unistd.h>

namespace qb {
namespace {

// The home directory of the account `uid`, from the user database.
std::optional<std::string> account_home(uid_t uid) {
    long hint = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buf(hint > 0 ? static_cast<std::size_t>(hint) : 4096);
    for (;;) {
        struct passwd pw;
        struct passwd* found = nullptr;
        int err = ::getpwuid_r(uid, &pw, buf.data(), buf.size(), &found);
        if (err == ERANGE && buf.size() < (std::size_t{1} << 20)) {
            buf.resize(buf.size() * 2);
            continue;
        }
        if (err != 0 || found == nullptr || found->pw_dir == nullptr) {
            return std::nullopt;
        }
        return std::string(found->pw_dir);
    }
}

} // namespace

ProtectedDirs::ProtectedDirs(const SystemEnv& env) {
    std::vector<std::string> homes;
    if (auto home = env.get("HOME"); home && path::is_absolute(*home)) {
        homes.push_back(*home);
    }
    for (uid_t uid : {::getuid(), ::geteuid()}) {
        if (auto home = account_home(uid); home && path::is_absolute(*home)) {
            homes.push_back(*home);
        }
    }
    for (const std::string& home : homes) {
        homes_.push_back(canonical_or_normal(home));
        for (std::optional<std::string_view> dir = homes_.back(); dir && !dir->empty();
             dir = path::parent(*dir)) {
            if (auto name = path::file_name(*dir)) {
                names_.emplace(*name);
            }
        }
    }
}

bool ProtectedDirs::holds(std::string_view dir) const {
    // The root, or a path naming nothing at all.
    if (path::components(dir).size() <= 1) {
        return true;
    }
    return std::any_of(homes_.begin(), homes_.end(),
                       [&](const std::string& home) { return path::starts_with(home, dir); });
}

bool ProtectedDirs::leads_to(const std::string& path) const {
    auto name = path::file_name(path);
    if (name && !names_.contains(std::string(*name))) {
        return false;
    }
    return holds(canonical_or_normal(path));
}

} // namespace qb
