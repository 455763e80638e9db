#include "docker/build_cache.hpp"
#include "docker/fake_runner.hpp"
#include "main/docker_command.hpp"

#include <gtest/gtest.h>

namespace qb {
namespace {

using test::df_row;
using test::FakeRunner;

const std::vector<std::string> kPreviewArgs{"system", "df", "--format", "json"};
const std::vector<std::string> kPruneArgs{"builder", "prune", "--force"};

std::string four_classes(const std::string& cache_size, const std::string& cache_reclaimable) {
    return df_row("Images", "4GiB", "1GiB", 3, 2) + df_row("Containers", "0B", "0B", 0, 0) +
           df_row("Local Volumes", "1MiB", "0B", 1, 1) +
           df_row("Build Cache", cache_size, cache_reclaimable, 9, 0);
}

NativeResource build_cache(std::uint64_t bytes, std::uint64_t reclaimable) {
    return NativeResource{
        "docker",    "daemon", "docker-build-cache", "Docker build cache", 9, 0, bytes,
        reclaimable, true};
}

std::vector<std::vector<std::string>> call_args(const FakeRunner& fake) {
    std::vector<std::vector<std::string>> out;
    for (const auto& call : fake.calls) {
        out.push_back(call.args);
    }
    return out;
}

TEST(DockerCommandOutput, NativeErrorsMapByTheirWholeCode) {
    for (std::string_view code :
         {"empty_output", "missing_class", "invalid_output", "duplicate_output"}) {
        AppError e = native_error_to_app_error(native_diagnostic(code, "bad shape", true));
        EXPECT_EQ(e.kind_name(), "native_protocol") << code;
        EXPECT_EQ(e.exit_status(), 8);
        EXPECT_FALSE(e.retryable()) << "the diagnostic's own flag does not carry over";
        EXPECT_EQ(fmt_app_error(e), "docker returned unsupported output: bad shape");
    }
    for (std::string_view code : {"timeout", "not_found", "daemon_unavailable",
                                  "invalid_output_extra", "empty", "some_future_code"}) {
        AppError e = native_error_to_app_error(native_diagnostic(code, "gone", false));
        EXPECT_EQ(e.kind_name(), "native_unavailable") << code;
        EXPECT_EQ(e.exit_status(), 7);
        EXPECT_TRUE(e.retryable());
        EXPECT_EQ(fmt_app_error(e), "docker operation is unavailable: gone");
    }
}

TEST(DockerCommandOutput, ResourceAndDiagnosticJson) {
    EXPECT_EQ(json_compact(serialize_native_resource(build_cache(300, 200))),
              R"({"active_count":0,"bytes":300,"cleanable":true,"kind":"docker-build-cache",)"
              R"("label":"Docker build cache","provider":"docker","reclaimable_bytes":200,)"
              R"("scope":"daemon","total_count":9})");
    EXPECT_EQ(json_compact(diagnostics_to_json({native_diagnostic("timeout", "slow", true),
                                                native_diagnostic("empty_output", "none", false)})),
              R"([{"kind":"timeout","message":"slow","provider":"docker","retryable":true},)"
              R"({"kind":"empty_output","message":"none","provider":"docker","retryable":false}])");
}

TEST(DockerCommandOutput, InspectionProblemsAreOutputNotErrors) {
    FakeRunner fake;
    fake.reply(unexpected(native_diagnostic("not_found", "Docker is missing", false)));
    fake.reply_output("");
    fake.reply_output(df_row("Images", "1KiB", "0B") + df_row("Build Cache", "2KiB", "1KiB"));
    auto missing = run_docker_inspect_with({}, false, fake.runner());
    ASSERT_TRUE(missing.has_value());
    EXPECT_EQ(*missing, "Docker storage unavailable: Docker is missing");

    auto empty = run_docker_inspect_with({}, false, fake.runner());
    ASSERT_TRUE(empty.has_value());
    EXPECT_TRUE(empty->starts_with("Docker uses 0 B; 0 B is potentially reclaimable\n"
                                   "RECLAIMABLE\tSIZE\tACTIVE\tTOTAL\tKIND\n"
                                   "Diagnostic: "))
        << *empty;
    EXPECT_EQ(std::count(empty->begin(), empty->end(), '\n'), 2);

    auto partial = run_docker_inspect_with({}, false, fake.runner());
    ASSERT_TRUE(partial.has_value());
    EXPECT_NE(partial->find("\n1.0 KiB\t2.0 KiB\t0\t1\tdocker-build-cache\n"), std::string::npos);
    EXPECT_NE(partial->find("\nDiagnostic: "), std::string::npos);
    EXPECT_NE(partial->find("Docker volumes"), std::string::npos) << *partial;

    // An unknown field stops the command before the client is asked.
    DockerInspectionArgs bad_fields;
    bad_fields.fields = {"kind", "KIND"};
    auto bad = run_docker_inspect_with(bad_fields, true, fake.runner());
    ASSERT_FALSE(bad.has_value());
    EXPECT_EQ(bad.error().exit_status(), 2);
    EXPECT_EQ(fake.calls.size(), 3u);

    NativeInspection none;
    none.provider = "docker";
    EXPECT_EQ(docker_inspection_report(none, {}, false),
              "Docker storage unavailable: Docker is unavailable");
    Json doc = Json::parse(docker_inspection_report(none, {}, true));
    EXPECT_EQ(doc["available"], false);
    EXPECT_EQ(doc["items"], Json::array());
    EXPECT_EQ(doc["total"], 0);
}

TEST(DockerCommandOutput, FieldsNarrowJsonItemsOnly) {
    FakeRunner fake;
    const std::string report = df_row("Images", "4GiB", "1GiB", 3, 2) +
                               df_row("Containers", "0B", "0B", 0, 0) +
                               df_row("Build Cache", "3GiB", "2GiB", 9, 0);
    for (int i = 0; i < 4; ++i) {
        fake.reply_output(report);
    }
    DockerInspectionArgs narrow;
    narrow.fields = {"kind", "bytes"};
    auto full_text = run_docker_inspect_with({}, false, fake.runner());
    auto narrow_text = run_docker_inspect_with(narrow, false, fake.runner());
    ASSERT_TRUE(full_text.has_value() && narrow_text.has_value());
    EXPECT_EQ(*narrow_text, *full_text);
    // The missing volumes close the text as its last line.
    EXPECT_TRUE(full_text->ends_with("\nDiagnostic: Docker did not report Docker volumes"))
        << *full_text;

    auto full_json = run_docker_inspect_with({}, true, fake.runner());
    auto narrow_json = run_docker_inspect_with(narrow, true, fake.runner());
    ASSERT_TRUE(full_json.has_value() && narrow_json.has_value());
    Json full = Json::parse(*full_json);
    Json doc = Json::parse(*narrow_json);
    ASSERT_EQ(doc["items"].size(), 3u);
    EXPECT_EQ(doc["items"][0], Json::parse(R"({"bytes":3221225472,"kind":"docker-build-cache"})"));
    for (const Json& item : doc["items"]) {
        EXPECT_EQ(item.size(), 2u) << item;
    }
    doc.erase("items");
    full.erase("items");
    EXPECT_EQ(doc, full);
    EXPECT_EQ(doc.size(), 10u) << doc;
    EXPECT_EQ(doc["total_bytes"], 7516192768u);
    EXPECT_EQ(doc["diagnostics"].size(), 1u);
}

TEST(DockerCommandOutput, PruneOutcomeLines) {
    NativeCleanReport r = unpruned_clean_report(build_cache(3072, 2048), true, false);
    EXPECT_EQ(native_clean_report_text(r), "Would prune Docker build cache \u00b7 2.0 KiB "
                                           "reclaimable of 3.0 KiB used \u00b7 rebuilding may "
                                           "require downloads");
    r.dry_run = false;
    EXPECT_EQ(native_clean_report_text(r), "Docker build-cache prune cancelled; nothing changed");
    r.confirmed = true;
    r.reported_reclaimed_bytes = 0;
    r.estimated_removed_bytes = 1024;
    EXPECT_EQ(native_clean_report_text(r),
              "Pruned Docker build cache \u00b7 0 B reported reclaimed");
    r.reported_reclaimed_bytes.reset();
    EXPECT_EQ(native_clean_report_text(r),
              "Pruned Docker build cache \u00b7 1.0 KiB estimated removed");
    r.estimated_removed_bytes = 0;
    r.diagnostics = {native_diagnostic("timeout", "later preview timed out", true)};
    EXPECT_EQ(native_clean_report_text(r),
              "Docker build-cache prune completed; no reclaimed bytes were reported\n"
              "Diagnostic: later preview timed out");
    r.before.reclaimable_bytes = 0;
    EXPECT_EQ(native_clean_report_text(r), "Docker build cache is already clean; nothing changed\n"
                                           "Diagnostic: later preview timed out");

    Json doc = native_clean_report_json(unpruned_clean_report(build_cache(1, 1), true, false));
    EXPECT_EQ(doc.size(), kDockerCleanFields.size());
    EXPECT_EQ(doc["after"], nullptr);
    EXPECT_EQ(doc["reported_reclaimed_bytes"], nullptr);
    EXPECT_EQ(doc["before"], serialize_native_resource(build_cache(1, 1)));
    EXPECT_EQ(doc["kind"], "docker-build-cache");
}

TEST(DockerCleanHandler, DryRunWinsOverYes) {
    FakeRunner fake;
    fake.reply_output(four_classes("3GiB", "2GiB"));
    DockerCleanArgs args;
    args.dry_run = true;
    args.yes = true;
    auto out = run_docker_clean_with(args, true, fake.runner(), Console{});
    ASSERT_TRUE(out.has_value());
    Json doc = Json::parse(*out);
    EXPECT_EQ(doc["dry_run"], true);
    EXPECT_EQ(doc["confirmed"], false);
    EXPECT_EQ(doc["changed"], false);
    EXPECT_EQ(doc["after"], nullptr);
    EXPECT_EQ(doc["reported_reclaimed_bytes"], nullptr);
    EXPECT_EQ(doc["estimated_removed_bytes"], 0);
    EXPECT_EQ(doc["before"]["reclaimable_bytes"], 2147483648u);
    EXPECT_EQ(call_args(fake), std::vector<std::vector<std::string>>{kPreviewArgs});
}

TEST(DockerCleanHandler, PreviewAndPruneFailuresAreErrors) {
    FakeRunner fake;
    DockerCleanArgs yes;
    yes.yes = true;
    auto run = [&] { return run_docker_clean_with(yes, false, fake.runner(), Console{}); };
    fake.reply_output(df_row("Images", "1GiB", "0B"));
    auto no_cache = run();
    ASSERT_FALSE(no_cache.has_value());
    EXPECT_EQ(no_cache.error().exit_status(), 8);
    EXPECT_EQ(fmt_app_error(no_cache.error()),
              "docker returned unsupported output: Docker did not report build-cache storage");

    // The prune's own preview finds the daemon gone.
    fake.reply_output(four_classes("3GiB", "2GiB"));
    fake.reply_output("", "Cannot connect to the Docker daemon. Is the docker daemon running?\n",
                      1);
    auto down = run();
    ASSERT_FALSE(down.has_value());
    EXPECT_EQ(down.error().kind_name(), "native_unavailable");
    EXPECT_TRUE(down.error().retryable());

    fake.reply_output(four_classes("3GiB", "2GiB"));
    fake.reply_output(four_classes("3GiB", "2GiB"));
    fake.reply_output("", "permission denied while trying to connect\n", 1);
    auto failed = run();
    ASSERT_FALSE(failed.has_value());
    EXPECT_EQ(failed.error().exit_status(), 7);
    EXPECT_EQ(call_args(fake).back(), kPruneArgs);

    // A prune that printed no total is estimated from the two previews; --fields
    // narrows the JSON.
    fake.calls.clear();
    fake.reply_output(four_classes("3GiB", "2GiB"));
    fake.reply_output(four_classes("3GiB", "2GiB"));
    fake.reply_output("done\n");
    fake.reply_output(four_classes("1GiB", "0B"));
    yes.fields = {"changed", "estimated_removed_bytes", "changed"};
    auto json = run_docker_clean_with(yes, true, fake.runner(), Console{});
    ASSERT_TRUE(json.has_value());
    EXPECT_EQ(*json, R"({"changed":true,"estimated_removed_bytes":2147483648})");
    EXPECT_EQ(call_args(fake), (std::vector<std::vector<std::string>>{kPreviewArgs, kPreviewArgs,
                                                                      kPruneArgs, kPreviewArgs}));
}

} // namespace
} // namespace qb
