#include "tui/run_tui.hpp"

#include "common/env.hpp"
#include "common/io.hpp"
#include "scanner/scan.hpp"
#include "tui/event_loop.hpp"

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>
#include <unistd.h>

namespace qb {

int run_tui(TuiArgs args, OutputFormat output, const ErrorReporter& report_error) {
    if (output == OutputFormat::Json) {
        AppError error =
            errors::Usage{"the TUI does not produce JSON; use `quillbarrow scan --output json`"};
        report_error(error, true);
        return error.exit_status();
    }
    bool json_errors = output == OutputFormat::Auto && ::isatty(STDOUT_FILENO) != 1;
    SystemEnv env = SystemEnv::from_process();
    if (args.roots.empty()) {
        args.roots = default_project_roots(env);
    }

    Result<Ok, AppError> outcome = Ok{};
    bool workers_left = false;
    try {
        outcome = tui::tui_event_loop(std::move(args), env, &workers_left);
    } catch (const std::exception& e) {
        // The terminal was restored while the fault unwound the interface.
        fail_internal(std::string("internal error in the terminal interface: ") + e.what());
    }
    int status = 0;
    if (!outcome) {
        report_error(outcome.error(), json_errors);
        status = outcome.error().exit_status();
    }
    if (workers_left) {
        // A scan or check still runs on other threads and is not waited for. Ending here
        // keeps the destructors of shared state (the worker pool's among them) from
        // running underneath it.
        std::fflush(nullptr);
        std::_Exit(status);
    }
    return status;
}

} // namespace qb
