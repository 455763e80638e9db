#include "main/main_inner.hpp"

#include "main/app_error.hpp"

namespace qb {

int main_inner(int /*argc*/, char** /*argv*/) {
    AppError error = errors::Usage{"the command line is not available in this build yet"};
    report_error(error, false);
    return error.exit_status();
}

} // namespace qb
