#include "common/os_error.hpp"

#include <cstring>
#include <fmt/format.h>

namespace qb {

std::string os_error_text(int errnum) {
    char buf[256];
    // GNU strerror_r may return a static string instead of filling the buffer.
    const char* msg = strerror_r(errnum, buf, sizeof buf);
    return fmt::format("{} (os error {})", msg, errnum);
}

} // namespace qb
