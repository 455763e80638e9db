#pragma once

// The confirmation prompts of `clean` and `docker clean`: where they talk and how an
// answer is read. Both commands ask only when standard input is a terminal.

#include "common/app_error.hpp"
#include "common/result.hpp"

#include <string>
#include <string_view>

namespace qb {

/// The streams of a command that may ask: answers come from `input_fd`; the question and
/// the command's warnings go to `output_fd`. Tests substitute pipes.
struct Console {
    int input_fd = 0;
    int output_fd = 2;
    bool input_is_terminal = false;

    /// Standard input and standard error.
    static Console standard();

    /// Writes to `output_fd`; a closed stream drops the text.
    void write(std::string_view text) const;
};

/// The path named by an answer that cannot be read.
inline constexpr std::string_view kStdinPath = "<stdin>";

/// One line of input without its line end; empty at the end of input. A failed read, or
/// a line that is not valid UTF-8, is an Io error on "<stdin>": never a silent refusal.
Result<std::string, AppError> read_answer_line(int fd);

/// "y" or "yes" in any letter case, white space at either end ignored.
bool is_affirmative(std::string_view answer);

/// Writes `question` (it carries no line end) and reads one answer: true to go ahead.
Result<bool, AppError> ask_confirmation(const Console& console, std::string_view question);

} // namespace qb
