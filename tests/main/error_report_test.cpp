#include "main/error_report.hpp"

#include <algorithm>
#include <csignal>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <unistd.h>

namespace qb {
namespace {

TEST(AppError, TextAndJsonRenderings) {
    AppError usage = errors::Usage{"error: unexpected argument\n\nUsage: quillbarrow"};
    EXPECT_EQ(render_error(usage, false),
              "Error: error: unexpected argument\n\nUsage: quillbarrow\n"
              "Hint: see `quillbarrow --help` or `quillbarrow schema`\n");

    std::string line = render_error(usage, true);
    ASSERT_EQ(line.back(), '\n');
    EXPECT_EQ(line.find('\n'), line.size() - 1); // one line
    EXPECT_EQ(line.rfind("{\"error\":{\"exit_code\":3,\"hint\":", 0), 0u);
    auto doc = nlohmann::json::parse(line);
    EXPECT_EQ(doc["error"]["kind"], "usage");
    EXPECT_EQ(doc["error"]["message"], "error: unexpected argument\n\nUsage: quillbarrow");
    EXPECT_EQ(doc["error"]["retryable"], false);
    EXPECT_EQ(doc.size(), 1u);
    EXPECT_EQ(doc["error"].size(), 5u);

    // A person sees no control character of a payload; JSON keeps the exact text.
    const std::string r = "\xEF\xBF\xBD";
    const std::string name = "/p/x\x1b]0;PWNED\x07y\t\n\xC2\x85\xff";
    for (const auto& [error, shown] : std::vector<std::pair<AppError, std::string>>{
             {errors::UnreadableDirectory{name}, "path is not a readable directory: "},
             {errors::Io{name, IoError::from_errno(5)}, "filesystem operation failed for "},
             {errors::Conflict{name}, "cleanup conflicted with filesystem changes: "},
             {errors::NativeUnavailable{"docker", name}, "docker operation is unavailable: "},
         }) {
        SCOPED_TRACE(shown);
        std::string text = render_error(error, false);
        EXPECT_TRUE(
            text.starts_with("Error: " + shown + "/p/x" + r + "]0;PWNED" + r + "y" + r + r + r + r))
            << text;
        EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 2);
        EXPECT_EQ(text.find_first_of(std::string("\x1b\x07\t\r\x7f", 5)), std::string::npos);
        std::string message = nlohmann::json::parse(render_error(error, true))["error"]["message"];
        EXPECT_NE(message.find("/p/x\x1b]0;PWNED\x07y\t\n\xC2\x85"), std::string::npos);
    }
}

// A closed standard error swallows the text; any other failed write is an internal
// failure that names the stream.
TEST(AppErrorDeathTest, StandardErrorThatCannotBeWritten) {
    int closed[2];
    ASSERT_EQ(::pipe(closed), 0);
    ::close(closed[0]);
    ::close(closed[1]);
    print_stderr("dropped\n", closed[1]);

    EXPECT_EXIT(
        {
            std::signal(SIGPIPE, SIG_IGN);
            int broken[2];
            if (::pipe(broken) != 0) {
                std::_Exit(2);
            }
            ::close(broken[0]);
            print_stderr("lost\n", broken[1]);
            std::_Exit(0);
        },
        testing::ExitedWithCode(101),
        "^failed printing to stderr: Broken pipe \\(os error 32\\)\n$");
}

} // namespace
} // namespace qb
