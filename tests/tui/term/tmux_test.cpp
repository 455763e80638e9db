// Drives term-demo inside a private tmux server of a fixed size and checks what a user
// would see: the alternate screen, keys in raw mode, a repaint on resize, silence while
// idle, and the terminal modes put back on quit.

#include "support/test_support.hpp"

#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <thread>
#include <unistd.h>

namespace qb::term {
namespace {

using qb::test::ProcessOptions;
using qb::test::ProcessResult;
using qb::test::run_process;
using qb::test::TempDir;

using qb::test::find_program;

const char* const kSearchPath = "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin";

std::optional<std::string> read_text(const std::string& path) {
    std::ifstream in(path);
    if (!in) {
        return std::nullopt;
    }
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

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

// Waits for a condition, checking every 50 ms; the limit only guards against a hang.
bool wait_for(const std::function<bool()>& ready) {
    for (int i = 0; i < 600; ++i) {
        if (ready()) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return ready();
}

class TmuxDemo : public ::testing::Test {
protected:
    void SetUp() override {
        tmux_ = find_program("tmux");
        if (tmux_.empty()) {
            GTEST_SKIP() << "tmux is not installed (./dev.sh test installs it)";
        }
        socket_ = dir_ / "tmux.sock";
        options_.env = {{"PATH", kSearchPath},
                        {"HOME", dir_.path()},
                        {"TMUX_TMPDIR", dir_.path()},
                        {"TERM", "xterm-256color"},
                        {"LANG", "C.UTF-8"}};
        options_.timeout = std::chrono::milliseconds(20000);
    }

    void TearDown() override {
        if (started_) {
            tmux({"kill-server"});
        }
    }

    ProcessResult tmux(std::vector<std::string> args) {
        std::vector<std::string> argv = {tmux_, "-u", "-S", socket_, "-f", "/dev/null"};
        argv.insert(argv.end(), args.begin(), args.end());
        return run_process(argv, options_);
    }

    std::string query(const std::string& format) {
        ProcessResult r = tmux({"display-message", "-p", "-t", "demo", format});
        std::string out = r.out;
        while (!out.empty() && out.back() == '\n') {
            out.pop_back();
        }
        return out;
    }

    std::string screen() { return tmux({"capture-pane", "-p", "-t", "demo"}).out; }

    bool screen_has(const std::string& text) {
        return wait_for([&] { return screen().find(text) != std::string::npos; });
    }

    void start_demo() {
        std::string script = dir_ / "run.sh";
        qb::test::write_file(script, "stty -g > \"$1/before\"\n"
                                     "\"$2\" --stats \"$1/stats\"\n"
                                     "rc=$?\n"
                                     "stty -g > \"$1/after\"\n"
                                     "echo $rc > \"$1/rc\"\n"
                                     "exec sleep 600\n");
        std::string command = "sh " + script + " " + dir_.path() + " " + QB_TERM_DEMO;
        ProcessResult r =
            tmux({"new-session", "-d", "-s", "demo", "-x", "80", "-y", "24", command});
        ASSERT_EQ(r.exit_status, 0) << r.err;
        started_ = true;
        ASSERT_TRUE(wait_for([&] {
            auto s = read_stats(dir_ / "stats");
            return s && s->frames >= 2;
        })) << screen();
    }

    TempDir dir_;
    std::string tmux_;
    std::string socket_;
    ProcessOptions options_;
    bool started_ = false;
};

TEST_F(TmuxDemo, FullScreenSessionFromStartToQuit) {
    start_demo();
    ASSERT_TRUE(screen_has("term-demo")) << screen();
    EXPECT_EQ(query("#{alternate_on}"), "1");
    EXPECT_EQ(query("#{cursor_flag}"), "0");
    EXPECT_TRUE(screen_has("size: 80x24")) << screen();
    EXPECT_TRUE(screen_has("> 12 B")) << screen();

    // Control characters in a name never reach the terminal: each shows as U+FFFD and
    // the title-setting sequence they would have formed leaves the title alone.
    EXPECT_NE(query("#{pane_title}"), "pwned");
    EXPECT_TRUE(screen_has("name: dir\xEF\xBF\xBD]0;pwned\xEF\xBF\xBD|end")) << screen();

    // Raw mode: Ctrl+C arrives as a key instead of interrupting the program.
    tmux({"send-keys", "-t", "demo", "x"});
    EXPECT_TRUE(screen_has("last key: x")) << screen();
    tmux({"send-keys", "-t", "demo", "Up"});
    EXPECT_TRUE(screen_has("last key: Up")) << screen();
    tmux({"send-keys", "-t", "demo", "C-c"});
    EXPECT_TRUE(screen_has("last key: Ctrl+c")) << screen();
    tmux({"send-keys", "-t", "demo", "M-a"});
    EXPECT_TRUE(screen_has("last key: Alt+a")) << screen();

    // Idle: frames keep being drawn, but not one byte is written.
    auto before = read_stats(dir_ / "stats");
    ASSERT_TRUE(before);
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
    EXPECT_TRUE(screen_has("size: 100x30")) << screen();
    EXPECT_TRUE(screen_has("resizes: 1")) << screen();
    auto after_resize = read_stats(dir_ / "stats");
    ASSERT_TRUE(after_resize);
    EXPECT_GT(after_resize->bytes, idle->bytes);
    std::string shown = screen();
    std::string first_row = shown.substr(0, shown.find('\n'));
    EXPECT_EQ(first_row.rfind("╮"), first_row.size() - std::string("╮").size()) << first_row;

    // Quit: the main screen is back, with the cursor and the original modes.
    tmux({"send-keys", "-t", "demo", "q"});
    ASSERT_TRUE(wait_for([&] { return read_text(dir_ / "rc").has_value(); })) << screen();
    EXPECT_EQ(*read_text(dir_ / "rc"), "0\n");
    auto modes_before = read_text(dir_ / "before");
    auto modes_after = read_text(dir_ / "after");
    ASSERT_TRUE(modes_before && modes_after);
    EXPECT_FALSE(modes_before->empty());
    EXPECT_EQ(*modes_before, *modes_after);
    EXPECT_EQ(query("#{alternate_on}"), "0");
    EXPECT_EQ(query("#{cursor_flag}"), "1");
    EXPECT_TRUE(screen_has("term-demo: frames=")) << screen();
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
