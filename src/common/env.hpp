#pragma once

// What the engine reads of its surroundings, as one value. Production fills it from
// the process; tests build one that points into a temporary directory, so nothing
// ever looks at the real home or system directories.

#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace qb {

struct SystemEnv {
    /// The environment variables that are set, by name (values may be empty).
    std::map<std::string, std::string, std::less<>> vars;
    /// The shared temporary root examined for temporary storage.
    std::string shared_tmp_root = "/private/tmp";
    /// The per-user temporary directory the platform reports (macOS confstr); none on
    /// platforms without one.
    std::optional<std::string> platform_user_temp_dir;

    /// The value of a variable when it is set.
    std::optional<std::string> get(std::string_view name) const;
    /// True when the variable is set, whatever its value.
    bool has(std::string_view name) const { return vars.find(name) != vars.end(); }

    /// The environment of this process.
    static SystemEnv from_process();
};

} // namespace qb
