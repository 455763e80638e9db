#include "docker/native.hpp"

#include <gtest/gtest.h>
#include <string>

namespace qb {
namespace {

int exited(int code) {
    return code << 8;
}

DockerRunOutput failed_run(std::string stderr_bytes, int status = exited(1)) {
    return DockerRunOutput{"", std::move(stderr_bytes), status};
}

TEST(NativeDiagnostic, SanitisesToOneBoundedLine) {
    EXPECT_EQ(sanitize_diagnostic_text("two\r\n\twords"), "two words");
    EXPECT_EQ(sanitize_diagnostic_text("  a\x01"
                                       "b\xC2\x85"
                                       "c\xC2\xA0"
                                       "d\xE3\x80\x80 \x7F  "),
              "a b c d");
    EXPECT_EQ(sanitize_diagnostic_text(" \n\t "), "");
    EXPECT_EQ(sanitize_diagnostic_text("bad \xFF byte"), "bad \xEF\xBF\xBD byte");
    // Every Unicode white space separates words; a zero-width space is not white space
    // and stays, a C1 control becomes a space.
    std::string spaced = "a";
    for (const char* sep :
         {"\v", "\f", "\xE1\x9A\x80", "\xE2\x80\x80", "\xE2\x80\x8A", "\xE2\x80\xA8",
          "\xE2\x80\xA9", "\xE2\x80\xAF", "\xE2\x81\x9F", "\xC2\x80"}) {
        spaced += std::string(sep) + "a";
    }
    EXPECT_EQ(sanitize_diagnostic_text(spaced), "a a a a a a a a a a a");
    EXPECT_EQ(sanitize_diagnostic_text("a\xE2\x80\x8B"
                                       "b"),
              "a\xE2\x80\x8B"
              "b");

    EXPECT_EQ(sanitize_diagnostic_text(std::string(600, 'x')), std::string(512, 'x'));
    std::string wide;
    for (int i = 0; i < 512; ++i) {
        wide += "\xC3\xA9"; // two bytes, one character
    }
    EXPECT_EQ(sanitize_diagnostic_text(wide), wide);
    EXPECT_EQ(sanitize_diagnostic_text(wide + "e"), wide);

    const NativeDiagnostic d = native_diagnostic("timeout", "  slow\n\nclient ", true);
    EXPECT_EQ(d.provider(), "docker");
    EXPECT_EQ(d.kind(), "timeout");
    EXPECT_EQ(d.message(), "slow client");
    EXPECT_TRUE(d.retryable());
    EXPECT_EQ(native_diagnostic(d.kind(), d.message(), true), d);
}

TEST(NativeDiagnostic, WaitStatusTexts) {
    EXPECT_EQ(wait_status_text(exited(0)), "exit status: 0");
    EXPECT_EQ(wait_status_text(exited(3)), "exit status: 3");
    EXPECT_EQ(wait_status_text(9), "signal: 9 (SIGKILL)");
    EXPECT_EQ(wait_status_text(11 | 0x80), "signal: 11 (SIGSEGV) (core dumped)");
    EXPECT_TRUE(DockerRunOutput({"", "", exited(0)}).success());
    EXPECT_FALSE(DockerRunOutput({"", "", exited(1)}).success());
    EXPECT_FALSE(DockerRunOutput({"", "", 9}).success());
}

TEST(NativeDiagnostic, ClassifiesFailedRuns) {
    NativeDiagnostic blank = classify_docker_failure("storage inspection", failed_run(" \n\n  \n"));
    EXPECT_EQ(blank.kind(), diag::kCommandFailed);
    EXPECT_EQ(blank.message(), "Docker storage inspection exited with exit status: 1");
    EXPECT_TRUE(blank.retryable());

    NativeDiagnostic killed = classify_docker_failure("build-cache prune", failed_run("", 9));
    EXPECT_EQ(killed.message(), "Docker build-cache prune exited with signal: 9 (SIGKILL)");

    // The first matching test wins and the message keeps its letter case.
    NativeDiagnostic both = classify_docker_failure(
        "storage inspection", failed_run("Got PERMISSION Denied\nCannot connect to the daemon"));
    EXPECT_EQ(both.kind(), diag::kPermissionDenied);
    EXPECT_EQ(both.message(), "Got PERMISSION Denied Cannot connect to the daemon");

    const std::pair<const char*, std::string_view> cases[] = {
        {"CANNOT CONNECT to unix:///var/run/docker.sock", diag::kDaemonUnavailable},
        {"Is the Docker daemon running?", diag::kDaemonUnavailable},
        {"error from the docker daemon", diag::kDaemonUnavailable},
        {"context \"remote\" does not exist", diag::kEndpointUnavailable},
        {"dial tcp: lookup localhost: no such address", diag::kEndpointUnavailable},
        {"unknown flag: --format", diag::kCommandFailed},
    };
    for (const auto& [err, code] : cases) {
        NativeDiagnostic d = classify_docker_failure("storage inspection", failed_run(err));
        EXPECT_EQ(d.kind(), code) << err;
        EXPECT_EQ(d.message(), err);
        EXPECT_TRUE(d.retryable());
    }
    EXPECT_EQ(classify_docker_failure("x", failed_run("oops \xC3")).message(), "oops \xEF\xBF\xBD");
}

} // namespace
} // namespace qb
