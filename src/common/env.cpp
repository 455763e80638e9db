#include "common/env.hpp"

#include <string_view>
#include <unistd.h>

#if defined(__APPLE__)
#include <climits>
#endif

extern char** environ;

namespace qb {

std::optional<std::string> SystemEnv::get(std::string_view name) const {
    auto it = vars.find(name);
    if (it == vars.end()) {
        return std::nullopt;
    }
    return it->second;
}

SystemEnv SystemEnv::from_process() {
    SystemEnv env;
    for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
        std::string_view entry(*e);
        std::size_t eq = entry.find('=');
        if (eq == std::string_view::npos || eq == 0) {
            continue;
        }
        env.vars.emplace(std::string(entry.substr(0, eq)), std::string(entry.substr(eq + 1)));
    }
#if defined(__APPLE__)
    char buf[PATH_MAX];
    size_t n = confstr(_CS_DARWIN_USER_TEMP_DIR, buf, sizeof buf);
    if (n > 0 && n <= sizeof buf) {
        env.platform_user_temp_dir = std::string(buf);
    }
#endif
    return env;
}

} // namespace qb
