#include "tui/run_tui.hpp"

#include "main/app_error.hpp"

#include <unistd.h>

namespace qb {

int run_tui(TuiArgs /*args*/, OutputFormat output) {
    if (output == OutputFormat::Json) {
        AppError error =
            errors::Usage{"the TUI does not produce JSON; use `quillbarrow scan --output json`"};
        report_error(error, true);
        return error.exit_status();
    }
    // Stands in until the interface is built.
    AppError error = errors::Usage{"the terminal interface is not available in this build"};
    report_error(error, output == OutputFormat::Auto && ::isatty(STDOUT_FILENO) == 0);
    return error.exit_status();
}

} // namespace qb
