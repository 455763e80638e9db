#include "main/main_inner.hpp"

#include <gtest/gtest.h>
#include <stdexcept>
#include <thread>

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

} // namespace
} // namespace qb
