#include "main/docker_command.hpp"

namespace qb {

// Both stand in until the Docker provider is wired up.
Result<std::string, AppError> run_docker_inspect(DockerInspectionArgs /*args*/, bool /*json*/) {
    return unexpected(
        AppError(errors::Usage{"the docker command is not available in this build yet"}));
}

Result<std::string, AppError> run_docker_clean(DockerCleanArgs /*args*/, bool /*json*/) {
    return unexpected(
        AppError(errors::Usage{"the docker clean command is not available in this build yet"}));
}

} // namespace qb
