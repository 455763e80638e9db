#include "tui/term/input.hpp"

#include <atomic>
#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <thread>
#include <unistd.h>

namespace qb::term {
namespace {

using K = KeyEvent;
constexpr auto CTRL = KeyMods::CONTROL;
constexpr auto ALT = KeyMods::ALT;
constexpr auto SHIFT = KeyMods::SHIFT;

std::vector<std::string> names(std::string_view bytes) {
    std::vector<std::string> out;
    for (const Event& e : decode_all(bytes)) {
        out.push_back(describe(e));
    }
    return out;
}

KeyEvent only_key(std::string_view bytes) {
    auto events = decode_all(bytes);
    EXPECT_EQ(events.size(), 1u) << "for input of " << bytes.size() << " bytes";
    if (events.empty() || !std::holds_alternative<KeyEvent>(events[0])) {
        return K::key(KeyCode::Null);
    }
    return std::get<KeyEvent>(events[0]);
}

TEST(Decoder, KeyTable) {
    struct Case {
        std::string bytes;
        KeyEvent key;
    };
    const std::vector<Case> cases = {
        {"\r", K::key(KeyCode::Enter)},
        {"\t", K::key(KeyCode::Tab)},
        {"\x7f", K::key(KeyCode::Backspace)},
        {"\x08", K::key(KeyCode::Backspace)},
        {"\x1b[Z", K::key(KeyCode::BackTab, SHIFT)},
        {"\x1b[A", K::key(KeyCode::Up)},
        {"\x1b[B", K::key(KeyCode::Down)},
        {"\x1b[C", K::key(KeyCode::Right)},
        {"\x1b[D", K::key(KeyCode::Left)},
        {"\x1bOA", K::key(KeyCode::Up)},
        {"\x1b[H", K::key(KeyCode::Home)},
        {"\x1b[F", K::key(KeyCode::End)},
        {"\x1bOH", K::key(KeyCode::Home)},
        {"\x1bOF", K::key(KeyCode::End)},
        {"\x1b[1~", K::key(KeyCode::Home)},
        {"\x1b[7~", K::key(KeyCode::Home)},
        {"\x1b[4~", K::key(KeyCode::End)},
        {"\x1b[8~", K::key(KeyCode::End)},
        {"\x1b[2~", K::key(KeyCode::Insert)},
        {"\x1b[3~", K::key(KeyCode::Delete)},
        {"\x1b[5~", K::key(KeyCode::PageUp)},
        {"\x1b[6~", K::key(KeyCode::PageDown)},
        {"\x1bOP", K::function(1)},
        {"\x1bOS", K::function(4)},
        {"\x1b[15~", K::function(5)},
        {"\x1b[17~", K::function(6)},
        {"\x1b[21~", K::function(10)},
        {"\x1b[24~", K::function(12)},
        {"\x1b[1;5A", K::key(KeyCode::Up, CTRL)},
        {"\x1b[1;2B", K::key(KeyCode::Down, SHIFT)},
        {"\x1b[1;3C", K::key(KeyCode::Right, ALT)},
        {"\x1b[3;5~", K::key(KeyCode::Delete, CTRL)},
        {"\x1b[1;2P", K::function(1, SHIFT)},
        {"\x03", K::character(U'c', CTRL)},
        {"\x15", K::character(U'u', CTRL)},
        {"\x01", K::character(U'a', CTRL)},
        {std::string("\0", 1), K::character(U' ', CTRL)},
        {"\x1c", K::character(U'4', CTRL)},
        {"\x1bx", K::character(U'x', ALT)},
        {"\x1b\x03", K::character(U'c', CTRL | ALT)},
        {"\x1b\x1b[A", K::key(KeyCode::Esc)},
        {"\x1b[A", K::key(KeyCode::Up)},
        {"q", K::character(U'q')},
        {"G", K::character(U'G', SHIFT)},
        {" ", K::character(U' ')},
        {"é", K::character(U'é')},
        {"日", K::character(U'日')},
        {"\xF0\x9F\x98\x80", K::character(U'\U0001F600')},
        {"\x1b", K::key(KeyCode::Esc)},
    };
    for (const Case& c : cases) {
        auto events = decode_all(c.bytes);
        ASSERT_FALSE(events.empty()) << describe(c.key);
        ASSERT_TRUE(std::holds_alternative<KeyEvent>(events[0])) << describe(c.key);
        EXPECT_EQ(std::get<KeyEvent>(events[0]), c.key)
            << "wanted " << describe(c.key) << ", got " << describe(events[0]);
    }
    // Escape then a whole sequence: the Esc key, then the sequence on its own.
    EXPECT_EQ(names("\x1b\x1b[A"), (std::vector<std::string>{"Esc", "Up"}));
    EXPECT_EQ(only_key("\x1b[1;7D"), K::key(KeyCode::Left, CTRL | ALT));
}

TEST(Decoder, UnknownAndBrokenInput) {
    // Mouse, focus and private replies are swallowed as one event each.
    EXPECT_EQ(names("\x1b[<0;3;4M"
                    "a"),
              (std::vector<std::string>{"Other", "a"}));
    EXPECT_EQ(names("\x1b[I\x1b[?1;2c"
                    "b"),
              (std::vector<std::string>{"Other", "Other", "b"}));
    EXPECT_EQ(names("\x1b[99~"), (std::vector<std::string>{"Other"}));
    EXPECT_EQ(names("\x1bOz"), (std::vector<std::string>{"Other"}));
    // Bytes that cannot start a character are dropped one by one.
    EXPECT_EQ(names("\x80\xFFk"), (std::vector<std::string>{"Other", "Other", "k"}));
    EXPECT_EQ(names("\xC3(x"), (std::vector<std::string>{"Other", "(", "x"}));
    // A sequence broken by a control byte: the start is dropped, the byte decoded.
    EXPECT_EQ(names("\x1b[1\x03"), (std::vector<std::string>{"Other", "Ctrl+c"}));
    // A runaway sequence does not grow without bound.
    std::string runaway = "\x1b[" + std::string(200, '1');
    Decoder d;
    d.feed(runaway);
    ASSERT_TRUE(d.next().has_value());
}

TEST(Decoder, WaitsForTheRestOfSplitInput) {
    Decoder d;
    d.feed("\x1b");
    EXPECT_FALSE(d.next().has_value());
    d.feed("[");
    EXPECT_FALSE(d.next().has_value());
    d.feed("5");
    EXPECT_FALSE(d.next().has_value());
    d.feed("~\xE6\x97");
    ASSERT_EQ(describe(*d.next()), "PageUp");
    EXPECT_FALSE(d.next().has_value());
    d.feed("\xA5");
    ASSERT_EQ(describe(*d.next()), "日");
    EXPECT_FALSE(d.has_pending());

    // Idle settles a lone Esc, and an unfinished sequence as Esc plus what followed.
    d.feed("\x1b");
    EXPECT_FALSE(d.next().has_value());
    EXPECT_EQ(describe(*d.next_idle()), "Esc");
    d.feed("\x1b[");
    EXPECT_EQ(describe(*d.next_idle()), "Esc");
    EXPECT_EQ(describe(*d.next_idle()), "[");
    d.feed("\xE6\x97");
    EXPECT_FALSE(d.next().has_value());
    EXPECT_EQ(describe(*d.next_idle()), "Other");
}

struct InputPipe {
    int r = -1;
    int w = -1;
    InputPipe() {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) == 0) {
            r = fds[0];
            w = fds[1];
        }
    }
    ~InputPipe() {
        close_writer();
        if (r >= 0) {
            ::close(r);
        }
    }
    void send(std::string_view s) { ASSERT_EQ(::write(w, s.data(), s.size()), ssize_t(s.size())); }
    void close_writer() {
        if (w >= 0) {
            ::close(w);
            w = -1;
        }
    }
};

TEST(EventSource, KeysResizesAndEndOfInput) {
    InputPipe in;
    ASSERT_GE(in.r, 0);
    auto src = EventSource::open(in.r);
    ASSERT_TRUE(src) << src.error().to_string();

    // Only one source may own the resize signal at a time.
    auto second = EventSource::open(in.r);
    ASSERT_FALSE(second);
    EXPECT_EQ(second.error().os_code, EBUSY);

    auto nothing = src->poll(std::chrono::milliseconds(0));
    ASSERT_TRUE(nothing);
    EXPECT_FALSE(*nothing);

    in.send("q\x1b[B\x1b");
    std::vector<std::string> got;
    for (int i = 0; i < 3; ++i) {
        auto e = src->read();
        ASSERT_TRUE(e);
        got.push_back(describe(*e));
    }
    EXPECT_EQ(got, (std::vector<std::string>{"q", "Down", "Esc"}));

    // Several signals before the next wait are one resize.
    ::raise(SIGWINCH);
    ::raise(SIGWINCH);
    auto ready = src->poll(std::chrono::milliseconds(1000));
    ASSERT_TRUE(ready);
    ASSERT_TRUE(*ready);
    auto e = src->read();
    ASSERT_TRUE(e);
    EXPECT_TRUE(std::holds_alternative<ResizeEvent>(*e));
    auto after = src->poll(std::chrono::milliseconds(0));
    ASSERT_TRUE(after);
    EXPECT_FALSE(*after);

    in.close_writer();
    auto eof = src->poll(std::chrono::milliseconds(1000));
    ASSERT_FALSE(eof);
    EXPECT_EQ(eof.error().os_code, EIO);
}

std::vector<int> g_wait_timeouts;
int counting_poll(pollfd* fds, nfds_t count, int timeout_ms) {
    g_wait_timeouts.push_back(timeout_ms);
    return ::poll(fds, count, timeout_ms);
}

TEST(EventSource, AWaitWithNothingToReadIsOnePoll) {
    InputPipe in;
    auto src = EventSource::open(in.r, counting_poll);
    ASSERT_TRUE(src);
    g_wait_timeouts.clear();
    // By the time the wait begins, less than the whole millisecond is left.
    auto r = src->poll(std::chrono::milliseconds(1));
    ASSERT_TRUE(r) << r.error().to_string();
    EXPECT_FALSE(*r);
    EXPECT_EQ(g_wait_timeouts, std::vector<int>{1});
}

std::atomic<int> g_interruptions{0};
extern "C" void count_interruption(int) {
    g_interruptions.fetch_add(1);
}

TEST(EventSource, InterruptedWaitsAreResumed) {
    struct sigaction sa {};
    struct sigaction old {};
    sa.sa_handler = count_interruption;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0; // no restart: poll() sees EINTR
    ASSERT_EQ(::sigaction(SIGUSR1, &sa, &old), 0);

    InputPipe in;
    auto src = EventSource::open(in.r);
    ASSERT_TRUE(src);
    std::atomic<bool> done{false};
    pthread_t waiter = pthread_self();
    std::thread pester([&] {
        while (!done.load()) {
            pthread_kill(waiter, SIGUSR1);
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    });
    g_interruptions = 0;
    auto r = src->poll(std::chrono::milliseconds(150));
    // On a loaded machine the pester may miss a wait: wait again until one is interrupted.
    for (int i = 0; i < 100 && r && !*r && g_interruptions.load() == 0; ++i) {
        r = src->poll(std::chrono::milliseconds(150));
    }
    int seen = g_interruptions.load();
    in.send("k");
    auto k = src->read();
    done = true;
    pester.join();
    ::sigaction(SIGUSR1, &old, nullptr);

    ASSERT_TRUE(r) << r.error().to_string();
    EXPECT_FALSE(*r);
    ASSERT_TRUE(k);
    EXPECT_EQ(describe(*k), "k");
    EXPECT_GT(seen, 0) << "no signal arrived during 15 s of waits";
}

} // namespace
} // namespace qb::term
