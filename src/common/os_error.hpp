#pragma once

#include <string>

namespace qb {

/// The system's description of an error number followed by " (os error N)",
/// e.g. "Permission denied (os error 13)".
std::string os_error_text(int errnum);

} // namespace qb
