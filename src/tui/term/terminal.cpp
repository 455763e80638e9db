#include "tui/term/terminal.hpp"

#include "common/io.hpp"
#include "common/os_error.hpp"
#include "common/unique_fd.hpp"
#include "tui/term/diff.hpp"

#include <cerrno>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace qb::term {

std::string TermError::to_string() const {
    return os_error_text(os_code);
}

namespace {

TermError error_of(int code, std::string operation) {
    return TermError{code != 0 ? code : EIO, std::move(operation)};
}

} // namespace

bool is_terminal(int fd) {
    return ::isatty(fd) == 1;
}

TermResult<Size> terminal_size(int fd) {
    winsize ws{};
    if (::ioctl(fd, TIOCGWINSZ, &ws) == 0) {
        return Size{ws.ws_col, ws.ws_row};
    }
    int first = errno;
    UniqueFd tty(::open("/dev/tty", O_RDONLY | O_NOCTTY | O_CLOEXEC));
    if (tty.valid()) {
        if (::ioctl(tty.get(), TIOCGWINSZ, &ws) == 0) {
            return Size{ws.ws_col, ws.ws_row};
        }
        first = errno;
    }
    return unexpected(error_of(first, "read the terminal size"));
}

TermResult<Ok> write_batch(int fd, std::initializer_list<std::string_view> parts) {
    for (std::string_view part : parts) {
        if (int err = write_all(fd, part); err != 0) {
            return unexpected(error_of(err, "write to the terminal"));
        }
    }
    return Ok{};
}

TermResult<RawMode> RawMode::enable(int fd) {
    termios saved{};
    if (::tcgetattr(fd, &saved) != 0) {
        return unexpected(error_of(errno, "read the terminal mode"));
    }
    termios raw = saved;
    raw.c_iflag &=
        ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON);
    raw.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    raw.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    raw.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB);
    raw.c_cflag |= CS8;
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    if (::tcsetattr(fd, TCSANOW, &raw) != 0) {
        return unexpected(error_of(errno, "enable raw mode"));
    }
    return RawMode(fd, saved);
}

RawMode::RawMode(RawMode&& other) noexcept
    : fd_(other.fd_), saved_(other.saved_), active_(other.active_) {
    other.active_ = false;
}

RawMode& RawMode::operator=(RawMode&& other) noexcept {
    if (this != &other) {
        (void)disable();
        fd_ = other.fd_;
        saved_ = other.saved_;
        active_ = other.active_;
        other.active_ = false;
    }
    return *this;
}

RawMode::~RawMode() {
    (void)disable();
}

TermResult<Ok> RawMode::disable() {
    if (!active_) {
        return Ok{};
    }
    active_ = false;
    if (::tcsetattr(fd_, TCSANOW, &saved_) != 0) {
        return unexpected(error_of(errno, "disable raw mode"));
    }
    return Ok{};
}

Terminal::Terminal(int fd, SizeSource size, Size initial)
    : fd_(fd), size_(std::move(size)), current_(initial.width, initial.height),
      previous_(initial.width, initial.height) {}

TermResult<Terminal> Terminal::create(int out_fd, SizeSource size) {
    TermResult<Size> s = size();
    if (!s) {
        return unexpected(s.error());
    }
    return Terminal(out_fd, std::move(size), *s);
}

TermResult<Terminal> Terminal::for_fd(int out_fd) {
    return create(out_fd, [out_fd] { return terminal_size(out_fd); });
}

TermResult<Ok> Terminal::draw(const std::function<void(Frame&)>& paint) {
    last_draw_bytes_ = 0;
    TermResult<Size> s = size_();
    if (!s) {
        return unexpected(s.error());
    }
    std::string out;
    if (*s != size()) {
        current_.resize(s->width, s->height);
        previous_.resize(s->width, s->height);
        needs_clear_ = true;
    }
    if (needs_clear_) {
        // The screen is blank afterwards, which is what a default buffer describes.
        previous_.reset();
        out += seq::reset_attributes;
        out += seq::clear_all;
    }
    current_.reset();
    Frame frame{current_};
    paint(frame);
    out += diff_frames(previous_, current_);
    if (!out.empty()) {
        if (int err = write_all(fd_, out); err != 0) {
            // The screen is in an unknown state: repaint everything next time.
            needs_clear_ = true;
            return unexpected(error_of(err, "draw to the terminal"));
        }
    }
    needs_clear_ = false;
    last_draw_bytes_ = out.size();
    total_bytes_ += out.size();
    std::swap(current_, previous_);
    return Ok{};
}

TermResult<Ok> Terminal::show_cursor() {
    if (int err = write_all(fd_, seq::show_cursor); err != 0) {
        return unexpected(error_of(err, "show the cursor"));
    }
    cursor_visible_ = true;
    return Ok{};
}

TermResult<FullScreen> FullScreen::enter(int in_fd, int out_fd) {
    TermResult<RawMode> raw = RawMode::enable(in_fd);
    if (!raw) {
        return unexpected(raw.error());
    }
    if (auto w = write_batch(out_fd, {seq::enter_alternate_screen, seq::hide_cursor}); !w) {
        (void)raw->disable();
        return unexpected(w.error());
    }
    TermResult<Terminal> t = Terminal::for_fd(out_fd);
    if (!t) {
        (void)write_batch(out_fd, {seq::leave_alternate_screen, seq::show_cursor});
        (void)raw->disable();
        return unexpected(t.error());
    }
    return FullScreen(std::move(*raw), std::move(*t), out_fd);
}

FullScreen::FullScreen(FullScreen&& other) noexcept
    : raw_(std::move(other.raw_)), terminal_(std::move(other.terminal_)), out_fd_(other.out_fd_),
      restored_(other.restored_) {
    other.restored_ = true;
}

void FullScreen::restore() {
    if (restored_) {
        return;
    }
    restored_ = true;
    (void)raw_.disable();
    (void)write_batch(out_fd_, {seq::leave_alternate_screen, seq::show_cursor});
    (void)terminal_.show_cursor();
}

} // namespace qb::term
