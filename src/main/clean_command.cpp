#include "main/clean_command.hpp"

namespace qb {

// Stands in until the clean executor is wired up; refusing is the safe answer.
Result<std::string, AppError> run_clean(CleanArgs /*args*/, bool /*json*/) {
    return unexpected(
        AppError(errors::Usage{"the clean command is not available in this build yet"}));
}

} // namespace qb
