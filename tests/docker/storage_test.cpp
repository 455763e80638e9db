#include "common/saturating.hpp"
#include "docker/json_line.hpp"
#include "docker/storage.hpp"
#include "fake_runner.hpp"

#include <gtest/gtest.h>

namespace qb {
namespace {

using test::df_row;

std::vector<std::string> kinds(const NativeInspection& inspection) {
    std::vector<std::string> out;
    for (const auto& r : inspection.resources) {
        out.push_back(r.kind);
    }
    return out;
}

std::vector<std::string> messages(const std::vector<NativeDiagnostic>& diagnostics) {
    std::vector<std::string> out;
    for (const auto& d : diagnostics) {
        out.push_back(d.kind() + ": " + d.message());
    }
    return out;
}

std::string size_error(std::string_view text) {
    auto r = parse_docker_size(text);
    return r ? "ok" : r.error();
}

TEST(DockerSize, ParsesUnitsAndRounds) {
    EXPECT_EQ(*parse_docker_size("1.2GB"), 1'200'000'000u);
    EXPECT_EQ(*parse_docker_size("512MiB"), 536'870'912u);
    EXPECT_EQ(*parse_docker_size("0.5B"), 1u);
    EXPECT_EQ(*parse_docker_size("2.5 B"), 3u);
    EXPECT_EQ(*parse_docker_size("1.5 kB"), 1500u);
    EXPECT_EQ(*parse_docker_size("0B"), 0u);
    EXPECT_EQ(*parse_docker_size("1.TB"), 1'000'000'000'000u);
    EXPECT_EQ(*parse_docker_size(".5KiB"), 512u);
    EXPECT_EQ(*parse_docker_size("18446744073709551616B"), kU64Max);

    EXPECT_EQ(size_error("GB"), "size \"GB\" has an invalid number");
    EXPECT_EQ(size_error(" 1GB"), "size \" 1GB\" has an invalid number");
    EXPECT_EQ(size_error("1.2.3GB"), "size \"1.2.3GB\" has an invalid number");
    EXPECT_EQ(size_error(".B"), "size \".B\" has an invalid number");
    EXPECT_EQ(size_error("12"), "size \"12\" has no unit");
    EXPECT_EQ(size_error(""), "size \"\" has no unit");
    EXPECT_EQ(size_error("5 "), "size \"5 \" has unsupported unit \"\"");
    EXPECT_EQ(size_error("1PiB"), "size \"1PiB\" has unsupported unit \"pib\"");
    EXPECT_EQ(size_error("1\tXB"), "size \"1\\tXB\" has unsupported unit \"xb\"");
    EXPECT_EQ(size_error("20000000000000000000B"),
              "size \"20000000000000000000B\" is out of range");
    EXPECT_EQ(size_error(std::string(400, '9') + "B"),
              "size \"" + std::string(400, '9') + "B\" is out of range");
}

TEST(DockerStorageFields, CountsSizesAndReclaimable) {
    auto count = [](const char* json) {
        auto r = read_count_field(Json::parse(json), "TotalCount");
        return r ? std::to_string(*r) : r.error();
    };
    EXPECT_EQ(count(R"({"TotalCount":"+12"})"), "12");
    EXPECT_EQ(count(R"({"TotalCount":"18446744073709551615"})"), "18446744073709551615");
    EXPECT_EQ(count(R"({"TotalCount":7})"), "7");
    EXPECT_EQ(count(R"({"TotalCount":18446744073709551615})"), "18446744073709551615");
    EXPECT_EQ(count(R"({})"), "TotalCount is missing");
    for (const char* bad :
         {R"({"TotalCount":"12 "})", R"({"TotalCount":"-1"})", R"({"TotalCount":"+"})",
          R"({"TotalCount":""})", R"({"TotalCount":"18446744073709551616"})"}) {
        EXPECT_EQ(count(bad), "TotalCount is not an unsigned integer") << bad;
    }
    for (const char* bad :
         {R"({"TotalCount":12.0})", R"({"TotalCount":-1})", R"({"TotalCount":-0})",
          R"({"TotalCount":1e2})", R"({"TotalCount":null})", R"({"TotalCount":true})",
          R"({"TotalCount":[1]})", R"({"TotalCount":{}})",
          R"({"TotalCount":18446744073709551616})"}) {
        EXPECT_EQ(count(bad), "TotalCount is not an integer") << bad;
    }

    EXPECT_EQ(*read_reclaimable_field(Json::parse(R"j({"Reclaimable":"1.2GB (50%)"})j")),
              1'200'000'000u);
    EXPECT_EQ(read_reclaimable_field(Json::parse(R"({"Reclaimable":"   "})")).error(),
              "Reclaimable is empty");
    EXPECT_EQ(read_reclaimable_field(Json::parse(R"({"Reclaimable":3})")).error(),
              "Reclaimable is missing or not text");
    EXPECT_EQ(read_size_field(Json::parse(R"({"Size":"12"})")).error(),
              "Size: size \"12\" has no unit");
    EXPECT_EQ(read_size_field(Json::parse(R"({})")).error(), "Size is missing or not text");
}

TEST(DockerJsonLine, ReportsFirstErrorWithColumn) {
    auto error = [](std::string_view line) {
        auto r = parse_json_line(line);
        return r ? "ok" : r.error();
    };
    EXPECT_EQ(error(" {\"a\": [1, \"\\u00e9\", null]} \r"), "ok");
    EXPECT_EQ(error("x"), "expected value at line 1 column 1");
    EXPECT_EQ(error("{} x"), "trailing characters at line 1 column 4");
    EXPECT_EQ(error("{} 123"), "trailing characters at line 1 column 4");
    EXPECT_EQ(error("{\"a\":"), "unexpected end of input at line 1 column 5");
    EXPECT_EQ(error("[1,]"), "expected value at line 1 column 4");
    EXPECT_EQ(error("{\"a\" 1}"), "expected ':' at line 1 column 6");
    EXPECT_EQ(error("[tru]"), "invalid literal at line 1 column 5");
    EXPECT_EQ(error("\xEF\xBB\xBF{}"), "expected value at line 1 column 1");
    EXPECT_EQ(error("\"\\ud800\""), "unpaired surrogate at line 1 column 8");
    EXPECT_EQ(error("\"\\ud83d\\ude00\""), "ok");
    EXPECT_EQ(error("1e400"), "number out of range at line 1 column 5");
    EXPECT_EQ(error("1e-400"), "ok");
    EXPECT_EQ(error("01"), "trailing characters at line 1 column 2");

    const std::string deep = std::string(128, '[') + std::string(128, ']');
    EXPECT_EQ(error(deep), "ok");
    EXPECT_EQ(error("[" + deep + "]"), "nesting too deep at line 1 column 129");
}

TEST(DockerStorageReport, ReadsOrdersAndChecksClasses) {
    NativeInspection full = read_storage_report(
        df_row("Images", "5GB", "0B", 12, 3) + df_row("Containers", "20MB", "10MB") +
        df_row("Local Volumes", "1GB", "0B") + df_row("Build Cache", "3GB", "2GB", 40, 0));
    EXPECT_TRUE(full.available);
    EXPECT_EQ(full.provider, "docker");
    EXPECT_EQ(kinds(full), (std::vector<std::string>{"docker-build-cache", "docker-containers",
                                                     "docker-images", "docker-volumes"}));
    EXPECT_TRUE(full.diagnostics.empty());
    const NativeResource& images = full.resources[2];
    EXPECT_EQ(images.label, "Docker images");
    EXPECT_EQ(images.scope, "daemon");
    EXPECT_EQ(images.total_count, 12u);
    EXPECT_EQ(images.active_count, 3u);
    EXPECT_EQ(images.bytes, 5'000'000'000u);
    EXPECT_FALSE(images.cleanable);
    EXPECT_TRUE(full.resources[0].cleanable);

    NativeInspection empty = read_storage_report("");
    EXPECT_TRUE(empty.available);
    EXPECT_EQ(messages(empty.diagnostics),
              (std::vector<std::string>{"empty_output: Docker returned no storage classes"}));
    EXPECT_TRUE(empty.diagnostics[0].retryable());

    // A bad row alone: no empty-output and no missing-class diagnostics.
    NativeInspection garbage = read_storage_report("  \r\noops\n");
    EXPECT_TRUE(garbage.resources.empty());
    EXPECT_EQ(messages(garbage.diagnostics),
              (std::vector<std::string>{"invalid_output: Docker row 2 could not be read: invalid "
                                        "JSON (expected value at line 1 column 1)"}));
    EXPECT_FALSE(garbage.diagnostics[0].retryable());

    // An unknown class name is shown quoted, its control characters escaped.
    NativeInspection odd = read_storage_report(R"({"Type":"Images\u0000\t\"\\\u007f"})");
    EXPECT_EQ(messages(odd.diagnostics),
              (std::vector<std::string>{"invalid_output: Docker row 1 could not be read: unknown "
                                        "storage class \"Images\\u{0}\\t\\\"\\\\\\u{7f}\""}));

    NativeInspection partial = read_storage_report(
        "\n" + df_row("Build Cache", "1GB", "1GB") + df_row("images", "1GB", "0B") + "[]\n" +
        R"({"Type":4})" + "\n" + df_row("Images", "1GB", "0B") + df_row("Images", "9GB", "9GB") +
        df_row("Containers", "1GB", "0B").substr(0, 20) + "\n" +
        R"({"Type":"Containers","TotalCount":1,"Active":0,"Size":"1GB","Reclaimable":"x"})" + "\n" +
        R"({"Type":"Local Volumes","TotalCount":"1","Size":"1GB","Reclaimable":"0B"})" + "\n" +
        R"({"Type":"Local Volumes","TotalCount":"x","Size":5})" + "\n" +
        R"({"Type":"Local Volumes","TotalCount":1,"Active":1,"Size":5,"Reclaimable":"0B"})");
    EXPECT_EQ(kinds(partial), (std::vector<std::string>{"docker-build-cache", "docker-images"}));
    EXPECT_EQ(partial.resources[1].bytes, 1'000'000'000u); // the first Images row wins
    EXPECT_EQ(messages(partial.diagnostics),
              (std::vector<std::string>{
                  "invalid_output: Docker row 3 could not be read: unknown storage class "
                  "\"images\"",
                  "invalid_output: Docker row 4 could not be read: expected a JSON object",
                  "invalid_output: Docker row 5 could not be read: Type is missing or not text",
                  "duplicate_output: Docker reported Docker images more than once",
                  "invalid_output: Docker row 8 could not be read: invalid JSON (unexpected end "
                  "of input at line 1 column 20)",
                  "invalid_output: Docker row 9 could not be read: Reclaimable: size \"x\" has an "
                  "invalid number",
                  "invalid_output: Docker row 10 could not be read: Active is missing",
                  "invalid_output: Docker row 11 could not be read: TotalCount is not an unsigned "
                  "integer",
                  "invalid_output: Docker row 12 could not be read: Size is missing or not text",
                  "missing_class: Docker did not report Docker containers",
                  "missing_class: Docker did not report Docker volumes",
              }));
}

TEST(DockerStorageInspection, RunsTheReportAndClassifiesFailures) {
    test::FakeRunner fake;
    fake.reply_output(df_row("Build Cache", "1GB", "0B"));
    NativeInspection ok = inspect_docker_storage(fake.runner());
    ASSERT_EQ(fake.calls.size(), 1u);
    EXPECT_EQ(fake.calls[0].args, (std::vector<std::string>{"system", "df", "--format", "json"}));
    EXPECT_EQ(fake.calls[0].timeout_secs, 5u);
    EXPECT_EQ(fake.calls[0].purpose, "storage inspection");
    EXPECT_TRUE(ok.available);
    EXPECT_EQ(messages(ok.diagnostics),
              (std::vector<std::string>{"missing_class: Docker did not report Docker images",
                                        "missing_class: Docker did not report Docker containers",
                                        "missing_class: Docker did not report Docker volumes"}));

    fake.reply_output(df_row("Images", "1GB", "0B"),
                      "Cannot connect to the Docker daemon at unix:///var/run/docker.sock.", 1);
    NativeInspection down = inspect_docker_storage(fake.runner());
    EXPECT_FALSE(down.available);
    EXPECT_TRUE(down.resources.empty());
    ASSERT_EQ(down.diagnostics.size(), 1u);
    EXPECT_EQ(down.diagnostics[0].kind(), diag::kDaemonUnavailable);

    fake.reply(unexpected(native_diagnostic(diag::kTimeout, "slow", true)));
    NativeInspection slow = inspect_docker_storage(fake.runner());
    EXPECT_FALSE(slow.available);
    EXPECT_EQ(messages(slow.diagnostics), (std::vector<std::string>{"timeout: slow"}));
}

} // namespace
} // namespace qb
