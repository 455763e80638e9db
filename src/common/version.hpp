#pragma once

#include <string_view>

namespace qb {

/// The program's version, as `--version` and the contract document report it.
inline constexpr std::string_view kProgramVersion = "0.5.2";

} // namespace qb
