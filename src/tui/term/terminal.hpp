#pragma once

// The terminal itself: raw mode, the alternate screen, the cursor, the window size and
// drawing frames with only the changed cells written. Every failure is a value.

#include "common/result.hpp"
#include "tui/term/buffer.hpp"

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>
#include <string_view>
#include <termios.h>

namespace qb::term {

/// A failed terminal operation: what was attempted and the operating-system error.
struct TermError {
    int os_code = 0;
    std::string operation;

    /// "Input/output error (os error 5)".
    std::string to_string() const;
};

template <class T>
using TermResult = Result<T, TermError>;

struct Size {
    std::uint16_t width = 0;
    std::uint16_t height = 0;
    bool operator==(const Size&) const = default;
};

namespace seq {
inline constexpr std::string_view enter_alternate_screen = "\x1b[?1049h";
inline constexpr std::string_view leave_alternate_screen = "\x1b[?1049l";
inline constexpr std::string_view hide_cursor = "\x1b[?25l";
inline constexpr std::string_view show_cursor = "\x1b[?25h";
inline constexpr std::string_view clear_all = "\x1b[2J";
inline constexpr std::string_view reset_attributes = "\x1b[0m";
} // namespace seq

bool is_terminal(int fd);

/// The window size of the terminal on `fd`, or of the controlling terminal when `fd` is
/// not one.
TermResult<Size> terminal_size(int fd);

/// Writes the parts in order; the first failure stops the batch and is returned.
TermResult<Ok> write_batch(int fd, std::initializer_list<std::string_view> parts);

/// The terminal on one descriptor switched into raw mode. Restores the saved settings on
/// disable() or, failures ignored, when it goes away.
class RawMode {
public:
    static TermResult<RawMode> enable(int fd);

    RawMode(RawMode&& other) noexcept;
    RawMode& operator=(RawMode&& other) noexcept;
    RawMode(const RawMode&) = delete;
    RawMode& operator=(const RawMode&) = delete;
    ~RawMode();

    /// Puts back the settings saved by enable(). Does nothing the second time.
    TermResult<Ok> disable();
    bool active() const { return active_; }

private:
    RawMode(int fd, const termios& saved) : fd_(fd), saved_(saved), active_(true) {}

    int fd_ = -1;
    termios saved_{};
    bool active_ = false;
};

/// A full-screen drawing surface over one output descriptor. It keeps the previous frame
/// and writes only what changed; it never touches terminal modes.
class Terminal {
public:
    using SizeSource = std::function<TermResult<Size>()>;

    /// Reads the size once; its failure is the result.
    static TermResult<Terminal> create(int out_fd, SizeSource size);
    /// A terminal over `out_fd` that follows the window size of that descriptor.
    static TermResult<Terminal> for_fd(int out_fd);

    /// Draws one frame: follows the current size (a change clears the screen and repaints
    /// everything), lets `draw` paint a blank buffer, then writes the difference from the
    /// previous frame in one write.
    TermResult<Ok> draw(const std::function<void(Frame&)>& draw);
    /// Writes the show-cursor sequence.
    TermResult<Ok> show_cursor();

    Size size() const { return Size{current_.width(), current_.height()}; }
    /// The frame drawn last.
    const Buffer& last_frame() const { return previous_; }
    /// Bytes written by the last draw() and by all of them.
    std::size_t last_draw_bytes() const { return last_draw_bytes_; }
    std::uint64_t total_bytes() const { return total_bytes_; }
    bool cursor_visible() const { return cursor_visible_; }

private:
    Terminal(int fd, SizeSource size, Size initial);

    int fd_;
    SizeSource size_;
    Buffer current_;
    Buffer previous_;
    bool needs_clear_ = true;
    bool cursor_visible_ = false;
    std::size_t last_draw_bytes_ = 0;
    std::uint64_t total_bytes_ = 0;
};

/// Raw mode, the alternate screen with the cursor hidden, and a Terminal, set up in that
/// order; a failing step undoes the ones before it. restore() (also run when the object
/// goes away) undoes everything, every failure ignored.
class FullScreen {
public:
    static TermResult<FullScreen> enter(int in_fd, int out_fd);

    FullScreen(FullScreen&& other) noexcept;
    FullScreen& operator=(FullScreen&&) = delete;
    FullScreen(const FullScreen&) = delete;
    FullScreen& operator=(const FullScreen&) = delete;
    ~FullScreen() { restore(); }

    Terminal& terminal() { return terminal_; }
    /// Raw mode off, leave the alternate screen and show the cursor. Idempotent.
    void restore();

private:
    FullScreen(RawMode raw, Terminal t, int out_fd)
        : raw_(std::move(raw)), terminal_(std::move(t)), out_fd_(out_fd) {}

    RawMode raw_;
    Terminal terminal_;
    int out_fd_;
    bool restored_ = false;
};

} // namespace qb::term
