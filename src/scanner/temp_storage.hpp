#pragma once

// Recognised developer output in temporary storage.

#include "common/env.hpp"
#include "scanner/global_caches.hpp"

#include <string_view>
#include <vector>

namespace qb {

/// The temporary-storage rows for the home directory `home`, in their order: the Chrome
/// code-signing clone row first, then the rows of the shared temporary root's entries.
std::vector<GlobalCandidate> discover_temporary_storage(std::string_view home,
                                                        const SystemEnv& env);

} // namespace qb
