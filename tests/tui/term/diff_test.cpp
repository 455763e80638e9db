#include "tui/term/diff.hpp"
#include "tui/term/terminal.hpp"
#include "tui/term/widgets.hpp"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

namespace qb::term {
namespace {

TEST(Diff, WritesOnlyChangedCellsWithPositionStyleAndText) {
    Buffer a(6, 3);
    Buffer b = a;
    EXPECT_EQ(diff_frames(a, b), "");

    b.set_stringn(2, 1, "x", 1, Style{});
    EXPECT_EQ(diff_frames(a, b), "\x1b[2;3Hx\x1b[0m");

    // Neighbouring changes share one cursor move; attributes are sent when they change.
    Buffer c = a;
    c.set_stringn(0, 0, "ab", 2, Style{}.with_fg(Color::named(NamedColor::Red)).bold());
    c.set_stringn(2, 0, "c", 1, Style{}.with_bg(Color::rgb(1, 2, 3)));
    c.set_stringn(5, 2, "d", 1, Style{}.with_fg(Color::indexed(24)));
    EXPECT_EQ(diff_frames(a, c), "\x1b[1;1H\x1b[1;31mab"
                                 "\x1b[22;39;48;2;1;2;3mc"
                                 "\x1b[3;6H\x1b[38;5;24;49md"
                                 "\x1b[0m");

    // A style change alone is a change; going back is one too.
    Buffer d = a;
    d.set_style(Rect{1, 1, 1, 1}, Style{}.with_bg(Color::named(NamedColor::White)));
    EXPECT_EQ(diff_frames(a, d), "\x1b[2;2H\x1b[107m \x1b[0m");
    EXPECT_EQ(diff_frames(d, a), "\x1b[2;2H \x1b[0m");
}

TEST(Diff, WideClustersAndControlSymbols) {
    Buffer a(6, 1);
    Buffer b = a;
    b.set_stringn(0, 0, "日x", 6, Style{});
    // The covered half is not written; the cell after it follows without a move.
    EXPECT_EQ(diff_frames(a, b), "\x1b[1;1H日x\x1b[0m");
    // Replacing the wide cluster with narrow text repaints the cell it used to cover.
    Buffer c = a;
    c.set_stringn(0, 0, "abx", 6, Style{});
    EXPECT_EQ(diff_frames(b, c), "\x1b[1;1Hab\x1b[0m");

    // Even a symbol put into a cell by hand never reaches the terminal raw.
    Buffer d = a;
    d.at(3, 0).symbol = "\x1b";
    std::string out = diff_frames(a, d);
    EXPECT_EQ(out, "\x1b[1;4H\xEF\xBF\xBD\x1b[0m");
}

struct Pipe {
    int r = -1;
    int w = -1;
    Pipe() {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0) {
            r = fds[0];
            w = fds[1];
        }
    }
    ~Pipe() {
        if (r >= 0) {
            ::close(r);
        }
        if (w >= 0) {
            ::close(w);
        }
    }
    std::string drain() const {
        std::string out;
        char buf[4096];
        ssize_t n;
        while ((n = ::read(r, buf, sizeof buf)) > 0) {
            out.append(buf, static_cast<std::size_t>(n));
        }
        return out;
    }
};

TEST(Terminal, RepaintsOnlyWhatChangedAndFollowsTheSize) {
    Pipe pipe;
    ASSERT_GE(pipe.w, 0);
    Size size{10, 2};
    auto t = Terminal::create(pipe.w, [&]() -> TermResult<Size> { return size; });
    ASSERT_TRUE(t);
    std::string label = "hi";
    auto paint = [&](Frame& f) { f.render_widget(Paragraph(Text(label)), f.area()); };

    ASSERT_TRUE(t->draw(paint));
    EXPECT_EQ(pipe.drain(), "\x1b[0m\x1b[2J\x1b[1;1Hhi\x1b[0m");

    // Nothing changed: not one byte.
    ASSERT_TRUE(t->draw(paint));
    EXPECT_EQ(pipe.drain(), "");
    EXPECT_EQ(t->last_draw_bytes(), 0u);

    label = "ho";
    ASSERT_TRUE(t->draw(paint));
    EXPECT_EQ(pipe.drain(), "\x1b[1;2Ho\x1b[0m");

    // A new size clears the screen and paints the whole frame again.
    size = Size{4, 1};
    ASSERT_TRUE(t->draw(paint));
    EXPECT_EQ(pipe.drain(), "\x1b[0m\x1b[2J\x1b[1;1Hho\x1b[0m");
    EXPECT_EQ(t->size(), (Size{4, 1}));
    EXPECT_EQ(t->last_frame().row_text(0), "ho  ");

    ASSERT_TRUE(t->show_cursor());
    EXPECT_EQ(pipe.drain(), "\x1b[?25h");
    EXPECT_TRUE(t->cursor_visible());
}

TEST(Terminal, FailuresAreValues) {
    auto bad_size = Terminal::create(1, []() -> TermResult<Size> {
        return unexpected(TermError{ENOTTY, "read the terminal size"});
    });
    ASSERT_FALSE(bad_size);
    EXPECT_EQ(bad_size.error().os_code, ENOTTY);

    // A closed reader makes the write fail; the error comes back instead of a crash.
    std::signal(SIGPIPE, SIG_IGN);
    Pipe pipe;
    ASSERT_GE(pipe.r, 0);
    ::close(pipe.r);
    pipe.r = -1;
    auto t = Terminal::create(pipe.w, []() -> TermResult<Size> { return Size{3, 1}; });
    ASSERT_TRUE(t);
    auto drawn = t->draw([](Frame& f) { f.buffer.set_stringn(0, 0, "x", 1, Style{}); });
    ASSERT_FALSE(drawn);
    EXPECT_EQ(drawn.error().os_code, EPIPE);
    EXPECT_NE(drawn.error().to_string().find("(os error 32)"), std::string::npos);

    EXPECT_FALSE(write_batch(pipe.w, {"a", "b"}));

    // Raw mode on something that is not a terminal fails cleanly.
    Pipe other;
    auto raw = RawMode::enable(other.r);
    ASSERT_FALSE(raw);
    EXPECT_EQ(raw.error().os_code, ENOTTY);
    EXPECT_FALSE(is_terminal(other.r));
    auto full = FullScreen::enter(other.r, other.w);
    ASSERT_FALSE(full);
    EXPECT_EQ(other.drain(), ""); // nothing was written when raw mode failed
}

} // namespace
} // namespace qb::term
