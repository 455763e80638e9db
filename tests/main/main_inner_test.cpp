#include "main/main_inner.hpp"

#include <cerrno>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdexcept>
#include <thread>
#include <unistd.h>

namespace qb {
namespace {

bool prescan(std::vector<std::string> words, bool stderr_is_terminal = true) {
    words.insert(words.begin(), "quillbarrow");
    return prescan_error_json(words, stderr_is_terminal);
}

TEST(MainInner, ErrorFormatPrescan) {
    EXPECT_FALSE(prescan({"-o", "text", "scan", "--limit", "0"}));
    EXPECT_TRUE(prescan({"-o", "json", "scan"}));
    EXPECT_TRUE(prescan({"-o", "auto", "scan"}));
    EXPECT_TRUE(prescan({"-o", "Text"}));
    EXPECT_FALSE(prescan({"--output=text", "--bogus"}));
    EXPECT_TRUE(prescan({"--output=json", "--bogus"}));
    EXPECT_TRUE(prescan({"--output=", "--bogus"}));
    EXPECT_FALSE(prescan({"--output", "text"}));
    // The first match decides.
    EXPECT_FALSE(prescan({"-o", "text", "-o", "json", "--bogus"}));
    EXPECT_TRUE(prescan({"scan", "--output", "json", "-o", "text"}));
    // The value may be any following word, even one that looks like an option.
    EXPECT_TRUE(prescan({"-o", "--output=text"}));
    // Forms the pre-scan does not recognise fall back to the terminal rule.
    EXPECT_FALSE(prescan({"-ojson", "--bogus"}, true));
    EXPECT_TRUE(prescan({"-ojson", "--bogus"}, false));
    EXPECT_FALSE(prescan({"-o=json"}, true));
    EXPECT_FALSE(prescan({"--out", "json"}, true));
    // An option with nothing after it is passed over.
    EXPECT_FALSE(prescan({"--output=text", "-o"}, false));
    EXPECT_TRUE(prescan({"-o"}, false));
    EXPECT_FALSE(prescan({"-o"}, true));
    EXPECT_FALSE(prescan({}, true));
    EXPECT_TRUE(prescan({}, false));
}

TEST(MainInner, OutputModeRule) {
    EXPECT_TRUE(output_is_json(OutputFormat::Json, true));
    EXPECT_FALSE(output_is_json(OutputFormat::Text, false));
    EXPECT_TRUE(output_is_json(OutputFormat::Auto, false));
    EXPECT_FALSE(output_is_json(OutputFormat::Auto, true));
}

// An exception that escapes is an internal failure like any other: status 101 and its
// message, not an abort, whichever thread it escapes from.
TEST(MainInnerDeathTest, EscapedExceptionsAreInternalFailures) {
    // As when an exception leaves main: terminate runs while it is the current one.
    EXPECT_EXIT(
        {
            install_internal_failure_handler();
            try {
                throw std::runtime_error("lost track of a root");
            } catch (...) {
                std::terminate();
            }
        },
        testing::ExitedWithCode(101), "internal error: lost track of a root");
    EXPECT_EXIT(
        {
            install_internal_failure_handler();
            std::thread([] { throw std::length_error("too many rows"); }).join();
        },
        testing::ExitedWithCode(101), "internal error: too many rows");
}

TEST(MainInnerDeathTest, ClosedStandardStreamsAreHeld) {
    // In a child, with all three closed: a file opened afterwards gets a higher number,
    // and each stand-in still fails as the closed descriptor did.
    EXPECT_EXIT(
        {
            ::close(0);
            ::close(1);
            ::close(2);
            hold_closed_standard_streams();
            int later = ::open("/dev/null", O_RDWR);
            char c = 0;
            bool ok = later > 2;
            ok = ok && ::read(0, &c, 1) == -1 && errno == EBADF;
            ok = ok && ::write(1, "x", 1) == -1 && errno == EBADF;
            ok = ok && ::write(2, "x", 1) == -1 && errno == EBADF;
            ::_exit(ok ? 0 : 1);
        },
        testing::ExitedWithCode(0), "");
    // Only the middle one closed; the others are left as they are.
    EXPECT_EXIT(
        {
            ::close(1);
            hold_closed_standard_streams();
            bool ok = ::open("/dev/null", O_RDWR) > 2 && ::write(2, "kept\n", 5) == 5;
            ::_exit(ok ? 0 : 1);
        },
        testing::ExitedWithCode(0), "kept");
}

} // namespace
} // namespace qb
