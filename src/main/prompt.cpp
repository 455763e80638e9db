#include "main/prompt.hpp"

#include "common/text.hpp"
#include "docker/docker_text.hpp"
#include "main/error_report.hpp"

#include <cerrno>
#include <unistd.h>

namespace qb {

Console Console::standard() {
    return Console{STDIN_FILENO, STDERR_FILENO, ::isatty(STDIN_FILENO) != 0};
}

void Console::write(std::string_view text) const {
    print_stderr(text, output_fd);
}

Result<std::string, AppError> read_answer_line(int fd) {
    // One byte at a time, so that nothing after the line is taken from the stream.
    std::string line;
    for (;;) {
        char c = 0;
        ssize_t n = ::read(fd, &c, 1);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return unexpected(
                AppError(errors::Io{std::string(kStdinPath), IoError::from_errno(errno)}));
        }
        if (n == 0 || c == '\n') {
            break;
        }
        line.push_back(c);
    }
    if (!text::is_utf8(line)) {
        return unexpected(AppError(errors::Io{
            std::string(kStdinPath), IoError::from_text("stream did not contain valid UTF-8")}));
    }
    return line;
}

bool is_affirmative(std::string_view answer) {
    // The trimming decodes characters, which only valid UTF-8 may go through.
    if (!text::is_utf8(answer)) {
        return false;
    }
    const std::string lowered = text::ascii_lower(docker_text::trim(answer));
    return lowered == "y" || lowered == "yes";
}

Result<bool, AppError> ask_confirmation(const Console& console, std::string_view question) {
    console.write(question);
    auto answer = read_answer_line(console.input_fd);
    if (!answer) {
        return unexpected(std::move(answer).error());
    }
    return is_affirmative(*answer);
}

} // namespace qb
