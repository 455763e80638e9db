#include "common/fs.hpp"

#include "common/paths.hpp"

#include <cerrno>
#include <cstdlib>
#include <sys/stat.h>

namespace qb {

Result<std::string, int> resolve_canonical(const std::string& path) {
    if (path.find('\0') != std::string::npos) {
        return unexpected(EINVAL);
    }
    char* resolved = ::realpath(path.c_str(), nullptr);
    if (resolved == nullptr) {
        return unexpected(errno);
    }
    std::string out(resolved);
    std::free(resolved);
    return out;
}

std::string canonical_or_normal(const std::string& path) {
    auto real = resolve_canonical(path);
    return real ? std::move(*real) : path::lexically_normal(path);
}

std::optional<DirIdentity> directory_nofollow(const std::string& path) {
    // With a trailing "/" or "/." lstat would follow a final link.
    struct stat st;
    if (::lstat(std::string(path::trim_trailing(path)).c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        return std::nullopt;
    }
    return identity_of(st);
}

bool is_directory(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

} // namespace qb
