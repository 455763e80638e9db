#pragma once

// A seam for tests of the clean executor: code that runs in the window between a
// target's final validation and its removal, to change the file system there.
// Production code never sets it.

#include "scanner/candidate.hpp"

#include <functional>

namespace qb::clean_hooks {

using BeforeRemove = std::function<void(const Candidate&)>;

/// Installs `hook` (an empty function removes it). Not thread-safe; tests only.
void set_before_remove(BeforeRemove hook);

} // namespace qb::clean_hooks
