#pragma once

// Terminal input: the decoder that turns bytes into key events, and the event source that
// waits for keys and window-size changes.

#include "tui/term/terminal.hpp"

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <poll.h>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace qb::term {

enum class KeyCode : std::uint8_t {
    Char,
    Backspace,
    Enter,
    Left,
    Right,
    Up,
    Down,
    Home,
    End,
    PageUp,
    PageDown,
    Tab,
    BackTab,
    Delete,
    Insert,
    F,
    Null,
    Esc,
};

struct KeyMods {
    static constexpr std::uint8_t NONE = 0;
    static constexpr std::uint8_t SHIFT = 1;
    static constexpr std::uint8_t CONTROL = 2;
    static constexpr std::uint8_t ALT = 4;
};

enum class KeyKind : std::uint8_t { Press, Repeat, Release };

struct KeyEvent {
    KeyCode code = KeyCode::Null;
    char32_t ch = 0;     // for KeyCode::Char
    std::uint8_t fn = 0; // for KeyCode::F: 1 to 12
    std::uint8_t mods = KeyMods::NONE;
    KeyKind kind = KeyKind::Press;

    static KeyEvent key(KeyCode c, std::uint8_t m = KeyMods::NONE) { return {c, 0, 0, m}; }
    static KeyEvent character(char32_t c, std::uint8_t m = KeyMods::NONE) {
        return {KeyCode::Char, c, 0, m};
    }
    static KeyEvent function(std::uint8_t n, std::uint8_t m = KeyMods::NONE) {
        return {KeyCode::F, 0, n, m};
    }

    bool ctrl() const { return (mods & KeyMods::CONTROL) != 0; }
    bool alt() const { return (mods & KeyMods::ALT) != 0; }
    bool shift() const { return (mods & KeyMods::SHIFT) != 0; }
    bool is_char(char32_t c) const { return code == KeyCode::Char && ch == c; }

    bool operator==(const KeyEvent&) const = default;
};

/// The window size changed (one event per burst of signals).
struct ResizeEvent {
    bool operator==(const ResizeEvent&) const = default;
};

/// Input that is not a key: unknown escape sequences, mouse or focus reports, stray bytes.
struct OtherEvent {
    bool operator==(const OtherEvent&) const = default;
};

using Event = std::variant<KeyEvent, ResizeEvent, OtherEvent>;

/// "Ctrl+c", "Alt+Up", "F5", "Shift+BackTab", "é": for messages and test output.
std::string describe(const KeyEvent& key);
std::string describe(const Event& event);

/// Turns terminal input bytes into events. Bytes may arrive in any chunks: an unfinished
/// escape sequence or UTF-8 character waits for the rest.
class Decoder {
public:
    void feed(std::string_view bytes) { pending_.append(bytes); }
    /// The next complete event, or none when the input holds nothing or only the start of
    /// a sequence.
    std::optional<Event> next();
    /// Like next(), but for when no more input is coming soon: an unfinished sequence is
    /// settled (a lone ESC is the Esc key; the bytes after it are read afresh).
    std::optional<Event> next_idle();
    /// True while unread bytes remain.
    bool has_pending() const { return !pending_.empty(); }

private:
    std::optional<Event> take(bool idle);

    std::string pending_;
};

/// Every event in the bytes, as if the input went idle after them.
std::vector<Event> decode_all(std::string_view bytes);

/// Waits for input on a descriptor and for window-size changes, which a SIGWINCH handler
/// reports through a pipe. Only one may exist at a time.
class EventSource {
public:
    /// How the source waits on its descriptors: poll(2), or a stand-in that counts calls.
    using PollFunction = int (*)(pollfd* fds, nfds_t count, int timeout_ms);

    static TermResult<EventSource> open(int in_fd, PollFunction wait = ::poll);

    EventSource(EventSource&& other) noexcept;
    EventSource& operator=(EventSource&&) = delete;
    EventSource(const EventSource&) = delete;
    EventSource& operator=(const EventSource&) = delete;
    ~EventSource();

    /// True when an event is ready within the time-out. Interrupted waits are resumed
    /// with the time that is left. End of input is an error.
    TermResult<bool> poll(std::chrono::milliseconds timeout);
    /// The next event, waiting as long as it takes.
    TermResult<Event> read();

private:
    EventSource(int in_fd, int wake_read, int wake_write, PollFunction wait) noexcept
        : in_fd_(in_fd), wake_read_(wake_read), wake_write_(wake_write), wait_(wait) {}
    TermResult<bool> read_input();
    void drain_decoder(bool idle);

    int in_fd_ = -1;
    int wake_read_ = -1;
    int wake_write_ = -1;
    PollFunction wait_ = nullptr;
    Decoder decoder_;
    std::deque<Event> ready_;
};

} // namespace qb::term
