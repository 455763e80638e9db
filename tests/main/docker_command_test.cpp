#include "docker/build_cache.hpp"
#include "docker/fake_runner.hpp"
#include "main/docker_command.hpp"

#include <gtest/gtest.h>
#include <stdexcept>
#include <unistd.h>

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

TEST(DockerCommandOutput, InspectionPagesAndSumsOverAll) {
    FakeRunner fake;
    fake.reply_output(four_classes("3GiB", "2GiB"));
    fake.reply_output(four_classes("3GiB", "2GiB"));
    DockerInspectionArgs args;
    args.limit = 1;
    auto text = run_docker_inspect_with(args, false, fake.runner());
    ASSERT_TRUE(text.has_value());
    EXPECT_EQ(*text, "Docker uses 7.0 GiB; 3.0 GiB is potentially reclaimable (output truncated)\n"
                     "RECLAIMABLE\tSIZE\tACTIVE\tTOTAL\tKIND\n"
                     "2.0 GiB\t3.0 GiB\t0\t9\tdocker-build-cache");

    args.fields = {"kind", "bytes"};
    args.offset = 1;
    auto json = run_docker_inspect_with(args, true, fake.runner());
    ASSERT_TRUE(json.has_value());
    Json doc = Json::parse(*json);
    EXPECT_EQ(doc["total"], 4);
    EXPECT_EQ(doc["returned"], 1);
    EXPECT_EQ(doc["truncated"], true);
    EXPECT_EQ(doc["offset"], 1);
    EXPECT_EQ(doc["available"], true);
    EXPECT_EQ(doc["provider"], "docker");
    EXPECT_EQ(doc["total_bytes"], 7ULL << 30 | 1ULL << 20);
    EXPECT_EQ(doc["total_reclaimable_bytes"], 3ULL << 30);
    EXPECT_EQ(doc["items"], Json::parse(R"([{"bytes":4294967296,"kind":"docker-images"}])"));
    EXPECT_EQ(doc["diagnostics"], Json::array());
    EXPECT_EQ(fake.calls.size(), 2u);

    // An unknown field stops the command before the client is asked.
    args.fields = {"kind", "KIND"};
    auto bad = run_docker_inspect_with(args, true, fake.runner());
    ASSERT_FALSE(bad.has_value());
    EXPECT_EQ(bad.error().exit_status(), 2);
    EXPECT_EQ(fake.calls.size(), 2u);
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

    NativeInspection none;
    none.provider = "docker";
    EXPECT_EQ(docker_inspection_report(none, {}, false),
              "Docker storage unavailable: Docker is unavailable");
    Json doc = Json::parse(docker_inspection_report(none, {}, true));
    EXPECT_EQ(doc["available"], false);
    EXPECT_EQ(doc["items"], Json::array());
    EXPECT_EQ(doc["total"], 0);
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

// The handler of `docker clean` with the prompt on pipes.
class DockerCleanHandler : public testing::Test {
protected:
    Result<std::string, AppError> run(DockerCleanArgs args, std::optional<std::string> answer,
                                      bool json = false) {
        int in[2];
        int out[2];
        if (::pipe(in) != 0 || ::pipe(out) != 0) {
            throw std::runtime_error("pipe");
        }
        std::string data = answer.value_or("");
        (void)!::write(in[1], data.data(), data.size());
        ::close(in[1]);
        auto result = run_docker_clean_with(std::move(args), json, fake_.runner(),
                                            Console{in[0], out[1], answer.has_value()});
        ::close(in[0]);
        ::close(out[1]);
        prompted_.assign(4096, '\0');
        ssize_t n = ::read(out[0], prompted_.data(), prompted_.size());
        prompted_.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
        ::close(out[0]);
        return result;
    }

    FakeRunner fake_;
    std::string prompted_;
};

TEST_F(DockerCleanHandler, DryRunAndNothingToReclaimNeverAsk) {
    fake_.reply_output(four_classes("3GiB", "2GiB"));
    DockerCleanArgs args;
    args.dry_run = true;
    args.yes = true;
    auto dry = run(args, "y\n", true);
    ASSERT_TRUE(dry.has_value());
    Json doc = Json::parse(*dry);
    EXPECT_EQ(doc["dry_run"], true);
    EXPECT_EQ(doc["confirmed"], false);
    EXPECT_EQ(doc["changed"], false);
    EXPECT_EQ(doc["after"], nullptr);
    EXPECT_EQ(doc["before"]["reclaimable_bytes"], 2ULL << 30);
    EXPECT_EQ(prompted_, "");

    fake_.reply_output(four_classes("3GiB", "0B"));
    auto clean = run({}, std::nullopt);
    ASSERT_TRUE(clean.has_value());
    EXPECT_EQ(*clean, "Docker build cache is already clean; nothing changed");
    EXPECT_EQ(call_args(fake_),
              (std::vector<std::vector<std::string>>{kPreviewArgs, kPreviewArgs}));
}

TEST_F(DockerCleanHandler, ConfirmationBeforeThePrune) {
    fake_.reply_output(four_classes("3GiB", "2GiB"));
    auto refused = run({}, std::nullopt);
    ASSERT_FALSE(refused.has_value());
    EXPECT_EQ(refused.error().exit_status(), 6);
    EXPECT_EQ(fmt_app_error(refused.error()),
              "confirmation is required before pruning Docker build cache");
    EXPECT_EQ(prompted_, "");

    for (std::string answer : {"ye\n", "\n", "", "no\n"}) {
        fake_.reply_output(four_classes("3GiB", "2GiB"));
        auto cancelled = run({}, answer);
        ASSERT_TRUE(cancelled.has_value());
        EXPECT_EQ(*cancelled, "Docker build-cache prune cancelled; nothing changed");
        EXPECT_EQ(prompted_, "Prune Docker build cache (2.0 GiB reclaimable of 3.0 GiB used)? "
                             "Rebuilding may require downloads. [y/N] ");
    }

    fake_.reply_output(four_classes("3GiB", "2GiB"));
    auto unreadable = run({}, "\xff\n");
    ASSERT_FALSE(unreadable.has_value());
    EXPECT_EQ(unreadable.error().exit_status(), 4);
    EXPECT_EQ(fake_.calls.size(), 6u) << "no prune ran";

    // A confirmed prune previews, previews again inside the prune, prunes, previews after.
    fake_.calls.clear();
    fake_.reply_output(four_classes("3GiB", "2GiB"));
    fake_.reply_output(four_classes("3GiB", "2GiB"));
    fake_.reply_output("Deleted build cache objects:\nabc\n\nTotal:\t2GB\n");
    fake_.reply_output(four_classes("1GiB", "0B"));
    auto pruned = run({}, "  YES \n");
    ASSERT_TRUE(pruned.has_value()) << fmt_app_error(pruned.error());
    EXPECT_EQ(*pruned, "Pruned Docker build cache \u00b7 1.9 GiB reported reclaimed");
    EXPECT_EQ(call_args(fake_), (std::vector<std::vector<std::string>>{kPreviewArgs, kPreviewArgs,
                                                                       kPruneArgs, kPreviewArgs}));

    fake_.reply_output(four_classes("3GiB", "2GiB"));
    fake_.reply_output(four_classes("3GiB", "2GiB"));
    fake_.reply_output("done\n");
    fake_.reply_output(four_classes("1GiB", "0B"));
    DockerCleanArgs yes;
    yes.yes = true;
    yes.fields = {"changed", "estimated_removed_bytes"};
    auto json = run(yes, std::nullopt, true);
    ASSERT_TRUE(json.has_value());
    EXPECT_EQ(*json, R"({"changed":true,"estimated_removed_bytes":2147483648})");
}

TEST_F(DockerCleanHandler, PreviewAndPruneFailuresAreErrors) {
    fake_.reply_output(df_row("Images", "1GiB", "0B"));
    auto no_cache = run({}, std::nullopt);
    ASSERT_FALSE(no_cache.has_value());
    EXPECT_EQ(no_cache.error().exit_status(), 8);
    EXPECT_EQ(fmt_app_error(no_cache.error()),
              "docker returned unsupported output: Docker did not report build-cache storage");

    fake_.reply_output("", "Cannot connect to the Docker daemon. Is the docker daemon running?\n",
                       1);
    auto down = run({}, std::nullopt);
    ASSERT_FALSE(down.has_value());
    EXPECT_EQ(down.error().kind_name(), "native_unavailable");
    EXPECT_TRUE(down.error().retryable());

    fake_.reply_output(four_classes("3GiB", "2GiB"));
    fake_.reply_output(four_classes("3GiB", "2GiB"));
    fake_.reply_output("", "permission denied while trying to connect\n", 1);
    DockerCleanArgs yes;
    yes.yes = true;
    auto failed = run(yes, std::nullopt);
    ASSERT_FALSE(failed.has_value());
    EXPECT_EQ(failed.error().exit_status(), 7);
}

} // namespace
} // namespace qb
