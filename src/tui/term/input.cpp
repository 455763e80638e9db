#include "tui/term/input.hpp"

#include "common/text.hpp"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <fmt/format.h>
#include <poll.h>
#include <unistd.h>
#include <utf8proc.h>

namespace qb::term {
namespace {

// An escape sequence longer than this without its final byte is garbage.
constexpr std::size_t kMaxSequence = 64;
// How long the rest of an escape sequence may take to arrive after its first bytes.
constexpr int kSequenceGraceMs = 10;

struct Decoded {
    std::size_t consumed = 0; // 0: incomplete, wait for more
    std::optional<Event> event;
};

Decoded key(std::size_t n, KeyEvent k) {
    return Decoded{n, Event{k}};
}

Decoded other(std::size_t n) {
    return Decoded{n, Event{OtherEvent{}}};
}

std::uint8_t modifier_param(int m) {
    if (m < 2) {
        return KeyMods::NONE;
    }
    int bits = m - 1;
    std::uint8_t out = KeyMods::NONE;
    if (bits & 1) {
        out |= KeyMods::SHIFT;
    }
    if (bits & 2) {
        out |= KeyMods::ALT;
    }
    if (bits & 4) {
        out |= KeyMods::CONTROL;
    }
    return out;
}

std::optional<KeyEvent> letter_key(char c) {
    switch (c) {
    case 'A':
        return KeyEvent::key(KeyCode::Up);
    case 'B':
        return KeyEvent::key(KeyCode::Down);
    case 'C':
        return KeyEvent::key(KeyCode::Right);
    case 'D':
        return KeyEvent::key(KeyCode::Left);
    case 'H':
        return KeyEvent::key(KeyCode::Home);
    case 'F':
        return KeyEvent::key(KeyCode::End);
    case 'P':
        return KeyEvent::function(1);
    case 'Q':
        return KeyEvent::function(2);
    case 'R':
        return KeyEvent::function(3);
    case 'S':
        return KeyEvent::function(4);
    default:
        return std::nullopt;
    }
}

std::optional<KeyEvent> tilde_key(int n) {
    switch (n) {
    case 1:
    case 7:
        return KeyEvent::key(KeyCode::Home);
    case 2:
        return KeyEvent::key(KeyCode::Insert);
    case 3:
        return KeyEvent::key(KeyCode::Delete);
    case 4:
    case 8:
        return KeyEvent::key(KeyCode::End);
    case 5:
        return KeyEvent::key(KeyCode::PageUp);
    case 6:
        return KeyEvent::key(KeyCode::PageDown);
    default:
        break;
    }
    if (n >= 11 && n <= 15) {
        return KeyEvent::function(static_cast<std::uint8_t>(n - 10));
    }
    if (n >= 17 && n <= 21) {
        return KeyEvent::function(static_cast<std::uint8_t>(n - 11));
    }
    if (n == 23 || n == 24) {
        return KeyEvent::function(static_cast<std::uint8_t>(n - 12));
    }
    return std::nullopt;
}

// ESC [ at s[0..1]; parameters, intermediates, one final byte.
Decoded decode_csi(std::string_view s) {
    std::size_t i = 2;
    while (i < s.size()) {
        auto b = static_cast<unsigned char>(s[i]);
        if (b >= 0x40 && b <= 0x7E) {
            break;
        }
        if (b < 0x20 || b > 0x3F) {
            return other(i); // broken sequence: drop what came before this byte
        }
        if (i >= kMaxSequence) {
            return other(i);
        }
        ++i;
    }
    if (i >= s.size()) {
        return Decoded{}; // incomplete
    }
    std::size_t n = i + 1;
    char final = s[i];
    std::string_view params = s.substr(2, i - 2);
    if (!params.empty() && (params[0] < '0' || params[0] > ';')) {
        return other(n); // private or mouse reports
    }
    std::vector<int> nums;
    int cur = 0;
    bool have = false;
    for (char c : params) {
        if (c >= '0' && c <= '9') {
            cur = std::min(cur * 10 + (c - '0'), 10000);
            have = true;
        } else if (c == ';') {
            nums.push_back(have ? cur : 0);
            cur = 0;
            have = false;
        } else {
            return other(n); // intermediates or sub-parameters: not a key we know
        }
    }
    if (have || !params.empty()) {
        nums.push_back(have ? cur : 0);
    }
    std::uint8_t mods = nums.size() >= 2 ? modifier_param(nums[1]) : KeyMods::NONE;
    std::optional<KeyEvent> k;
    if (final == '~') {
        if (!nums.empty()) {
            k = tilde_key(nums[0]);
        }
    } else if (final == 'Z') {
        k = KeyEvent::key(KeyCode::BackTab, KeyMods::SHIFT);
    } else {
        k = letter_key(final);
    }
    if (!k) {
        return other(n);
    }
    k->mods |= mods;
    return key(n, *k);
}

Decoded decode_control(unsigned char b) {
    switch (b) {
    case 0x0D:
        return key(1, KeyEvent::key(KeyCode::Enter));
    case 0x09:
        return key(1, KeyEvent::key(KeyCode::Tab));
    case 0x7F:
    case 0x08: // some terminals send Ctrl+H for the backspace key
        return key(1, KeyEvent::key(KeyCode::Backspace));
    case 0x00:
        return key(1, KeyEvent::character(U' ', KeyMods::CONTROL));
    default:
        break;
    }
    if (b >= 0x01 && b <= 0x1A) {
        return key(1, KeyEvent::character(U'a' + (b - 0x01), KeyMods::CONTROL));
    }
    // 0x1C to 0x1F
    return key(1, KeyEvent::character(U'4' + (b - 0x1C), KeyMods::CONTROL));
}

Decoded decode_utf8(std::string_view s, bool idle) {
    auto b = static_cast<unsigned char>(s[0]);
    std::size_t need = b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : b >= 0xC0 ? 2 : 1;
    if (b >= 0x80 && b < 0xC0) {
        return other(1);
    }
    if (s.size() < need) {
        // Wait for the rest unless the bytes there can never complete a character.
        bool could_complete = b >= 0xC2 && b <= 0xF4;
        for (std::size_t k = 1; k < s.size(); ++k) {
            auto c = static_cast<unsigned char>(s[k]);
            could_complete = could_complete && c >= 0x80 && c < 0xC0;
        }
        return could_complete && !idle ? Decoded{} : other(1);
    }
    std::string_view one = s.substr(0, need);
    if (qb::text::valid_utf8_prefix(one) != need) {
        return other(1);
    }
    utf8proc_int32_t decoded = 0;
    utf8proc_iterate(reinterpret_cast<const utf8proc_uint8_t*>(one.data()),
                     static_cast<utf8proc_ssize_t>(need), &decoded);
    auto cp = static_cast<char32_t>(decoded);
    std::uint8_t mods = (cp >= U'A' && cp <= U'Z') ? KeyMods::SHIFT : KeyMods::NONE;
    return key(need, KeyEvent::character(cp, mods));
}

Decoded decode(std::string_view s, bool idle) {
    auto b = static_cast<unsigned char>(s[0]);
    if (b == 0x1B) {
        if (s.size() == 1) {
            return idle ? key(1, KeyEvent::key(KeyCode::Esc)) : Decoded{};
        }
        char c = s[1];
        if (c == '[') {
            Decoded d = decode_csi(s);
            if (d.consumed == 0 && idle) {
                return key(1, KeyEvent::key(KeyCode::Esc));
            }
            return d;
        }
        if (c == 'O') {
            if (s.size() < 3) {
                return idle ? key(1, KeyEvent::key(KeyCode::Esc)) : Decoded{};
            }
            std::optional<KeyEvent> k = letter_key(s[2]);
            return k ? key(3, *k) : other(3);
        }
        if (c == 0x1B) {
            return key(1, KeyEvent::key(KeyCode::Esc));
        }
        Decoded rest = decode(s.substr(1), idle);
        if (rest.consumed == 0) {
            return idle ? key(1, KeyEvent::key(KeyCode::Esc)) : Decoded{};
        }
        if (rest.event && std::holds_alternative<KeyEvent>(*rest.event)) {
            std::get<KeyEvent>(*rest.event).mods |= KeyMods::ALT;
            rest.consumed += 1;
            return rest;
        }
        return key(1, KeyEvent::key(KeyCode::Esc));
    }
    if (b < 0x20 || b == 0x7F) {
        return decode_control(b);
    }
    return decode_utf8(s, idle);
}

const char* code_name(KeyCode c) {
    switch (c) {
    case KeyCode::Backspace:
        return "Backspace";
    case KeyCode::Enter:
        return "Enter";
    case KeyCode::Left:
        return "Left";
    case KeyCode::Right:
        return "Right";
    case KeyCode::Up:
        return "Up";
    case KeyCode::Down:
        return "Down";
    case KeyCode::Home:
        return "Home";
    case KeyCode::End:
        return "End";
    case KeyCode::PageUp:
        return "PageUp";
    case KeyCode::PageDown:
        return "PageDown";
    case KeyCode::Tab:
        return "Tab";
    case KeyCode::BackTab:
        return "BackTab";
    case KeyCode::Delete:
        return "Delete";
    case KeyCode::Insert:
        return "Insert";
    case KeyCode::Null:
        return "Null";
    case KeyCode::Esc:
        return "Esc";
    case KeyCode::Char:
    case KeyCode::F:
        break;
    }
    return "";
}

} // namespace

std::string describe(const KeyEvent& k) {
    std::string out;
    if (k.ctrl()) {
        out += "Ctrl+";
    }
    if (k.alt()) {
        out += "Alt+";
    }
    if (k.shift() && k.code != KeyCode::Char) {
        out += "Shift+";
    }
    if (k.code == KeyCode::Char) {
        utf8proc_uint8_t buf[4];
        utf8proc_ssize_t n = utf8proc_encode_char(static_cast<utf8proc_int32_t>(k.ch), buf);
        std::string utf8(reinterpret_cast<const char*>(buf), static_cast<std::size_t>(n));
        out += k.ch == U' ' ? std::string("Space") : utf8;
    } else if (k.code == KeyCode::F) {
        out += fmt::format("F{}", k.fn);
    } else {
        out += code_name(k.code);
    }
    return out;
}

std::string describe(const Event& e) {
    if (const auto* k = std::get_if<KeyEvent>(&e)) {
        return describe(*k);
    }
    return std::holds_alternative<ResizeEvent>(e) ? "Resize" : "Other";
}

std::optional<Event> Decoder::take(bool idle) {
    if (pending_.empty()) {
        return std::nullopt;
    }
    Decoded d = decode(pending_, idle);
    if (d.consumed == 0) {
        return std::nullopt;
    }
    pending_.erase(0, d.consumed);
    return d.event;
}

std::optional<Event> Decoder::next() {
    return take(false);
}

std::optional<Event> Decoder::next_idle() {
    return take(true);
}

std::vector<Event> decode_all(std::string_view bytes) {
    Decoder d;
    d.feed(bytes);
    std::vector<Event> out;
    while (auto e = d.next_idle()) {
        out.push_back(*e);
    }
    return out;
}

// ---- Event source -------------------------------------------------------------------

namespace {

std::atomic<int> g_wake_fd{-1};
struct sigaction g_previous_winch {};

extern "C" void on_winch(int) {
    int saved = errno;
    int fd = g_wake_fd.load();
    if (fd >= 0) {
        char b = 1;
        (void)!::write(fd, &b, 1);
    }
    errno = saved;
}

TermError sys_error(std::string operation) {
    int code = errno != 0 ? errno : EIO;
    return TermError{code, std::move(operation)};
}

} // namespace

TermResult<EventSource> EventSource::open(int in_fd, PollFunction wait) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
        return unexpected(sys_error("create the resize pipe"));
    }
    int expected = -1;
    if (!g_wake_fd.compare_exchange_strong(expected, fds[1])) {
        ::close(fds[0]);
        ::close(fds[1]);
        return unexpected(TermError{EBUSY, "watch for resizes"});
    }
    struct sigaction sa {};
    sa.sa_handler = on_winch;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    if (::sigaction(SIGWINCH, &sa, &g_previous_winch) != 0) {
        TermError err = sys_error("watch for resizes");
        g_wake_fd.store(-1);
        ::close(fds[0]);
        ::close(fds[1]);
        return unexpected(err);
    }
    return EventSource(in_fd, fds[0], fds[1], wait);
}

EventSource::EventSource(EventSource&& other) noexcept
    : in_fd_(other.in_fd_), wake_read_(other.wake_read_), wake_write_(other.wake_write_),
      wait_(other.wait_), decoder_(std::move(other.decoder_)), ready_(std::move(other.ready_)) {
    other.wake_read_ = -1;
    other.wake_write_ = -1;
}

EventSource::~EventSource() {
    if (wake_write_ < 0) {
        return;
    }
    ::sigaction(SIGWINCH, &g_previous_winch, nullptr);
    g_wake_fd.store(-1);
    ::close(wake_read_);
    ::close(wake_write_);
}

void EventSource::drain_decoder(bool idle) {
    while (auto e = idle ? decoder_.next_idle() : decoder_.next()) {
        ready_.push_back(*e);
    }
}

// Reads what the input holds; then, while an escape sequence is unfinished, waits a
// moment for its rest before taking it as typed.
TermResult<bool> EventSource::read_input() {
    char buf[1024];
    for (;;) {
        ssize_t n = ::read(in_fd_, buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                break;
            }
            return unexpected(sys_error("read from the terminal"));
        }
        if (n == 0) {
            return unexpected(TermError{EIO, "read from the terminal: end of input"});
        }
        decoder_.feed(std::string_view(buf, static_cast<std::size_t>(n)));
        drain_decoder(false);
        if (!decoder_.has_pending()) {
            break;
        }
        pollfd p{in_fd_, POLLIN, 0};
        int r = 0;
        do {
            r = wait_(&p, 1, kSequenceGraceMs);
        } while (r < 0 && errno == EINTR);
        if (r < 0) {
            return unexpected(sys_error("wait for terminal input"));
        }
        if (r == 0) {
            drain_decoder(true);
            break;
        }
    }
    return !ready_.empty();
}

TermResult<bool> EventSource::poll(std::chrono::milliseconds timeout) {
    using Clock = std::chrono::steady_clock;
    if (!ready_.empty()) {
        return true;
    }
    auto deadline = Clock::now() + timeout;
    for (;;) {
        // Rounded up: a last fraction of a millisecond cut to 0 would poll in a loop.
        auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        int ms =
            static_cast<int>(std::max<long long>(0, std::min<long long>(left.count(), 1 << 30)));
        pollfd fds[2] = {{in_fd_, POLLIN, 0}, {wake_read_, POLLIN, 0}};
        int r = wait_(fds, 2, ms);
        if (r < 0) {
            if (errno == EINTR) {
                continue;
            }
            return unexpected(sys_error("wait for terminal input"));
        }
        if (fds[1].revents & POLLIN) {
            char sink[64];
            while (::read(wake_read_, sink, sizeof sink) > 0) {
            }
            ready_.push_back(ResizeEvent{});
        }
        if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
            TermResult<bool> got = read_input();
            if (!got) {
                return unexpected(got.error());
            }
        } else if (fds[0].revents & POLLNVAL) {
            return unexpected(TermError{EBADF, "wait for terminal input"});
        }
        if (!ready_.empty()) {
            return true;
        }
        if (Clock::now() >= deadline) {
            return false;
        }
    }
}

TermResult<Event> EventSource::read() {
    while (ready_.empty()) {
        TermResult<bool> got = poll(std::chrono::hours(1));
        if (!got) {
            return unexpected(got.error());
        }
    }
    Event e = ready_.front();
    ready_.pop_front();
    return e;
}

} // namespace qb::term
