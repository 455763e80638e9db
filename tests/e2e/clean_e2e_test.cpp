// `clean` end to end over fixture trees: what is selected, what goes, and the prompt on
// a pseudo-terminal.

#include "scanner/mount_helper.hpp"
#include "support/test_support.hpp"

#include <algorithm>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <set>
#include <sys/stat.h>

namespace qb::test {
namespace {

using nlohmann::json;

// Sets the modification time of every entry of the tree to ten days ago, so that the
// cache is not protected by its age.
void age_tree(const std::string& root) {
    const timespec old{::time(nullptr) - 10 * 86400, 0};
    const timespec times[2] = {old, old};
    std::vector<std::string> paths{root};
    for (const auto& e : std::filesystem::recursive_directory_iterator(root)) {
        paths.push_back(e.path().string());
    }
    for (const std::string& p : paths) {
        ASSERT_EQ(::utimensat(AT_FDCWD, p.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << p;
    }
}

// The entries of `tree` that are not `gone` nor inside it.
std::vector<std::string> without(std::vector<std::string> tree, const std::string& gone) {
    std::erase_if(tree, [&](const std::string& entry) {
        std::string rel = entry.substr(2);
        return rel == gone || rel.starts_with(gone + "/");
    });
    return tree;
}

// A byte a terminal would act on: a C0 control other than the program's own tabs and
// line ends, DEL, or a C1 control (C2 80 to C2 9F in UTF-8).
bool has_raw_control(std::string_view text) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        auto c = static_cast<unsigned char>(text[i]);
        auto next = i + 1 < text.size() ? static_cast<unsigned char>(text[i + 1]) : 0;
        if ((c < 0x20 && c != '\t' && c != '\n') || c == 0x7F ||
            (c == 0xC2 && next >= 0x80 && next <= 0x9F)) {
            return true;
        }
    }
    return false;
}

// Under the projects root: two aged Cargo outputs (5000 and 2000 bytes), a freshly
// written node_modules (protected), and sources beside them. In the home directory, a
// Maven repository, which may be scanned but never cleaned.
class CleanE2e : public testing::Test {
protected:
    CleanE2e() {
        write_file(root() + "/rusty/Cargo.toml", "[package]\n");
        write_file(root() + "/rusty/src/main.rs", "fn main() {}\n");
        write_file(root() + "/rusty/target/debug/out.bin", std::string(5000, 'x'));
        write_file(root() + "/oxide/Cargo.toml", "[package]\n");
        write_file(root() + "/oxide/target/release/lib.rlib", std::string(2000, 'z'));
        write_file(root() + "/webby/package.json", "{}");
        write_file(root() + "/webby/node_modules/dep/index.js", std::string(3000, 'y'));
        env_ = hermetic_env(sandbox_ / "env");
        write_file(env_["HOME"] + "/.m2/repository/org/lib.jar", std::string(700, 'j'));
        age_tree(root() + "/rusty/target");
        age_tree(root() + "/oxide/target");
    }

    std::string root() const { return sandbox_ / "projects"; }
    std::string home() { return env_["HOME"]; }

    ProcessResult run(std::vector<std::string> args, std::optional<unsigned> max_open_files = {}) {
        ProcessOptions options;
        options.env = env_;
        options.cwd = sandbox_.path();
        options.max_open_files = max_open_files;
        return run_quillbarrow(args, options);
    }

    std::vector<std::string> clean_args(std::vector<std::string> extra) {
        std::vector<std::string> args{"clean", "--root", root(), "--scope", "all"};
        args.insert(args.end(), extra.begin(), extra.end());
        return args;
    }

    TempDir sandbox_;
    std::map<std::string, std::string> env_;
};

TEST_F(CleanE2e, DryRunChangesNothingAndShowsThePlan) {
    const auto before = list_tree(sandbox_.path());
    auto r = run(clean_args({"--dry-run", "--yes"}));
    ASSERT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    json doc = json::parse(r.out);
    EXPECT_EQ(doc.size(), 19u);
    EXPECT_EQ(doc["dry_run"], true);
    EXPECT_EQ(doc["confirmed"], false);
    EXPECT_EQ(doc["changed"], false);
    EXPECT_EQ(doc["selected"], 2);
    EXPECT_EQ(doc["protected_skipped"], 1);
    EXPECT_EQ(doc["policy_skipped"], 1);
    EXPECT_EQ(doc["bytes_selected"], 7000);
    EXPECT_EQ(doc["cleaned_paths"], json::array());
    EXPECT_EQ(doc["filesystem_deltas"], json::array());
    ASSERT_EQ(doc["selected_targets"].size(), 2u);
    EXPECT_EQ(doc["selected_targets"][0]["path"], root() + "/rusty/target");
    EXPECT_EQ(doc["selected_targets"][1]["path"], root() + "/oxide/target");

    auto text = run({"-o", "text", "clean", "--root", root(), "--dry-run"});
    ASSERT_EQ(text.exit_status, 0) << text.err;
    const std::string summary = text.out.substr(0, text.out.find('\n'));
    EXPECT_TRUE(summary.starts_with("Would clean 2 of 2 selected caches; 1 protected; 0 "
                                    "scan-only; 6.8 KiB apparent, "))
        << summary;
    EXPECT_TRUE(summary.ends_with(" allocated")) << summary;
    EXPECT_NE(text.out.find("\nAPPARENT\tALLOCATED\tRESTORE\tKIND\tPATH\n4.9 KiB\t"),
              std::string::npos)
        << text.out;
    EXPECT_TRUE(text.out.ends_with("\tlocal\tcargo-target\t" + root() + "/oxide/target\n"))
        << text.out;
    EXPECT_EQ(list_tree(sandbox_.path()), before);
}

TEST_F(CleanE2e, ConfirmedRunRemovesExactlyTheSelection) {
    const auto before = list_tree(sandbox_.path());
    // Seven descriptors free besides the standard three: one too few to work exactly.
    auto starved = run(clean_args({"--yes"}), 10);
    EXPECT_EQ(starved.exit_status, 4) << starved.err;
    EXPECT_EQ(starved.out, "");
    EXPECT_EQ(json::parse(starved.err)["error"]["message"],
              "filesystem operation failed for <file descriptors>: too few file descriptors: 8 "
              "must be free and 7 are");
    EXPECT_EQ(list_tree(sandbox_.path()), before);

    auto r = run(clean_args({"--yes"}), 11);
    ASSERT_EQ(r.exit_status, 0) << r.err;
    json doc = json::parse(r.out);
    EXPECT_EQ(doc["confirmed"], true);
    EXPECT_EQ(doc["changed"], true);
    EXPECT_EQ(doc["cleaned"], 2);
    EXPECT_EQ(doc["skipped"], 0);
    EXPECT_EQ(doc["apparent_bytes_removed"], 7000);
    EXPECT_EQ(doc["cleaned_paths"], (json{root() + "/rusty/target", root() + "/oxide/target"}));
    EXPECT_EQ(doc["skipped_paths"], json::array());
    ASSERT_EQ(doc["filesystem_deltas"].size(), 1u);
    EXPECT_EQ(doc["filesystem_deltas"][0]["probe_path"], root() + "/rusty");

    const std::string projects = "projects";
    EXPECT_EQ(list_tree(sandbox_.path()),
              without(without(before, projects + "/rusty/target"), projects + "/oxide/target"));

    // The protected cache goes only when recent caches are included; scan-only kinds
    // never go. Text this time.
    auto recent = run(
        {"-o", "text", "clean", "--root", root(), "--scope", "all", "--include-recent", "--yes"});
    ASSERT_EQ(recent.exit_status, 0) << recent.err;
    EXPECT_TRUE(recent.out.starts_with("Cleaned 1 of 1 selected caches; 0 protected; 1 "
                                       "scan-only; 2.9 KiB apparent, "))
        << recent.out;
    EXPECT_TRUE(recent.out.ends_with(" net\n")) << recent.out;
    EXPECT_NE(recent.out.find("; observed disk-free change "), std::string::npos);
    EXPECT_FALSE(exists_nofollow(root() + "/webby/node_modules"));
    EXPECT_TRUE(exists_nofollow(root() + "/webby/package.json"));
    EXPECT_TRUE(exists_nofollow(home() + "/.m2/repository/org/lib.jar"));
}

TEST_F(CleanE2e, WithoutATerminalOnlyYesRemoves) {
    const auto before = list_tree(sandbox_.path());
    auto refused = run(clean_args({}));
    EXPECT_EQ(refused.exit_status, 6);
    EXPECT_EQ(refused.out, "");
    json e = json::parse(refused.err)["error"];
    EXPECT_EQ(e["kind"], "confirmation_required");
    EXPECT_EQ(e["message"], "confirmation is required before cleaning 2 cache directories");
    EXPECT_EQ(e["hint"], "re-run with --yes to confirm cleanup");
    EXPECT_EQ(list_tree(sandbox_.path()), before);

    // Nothing selected: nothing to confirm.
    auto empty = run({"-o", "text", "clean", "--root", root(), "--kind", "node-modules"});
    EXPECT_EQ(empty.exit_status, 0) << empty.err;
    EXPECT_EQ(empty.out, "Cleaned 0 of 0 selected caches; 1 protected; 0 scan-only; 0 B "
                         "apparent, 0 B allocated; observed disk-free change unavailable\n");

    // Fields are checked before anything happens, even with --yes.
    auto fields = run(clean_args({"--yes", "--fields", "changed,bogus"}));
    EXPECT_EQ(fields.exit_status, 2);
    EXPECT_EQ(list_tree(sandbox_.path()), before);

    auto projected = run(clean_args({"--yes", "--fields", "changed,cleaned_paths"}));
    ASSERT_EQ(projected.exit_status, 0) << projected.err;
    EXPECT_EQ(projected.out,
              json({{"changed", true},
                    {"cleaned_paths", {root() + "/rusty/target", root() + "/oxide/target"}}})
                      .dump() +
                  "\n");
}

TEST_F(CleanE2e, TheScanRootItselfIsNeverRemoved) {
    // Given directly, or through a link to it: selected, then refused at removal.
    make_symlink(root() + "/rusty/target", sandbox_ / "link-to-target");
    const auto before = list_tree(sandbox_.path());
    for (const std::string& given : {root() + "/rusty/target", sandbox_ / "link-to-target"}) {
        SCOPED_TRACE(given);
        auto r = run({"clean", "--root", given, "--yes"});
        EXPECT_EQ(r.exit_status, 5);
        EXPECT_EQ(r.out, "");
        json e = json::parse(r.err)["error"];
        EXPECT_EQ(e["kind"], "conflict");
        EXPECT_EQ(e["message"], "cleanup conflicted with filesystem changes: all 1 selected "
                                "targets were refused during final validation; first: " +
                                    root() + "/rusty/target: path escaped its scan root");
        EXPECT_EQ(list_tree(sandbox_.path()), before);
    }

    // Beside a target that goes, the refused one is counted and named in text.
    auto partly = run({"-o", "text", "clean", "--root", root() + "/rusty/target", "--root",
                       root() + "/oxide", "--yes"});
    EXPECT_EQ(partly.exit_status, 0) << partly.err;
    EXPECT_TRUE(partly.out.starts_with(
        "Cleaned 1 of 2 selected caches; 0 protected; 0 scan-only; 2.0 KiB apparent, "))
        << partly.out;
    EXPECT_NE(partly.out.find(" allocated; 1 refused during final validation; observed "),
              std::string::npos)
        << partly.out;
    EXPECT_EQ(partly.err, "warning: " + root() + "/rusty/target: path escaped its scan root\n");
    EXPECT_EQ(list_tree(sandbox_.path()), without(before, "projects/oxide/target"));
}

TEST_F(CleanE2e, AFailedRemovalNamesItsCause) {
    // A directory that its owner may not write: the file in it cannot be unlinked.
    const std::string modules = root() + "/webby/node_modules";
    write_file(modules + "/locked/file.js", "x");
    const auto modules_before = tree_contents(modules);
    const std::string out = sandbox_ / "out";
    make_dirs(out);
    chown_tree(sandbox_.path());
    ASSERT_EQ(::chmod((modules + "/locked").c_str(), 0555), 0);
    auto status = run_unprivileged([&] {
        ProcessOptions options;
        options.env = env_;
        // First beside the two Cargo outputs, then alone.
        auto partly = run_quillbarrow(
            {"-o", "text", "clean", "--root", root(), "--include-recent", "--yes"}, options);
        std::vector<std::string> args{"clean",        "--root",           root(), "--kind",
                                      "node-modules", "--include-recent", "--yes"};
        auto j = run_quillbarrow(args, options);
        args.insert(args.begin(), {"-o", "text"});
        auto t = run_quillbarrow(args, options);
        write_file(out + "/partly.out", partly.out);
        write_file(out + "/partly.err", partly.err);
        write_file(out + "/json.err", j.err);
        write_file(out + "/text.err", t.err);
        return partly.exit_status * 256 + j.exit_status * 16 + t.exit_status;
    });
    ASSERT_TRUE(status.has_value()) << "could not drop privileges";
    EXPECT_EQ(*status, 5 * 16 + 5);
    const std::string cause = modules + ": Permission denied (os error 13)";

    // The partial run succeeds, and counts and names the failure as one.
    const std::string partly = read_file(out + "/partly.out");
    EXPECT_TRUE(partly.starts_with(
        "Cleaned 2 of 3 selected caches; 0 protected; 0 scan-only; 6.8 KiB apparent, "))
        << partly;
    EXPECT_NE(partly.find(" allocated; 1 failed during removal; observed "), std::string::npos)
        << partly;
    EXPECT_EQ(read_file(out + "/partly.err"), "warning: " + cause + "\n");
    EXPECT_FALSE(exists_nofollow(root() + "/rusty/target"));
    EXPECT_FALSE(exists_nofollow(root() + "/oxide/target"));
    // The walk stops at the locked directory: what it met before may be gone, nothing else.
    const auto modules_after = tree_contents(modules);
    EXPECT_TRUE(modules_after == modules_before || modules_after == without(modules_before, "dep"))
        << testing::PrintToString(modules_after);

    const std::string message = "cleanup conflicted with filesystem changes: all 1 selected "
                                "targets failed or were refused; first: " +
                                cause;
    const std::string hint = "scan again and review the changed targets";
    EXPECT_EQ(read_file(out + "/text.err"),
              "warning: " + cause + "\nError: " + message + "\nHint: " + hint + "\n");
    const json error = {{"error",
                         {{"exit_code", 5},
                          {"hint", hint},
                          {"kind", "conflict"},
                          {"message", message},
                          {"retryable", false}}}};
    EXPECT_EQ(read_file(out + "/json.err"), error.dump() + "\n");
    EXPECT_TRUE(exists_nofollow(modules + "/locked/file.js"));
}

TEST_F(CleanE2e, AMountPointTargetIsRefusedAndLeftAlone) {
    write_file(sandbox_ / "victim/data/file.bin", std::string(4000, 'v'));
    age_tree(sandbox_ / "victim");
    const auto victim = tree_contents(sandbox_ / "victim");
    const std::string mount_point = root() + "/oxide/target";
    // The binary runs in the child's mount namespace, the only one that sees the mount.
    run_in_mount_namespace([&] {
        mount_bind(sandbox_ / "victim", mount_point);
        auto r = run(clean_args({"--yes"}));
        ASSERT_EQ(r.exit_status, 0) << r.err;
        EXPECT_EQ(r.err, ""); // the report names the refusal
        json doc = json::parse(r.out);
        EXPECT_EQ(doc["cleaned_paths"], json{root() + "/rusty/target"});
        EXPECT_EQ(doc["skipped"], 1);
        EXPECT_EQ(doc["skipped_paths"], json::parse(R"([{"path":")" + mount_point +
                                                    R"(","reason":"target is a mount point"}])"));

        // Alone, it leaves nothing removed.
        auto alone = run(clean_args({"--yes"}));
        EXPECT_EQ(alone.exit_status, 5);
        EXPECT_EQ(json::parse(alone.err)["error"]["message"],
                  "cleanup conflicted with filesystem changes: all 1 selected targets were "
                  "refused during final validation; first: " +
                      mount_point + ": target is a mount point");
    });
    EXPECT_EQ(tree_contents(sandbox_ / "victim"), victim);
    EXPECT_TRUE(exists_nofollow(mount_point + "/release/lib.rlib"));
}

TEST_F(CleanE2e, PromptOnATerminal) {
    // Each answer gets a fresh copy of the two aged targets.
    auto reset = [&] {
        for (const char* name : {"rusty", "oxide"}) {
            const std::string target = root() + "/" + name + "/target";
            std::filesystem::remove_all(target);
            write_file(target + "/debug/out.bin", std::string(4096, 'q'));
            age_tree(target);
        }
    };
    auto ask = [&](const std::string& answer, std::vector<std::string> extra = {}) {
        ProcessOptions options;
        options.env = env_;
        options.cwd = sandbox_.path();
        options.terminal = TerminalInput{answer};
        std::vector<std::string> args{"-o", "json", "clean", "--root", root()};
        args.insert(args.end(), extra.begin(), extra.end());
        return run_quillbarrow(args, options);
    };
    const std::string question_end = "? 0 require downloads to restore. [y/N] ";

    reset();
    auto yes = ask("y\n");
    ASSERT_EQ(yes.exit_status, 0) << yes.err;
    EXPECT_TRUE(yes.answered);
    EXPECT_TRUE(yes.err.starts_with("APPARENT\tALLOCATED\tRESTORE\tKIND\tPATH\n4.0 KiB\t"))
        << yes.err;
    EXPECT_NE(yes.err.find("\tlocal\tcargo-target\t" + root() +
                           "/rusty/target\n" // equal sizes: path order
                           "Clean 2 cache directories (8.0 KiB apparent, "),
              std::string::npos)
        << yes.err;
    EXPECT_TRUE(yes.err.ends_with(question_end)) << yes.err;
    EXPECT_EQ(json::parse(yes.out)["cleaned"], 2);
    EXPECT_FALSE(exists_nofollow(root() + "/rusty/target"));

    for (std::string_view declined :
         {std::string_view("n\n"), std::string_view("\n"), kEndOfInputKey}) {
        reset();
        const auto before = list_tree(sandbox_.path());
        auto no = ask(std::string(declined));
        ASSERT_EQ(no.exit_status, 0) << no.err;
        EXPECT_TRUE(no.answered);
        EXPECT_TRUE(no.err.ends_with(question_end)) << no.err;
        json doc = json::parse(no.out);
        EXPECT_EQ(doc["dry_run"], false);
        EXPECT_EQ(doc["confirmed"], false);
        EXPECT_EQ(doc["selected"], 2);
        EXPECT_EQ(doc["cleaned"], 0);
        EXPECT_EQ(list_tree(sandbox_.path()), before);
    }

    reset();
    const auto before = list_tree(sandbox_.path());
    auto garbled = ask("y\xff\n");
    EXPECT_EQ(garbled.exit_status, 4);
    EXPECT_EQ(garbled.out, "");
    EXPECT_NE(garbled.err.find(question_end + R"({"error":{"exit_code":4,)"), std::string::npos)
        << garbled.err;
    EXPECT_NE(garbled.err.find("\"message\":\"filesystem operation failed for <stdin>: stream "
                               "did not contain valid UTF-8\""),
              std::string::npos)
        << garbled.err;
    EXPECT_EQ(list_tree(sandbox_.path()), before);

    // A dry run, or --yes, on a terminal asks nothing.
    auto dry = ask("y\n", {"--dry-run"});
    EXPECT_EQ(dry.exit_status, 0);
    EXPECT_FALSE(dry.answered);
    EXPECT_EQ(dry.err, "");
    EXPECT_EQ(list_tree(sandbox_.path()), before);
    auto confirmed = ask("n\n", {"--yes"});
    EXPECT_EQ(confirmed.exit_status, 0);
    EXPECT_FALSE(confirmed.answered);
    EXPECT_EQ(confirmed.err, "");
    EXPECT_FALSE(exists_nofollow(root() + "/oxide/target"));
}

TEST_F(CleanE2e, NamesWithControlCharactersReachNoTerminalRaw) {
    const std::string hostile = sandbox_ / "hostile";
    const std::vector<std::string> names{"x\x1b]0;PWNED\x07y", "z\x1b[2J\x1b[H", "t\tn\nl",
                                         "nel\xC2\x85"};
    std::set<std::string> exact;
    for (const std::string& name : names) {
        write_file(hostile + "/" + name + "/package.json", "{}");
        write_file(hostile + "/" + name + "/node_modules/dep/index.js", "x");
        age_tree(hostile + "/" + name + "/node_modules");
        exact.insert(hostile + "/" + name + "/node_modules");
    }
    const std::string r = "\xEF\xBF\xBD";
    const std::string shown = hostile + "/x" + r + "]0;PWNED" + r + "y";
    // The only tabs and line ends are the program's own: every row keeps its columns.
    auto check = [&](const std::string& text, long line_ends, long tabs) {
        SCOPED_TRACE(text);
        EXPECT_FALSE(has_raw_control(text));
        EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), line_ends);
        EXPECT_EQ(std::count(text.begin(), text.end(), '\t'), tabs);
        for (const std::string& part :
             {shown, "z" + r + "[2J" + r + "[H", "t" + r + "n" + r + "l", "nel" + r + "/"}) {
            EXPECT_NE(text.find(part), std::string::npos) << part;
        }
    };

    auto scan = run({"-o", "text", "scan", "--scope", "project", "--root", hostile});
    ASSERT_EQ(scan.exit_status, 0) << scan.err;
    check(scan.out, 6, 5 * 5); // summary, header, four rows
    auto dry = run({"-o", "text", "clean", "--root", hostile, "--dry-run"});
    ASSERT_EQ(dry.exit_status, 0) << dry.err;
    check(dry.out, 6, 5 * 4);

    ProcessOptions options;
    options.env = env_;
    options.cwd = sandbox_.path();
    options.terminal = TerminalInput{"n\n"};
    auto asked = run_quillbarrow({"-o", "text", "clean", "--root", hostile}, options);
    ASSERT_EQ(asked.exit_status, 0) << asked.err;
    EXPECT_TRUE(asked.answered);
    check(asked.err, 5, 5 * 4); // header, four rows, the question
    EXPECT_TRUE(exists_nofollow(hostile + "/" + names[0] + "/node_modules"));

    // JSON keeps the exact names, and the real path is what a removal acts on.
    json doc = json::parse(run({"scan", "--scope", "project", "--root", hostile}).out);
    std::set<std::string> paths;
    for (const json& item : doc["items"]) {
        paths.insert(item["path"].get<std::string>());
    }
    EXPECT_EQ(paths, exact);
    auto removed = run({"clean", "--root", hostile, "--yes"});
    ASSERT_EQ(removed.exit_status, 0) << removed.err;
    EXPECT_EQ(json::parse(removed.out)["cleaned"], 4);
    EXPECT_FALSE(exists_nofollow(hostile + "/" + names[2] + "/node_modules"));
    EXPECT_TRUE(exists_nofollow(hostile + "/" + names[2] + "/package.json"));

    const std::string gone = hostile + "/" + names[0] + "-gone";
    auto missing = run({"-o", "text", "scan", "--root", gone});
    EXPECT_EQ(missing.exit_status, 2);
    EXPECT_FALSE(has_raw_control(missing.err));
    EXPECT_TRUE(missing.err.starts_with("Error: path is not a readable directory: " + shown +
                                        "-gone\nHint: "))
        << missing.err;
    EXPECT_EQ(json::parse(run({"scan", "--root", gone}).err)["error"]["message"],
              "path is not a readable directory: " + gone);
    // A name passed where no word is expected: the usage error quotes it printably.
    auto stray = run({"-o", "text", "scan", names[0]});
    EXPECT_EQ(stray.exit_status, 3);
    EXPECT_FALSE(has_raw_control(stray.err));
    EXPECT_NE(stray.err.find("'x" + r + "]0;PWNED" + r + "y'"), std::string::npos) << stray.err;
}

// With the home directory as the root: a ccache directory whose shards carry tags of
// their own, and a tagged Cargo git directory over the global checkouts. Each tree is
// selected once, as its outer cache, so nothing is left to be refused.
TEST_F(CleanE2e, CachesInsideCachesAreCleanedOnce) {
    const std::string tag = "Signature: 8a477f597d28d172789f06886806bc55\n";
    const std::string ccache = home() + "/.cache/ccache";
    for (const char* shard : {"3", "7", "a"}) {
        write_file(ccache + "/" + shard + "/CACHEDIR.TAG", tag);
        write_file(ccache + "/" + shard + "/obj", std::string(100, 'o'));
    }
    const std::string git = home() + "/.cargo/git";
    write_file(git + "/CACHEDIR.TAG", tag);
    write_file(git + "/checkouts/repo/src.rs", "c");
    auto r = run({"clean", "--root", home(), "--scope", "all", "--yes", "--include-recent"});
    ASSERT_EQ(r.exit_status, 0) << r.err;
    json doc = json::parse(r.out);
    EXPECT_EQ(doc["skipped"], 0) << r.out;
    EXPECT_EQ(doc["cleaned_paths"], (json{ccache, git}));
    EXPECT_FALSE(exists_nofollow(ccache));
    EXPECT_FALSE(exists_nofollow(git));
}

// A clean that must leave a home directory, and every directory holding it, alone.
struct HomeCase {
    std::string home;           // where the home directory is
    std::string home_var = {};  // HOME as given, "" for `home`
    std::string cwd = {};       // "" for the sandbox
    std::string xdg_cache = {}; // "" keeps the sandbox's own
    std::vector<std::string> args;
    std::string walked_home = {}; // the home as the walk reaches it, "" when none does
};

// A directory that is the home directory or holds it is never a cache, whatever marks it
// as one and whatever path leads to it; the walk goes on into it, so the caches inside
// the home are still found.
class CleanHomeE2e : public CleanE2e {
protected:
    void tag(const std::string& dir) {
        write_file(dir + "/CACHEDIR.TAG", "Signature: 8a477f597d28d172789f06886806bc55\n");
    }

    void expect_home_kept(const HomeCase& k) {
        SCOPED_TRACE(k.home);
        write_file(k.home + "/.ssh/id", "key");
        write_file(k.home + "/w/package.json", "{}");
        write_file(k.home + "/w/node_modules/dep.js", "d");
        const auto before = list_tree(sandbox_.path());
        ProcessOptions options;
        options.env = env_;
        options.env["HOME"] = k.home_var.empty() ? k.home : k.home_var;
        if (!k.xdg_cache.empty()) {
            options.env["XDG_CACHE_HOME"] = k.xdg_cache;
        }
        options.cwd = k.cwd.empty() ? sandbox_.path() : k.cwd;
        std::vector<std::string> args = k.args;
        args.insert(args.end(), {"--yes", "--include-recent"});
        auto run = run_quillbarrow(args, options);
        ASSERT_EQ(run.exit_status, 0) << run.err;
        // The inner cache alone is selected: no directory holding the home is a row.
        const std::string inner = k.walked_home + "/w/node_modules";
        const json expected = k.walked_home.empty() ? json::array() : json{inner};
        json doc = json::parse(run.out);
        EXPECT_EQ(doc["cleaned_paths"], expected);
        EXPECT_EQ(doc["selected"], expected.size());
        auto after = before;
        if (!k.walked_home.empty()) {
            for (const std::string& gone : {inner, k.home + "/w/node_modules"}) {
                after = without(after, gone.substr(sandbox_.path().size() + 1));
            }
        }
        EXPECT_EQ(list_tree(sandbox_.path()), after);
        EXPECT_EQ(read_file(k.home + "/.ssh/id"), "key");
    }
};

TEST_F(CleanHomeE2e, AHomeIsNeverACache) {
    const std::string tagged = sandbox_ / "r1";
    const std::string project = sandbox_ / "r2";
    tag(tagged + "/x");
    write_file(project + "/p/package.json", "{}");
    // A relative HOME names the directory it leads to from the working directory.
    tag(sandbox_ / "r3/x");
    tag(sandbox_ / "r4/x");
    make_dirs(sandbox_ / "r4/x/home");
    const HomeCase cases[] = {
        {.home = tagged + "/x/home",
         .args = {"clean", "--root", tagged},
         .walked_home = tagged + "/x/home"},
        {.home = project + "/p/node_modules/u",
         .args = {"clean", "--root", project},
         .walked_home = project + "/p/node_modules/u"},
        {.home = sandbox_ / "s/pip",
         .xdg_cache = sandbox_ / "s",
         .args = {"clean", "--scope", "global"}},
        {.home = sandbox_ / "r3/x/home",
         .home_var = "r3/x/home",
         .args = {"clean", "--root", sandbox_ / "r3"},
         .walked_home = sandbox_ / "r3/x/home"},
        {.home = sandbox_ / "r4/x/home",
         .home_var = ".",
         .cwd = sandbox_ / "r4/x/home",
         .args = {"clean", "--root", sandbox_ / "r4"},
         .walked_home = sandbox_ / "r4/x/home"},
    };
    for (const HomeCase& k : cases) {
        expect_home_kept(k);
    }
}

// A bind mount gives a directory a second canonical path: the home is known by its device
// and inode too.
TEST_F(CleanHomeE2e, AHomeReachedThroughABindMountIsNeverACache) {
    tag(sandbox_ / "r5/x");
    write_file(sandbox_ / "r6/p/package.json", "{}");
    const HomeCase cases[] = {
        {.home = sandbox_ / "r5/x/home",
         .args = {"clean", "--root", sandbox_ / "q5"},
         .walked_home = sandbox_ / "q5/x/home"},
        {.home = sandbox_ / "r6/p/node_modules/u",
         .args = {"clean", "--root", sandbox_ / "q6"},
         .walked_home = sandbox_ / "q6/p/node_modules/u"},
        {.home = sandbox_ / "r7/pip",
         .xdg_cache = sandbox_ / "q7",
         .args = {"clean", "--scope", "global"}},
    };
    make_dirs(sandbox_ / "r7");
    for (const char* n : {"5", "6", "7"}) {
        make_dirs(sandbox_ / (std::string("q") + n));
    }
    run_in_mount_namespace([&] {
        for (const char* n : {"5", "6", "7"}) {
            mount_bind(sandbox_ / (std::string("r") + n), sandbox_ / (std::string("q") + n));
        }
        for (const HomeCase& k : cases) {
            expect_home_kept(k);
        }
    });
    if (IsSkipped()) {
        return;
    }
    for (const HomeCase& k : cases) {
        EXPECT_EQ(read_file(k.home + "/.ssh/id"), "key") << k.home;
    }
}

// An account database that cannot be read whole (here for an entry too large to read) is
// trusted for nothing: the scan warns, and the clean removes nothing and exits 4.
TEST_F(CleanE2e, AnAccountDatabaseReadInPartRemovesNothing) {
    write_file(sandbox_ / "passwd",
               "huge:x:4545:4545:" + std::string(2 << 20, 'g') + ":" + root() + ":/bin/sh\n");
    const auto before = list_tree(sandbox_.path());
    run_in_mount_namespace([&] {
        mount_bind(sandbox_ / "passwd", "/etc/passwd");
        auto r = run(clean_args({"--yes"}));
        EXPECT_EQ(r.exit_status, 4) << r.err;
        EXPECT_EQ(r.out, "");
        const std::string text = "filesystem operation failed for <account database>: "
                                 "Numerical result out of range (os error 34)";
        const std::string warning = "warning: " + text + "\n";
        ASSERT_TRUE(r.err.starts_with(warning)) << r.err;
        EXPECT_EQ(json::parse(r.err.substr(warning.size()))["error"]["message"], text);
        EXPECT_EQ(list_tree(sandbox_.path()), before);
    });
}

TEST_F(CleanE2e, WalkErrorsAreWarningsOnStandardError) {
    // The name of the unreadable directory holds an escape: the warning shows U+FFFD.
    make_dirs(root() + "/lo\x1b[2Jcked/inner");
    chown_tree(sandbox_.path());
    ASSERT_EQ(::chmod((root() + "/lo\x1b[2Jcked").c_str(), 0), 0);
    const std::string out = sandbox_ / "out";
    make_dirs(out);
    chown_tree(out);
    auto status = run_unprivileged([&] {
        ProcessOptions options;
        options.env = env_;
        auto j = run_quillbarrow({"clean", "--root", root(), "--dry-run"}, options);
        auto t = run_quillbarrow({"-o", "text", "clean", "--root", root(), "--dry-run"}, options);
        write_file(out + "/json.out", j.out);
        write_file(out + "/json.err", j.err);
        write_file(out + "/text.err", t.err);
        return j.exit_status * 16 + t.exit_status;
    });
    ASSERT_TRUE(status.has_value()) << "could not drop privileges";
    EXPECT_EQ(*status, 0);
    const std::string warning = "warning: IO error for operation on " + root() +
                                "/lo\xEF\xBF\xBD[2Jcked: Permission denied (os error 13)\n";
    EXPECT_EQ(read_file(out + "/json.err"), warning);
    EXPECT_EQ(read_file(out + "/text.err"), warning);
    EXPECT_EQ(json::parse(read_file(out + "/json.out"))["selected"], 2);
}

} // namespace
} // namespace qb::test
