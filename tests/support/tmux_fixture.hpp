#pragma once

// A private tmux server for one test: its socket lives in the test's own directory, it
// runs one session, and it is killed when the test ends. The session's script writes the
// terminal modes before and after the program to "before" and "after" in that directory,
// and the program's exit status to "rc".

#include "support/test_support.hpp"

#include <chrono>
#include <functional>
#include <gtest/gtest.h>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace qb::test {

/// Polls `ready` every 50 ms until it holds; the deadline, generous for a loaded machine,
/// only guards against a hang.
inline bool wait_for(const std::function<bool()>& ready, int seconds = 60) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!ready()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
}

/// The whole file, or none while it does not exist.
inline std::optional<std::string> read_text(const std::string& path) {
    if (!exists_nofollow(path)) {
        return std::nullopt;
    }
    return read_file(path);
}

class TmuxTest : public ::testing::Test {
protected:
    explicit TmuxTest(std::string session) : session_(std::move(session)) {}

    /// Skips the test when tmux is not installed. A fixture sets `options_.env` after
    /// calling this (and returns when IsSkipped()).
    void SetUp() override {
        tmux_ = find_program("tmux");
        if (tmux_.empty()) {
            GTEST_SKIP() << "tmux is not installed (./dev.sh test installs it)";
        }
        options_.timeout = std::chrono::milliseconds(20000);
    }

    void TearDown() override {
        if (started_) {
            tmux({"kill-server"});
        }
    }

    ProcessResult tmux(const std::vector<std::string>& args) {
        // The socket is named from the test's directory, since a socket's full path may not
        // be longer than about a hundred bytes and the temporary directory's may well be.
        // The pane's command goes through SHELL, which the account's login shell must not
        // stand in for: an unprivileged account's refuses to run anything.
        std::vector<std::string> argv = {tmux_, "-u", "-S", "tmux.sock", "-f", "/dev/null"};
        argv.insert(argv.end(), args.begin(), args.end());
        ProcessOptions options = options_;
        options.cwd = dir_.path();
        options.env["SHELL"] = "/bin/sh";
        return run_process(argv, options);
    }

    /// Starts the session running `command` in a window of `width` x `height`.
    void start_session(std::uint16_t width, std::uint16_t height, const std::string& command) {
        ProcessResult r = tmux({"new-session", "-d", "-s", session_, "-x", std::to_string(width),
                                "-y", std::to_string(height), command});
        ASSERT_EQ(r.exit_status, 0) << r.err;
        started_ = true;
    }

    std::string screen() { return tmux({"capture-pane", "-p", "-t", session_}).out; }

    /// True once the screen shows `text`; false when waiting gave up.
    bool shows(const std::string& text) {
        return wait_for([&] { return screen().find(text) != std::string::npos; });
    }

    void keys(const std::vector<std::string>& k) {
        std::vector<std::string> args = {"send-keys", "-t", session_};
        args.insert(args.end(), k.begin(), k.end());
        ASSERT_EQ(tmux(args).exit_status, 0);
    }

    /// A tmux format (such as "#{alternate_on}") evaluated for the session, without the
    /// newline.
    std::string query(const std::string& format) {
        std::string out = tmux({"display-message", "-p", "-t", session_, format}).out;
        while (!out.empty() && out.back() == '\n') {
            out.pop_back();
        }
        return out;
    }

    /// Waits for the program to end with `status` and checks the terminal is back as it
    /// was: the same modes, the main screen, the cursor shown (tmux may read the program's
    /// last bytes after the script has gone on, so those are waited for too).
    void expect_restored(const std::string& status) {
        ASSERT_TRUE(wait_for([&] { return read_text(dir_ / "rc").has_value(); })) << screen();
        EXPECT_EQ(*read_text(dir_ / "rc"), status + "\n") << screen();
        auto before = read_text(dir_ / "before");
        auto after = read_text(dir_ / "after");
        ASSERT_TRUE(before && after);
        EXPECT_FALSE(before->empty());
        EXPECT_EQ(*before, *after);
        EXPECT_TRUE(wait_for([&] { return query("#{alternate_on}") == "0"; })) << screen();
        EXPECT_TRUE(wait_for([&] { return query("#{cursor_flag}") == "1"; })) << screen();
    }

    TempDir dir_;
    ProcessOptions options_;

private:
    std::string session_;
    std::string tmux_;
    bool started_ = false;
};

} // namespace qb::test
