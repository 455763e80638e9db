#include "main/prompt.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdexcept>
#include <unistd.h>

namespace qb {
namespace {

// A pipe holding `data`, its writing end closed: reads see the data, then the end.
class InputPipe {
public:
    explicit InputPipe(std::string_view data) {
        int fds[2];
        if (::pipe(fds) != 0) {
            throw std::runtime_error("pipe");
        }
        read_fd_ = fds[0];
        if (::write(fds[1], data.data(), data.size()) != static_cast<ssize_t>(data.size())) {
            throw std::runtime_error("write");
        }
        ::close(fds[1]);
    }
    ~InputPipe() { ::close(read_fd_); }
    int fd() const { return read_fd_; }

private:
    int read_fd_ = -1;
};

std::string io_message(const AppError& error) {
    return fmt_app_error(error) + " / exit " + std::to_string(error.exit_status());
}

TEST(Prompt, AnswersThatConfirmAndThatDecline) {
    for (std::string_view yes :
         {"y", "Y", "yes", "YES", "YeS", " Y ", "\tyes\r", "\u00a0y\u3000"}) {
        EXPECT_TRUE(is_affirmative(yes)) << yes;
    }
    for (std::string_view no : {"", " ", "n", "no", "ye", "yess", "y es", "yes!", "ja", "\xc2 y"}) {
        EXPECT_FALSE(is_affirmative(no)) << no;
    }
}

TEST(Prompt, ReadsOneLineAndLeavesTheRest) {
    InputPipe in("  YES \nsecond\nlast");
    auto first = read_answer_line(in.fd());
    ASSERT_TRUE(first.has_value());
    EXPECT_EQ(*first, "  YES ");
    EXPECT_EQ(read_answer_line(in.fd()).value(), "second");
    // A last line without a line end counts; then the end of input reads as empty.
    EXPECT_EQ(read_answer_line(in.fd()).value(), "last");
    EXPECT_EQ(read_answer_line(in.fd()).value(), "");
}

TEST(Prompt, UnreadableAnswersAreIoErrorsNotRefusals) {
    InputPipe bad("y\xff\n");
    auto invalid = read_answer_line(bad.fd());
    ASSERT_FALSE(invalid.has_value());
    EXPECT_EQ(io_message(invalid.error()),
              "filesystem operation failed for <stdin>: stream did not contain valid UTF-8 / "
              "exit 4");

    // A descriptor open for writing only cannot be read.
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    auto failed = read_answer_line(fds[1]);
    ::close(fds[0]);
    ::close(fds[1]);
    ASSERT_FALSE(failed.has_value());
    EXPECT_EQ(io_message(failed.error()),
              "filesystem operation failed for <stdin>: Bad file descriptor (os error 9) / exit 4");
}

TEST(Prompt, AskWritesTheQuestionThenReadsTheAnswer) {
    int out[2];
    ASSERT_EQ(::pipe(out), 0);
    auto ask = [&](std::string_view answer) {
        InputPipe in(answer);
        return ask_confirmation(Console{in.fd(), out[1], true}, "Go? [y/N] ");
    };
    EXPECT_EQ(ask(" yes\n").value(), true);
    EXPECT_EQ(ask("no\n").value(), false);
    EXPECT_EQ(ask("").value(), false);
    EXPECT_FALSE(ask("\xe2\x28\xa1\n").has_value());
    ::close(out[1]);
    std::string written(256, '\0');
    written.resize(static_cast<std::size_t>(::read(out[0], written.data(), written.size())));
    ::close(out[0]);
    EXPECT_EQ(written, "Go? [y/N] Go? [y/N] Go? [y/N] Go? [y/N] ");
}

} // namespace
} // namespace qb
