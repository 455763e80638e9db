// The terminal put back on the ways out that bypass the ordinary restore: an internal
// failure on any thread and a signal that ends the process. Each case runs in a child
// process on a pseudo-terminal of its own, so the test's own terminal is never touched.

#include "common/io.hpp"
#include "tui/term/emergency.hpp"
#include "tui/term/terminal.hpp"

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <functional>
#include <gtest/gtest.h>
#include <string>
#include <sys/mman.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace qb::term {
namespace {

struct Pty {
    int master = -1;
    int slave = -1;

    Pty() {
        master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) {
            return;
        }
        const char* name = ::ptsname(master);
        slave = name != nullptr ? ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC) : -1;
    }
    ~Pty() {
        if (slave >= 0) {
            ::close(slave);
        }
        if (master >= 0) {
            ::close(master);
        }
    }
    bool ok() const { return master >= 0 && slave >= 0; }

    bool canonical() const {
        termios t{};
        return ::tcgetattr(slave, &t) == 0 && (t.c_lflag & ICANON) != 0 && (t.c_lflag & ECHO) != 0;
    }

    /// What the program wrote to the terminal so far.
    std::string output() const {
        int flags = ::fcntl(master, F_GETFL);
        ::fcntl(master, F_SETFL, flags | O_NONBLOCK);
        std::string out;
        char buf[256];
        ssize_t n = 0;
        while ((n = ::read(master, buf, sizeof buf)) > 0) {
            out.append(buf, static_cast<std::size_t>(n));
        }
        ::fcntl(master, F_SETFL, flags);
        return out;
    }
};

// Runs `body` in a child that owns the terminal in raw mode on the alternate screen, as
// the interface does, after `before`; returns the child's wait status.
int run_owning_child(const Pty& pty, const std::function<void()>& body,
                     const std::function<void()>& before = {}) {
    pid_t pid = ::fork();
    if (pid == 0) {
        int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, STDERR_FILENO);
        if (before) {
            before();
        }
        if (!arm_emergency_restore(pty.slave, pty.slave)) {
            ::_exit(90);
        }
        auto screen = FullScreen::enter(pty.slave, pty.slave);
        if (!screen) {
            ::_exit(91);
        }
        body();
        ::_exit(0);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return status;
}

TEST(EmergencyRestore, InternalFailureOnAnyThreadPutsTheTerminalBack) {
    Pty pty;
    ASSERT_TRUE(pty.ok()) << "no pseudo-terminal";
    ASSERT_TRUE(pty.canonical());

    int status = run_owning_child(pty, [] { fail_internal("a worker found a broken rule"); });
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 101);
    EXPECT_TRUE(pty.canonical()) << "raw mode left on";
    std::string out = pty.output();
    std::size_t entered = out.find(seq::enter_alternate_screen);
    std::size_t left = out.rfind(seq::leave_alternate_screen);
    ASSERT_NE(entered, std::string::npos);
    ASSERT_NE(left, std::string::npos) << "alternate screen not left";
    EXPECT_GT(left, entered);
    EXPECT_NE(out.find(seq::show_cursor, left), std::string::npos) << "cursor left hidden";
}

TEST(EmergencyRestore, EndingSignalsRestoreAndIgnoredOnesStayIgnored) {
    Pty pty;
    ASSERT_TRUE(pty.ok()) << "no pseudo-terminal";

    // A signal that ends the process still ends it, after the terminal is back.
    int status = run_owning_child(pty, [] { ::raise(SIGTERM); });
    ASSERT_TRUE(WIFSIGNALED(status)) << "status " << status;
    EXPECT_EQ(WTERMSIG(status), SIGTERM);
    EXPECT_TRUE(pty.canonical());
    EXPECT_NE(pty.output().find(seq::leave_alternate_screen), std::string::npos);

    // One the process was started to ignore (as under nohup) does not end it, and is
    // still ignored once the interface is done.
    status = run_owning_child(
        pty,
        [] {
            ::raise(SIGHUP);
            disarm_emergency_restore();
            struct sigaction now {};
            ::sigaction(SIGHUP, nullptr, &now);
            if (now.sa_handler != SIG_IGN) {
                ::_exit(3);
            }
        },
        [] { ::signal(SIGHUP, SIG_IGN); });
    ASSERT_TRUE(WIFEXITED(status))
        << "an ignored SIGHUP ended the process (status " << status << ")";
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

// A crash is a way out too: the terminal comes back, and the crash still ends the
// process the way it would have (the default action, or a sanitizer's report).
TEST(EmergencyRestore, CrashesPutTheTerminalBackAndStillEndTheProcess) {
    Pty pty;
    ASSERT_TRUE(pty.ok()) << "no pseudo-terminal";

    // A fault the processor raises: a write to a read-only page.
    int status = run_owning_child(pty, [] {
        void* page = ::mmap(nullptr, 4096, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (page == MAP_FAILED) {
            ::_exit(92);
        }
        *static_cast<volatile int*>(page) = 1;
    });
    EXPECT_FALSE(WIFEXITED(status) && (WEXITSTATUS(status) == 0 || WEXITSTATUS(status) >= 90))
        << "status " << status;
    EXPECT_TRUE(pty.canonical()) << "raw mode left on after a segmentation fault";
    EXPECT_NE(pty.output().find(seq::leave_alternate_screen), std::string::npos);

    status = run_owning_child(pty, [] { std::abort(); });
    ASSERT_TRUE(WIFSIGNALED(status)) << "status " << status;
    EXPECT_EQ(WTERMSIG(status), SIGABRT);
    EXPECT_TRUE(pty.canonical()) << "raw mode left on after an abort";
    EXPECT_NE(pty.output().find(seq::leave_alternate_screen), std::string::npos);
}

} // namespace
} // namespace qb::term
