#pragma once

// The global cache locations: fixed places under the home directory and the XDG bases,
// the RubyGems caches, tool overrides from the environment, and temporary storage.

#include "common/env.hpp"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace qb {

struct GlobalCandidate {
    std::string path;
    std::string_view kind;
    std::string_view ecosystem;
    std::uint64_t min_bytes = 0;
    bool network_restore = false;
    bool cleanable = true;
};

/// Smallest apparent size at which a temporary workspace is reported (100 MiB).
inline constexpr std::uint64_t kWorkspaceMinBytes = 104'857'600;

/// The ordered list of global locations for `env`, without repeated paths. Rows are not
/// tested for existence. Never fails.
std::vector<GlobalCandidate> discover_global_caches(const SystemEnv& env);

} // namespace qb
