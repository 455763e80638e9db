#pragma once

// The global cache locations: fixed places under the home directory and the XDG bases,
// the RubyGems caches, tool overrides from the environment, and temporary storage.

#include "common/env.hpp"
#include "scanner/catalog.hpp"

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace qb {

/// A global location: its path, and the attributes of its kind from the catalogue.
struct GlobalCandidate {
    GlobalCandidate(std::string where, GlobalKind of)
        : path(std::move(where)), kind(of->kind), ecosystem(of->ecosystem),
          min_bytes(of->min_bytes), network_restore(of->network_restore), cleanable(of->cleanable) {
    }

    std::string path;
    std::string_view kind;
    std::string_view ecosystem;
    std::uint64_t min_bytes;
    bool network_restore;
    bool cleanable;
};

/// The ordered list of global locations for `env`, without repeated paths. Rows are not
/// tested for existence. Never fails.
std::vector<GlobalCandidate> discover_global_caches(const SystemEnv& env);

} // namespace qb
