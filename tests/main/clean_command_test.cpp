#include "main/clean_command.hpp"
#include "scanner/clean_hooks.hpp"
#include "scanner/safe_remove.hpp"
#include "support/test_support.hpp"

#include <algorithm>
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
    EXPECT_EQ(clean_report_text(real),
              "Cleaned 2 of 3 selected caches; 4 protected; 5 scan-only; 2.0 KiB apparent, "
              "8.0 KiB allocated; 1 refused during final validation; observed disk-free "
              "change -2.0 KiB net");

    real.skipped = 0;
    real.filesystem_deltas.clear();
    EXPECT_EQ(clean_report_text(real),
              "Cleaned 2 of 3 selected caches; 4 protected; 5 scan-only; 2.0 KiB apparent, "
              "8.0 KiB allocated; observed disk-free change unavailable");

    real.filesystem_deltas = {{"/a", 0, 512, 512}, {"/b/\xff", 4096, 1024, -3072}};
    EXPECT_EQ(clean_report_text(real),
              "Cleaned 2 of 3 selected caches; 4 protected; 5 scan-only; 2.0 KiB apparent, "
              "8.0 KiB allocated; observed disk-free changes on 2 filesystems (reported "
              "separately in JSON)\n"
              "NET_CHANGE\tFREE_BEFORE\tFREE_AFTER\tFILESYSTEM_PROBE\n"
              "+512 B\t0 B\t512 B\t/a\n"
              "-3.0 KiB\t4.0 KiB\t1.0 KiB\t/b/\xef\xbf\xbd");

    // A dry run counts what it would remove and lists the plan; no disk-free tail.
    CleanReport dry;
    dry.dry_run = true;
    dry.selected = 2;
    dry.protected_skipped = 1;
    dry.bytes_selected = 1536;
    dry.allocated_bytes_selected = 8192;
    dry.selected_targets = {{"python-venv", "/p/.venv", 1024, 4096, true},
                            {"cargo-target", "/p/target", 512, 4096, false}};
    EXPECT_EQ(clean_report_text(dry),
              "Would clean 2 of 2 selected caches; 1 protected; 0 scan-only; 1.5 KiB apparent, "
              "8.0 KiB allocated\n"
              "APPARENT\tALLOCATED\tRESTORE\tKIND\tPATH\n"
              "1.0 KiB\t4.0 KiB\tnetwork\tpython-venv\t/p/.venv\n"
              "512 B\t4.0 KiB\tlocal\tcargo-target\t/p/target");
    dry.selected_targets.clear();
    dry.selected = 0;
    EXPECT_EQ(clean_report_text(dry), "Would clean 0 of 0 selected caches; 1 protected; 0 "
                                      "scan-only; 1.5 KiB apparent, 8.0 KiB allocated");
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
    b.path = "/r/target";
    b.bytes = 1;
    b.network_restore = false;
    EXPECT_EQ(clean_prompt_text({a, b}),
              "APPARENT\tALLOCATED\tRESTORE\tKIND\tPATH\n"
              "2.0 KiB\t4.0 KiB\tnetwork\tnode-modules\t/w/node_modules\n"
              "1 B\t4.0 KiB\tlocal\tcargo-target\t/r/target\n"
              "Clean 2 cache directories (2.0 KiB apparent, 8.0 KiB allocated)? 1 require "
              "downloads to restore. [y/N] ");
}

// Two Cargo projects under a root, run through the handler in this process with the
// prompt on pipes.
class CleanHandler : public testing::Test {
protected:
    CleanHandler() {
        write_file(root() + "/a/Cargo.toml", "[package]\n");
        write_file(root() + "/a/target/debug/app", std::string(3000, 'a'));
        write_file(root() + "/b/Cargo.toml", "[package]\n");
        write_file(root() + "/b/target/debug/app", std::string(2000, 'b'));
        env_.vars["HOME"] = tmp_ / "home";
        env_.shared_tmp_root = tmp_ / "no-shared-tmp";
        if (::pipe(out_) != 0) {
            throw std::runtime_error("pipe");
        }
    }
    ~CleanHandler() override {
        clean_hooks::set_before_remove({});
        ::close(out_[0]);
        ::close(out_[1]);
    }

    std::string root() const { return tmp_ / "projects"; }

    CleanArgs args() const {
        CleanArgs a;
        a.roots = {root()};
        a.include_recent = true; // the fixture was just written
        return a;
    }

    // The handler with `answer` waiting on a terminal-like standard input (none: not a
    // terminal at all).
    Result<std::string, AppError> run(CleanArgs a, std::optional<std::string> answer,
                                      bool json = true) {
        int in[2];
        if (::pipe(in) != 0) {
            throw std::runtime_error("pipe");
        }
        std::string data = answer.value_or("");
        (void)!::write(in[1], data.data(), data.size());
        ::close(in[1]);
        auto result =
            run_clean_with(std::move(a), json, env_, Console{in[0], out_[1], answer.has_value()});
        ::close(in[0]);
        return result;
    }

    // What the handler wrote to its prompt stream so far.
    std::string prompted() {
        ::close(out_[1]);
        std::string text(65536, '\0');
        ssize_t n = ::read(out_[0], text.data(), text.size());
        text.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
        if (::pipe(out_) != 0) {
            throw std::runtime_error("pipe");
        }
        return text;
    }

    bool target_exists(const char* project) const {
        return exists_nofollow(root() + "/" + project + "/target");
    }

    TempDir tmp_;
    SystemEnv env_;
    int out_[2] = {-1, -1};
};

TEST_F(CleanHandler, ConfirmationDecidesWhetherAnythingGoes) {
    CleanArgs plain = args();
    auto refused = run(plain, std::nullopt);
    ASSERT_FALSE(refused.has_value());
    EXPECT_EQ(fmt_app_error(refused.error()),
              "confirmation is required before cleaning 2 cache directories");
    EXPECT_EQ(refused.error().exit_status(), 6);
    EXPECT_EQ(prompted(), "");

    auto declined = run(plain, "no\n");
    ASSERT_TRUE(declined.has_value()) << fmt_app_error(declined.error());
    Json doc = Json::parse(*declined);
    EXPECT_EQ(doc["dry_run"], false);
    EXPECT_EQ(doc["confirmed"], false);
    EXPECT_EQ(doc["changed"], false);
    EXPECT_EQ(doc["selected"], 2);
    EXPECT_EQ(doc["cleaned"], 0);
    EXPECT_EQ(doc["selected_targets"].size(), 2u);
    const std::string asked = prompted();
    EXPECT_TRUE(asked.starts_with("APPARENT\tALLOCATED\tRESTORE\tKIND\tPATH\n")) << asked;
    // The header, a row per target, and the question without a line end.
    EXPECT_EQ(std::count(asked.begin(), asked.end(), '\n'), 3) << asked;
    const std::string question = asked.substr(asked.rfind('\n') + 1);
    EXPECT_TRUE(question.starts_with("Clean 2 cache directories (4.9 KiB apparent, ")) << asked;
    EXPECT_TRUE(question.ends_with(" allocated)? 0 require downloads to restore. [y/N] ")) << asked;

    auto unreadable = run(plain, "y\xc3\n");
    ASSERT_FALSE(unreadable.has_value());
    EXPECT_EQ(unreadable.error().exit_status(), 4);
    EXPECT_TRUE(prompted().ends_with("[y/N] "));
    EXPECT_TRUE(target_exists("a") && target_exists("b"));

    // The prompt is not shown for a dry run, even on a terminal.
    CleanArgs dry = args();
    dry.dry_run = true;
    auto planned = run(dry, "y\n", false);
    ASSERT_TRUE(planned.has_value());
    EXPECT_TRUE(planned->starts_with("Would clean 2 of 2 selected caches")) << *planned;
    EXPECT_EQ(prompted(), "");
    EXPECT_TRUE(target_exists("a") && target_exists("b"));

    auto confirmed = run(plain, " Yes\n");
    ASSERT_TRUE(confirmed.has_value()) << fmt_app_error(confirmed.error());
    doc = Json::parse(*confirmed);
    EXPECT_EQ(doc["confirmed"], true);
    EXPECT_EQ(doc["cleaned"], 2);
    EXPECT_FALSE(target_exists("a") || target_exists("b"));
    EXPECT_TRUE(exists_nofollow(root() + "/a/Cargo.toml"));
}

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
    clean_hooks::set_before_remove([&](const Candidate& c) {
        if (c.path == root() + "/a/target") {
            swap(c);
        }
    });
    CleanArgs a = args();
    a.yes = true;
    auto partly = run(a, std::nullopt);
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
    clean_hooks::set_before_remove(swap);
    a.fields = {"changed"};
    auto conflict = run(a, std::nullopt);
    ASSERT_FALSE(conflict.has_value());
    EXPECT_EQ(conflict.error().exit_status(), 5);
    EXPECT_EQ(fmt_app_error(conflict.error()),
              "cleanup conflicted with filesystem changes: all 2 selected targets were refused "
              "during final validation");
    // The swapped-in directory of the first run is a target too.
    ASSERT_EQ(moved.size(), 3u);
    for (const std::string& path : moved) {
        EXPECT_TRUE(exists_nofollow(path)) << path;
    }
    EXPECT_EQ(test::read_file(moved[1] + "/debug/app"), "again");
}

TEST_F(CleanHandler, FieldsAreCheckedBeforeAnythingIsScannedOrRemoved) {
    CleanArgs a = args();
    a.yes = true;
    a.roots = {tmp_ / "missing"};
    a.fields = {"changed", "nosuch"};
    auto bad = run(a, std::nullopt);
    ASSERT_FALSE(bad.has_value());
    EXPECT_EQ(bad.error().exit_status(), 2);
    EXPECT_NE(fmt_app_error(bad.error())
                  .find("unknown field nosuch; expected one of changed, "
                        "dry_run, confirmed, selected,"),
              std::string::npos);

    a = args();
    a.yes = true;
    a.fields = {"cleaned_paths", "changed", "cleaned_paths"};
    auto projected = run(a, std::nullopt);
    ASSERT_TRUE(projected.has_value());
    Json doc = Json::parse(*projected);
    EXPECT_EQ(doc.size(), 2u);
    EXPECT_EQ(doc["changed"], true);
    EXPECT_EQ(doc["cleaned_paths"].size(), 2u);
}

} // namespace
} // namespace qb
