#pragma once

// Human-readable sizes in units of 1024.

#include <cstdint>
#include <string>

namespace qb {

/// "1023 B", "1.0 KiB", "1.2 KiB" (1280 bytes: an exact tie goes to the even digit),
/// "1024.0 KiB" (one byte short of 1 MiB), up to "TiB", which also takes everything
/// larger. The one decimal is correctly rounded from the exact value of the double.
std::string format_bytes(std::uint64_t bytes);

/// format_bytes of the magnitude with "+" (zero included) or "-" in front.
std::string format_signed_bytes(std::int64_t delta);

} // namespace qb
