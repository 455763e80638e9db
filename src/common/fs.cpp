#include "common/fs.hpp"

#include "common/paths.hpp"

#include <cerrno>
#include <cstdlib>

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

} // namespace qb
