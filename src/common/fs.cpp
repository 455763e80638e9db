#include "common/fs.hpp"

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

} // namespace qb
