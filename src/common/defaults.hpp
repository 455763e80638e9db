#pragma once

// Defaults that several layers state (the engine, the command line, the contract document
// and the interface), named once, in the lowest layer that they all build on.

#include <cstdint>

namespace qb {

/// Caches modified within this many days are protected unless a command is told
/// otherwise: the default of `--protect-days`, and the window of the measurement just
/// before a deletion.
inline constexpr std::uint64_t kDefaultProtectDays = 7;

/// Paging of listed records: the page size when none is given, the largest one allowed,
/// and the offset when none is given.
inline constexpr std::uint64_t kDefaultLimit = 100;
inline constexpr std::uint64_t kMaxLimit = 1000;
inline constexpr std::uint64_t kDefaultOffset = 0;

} // namespace qb
