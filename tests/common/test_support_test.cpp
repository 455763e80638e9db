#include "scanner/mount_helper.hpp"
#include "support/test_support.hpp"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>
#include <map>
#include <string>
#include <string_view>
#include <unistd.h>

extern char** environ;

namespace qb::test {
namespace {

TEST(TestSupport, UnprivilegedChildKilledBySignalFails) {
    EXPECT_NONFATAL_FAILURE(run_unprivileged([] { return ::raise(SIGKILL); }),
                            "killed by signal 9");
}

TEST(TestSupport, MountChildSetUpFaultFailsAndNamesTheError) {
    EXPECT_NONFATAL_FAILURE(detail::run_in_child(
                                [] {
                                    errno = EINVAL;
                                    return false;
                                },
                                [] {}),
                            "could not be set up: Invalid argument");
}

// Set in the copy of this program that the test below starts: there it skips at once.
constexpr const char* kSkipHere = "QB_TEST_SKIP_HERE";

TEST(TestSupport, SkipFailsAsRootOnly) {
    if (std::getenv(kSkipHere) != nullptr) {
        GTEST_SKIP() << "on purpose";
    }
    std::map<std::string, std::string> env;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string_view text = *entry;
        const auto eq = text.find('=');
        // GTEST_ settings would have the copy write over this run's report, or shard it away.
        if (eq != std::string_view::npos && !text.starts_with("GTEST_")) {
            env.emplace(text.substr(0, eq), text.substr(eq + 1));
        }
    }
    env[kSkipHere] = "1";
    const ::testing::TestInfo& self = *::testing::UnitTest::GetInstance()->current_test_info();
    const std::string name = std::string(self.test_suite_name()) + "." + self.name();
    ProcessOptions options;
    options.env = env;
    const ProcessResult run = run_process({"/proc/self/exe", "--gtest_filter=" + name}, options);
    // The copy's output is not shown: a skip marker in it would have ctest take this
    // failure for a skip.
    if (::geteuid() == 0) {
        EXPECT_NE(run.exit_status, 0) << "a skip passed as root";
        EXPECT_NE(run.out.find(name + " was skipped (on purpose)"), std::string::npos) << run.err;
    } else {
        EXPECT_EQ(run.exit_status, 0) << run.err;
        EXPECT_NE(run.out.find("[  SKIPPED ] " + name), std::string::npos) << run.err;
    }
}

} // namespace
} // namespace qb::test
