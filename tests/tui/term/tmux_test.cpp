// Drives term-demo inside a private tmux server of a fixed size and checks what a user
// would see: the alternate screen, keys in raw mode, a repaint on resize, silence while
// idle, and the terminal modes put back on quit.

#include "support/tmux_fixture.hpp"

#include <gtest/gtest.h>
#include <sstream>

namespace qb::term {
namespace {

using qb::test::ProcessOptions;
using qb::test::ProcessResult;
using qb::test::read_text;
using qb::test::run_process;
using qb::test::wait_for;

const char* const kSearchPath = "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin";

struct Stats {
    unsigned long long frames = 0;
    unsigned long long bytes = 0;
    unsigned long long resizes = 0;
};

std::optional<Stats> read_stats(const std::string& path) {
    auto text = read_text(path);
    if (!text) {
        return std::nullopt;
    }
    Stats s;
    std::stringstream ss(*text);
    std::string key;
    unsigned long long value = 0;
    while (ss >> key >> value) {
        if (key == "frames") {
            s.frames = value;
        } else if (key == "bytes") {
            s.bytes = value;
        } else if (key == "resizes") {
            s.resizes = value;
        }
    }
    return s;
}

class TmuxDemo : public qb::test::TmuxTest {
protected:
    TmuxDemo() : TmuxTest("demo") {}

    void SetUp() override {
        TmuxTest::SetUp();
        if (IsSkipped()) {
            return;
        }
        options_.env = {{"PATH", kSearchPath},
                        {"HOME", dir_.path()},
                        {"TMUX_TMPDIR", dir_.path()},
                        {"TERM", "xterm-256color"},
                        {"LANG", "C.UTF-8"}};
    }

    void start_demo() {
        std::string script = dir_ / "run.sh";
        qb::test::write_file(script, "stty -g > \"$1/before\"\n"
                                     "\"$2\" --stats \"$1/stats\"\n"
                                     "rc=$?\n"
                                     "stty -g > \"$1/after\"\n"
                                     "echo $rc > \"$1/rc.tmp\"\n"
                                     "mv \"$1/rc.tmp\" \"$1/rc\"\n"
                                     "exec sleep 600\n");
        start_session(80, 24, "sh " + script + " " + dir_.path() + " " + QB_TERM_DEMO);
        if (HasFatalFailure()) {
            return;
        }
        ASSERT_TRUE(wait_for([&] {
            auto s = read_stats(dir_ / "stats");
            return s && s->frames >= 2;
        })) << screen();
    }
};

TEST_F(TmuxDemo, FullScreenSessionFromStartToQuit) {
    start_demo();
    ASSERT_TRUE(shows("term-demo")) << screen();
    EXPECT_EQ(query("#{alternate_on}"), "1");
    EXPECT_EQ(query("#{cursor_flag}"), "0");
    EXPECT_TRUE(shows("size: 80x24")) << screen();
    EXPECT_TRUE(shows("> 12 B")) << screen();

    // Control characters in a name never reach the terminal: each shows as U+FFFD and
    // the title-setting sequence they would have formed leaves the title alone.
    EXPECT_NE(query("#{pane_title}"), "pwned");
    EXPECT_TRUE(shows("name: dir\xEF\xBF\xBD]0;pwned\xEF\xBF\xBD|end")) << screen();

    // Raw mode: Ctrl+C arrives as a key instead of interrupting the program.
    keys({"x"});
    EXPECT_TRUE(shows("last key: x")) << screen();
    keys({"Up"});
    EXPECT_TRUE(shows("last key: Up")) << screen();
    keys({"C-c"});
    EXPECT_TRUE(shows("last key: Ctrl+c")) << screen();
    keys({"M-a"});
    EXPECT_TRUE(shows("last key: Alt+a")) << screen();

    // Idle: frames keep being drawn, but not one byte is written. The counters are saved
    // after a frame is written, so the last key's frame counts once a later one is saved.
    const auto shown_key = read_stats(dir_ / "stats");
    ASSERT_TRUE(shown_key);
    std::optional<Stats> before;
    ASSERT_TRUE(wait_for([&] {
        before = read_stats(dir_ / "stats");
        return before && before->frames > shown_key->frames;
    }));
    ASSERT_TRUE(wait_for([&] {
        auto now = read_stats(dir_ / "stats");
        return now && now->frames >= before->frames + 10;
    }));
    auto idle = read_stats(dir_ / "stats");
    ASSERT_TRUE(idle);
    EXPECT_EQ(idle->bytes, before->bytes);

    // A resize repaints the whole frame at the new size.
    ProcessResult resized = tmux({"resize-window", "-t", "demo", "-x", "100", "-y", "30"});
    ASSERT_EQ(resized.exit_status, 0) << resized.err;
    EXPECT_TRUE(shows("size: 100x30")) << screen();
    EXPECT_TRUE(shows("resizes: 1")) << screen();
    std::optional<Stats> after_resize;
    ASSERT_TRUE(wait_for([&] {
        after_resize = read_stats(dir_ / "stats");
        return after_resize && after_resize->resizes == 1;
    }));
    EXPECT_GT(after_resize->bytes, idle->bytes);
    std::string first_row;
    EXPECT_TRUE(wait_for([&] {
        const std::string shown = screen();
        first_row = shown.substr(0, shown.find('\n'));
        return first_row.ends_with("╮");
    })) << first_row;

    // Quit: the main screen is back, with the cursor and the original modes.
    keys({"q"});
    expect_restored("0");
    if (HasFatalFailure()) {
        return;
    }
    EXPECT_TRUE(shows("term-demo: frames=")) << screen();
}

TEST(TermDemo, RefusesWithoutATerminalAndWritesNothing) {
    ProcessOptions options;
    options.env = {{"PATH", kSearchPath}, {"TERM", "xterm"}};
    ProcessResult r = run_process({QB_TERM_DEMO}, options);
    EXPECT_EQ(r.exit_status, 3);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("needs an interactive terminal"), std::string::npos) << r.err;
}

} // namespace
} // namespace qb::term
