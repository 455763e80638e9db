// The interactive interface end to end: the built binary inside a private tmux server,
// on a fixture tree with a temporary home and a fake `docker` client alone on the
// program's PATH, so no real one is reachable. Each session checks what a user would
// see and that quitting (or a signal) leaves the terminal as it found it.

#include "support/tmux_fixture.hpp"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <fmt/format.h>
#include <functional>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sstream>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace qb::test {
namespace {

// Where the harness finds its own tools (sh, stty, mv, sleep, touch); the program
// itself gets a PATH of the test's own.
const char* const kSystemPath = "/usr/sbin:/usr/bin:/sbin:/bin";

std::uint64_t wall_now() {
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::seconds>(
                                          std::chrono::system_clock::now().time_since_epoch())
                                          .count());
}

// The storage report of the fake client: the build cache is emptied by a prune.
const char* const kFakeDocker = R"(#!/bin/sh
printf '%s\n' "$*" >> "$QB_FAKE_DOCKER/calls"
case "$1 $2" in
"system df")
    echo '{"Active":"1","Reclaimable":"100MB","Size":"500MB","TotalCount":"3","Type":"Images"}'
    echo '{"Active":"0","Reclaimable":"0B","Size":"0B","TotalCount":"0","Type":"Containers"}'
    echo '{"Active":"0","Reclaimable":"0B","Size":"0B","TotalCount":"0","Type":"Local Volumes"}'
    if [ -f "$QB_FAKE_DOCKER/pruned" ]; then
        echo '{"Active":"0","Reclaimable":"0B","Size":"0B","TotalCount":"0","Type":"Build Cache"}'
    else
        echo '{"Active":"0","Reclaimable":"2GB","Size":"2GB","TotalCount":"7","Type":"Build Cache"}'
    fi
    ;;
"builder prune")
    /bin/touch "$QB_FAKE_DOCKER/pruned"
    echo "Total reclaimed space: 2GB"
    ;;
*)
    echo "unexpected: $*" >&2
    exit 1
    ;;
esac
)";

class TuiSession : public TmuxTest {
protected:
    TuiSession() : TmuxTest("qb") {}

    void SetUp() override {
        TmuxTest::SetUp();
        if (IsSkipped()) {
            return;
        }
        work_ = dir_ / "work";
        home_ = dir_ / "home";
        // Two old Rust build directories, a fresh dependency folder, a global npm cache.
        blob(work_ + "/alpha/target/debug/app", 300 * 1024);
        write_file(work_ + "/alpha/Cargo.toml", "[package]\nname = \"alpha\"\n");
        write_file(work_ + "/alpha/src/main.rs", "fn main() {}\n");
        blob(work_ + "/beta/node_modules/left-pad/index.js", 200 * 1024);
        write_file(work_ + "/beta/package.json", "{}\n");
        blob(work_ + "/gamma/target/release/tool", 100 * 1024);
        write_file(work_ + "/gamma/Cargo.toml", "[package]\nname = \"gamma\"\n");
        blob(home_ + "/.npm/_cacache/index-v5/00", 50 * 1024);
        age_tree(work_ + "/alpha/target", 30);
        age_tree(work_ + "/gamma/target", 30);
        age_tree(home_ + "/.npm/_cacache", 30);
        make_dirs(dir_ / "tmp");
        make_dirs(dir_ / "fake");

        write_file(dir_ / "bin/docker", kFakeDocker);
        ASSERT_EQ(::chmod((dir_ / "bin/docker").c_str(), 0755), 0);

        options_.env = {{"PATH", kSystemPath}, {"HOME", home_}, {"TMUX_TMPDIR", dir_.path()}};
    }

    static void blob(const std::string& path, std::size_t bytes) {
        write_file(path, std::string(bytes, 'q'));
    }

    static void age_tree(const std::string& root, int days) {
        std::string stamp =
            fmt::format("@{}", wall_now() - static_cast<std::uint64_t>(days) * 86'400);
        ProcessOptions o;
        o.env = {{"PATH", kSystemPath}};
        ProcessResult r =
            run_process({"/usr/bin/find", root, "-exec", "touch", "-h", "-d", stamp, "{}", "+"}, o);
        ASSERT_EQ(r.exit_status, 0) << r.err;
    }

    // Wide enough for the whole of every path the table shows, however long the temporary
    // directory's: the table has two thirds of the width, its other columns some fifty cells.
    std::uint16_t width() const { return static_cast<std::uint16_t>(160 + 2 * work_.size()); }

    // Starts the interface in a pane width() x 30. The script records the terminal modes
    // before and after, the exit status and the program's pid, and holds the pane open
    // afterwards; with `gate` it waits for the file "go" before starting.
    void start(const std::vector<std::string>& args, bool gate = false) {
        std::string quoted;
        for (const std::string& a : args) {
            quoted += " '" + a + "'";
        }
        std::string env = fmt::format(
            "export PATH='{}' HOME='{}' XDG_CACHE_HOME='{}' XDG_DATA_HOME='{}' TMPDIR='{}' "
            "QB_FAKE_DOCKER='{}' TERM=xterm-256color LANG=C.UTF-8 COLORTERM=truecolor "
            "ASAN_OPTIONS=abort_on_error=0:detect_leaks=1 UBSAN_OPTIONS=halt_on_error=1\n"
            "unset LC_ALL LC_CTYPE NO_COLOR QUILLBARROW_ASCII QUILLBARROW_REDUCE_MOTION "
            "QUILLBARROW_NO_CACHE\n",
            kSystemPath, home_, home_ + "/.cache", home_ + "/.local/share", dir_ / "tmp",
            dir_ / "fake");
        std::string script = env + "cd '" + work_ + "'\n";
        if (gate) {
            script += "while [ ! -f '" + dir_ / "go" + "' ]; do sleep 0.02; done\n";
        }
        script += "stty -g > '" + dir_ / "before" + "'\n";
        script += "PATH='" + dir_ / "bin" + "' /bin/sh -c 'echo $$ > \"$0\"; exec \"$@\"' '" +
                  dir_ / "pid" + "' '" + binary_path() + "'" + quoted + "\n";
        script += "echo $? > '" + dir_ / "rc.tmp" + "'\n";
        script += "stty -g > '" + dir_ / "after" + "'\n";
        script += "mv '" + dir_ / "rc.tmp" + "' '" + dir_ / "rc" + "'\n";
        script += "exec sleep 600\n";
        write_file(dir_ / "run.sh", script);
        start_session(width(), 30, "sh " + dir_ / "run.sh");
    }

    bool stops_showing(const std::string& text) {
        return wait_for([&] { return screen().find(text) == std::string::npos; });
    }

    // The first row of the screen that holds all of `texts`, or "".
    std::string line_with(std::initializer_list<std::string> texts) {
        std::stringstream ss(screen());
        std::string line;
        while (std::getline(ss, line)) {
            if (std::all_of(texts.begin(), texts.end(), [&](const std::string& t) {
                    return line.find(t) != std::string::npos;
                })) {
                return line;
            }
        }
        return {};
    }

    void quit_and_expect_restored() {
        keys({"q"});
        expect_restored("0");
    }

    std::vector<std::string> docker_calls() {
        return lines_of(read_text(dir_ / "fake/calls").value_or(""));
    }

    std::string work_;
    std::string home_;
};

TEST_F(TuiSession, FirstFrameFromTheSnapshotThenScanResults) {
    // The snapshot remembers alpha as much larger than it is now.
    std::uint64_t now = wall_now();
    write_file(home_ + "/.cache/quillbarrow/scan-v1.json",
               fmt::format(R"({{"version":1,"entries":[)"
                           R"({{"kind":"cargo-target","ecosystem":"rust","scope":"project",)"
                           R"("path":"{}","bytes":5368709120,"allocated_bytes":5368709120,)"
                           R"("modified_unix":{},"cleanable":true,"observed_unix":{}}},)"
                           R"({{"kind":"cargo-target","ecosystem":"rust","scope":"project",)"
                           R"("path":"/elsewhere/target","bytes":1,"allocated_bytes":1,)"
                           R"("modified_unix":null,"cleanable":true,"observed_unix":{}}}]}})",
                           work_ + "/alpha/target", now - 3 * 86'400, now - 60, now));
    start({"tui", "--root", work_}, true);
    ASSERT_EQ(tmux({"pipe-pane", "-t", "qb", "-o", "cat >> '" + dir_ / "output" + "'"}).exit_status,
              0);
    write_file(dir_ / "go");

    // The remembered estimate is on screen before the scan has measured anything; the
    // entry outside the roots is not.
    ASSERT_TRUE(wait_for([&] {
        auto out = read_text(dir_ / "output");
        return out && out->find("~5.0 GiB") != std::string::npos;
    })) << read_text(dir_ / "output").value_or("");
    EXPECT_EQ(read_text(dir_ / "output")->find("/elsewhere"), std::string::npos);

    // Then the measured results replace it.
    ASSERT_TRUE(shows("READY")) << screen();
    EXPECT_TRUE(shows("300.0 KiB")) << screen();
    EXPECT_EQ(screen().find("~5.0 GiB"), std::string::npos) << screen();
    EXPECT_NE(line_with({"300.0 KiB", "cargo-target", "30d", "project", "/alpha/target"}), "")
        << screen();
    EXPECT_NE(line_with({"200.0 KiB", "node-modules", "0d", "project", "/beta/node_modules"}), "");
    EXPECT_NE(line_with({"50.0 KiB", "npm-cache", "global", "/home/.npm/_cacache"}), "");
    EXPECT_TRUE(shows("Docker build cache")) << screen();
    quit_and_expect_restored();
}

TEST_F(TuiSession, BrowseSortFilterScopeSelectAndHelp) {
    start({"tui", "--root", work_});
    ASSERT_TRUE(shows("Docker images")) << screen();
    EXPECT_TRUE(shows("Storage \xC2\xB7 All \xC2\xB7 Size \xE2\x86\x93 ")) << screen();
    auto row_of = [&](const std::string& text) {
        std::stringstream ss(screen());
        std::string line;
        for (int y = 0; std::getline(ss, line); ++y) {
            if (line.find(text) != std::string::npos) {
                return y;
            }
        }
        return -1;
    };
    // Size order, Docker rows after every cache; Age puts the fresh node_modules last;
    // Name puts the home's npm cache first.
    EXPECT_LT(row_of("/beta/node_modules"), row_of("/gamma/target"));
    EXPECT_LT(row_of("_cacache"), row_of("Docker build cache"));
    keys({"s"});
    ASSERT_TRUE(shows("Age \xE2\x86\x93")) << screen();
    EXPECT_LT(row_of("/gamma/target"), row_of("/beta/node_modules")) << screen();
    keys({"s"});
    ASSERT_TRUE(shows("Name \xE2\x86\x91")) << screen();
    EXPECT_LT(row_of("_cacache"), row_of("/alpha/target")) << screen();
    keys({"s"});
    ASSERT_TRUE(shows("Size \xE2\x86\x93")) << screen();

    // Filter: only what matches stays, and the title says so.
    keys({"/", "n", "o", "d", "e"});
    ASSERT_TRUE(shows(" FILTER   node")) << screen();
    keys({"Enter"});
    ASSERT_TRUE(shows("filter: node")) << screen();
    EXPECT_TRUE(stops_showing("/alpha/target")) << screen();
    EXPECT_NE(row_of("/beta/node_modules"), -1);
    keys({"/", "C-u", "Enter"});
    ASSERT_TRUE(shows("/alpha/target")) << screen();
    EXPECT_EQ(screen().find("filter:"), std::string::npos);

    // Scope: project hides the global cache and Docker; global shows only those.
    keys({"Tab"});
    ASSERT_TRUE(shows("Storage \xC2\xB7 Project")) << screen();
    EXPECT_TRUE(stops_showing("_cacache")) << screen();
    EXPECT_EQ(row_of("Docker images"), -1) << screen();
    keys({"Tab"});
    ASSERT_TRUE(shows("Storage \xC2\xB7 Global")) << screen();
    EXPECT_TRUE(stops_showing("/alpha/target")) << screen();
    EXPECT_NE(row_of("_cacache"), -1);
    keys({"Tab"});
    ASSERT_TRUE(shows("Storage \xC2\xB7 All")) << screen();

    // Selection: Space marks the focused row and moves on; the title counts it.
    keys({"Space"});
    ASSERT_TRUE(shows("1 selected \xC2\xB7 300.0 KiB")) << screen();
    EXPECT_NE(line_with({"\xE2\x9C\x93", "/alpha/target"}), "") << screen();
    keys({"Space"});
    ASSERT_TRUE(shows("2 selected \xC2\xB7 500.0 KiB")) << screen();
    EXPECT_NE(line_with({"\xE2\x9C\x93", "/beta/node_modules"}), "") << screen();
    // Back up and unselect node_modules again.
    keys({"k", "Space"});
    ASSERT_TRUE(shows("1 selected \xC2\xB7 300.0 KiB")) << screen();
    EXPECT_EQ(line_with({"\xE2\x9C\x93", "/beta/node_modules"}), "") << screen();

    // Help covers the screen until Escape.
    keys({"?"});
    ASSERT_TRUE(shows(" Keyboard ")) << screen();
    EXPECT_TRUE(shows("Press ? or Esc to close"));
    keys({"Escape"});
    ASSERT_TRUE(stops_showing(" Keyboard ")) << screen();

    // A resize is no error: the frame follows the new size.
    ASSERT_EQ(tmux({"resize-window", "-t", "qb", "-x", "50", "-y", "12"}).exit_status, 0);
    ASSERT_TRUE(shows("needs a little more room")) << screen();
    ASSERT_EQ(
        tmux({"resize-window", "-t", "qb", "-x", std::to_string(width()), "-y", "30"}).exit_status,
        0);
    ASSERT_TRUE(shows("Inspect")) << screen();
    quit_and_expect_restored();
}

// A listing of list_tree() without the `gone` directories and what lies below them.
std::vector<std::string> without(const std::vector<std::string>& listing,
                                 const std::vector<std::string>& gone) {
    std::vector<std::string> out;
    for (const std::string& entry : listing) {
        std::string rel = entry.substr(2); // after the type letter and its blank
        bool below = std::any_of(gone.begin(), gone.end(), [&](const std::string& g) {
            return rel == g || rel.rfind(g + "/", 0) == 0;
        });
        if (!below) {
            out.push_back(entry);
        }
    }
    return out;
}

TEST_F(TuiSession, DeletesWithAndWithoutTheDialog) {
    const std::vector<std::string> work_before = list_tree(work_);
    const std::vector<std::string> home_before = without(list_tree(home_), {".cache"});
    start({"tui", "--root", work_});
    ASSERT_TRUE(shows("READY")) << screen();
    ASSERT_TRUE(shows("/alpha/target")) << screen();

    // An old project build directory carries no warning: d deletes it at once.
    keys({"d"});
    ASSERT_TRUE(shows("Deleted cache \xC2\xB7 300.0 KiB apparent")) << screen();
    EXPECT_TRUE(stops_showing("/alpha/target")) << screen();
    EXPECT_FALSE(exists_nofollow(work_ + "/alpha/target"));

    // node_modules restores by download: the dialog asks first, and n keeps it.
    ASSERT_TRUE(shows("/beta/node_modules")) << screen();
    keys({"g"});
    keys({"d"});
    ASSERT_TRUE(shows("Delete node-modules?")) << screen();
    EXPECT_TRUE(shows("download restore")) << screen();
    EXPECT_TRUE(shows("CONFIRM")) << screen();
    keys({"n"});
    ASSERT_TRUE(stops_showing("Delete node-modules?")) << screen();
    EXPECT_TRUE(exists_nofollow(work_ + "/beta/node_modules"));
    keys({"d"});
    ASSERT_TRUE(shows("Delete node-modules?")) << screen();
    keys({"y"});
    ASSERT_TRUE(shows("Deleted cache \xC2\xB7 200.0 KiB apparent")) << screen();
    EXPECT_TRUE(stops_showing("/beta/node_modules")) << screen();
    EXPECT_FALSE(exists_nofollow(work_ + "/beta/node_modules"));
    quit_and_expect_restored();

    // Exactly the two caches are gone; everything else is as it was (the snapshot aside).
    EXPECT_EQ(list_tree(work_), without(work_before, {"alpha/target", "beta/node_modules"}));
    EXPECT_EQ(without(list_tree(home_), {".cache"}), home_before);
}

TEST_F(TuiSession, NothingIsConfirmedBehindTheTooSmallNotice) {
    start({"tui", "--root", work_});
    ASSERT_TRUE(shows("READY")) << screen();
    keys({"j", "d"});
    ASSERT_TRUE(shows("Delete node-modules?")) << screen();
    ASSERT_EQ(tmux({"resize-window", "-t", "qb", "-x", "50", "-y", "12"}).exit_status, 0);
    ASSERT_TRUE(shows("needs a little more room")) << screen();
    // In one batch, so that every key meets the notice; only q acts.
    keys({"y", "Enter", "d", "Space", "a", "/", "q"});
    expect_restored("0");
    EXPECT_TRUE(exists_nofollow(work_ + "/beta/node_modules/left-pad/index.js"));
    EXPECT_TRUE(exists_nofollow(work_ + "/alpha/target/debug/app"));
}

TEST_F(TuiSession, PrunesTheDockerBuildCacheThroughTheClient) {
    start({"tui", "--root", work_});
    ASSERT_TRUE(shows("READY")) << screen();
    ASSERT_TRUE(shows("Docker build cache")) << screen();
    EXPECT_NE(line_with({"1.9 GiB", "docker-build-cache", "Docker build cache"}), "") << screen();
    // The four caches come first; the build cache leads the Docker rows.
    keys({"G"});
    keys({"k", "k", "k"});
    ASSERT_TRUE(shows("Space select \xC2\xB7 d prune")) << screen();
    keys({"d"});
    ASSERT_TRUE(shows("Prune Docker build cache?")) << screen();
    EXPECT_TRUE(shows("1.9 GiB Docker reclaimable")) << screen();
    EXPECT_TRUE(shows("shared daemon")) << screen();
    keys({"y"});
    ASSERT_TRUE(shows("Pruned Docker build cache \xC2\xB7 1.9 GiB reported")) << screen();
    ASSERT_TRUE(wait_for([&] {
        return !line_with({" 0 B ", "docker-build-cache"}).empty();
    })) << screen();

    std::vector<std::string> calls = docker_calls();
    EXPECT_NE(std::find(calls.begin(), calls.end(), "builder prune --force"), calls.end())
        << fmt::format("{}", fmt::join(calls, "\n"));
    // Only the storage report and the one prune were ever asked for.
    for (const std::string& c : calls) {
        EXPECT_TRUE(c == "system df --format json" || c == "builder prune --force") << c;
    }
    // Nothing on disk was touched.
    EXPECT_TRUE(exists_nofollow(work_ + "/alpha/target/debug/app"));
    EXPECT_TRUE(exists_nofollow(work_ + "/beta/node_modules/left-pad/index.js"));
    quit_and_expect_restored();
}

TEST_F(TuiSession, BareInvocationOpensItAndSigtermPutsTheTerminalBack) {
    start({}); // no command: the interface, on the working directory (no project folders)
    ASSERT_TRUE(shows("/alpha/target")) << screen();
    EXPECT_EQ(query("#{alternate_on}"), "1");
    EXPECT_EQ(query("#{cursor_flag}"), "0");
    auto pid = read_text(dir_ / "pid");
    ASSERT_TRUE(pid);
    ASSERT_EQ(::kill(std::stoi(*pid), SIGTERM), 0);
    expect_restored(std::to_string(128 + SIGTERM));
}

TEST(TuiRefusals, WithoutATerminal) {
    TempDir sandbox;
    ProcessOptions options;
    options.env = hermetic_env(sandbox.path());
    // Standard input from /dev/null: text on request, JSON when standard output is a pipe.
    ProcessResult text = run_quillbarrow({"tui", "-o", "text"}, options);
    EXPECT_EQ(text.exit_status, 3);
    EXPECT_EQ(text.out, "");
    EXPECT_EQ(text.err, "Error: the TUI needs an interactive terminal; use `quillbarrow scan` for "
                        "pipelines\nHint: see `quillbarrow --help` or `quillbarrow schema`\n");
    ProcessResult json = run_quillbarrow({"tui"}, options);
    EXPECT_EQ(json.exit_status, 3);
    EXPECT_EQ(json.out, "");
    auto e = nlohmann::json::parse(json.err).at("error");
    EXPECT_EQ(e.at("kind"), "usage");
    EXPECT_EQ(e.at("message"),
              "the TUI needs an interactive terminal; use `quillbarrow scan` for pipelines");
    // Not a single escape sequence was written.
    EXPECT_EQ(text.err.find('\x1b'), std::string::npos);
    EXPECT_EQ(json.err.find('\x1b'), std::string::npos);
}

} // namespace
} // namespace qb::test
