// A small full-screen program over the terminal layer, for the tmux tests: it draws a
// block, a table, a wrapped paragraph and a name full of control characters, shows the
// last key, and quits on q. It redraws on every turn, so an idle screen proves that an
// unchanged frame writes nothing; with --stats FILE it keeps its counters there.

#include "tui/term/input.hpp"
#include "tui/term/table.hpp"
#include "tui/term/terminal.hpp"
#include "tui/term/widgets.hpp"

#include <cstdio>
#include <fmt/format.h>
#include <string>
#include <unistd.h>

using namespace qb::term;

namespace {

struct Counters {
    std::uint64_t frames = 0;
    std::uint64_t bytes = 0;
    std::uint64_t resizes = 0;
};

void write_stats(const std::string& path, const Counters& c) {
    if (path.empty()) {
        return;
    }
    std::string tmp = path + ".tmp";
    if (FILE* f = std::fopen(tmp.c_str(), "w")) {
        std::fprintf(
            f, "frames %llu\nbytes %llu\nresizes %llu\n", static_cast<unsigned long long>(c.frames),
            static_cast<unsigned long long>(c.bytes), static_cast<unsigned long long>(c.resizes));
        std::fclose(f);
        std::rename(tmp.c_str(), path.c_str());
    }
}

void paint(Frame& f, const std::string& last_key, const Counters& c) {
    const Color accent = Color::indexed(173);
    const Color border = Color::indexed(24);
    Block outer = Block::bordered();
    outer.border_type = BorderType::Rounded;
    outer.border_style = Style{}.with_fg(border);
    outer.title = Line(" term-demo ");
    outer.title_style = Style{}.bold();
    f.render_widget(outer, f.area());
    Rect inner = outer.inner(f.area());

    auto parts =
        Layout::vertical({Constraint::length(4), Constraint::length(6), Constraint::min(0)})
            .split(inner);
    Paragraph info(Text(std::vector<Line>{
        Line(fmt::format("size: {}x{}", f.area().width, f.area().height)),
        Line(fmt::format("last key: {}", last_key), Style{}.with_fg(accent)),
        Line(fmt::format("resizes: {}", c.resizes)),
        Line("name: dir\x1b]0;pwned\x07|end"),
    }));
    f.render_widget(info, parts[0]);

    Table table;
    table.rows = {Row({Line("1.0 GiB"), Line("cargo-target"), Line("/w/a")}),
                  Row({Line("12 B"), Line("node-modules"), Line("/w/日本")}),
                  Row({Line("3.5 MiB"), Line("python-venv"), Line("/w/b")})};
    table.header = Row({Line("ESTIMATE"), Line("KIND"), Line("LOCATION")});
    table.widths = {Constraint::length(9), Constraint::length(14), Constraint::min(10)};
    table.block = Block::bordered();
    table.highlight_symbol = "> ";
    table.highlight_style = Style{}.with_bg(border).bold();
    TableState state;
    state.selected = 1;
    f.render_stateful_widget(table, parts[1], state);

    Paragraph note(Text("Keys are echoed above. Press q to quit; the terminal modes come back "
                        "as they were."));
    note.wrapped(true);
    f.render_widget(note, parts[2]);
}

} // namespace

int main(int argc, char** argv) {
    std::string stats;
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::string(argv[i]) == "--stats") {
            stats = argv[i + 1];
        }
    }
    if (!is_terminal(STDIN_FILENO) || !is_terminal(STDOUT_FILENO)) {
        std::fprintf(stderr, "term-demo: needs an interactive terminal\n");
        return 3;
    }
    auto screen = FullScreen::enter(STDIN_FILENO, STDOUT_FILENO);
    if (!screen) {
        std::fprintf(stderr, "term-demo: %s\n", screen.error().to_string().c_str());
        return 4;
    }
    auto events = EventSource::open(STDIN_FILENO);
    if (!events) {
        screen->restore();
        std::fprintf(stderr, "term-demo: %s\n", events.error().to_string().c_str());
        return 4;
    }

    Counters counters;
    std::string last_key = "none";
    std::string failure;
    Terminal& term = screen->terminal();
    for (bool quit = false; !quit;) {
        auto drawn = term.draw([&](Frame& f) { paint(f, last_key, counters); });
        if (!drawn) {
            failure = drawn.error().to_string();
            break;
        }
        ++counters.frames;
        counters.bytes = term.total_bytes();
        write_stats(stats, counters);

        auto ready = events->poll(std::chrono::milliseconds(50));
        if (!ready) {
            failure = ready.error().to_string();
            break;
        }
        while (*ready) {
            auto ev = events->read();
            if (!ev) {
                failure = ev.error().to_string();
                quit = true;
                break;
            }
            if (const auto* k = std::get_if<KeyEvent>(&*ev)) {
                if (k->is_char(U'q') && k->mods == KeyMods::NONE) {
                    quit = true;
                    break;
                }
                last_key = describe(*k);
            } else if (std::holds_alternative<ResizeEvent>(*ev)) {
                ++counters.resizes;
            }
            ready = events->poll(std::chrono::milliseconds(0));
            if (!ready) {
                failure = ready.error().to_string();
                quit = true;
                break;
            }
        }
    }
    screen->restore();
    if (!failure.empty()) {
        std::fprintf(stderr, "term-demo: %s\n", failure.c_str());
        return 4;
    }
    std::printf("term-demo: frames=%llu bytes=%llu\n",
                static_cast<unsigned long long>(counters.frames),
                static_cast<unsigned long long>(counters.bytes));
    return 0;
}
