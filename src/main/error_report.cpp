#include "main/error_report.hpp"

#include "common/io.hpp"
#include "common/json.hpp"
#include "common/os_error.hpp"

#include <cerrno>
#include <fmt/format.h>

namespace qb {

std::string render_error(const AppError& error, bool json) {
    if (!json) {
        return fmt::format("Error: {}\nHint: {}\n", fmt_app_error_printable(error), error.hint());
    }
    std::string message = fmt_app_error(error);
    Json inner = Json::object();
    inner["kind"] = error.kind_name();
    inner["message"] = message;
    inner["exit_code"] = static_cast<unsigned>(error.exit_status());
    inner["retryable"] = error.retryable();
    inner["hint"] = error.hint();
    Json outer = Json::object();
    outer["error"] = std::move(inner);
    return json_compact(outer) + "\n";
}

void print_stderr(std::string_view text, int fd) {
    int err = write_all(fd, text);
    if (err != 0 && err != EBADF) {
        fail_internal(fmt::format("failed printing to stderr: {}", os_error_text(err)));
    }
}

void report_error(const AppError& error, bool json) {
    print_stderr(render_error(error, json));
}

} // namespace qb
