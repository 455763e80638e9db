#include "main/main_inner.hpp"

#include "common/io.hpp"
#include "common/os_error.hpp"
#include "common/overload.hpp"
#include "main/catalog_command.hpp"
#include "main/clean_command.hpp"
#include "main/cli.hpp"
#include "main/cli_help.hpp"
#include "main/completions.hpp"
#include "main/docker_command.hpp"
#include "main/error_report.hpp"
#include "main/scan_command.hpp"
#include "schema/contract.hpp"
#include "tui/run_tui.hpp"

#include <cerrno>
#include <cstdlib>
#include <exception>
#include <fcntl.h>
#include <fmt/format.h>
#include <unistd.h>

namespace qb {
namespace {

bool is_terminal(int fd) {
    return ::isatty(fd) != 0;
}

std::string_view trim(std::string_view s) {
    constexpr std::string_view kSpace = " \t\n\r\f\v";
    std::size_t first = s.find_first_not_of(kSpace);
    if (first == std::string_view::npos) {
        return {};
    }
    return s.substr(first, s.find_last_not_of(kSpace) - first + 1);
}

// Output that cannot be written is an internal failure; the process ignores SIGPIPE,
// so a closed pipe lands here too.
void print_stdout(std::string_view text) {
    if (int err = write_all(STDOUT_FILENO, text); err != 0) {
        fail_internal(fmt::format("failed printing to stdout: {}", os_error_text(err)));
    }
}

int finish(Result<std::string, AppError> outcome, bool json) {
    if (!outcome) {
        report_error(outcome.error(), json);
        return outcome.error().exit_status();
    }
    std::string text = std::move(*outcome);
    text.push_back('\n');
    print_stdout(text);
    return 0;
}

// The script is written as it is, whatever the output mode says.
void print_completions(const Completions& completions) {
    std::string script = completion::completion_script(completions.shell, cli_command());
    if (write_all(STDOUT_FILENO, script) != 0) {
        fail_internal("failed to write completion file");
    }
}

[[noreturn]] void fail_on_escaped_exception() {
    fail_internal("internal error: " + current_exception_text());
}

} // namespace

void install_internal_failure_handler() {
    std::set_terminate(fail_on_escaped_exception);
}

void hold_closed_standard_streams() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) {
            continue;
        }
        // /dev/null opened for the other direction: the lowest free number is this one.
        int held = ::open("/dev/null", (fd == 0 ? O_WRONLY : O_RDONLY) | O_CLOEXEC);
        if (held != -1 && held != fd) {
            ::close(held);
        }
    }
}

bool prescan_error_json(const std::vector<std::string>& args, bool stderr_is_terminal) {
    constexpr std::string_view kJoined = "--output=";
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string_view arg = args[i];
        if ((arg == "-o" || arg == "--output") && i + 1 < args.size()) {
            return args[i + 1] != "text";
        }
        if (arg.substr(0, kJoined.size()) == kJoined) {
            return arg.substr(kJoined.size()) != "text";
        }
    }
    return !stderr_is_terminal;
}

bool output_is_json(OutputFormat output, bool stdout_is_terminal) {
    switch (output) {
    case OutputFormat::Json:
        return true;
    case OutputFormat::Text:
        return false;
    case OutputFormat::Auto:
        break;
    }
    return !stdout_is_terminal;
}

int main_inner(int argc, char** argv) {
    std::vector<std::string> args(argv, argv + argc);
    bool error_json = prescan_error_json(args, is_terminal(STDERR_FILENO));

    auto parsed =
        parse_cli(args, error_json ? cli::QuotedWords::Exact : cli::QuotedWords::Printable);
    args.clear();
    if (!parsed) {
        const cli::ParseError& error = parsed.error();
        if (error.is_display()) {
            bool styled =
                cli::help_styles_wanted(is_terminal(STDOUT_FILENO), std::getenv("NO_COLOR"));
            // A help page that cannot be written is not worth a failure.
            (void)write_all(STDOUT_FILENO, styled ? error.styled_text : error.text);
            return 0;
        }
        AppError usage = errors::Usage{std::string(trim(error.text))};
        report_error(usage, error_json);
        return usage.exit_status();
    }
    Cli cli = std::move(*parsed);
    bool json = output_is_json(cli.output, is_terminal(STDOUT_FILENO));

    if (!cli.command) {
        if (cli.output == OutputFormat::Auto && is_terminal(STDIN_FILENO) &&
            is_terminal(STDOUT_FILENO)) {
            return run_tui(TuiArgs{}, OutputFormat::Auto, report_error);
        }
        return finish(run_scan(ScanArgs{}, json), json);
    }
    return std::visit(
        Overload{
            [&](TuiArgs& a) { return run_tui(std::move(a), cli.output, report_error); },
            [&](ScanArgs& a) { return finish(run_scan(std::move(a), json), json); },
            [&](DockerArgs& a) {
                if (a.command) {
                    return finish(run_docker_clean(std::move(*a.command), json), json);
                }
                return finish(run_docker_inspect(std::move(a.inspection), json), json);
            },
            [&](CleanArgs& a) { return finish(run_clean(std::move(a), json), json); },
            [&](CatalogArgs& a) { return finish(run_catalog(std::move(a), json), json); },
            [&](Schema& a) {
                // Always pretty JSON, whatever the output mode.
                print_stdout(contract_output(a.path));
                return 0;
            },
            [&](Completions& a) {
                print_completions(a);
                return 0;
            },
        },
        *cli.command);
}

} // namespace qb
