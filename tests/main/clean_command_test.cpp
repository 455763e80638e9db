#include "main/clean_command.hpp"
#include "scanner/safe_remove.hpp"
#include "support/test_support.hpp"

#include <cstdio>
#include <gtest/gtest.h>
#include <stdexcept>
#include <unistd.h>

namespace qb {
namespace {

using test::exists_nofollow;
using test::make_dirs;
using test::TempDir;
using test::write_file;

CleanReport canned_real_run() {
    CleanReport r;
    r.changed = true;
    r.confirmed = true;
    r.selected = 3;
    r.cleaned = 2;
    r.skipped = 1;
    r.protected_skipped = 4;
    r.policy_skipped = 5;
    r.network_restore_selected = 1;
    r.bytes_selected = 3 * 1024;
    r.apparent_bytes_selected = 3 * 1024;
    r.allocated_bytes_selected = 12 * 1024;
    r.bytes_reclaimed_estimate = 2048;
    r.apparent_bytes_removed = 2048;
    r.allocated_bytes_removed_estimate = 8192;
    r.filesystem_deltas = {{"/a", 10'000, 7'952, -2048}};
    r.selected_targets = {{"node-modules", "/a/w/node_modules", 1024, 4096, true},
                          {"cargo-target", "/a/r/\xff/target", 1024, 4096, false},
                          {"cargo-target", "/b/r/target", 1024, 4096, false}};
    r.cleaned_paths = {"/a/w/node_modules", "/a/r/\xff/target"};
    r.skipped_paths = {{"/b/r/target", "filesystem identity changed after scanning"}};
    return r;
}

TEST(CleanReportOutput, JsonCarriesEveryMemberAndShowsInvalidPathsReadably) {
    Json doc = clean_report_json(canned_real_run());
    ASSERT_EQ(doc.size(), kCleanFields.size());
    for (std::string_view name : kCleanFields) {
        EXPECT_TRUE(doc.contains(name)) << name;
    }
    EXPECT_EQ(json_compact(doc["filesystem_deltas"]),
              R"([{"delta_bytes":-2048,"free_bytes_after":7952,"free_bytes_before":10000,)"
              R"("probe_path":"/a"}])");
    EXPECT_EQ(json_compact(doc["selected_targets"][1]),
              "{\"allocated_bytes\":4096,\"bytes\":1024,\"kind\":\"cargo-target\","
              "\"network_restore\":false,\"path\":\"/a/r/\xef\xbf\xbd/target\"}");
    EXPECT_EQ(doc["cleaned_paths"], (Json{"/a/w/node_modules", "/a/r/\xef\xbf\xbd/target"}));
    EXPECT_EQ(json_compact(doc["skipped_paths"]),
              R"([{"path":"/b/r/target","reason":"filesystem identity changed after scanning"}])");
    EXPECT_EQ(doc["protected_skipped"], 4);
    EXPECT_EQ(doc["policy_skipped"], 5);
    EXPECT_EQ(doc["allocated_bytes_removed_estimate"], 8192);
    EXPECT_EQ(doc["changed"], true);
    EXPECT_EQ(doc["dry_run"], false);
}

TEST(CleanReportOutput, TextSummaryTailsAndTables) {
    CleanReport real = canned_real_run();
    // Refusals and failed removals are counted apart, each tail only when it has any.
    struct Tail {
        std::vector<SkipStage> stages;
        std::string text;
    };
    const std::vector<Tail> tails{
        {{SkipStage::Validation}, "; 1 refused during final validation"},
        {{SkipStage::Removal}, "; 1 failed during removal"},
        {{SkipStage::Removal, SkipStage::Validation, SkipStage::Removal},
         "; 1 refused during final validation; 2 failed during removal"},
    };
    for (const Tail& tail : tails) {
        real.skipped_paths.clear();
        for (SkipStage stage : tail.stages) {
            real.skipped_paths.push_back({"/b/r/target", "reason", stage});
        }
        EXPECT_EQ(clean_report_text(real),
                  "Cleaned 2 of 3 selected caches; 4 protected; 5 scan-only; 2.0 KiB apparent, "
                  "8.0 KiB allocated" +
                      tail.text + "; observed disk-free change -2.0 KiB net");
    }

    real.skipped = 0;
    real.skipped_paths.clear();
    real.filesystem_deltas.clear();
    EXPECT_EQ(clean_report_text(real),
              "Cleaned 2 of 3 selected caches; 4 protected; 5 scan-only; 2.0 KiB apparent, "
              "8.0 KiB allocated; observed disk-free change unavailable");

    real.filesystem_deltas = {{"/a", 0, 512, 512}, {"/b/\t\xff", 4096, 1024, -3072}};
    EXPECT_EQ(clean_report_text(real),
              "Cleaned 2 of 3 selected caches; 4 protected; 5 scan-only; 2.0 KiB apparent, "
              "8.0 KiB allocated; observed disk-free changes on 2 filesystems (reported "
              "separately in JSON)\n"
              "NET_CHANGE\tFREE_BEFORE\tFREE_AFTER\tFILESYSTEM_PROBE\n"
              "+512 B\t0 B\t512 B\t/a\n"
              "-3.0 KiB\t4.0 KiB\t1.0 KiB\t/b/\xef\xbf\xbd\xef\xbf\xbd");

    // A dry run counts what it would remove and lists the plan; no disk-free tail.
    CleanReport dry;
    dry.dry_run = true;
    dry.selected = 2;
    dry.protected_skipped = 1;
    dry.bytes_selected = 1536;
    dry.allocated_bytes_selected = 8192;
    dry.selected_targets = {{"python-venv", "/p/.venv", 1024, 4096, true},
                            {"cargo-target", "/p/z\x1b[2J\x1b[H/target", 512, 4096, false}};
    EXPECT_EQ(clean_report_text(dry),
              "Would clean 2 of 2 selected caches; 1 protected; 0 scan-only; 1.5 KiB apparent, "
              "8.0 KiB allocated\n"
              "APPARENT\tALLOCATED\tRESTORE\tKIND\tPATH\n"
              "1.0 KiB\t4.0 KiB\tnetwork\tpython-venv\t/p/.venv\n"
              "512 B\t4.0 KiB\tlocal\tcargo-target\t/p/z\xef\xbf\xbd[2J\xef\xbf\xbd[H/target");
    dry.selected_targets.clear();
    dry.selected = 0;
    EXPECT_EQ(clean_report_text(dry), "Would clean 0 of 0 selected caches; 1 protected; 0 "
                                      "scan-only; 1.5 KiB apparent, 8.0 KiB allocated");
}

TEST(CleanReportOutput, NothingRemovedNamesTheFirstFailedRemoval) {
    CleanReport r;
    r.selected = 3;
    r.skipped_paths = {{"/p/\x1b[2Ja", "path escaped its scan root", SkipStage::Validation},
                       {"/p/\xff/b", "Permission denied (os error 13)", SkipStage::Removal},
                       {"/p/c", "Directory not empty (os error 39)", SkipStage::Removal}};
    EXPECT_EQ(nothing_removed_message(r),
              "all 3 selected targets failed or were refused; first: /p/\xef\xbf\xbd/b: "
              "Permission denied (os error 13)");
    EXPECT_EQ(skipped_warnings(r), "warning: /p/\xef\xbf\xbd[2Ja: path escaped its scan root\n"
                                   "warning: /p/\xef\xbf\xbd/b: Permission denied (os error 13)\n"
                                   "warning: /p/c: Directory not empty (os error 39)\n");
    r.skipped_paths.resize(1);
    r.selected = 1;
    EXPECT_EQ(nothing_removed_message(r),
              "all 1 selected targets were refused during final validation; first: /p/\x1b[2Ja: "
              "path escaped its scan root");
}

TEST(CleanReportOutput, PromptListsThePlanAndAsks) {
    Candidate a;
    a.kind = "node-modules";
    a.path = "/w/node_modules";
    a.bytes = 2048;
    a.allocated_bytes = 4096;
    a.network_restore = true;
    Candidate b = a;
    b.kind = "cargo-target";
    b.path = "/r/x\x1b]0;PWNED\x07y\n\xC2\x85/target";
    b.bytes = 1;
    b.network_restore = false;
    EXPECT_EQ(clean_prompt_text({a, b}),
              "APPARENT\tALLOCATED\tRESTORE\tKIND\tPATH\n"
              "2.0 KiB\t4.0 KiB\tnetwork\tnode-modules\t/w/node_modules\n"
              "1 B\t4.0 KiB\tlocal\tcargo-target\t/r/x\xef\xbf\xbd]0;PWNED\xef\xbf\xbdy"
              "\xef\xbf\xbd\xef\xbf\xbd/target\n"
              "Clean 2 cache directories (2.0 KiB apparent, 8.0 KiB allocated)? 1 require "
              "downloads to restore. [y/N] ");
}

// The handler in this process over two Cargo projects, so that the executor's seam can
// change a target between its final validation and its removal.
class CleanHandler : public testing::Test {
protected:
    CleanHandler() {
        write_file(root() + "/a/Cargo.toml", "[package]\n");
        write_file(root() + "/a/target/debug/app", std::string(3000, 'a'));
        write_file(root() + "/b/Cargo.toml", "[package]\n");
        write_file(root() + "/b/target/debug/app", std::string(2000, 'b'));
        env_.vars["HOME"] = tmp_ / "home";
        env_.shared_tmp_root = tmp_ / "no-shared-tmp";
    }

    std::string root() const { return tmp_ / "projects"; }

    Result<std::string, AppError> run_confirmed(std::vector<std::string> fields = {},
                                                const BeforeRemove& before_remove = {}) {
        CleanArgs a;
        a.roots = {root()};
        a.include_recent = true; // the fixture was just written
        a.yes = true;
        a.fields = std::move(fields);
        return run_clean_with(std::move(a), true, env_, Console{}, before_remove);
    }

    TempDir tmp_;
    SystemEnv env_;
};

TEST_F(CleanHandler, TargetsChangedBeforeRemovalAreRefused) {
    // Swapping a target for a fresh directory of the same name, after its validation.
    std::vector<std::string> moved;
    auto swap = [&moved](const Candidate& c) {
        moved.push_back(c.path + "-moved" + std::to_string(moved.size()));
        if (std::rename(c.path.c_str(), moved.back().c_str()) != 0) {
            throw std::runtime_error("rename");
        }
        make_dirs(c.path);
    };
    auto partly = run_confirmed({}, [&](const Candidate& c) {
        if (c.path == root() + "/a/target") {
            swap(c);
        }
    });
    ASSERT_TRUE(partly.has_value()) << fmt_app_error(partly.error());
    Json doc = Json::parse(*partly);
    EXPECT_EQ(doc["cleaned_paths"], Json{root() + "/b/target"});
    EXPECT_EQ(doc["skipped"], 1);
    EXPECT_EQ(json_compact(doc["skipped_paths"]),
              json_compact(Json::array(
                  {{{"path", root() + "/a/target"}, {"reason", std::string(kIdentityChanged)}}})));
    ASSERT_EQ(moved, std::vector<std::string>{root() + "/a/target-moved0"});
    EXPECT_TRUE(exists_nofollow(moved[0] + "/debug/app"));

    // When every target is refused, the run is a conflict and prints no report.
    write_file(root() + "/b/target/debug/app", "again");
    auto conflict = run_confirmed({"changed"}, swap);
    ASSERT_FALSE(conflict.has_value());
    EXPECT_EQ(conflict.error().exit_status(), 5);
    EXPECT_EQ(fmt_app_error(conflict.error()),
              "cleanup conflicted with filesystem changes: all 2 selected targets were refused "
              "during final validation; first: " +
                  root() + "/b/target: " + std::string(kIdentityChanged));
    // The swapped-in directory of the first run is a target too.
    ASSERT_EQ(moved.size(), 3u);
    for (const std::string& path : moved) {
        EXPECT_TRUE(exists_nofollow(path)) << path;
    }
    EXPECT_EQ(test::read_file(moved[1] + "/debug/app"), "again");
}

// Runs the handler with `answer` waiting on a terminal-like input; the prompt's text is
// left in `asked`.
Result<std::string, AppError> run_answering(CleanArgs args, const SystemEnv& env,
                                            std::string_view answer, std::string& asked) {
    int in[2];
    int out[2];
    if (::pipe(in) != 0 || ::pipe(out) != 0) {
        throw std::runtime_error("pipe");
    }
    if (::write(in[1], answer.data(), answer.size()) != static_cast<ssize_t>(answer.size())) {
        throw std::runtime_error("write");
    }
    ::close(in[1]);
    auto result = run_clean_with(std::move(args), false, env, Console{in[0], out[1], true});
    ::close(in[0]);
    ::close(out[1]);
    asked.clear();
    char buf[4096];
    for (ssize_t n; (n = ::read(out[0], buf, sizeof buf)) > 0;) {
        asked.append(buf, static_cast<std::size_t>(n));
    }
    ::close(out[0]);
    return result;
}

TEST_F(CleanHandler, DeclinedOrUnaskableRunsRemoveNothing) {
    CleanArgs a;
    a.roots = {root()};
    a.include_recent = true;
    std::string asked;
    for (std::string_view declined : {"n\n", "\n", "", "y es\n", "yess\n"}) {
        SCOPED_TRACE(declined);
        auto r = run_answering(a, env_, declined, asked);
        ASSERT_TRUE(r.has_value()) << fmt_app_error(r.error());
        EXPECT_EQ(*r, "Cleaned 0 of 2 selected caches; 0 protected; 0 scan-only; 0 B apparent, "
                      "0 B allocated; observed disk-free change unavailable");
        EXPECT_TRUE(asked.ends_with("? 0 require downloads to restore. [y/N] ")) << asked;
    }
    EXPECT_TRUE(exists_nofollow(root() + "/a/target/debug/app"));
    EXPECT_TRUE(exists_nofollow(root() + "/b/target/debug/app"));

    // Without a terminal the handler refuses before it asks or removes anything.
    auto refused = run_clean_with(a, false, env_, Console{-1, -1, false});
    ASSERT_FALSE(refused.has_value());
    EXPECT_EQ(refused.error().exit_status(), 6);
    EXPECT_EQ(fmt_app_error(refused.error()),
              "confirmation is required before cleaning 2 cache directories");
    EXPECT_TRUE(exists_nofollow(root() + "/a/target/debug/app"));

    auto confirmed = run_answering(a, env_, " YES \n", asked);
    ASSERT_TRUE(confirmed.has_value()) << fmt_app_error(confirmed.error());
    EXPECT_TRUE(confirmed->starts_with("Cleaned 2 of 2 selected caches;")) << *confirmed;
    EXPECT_FALSE(exists_nofollow(root() + "/a/target"));
    EXPECT_FALSE(exists_nofollow(root() + "/b/target"));
}

} // namespace
} // namespace qb
