// The frame as a whole: its geometry, the panel that fills the body, the footer row, the
// overlay drawn last, and the colour depths.

#include "draw_support.hpp"
#include "tui/term/text.hpp"

#include <fmt/format.h>

namespace qb::tui {
namespace {

using namespace drawtest;

TuiState with_rows(bool unicode = true) {
    TuiState s = ready_state(unicode);
    s.rows = {cache("/w/big/target", 3u << 30), cache("/w/small/target", 1024)};
    show_all(s);
    return s;
}

// The box whose title holds `word`: its corner is two cells before the word.
term::Rect box_titled(const term::Buffer& b, std::string_view word) {
    auto at = find_text(b, word);
    if (!at || at->x < 2) {
        return {};
    }
    auto is = [&](std::uint16_t x, std::uint16_t y, std::initializer_list<const char*> syms) {
        return std::any_of(syms.begin(), syms.end(),
                           [&](const char* s) { return b.at(x, y).symbol == s; });
    };
    std::uint16_t x0 = static_cast<std::uint16_t>(at->x - 2), x1 = at->x, y1 = at->y;
    while (x1 + 1 < b.width() && !is(x1, at->y, {"\xE2\x95\xAE", "\xE2\x94\x90"})) {
        ++x1;
    }
    while (y1 + 1 < b.height() && !is(x0, y1, {"\xE2\x95\xB0", "\xE2\x94\x94"})) {
        ++y1;
    }
    return {x0, at->y, static_cast<std::uint16_t>(x1 - x0 + 1),
            static_cast<std::uint16_t>(y1 - at->y + 1)};
}

TEST(DrawFrame, GeometryAndTooSmallNotice) {
    term::Buffer full = draw(with_rows(), 58, 16);
    EXPECT_EQ(find_text(full, "QUILL")->y, 0) << dump(full);
    EXPECT_EQ(row(full, 1), "");
    EXPECT_EQ(full.at(57, 2).symbol, "\xE2\x94\x80"); // the header's rule
    EXPECT_EQ(slot(full.at(57, 2).fg), "border");
    EXPECT_EQ(box_titled(full, "Storage"), (term::Rect{0, 3, 58, 11})); // the body
    EXPECT_EQ(find_text(full, "move")->y, 14);
    EXPECT_EQ(slot(full.at(0, 15).bg), "surface");

    for (auto [w, h] : {std::pair{57, 16}, std::pair{58, 15}}) {
        for (bool unicode : {true, false}) {
            term::Buffer b = draw(with_rows(unicode), static_cast<std::uint16_t>(w),
                                  static_cast<std::uint16_t>(h));
            EXPECT_EQ(look(b, "QuillBarrow needs a little more room"), "accent bold") << dump(b);
            EXPECT_EQ(look(b, unicode ? "Resize to at least 58 \xC3\x97 16 \xC2\xB7 q to quit"
                                      : "Resize to at least 58 x 16 | q to quit"),
                      "muted");
            EXPECT_FALSE(shows(b, "QUILL") || shows(b, "Storage")) << dump(b);
            EXPECT_EQ(slot(b.at(0, 0).bg), "background");
        }
    }
}

// "" when every two-column cluster is followed by its covered half and every covered
// cell follows one; otherwise where that fails.
std::string wide_cells_whole(const term::Buffer& b) {
    for (std::uint16_t y = 0; y < b.height(); ++y) {
        for (std::uint16_t x = 0; x < b.width(); ++x) {
            bool wide = term::display_width(b.at(x, y).symbol) == 2;
            bool covered_next = x + 1 < b.width() && b.at(x + 1, y).covered();
            bool after_wide = x > 0 && term::display_width(b.at(x - 1, y).symbol) == 2;
            if (wide != covered_next || (b.at(x, y).covered() && !after_wide)) {
                return fmt::format("cell {},{}", x, y);
            }
        }
    }
    return "";
}

TEST(DrawFrame, TinyTerminalsAndOddTexts) {
    // Wide, zero-width, invalid and control characters in paths, filter and status.
    TuiState odd = ready_state();
    odd.animate = true;
    odd.refreshing = true;
    Candidate wide = cache("/w/\xE6\xBC\xA2\xE5\xAD\x97/\xE7\x9B\xAE" + std::string(60, 'x'), 5);
    Candidate bad = cache("/w/x\xFF\xFE/e\xCC\x81\xE2\x80\x8B/t\x1b[31m", 7);
    bad.cleanable = false;
    bad.age_days.reset();
    odd.rows = {wide, bad};
    odd.sizing_rows = {{"node-modules", "node", "/w/\xF0\x9F\x91\x8D", CacheScope::Global, true}};
    odd.docker_rows = {build_cache(5)};
    odd.selected_paths = {wide.path};
    odd.filter = "\xE6\xBC\xA2\x1b";
    odd.status = StatusLine{"one\ntwo", kT0};
    odd.plan = odd.rows;
    odd.pending_prune = build_cache(5);
    odd.operation_paths = {bad.path};
    show_all(odd);

    const std::pair<int, int> sizes[] = {{0, 0},  {1, 1},   {0, 20},  {20, 0},  {1, 16},
                                         {58, 1}, {57, 15}, {58, 16}, {75, 17}, {104, 23}};
    for (TuiPhase phase : {TuiPhase::Scanning, TuiPhase::Ready, TuiPhase::Checking,
                           TuiPhase::Confirm, TuiPhase::Cleaning, TuiPhase::ScanFailed}) {
        for (bool unicode : {true, false}) {
            for (int extra = 0; extra < 2; ++extra) {
                TuiState s = odd;
                s.phase = phase;
                s.unicode = unicode;
                s.help_open = extra == 1;
                s.filter_open = extra == 1;
                s.cursor = extra == 1 ? 99 : 1;
                for (auto [w, h] : sizes) {
                    term::Buffer b =
                        draw(s, static_cast<std::uint16_t>(w), static_cast<std::uint16_t>(h));
                    ASSERT_EQ(wide_cells_whole(b), "") << w << "x" << h << "\n" << dump(b);
                }
            }
        }
    }
    EXPECT_EQ(dump(draw(odd, 1, 1)), "Q\n"); // the notice, as much as fits
    term::Buffer b = draw(odd, 120, 30);
    EXPECT_TRUE(shows(b, "/w/x\xEF\xBF\xBD\xEF\xBF\xBD/e\xCC\x81/t\xEF\xBF\xBD[31m")) << dump(b);
    EXPECT_TRUE(shows(b, "one\xEF\xBF\xBDtwo"));
}

TEST(DrawFrame, BodySharing) {
    TuiState s = with_rows();
    // Side by side above 103 columns: 68 % of 104, rounded, is 71.
    EXPECT_EQ(box_titled(draw(s, 104, 20), "Inspect"), (term::Rect{71, 3, 33, 15}));
    EXPECT_EQ(box_titled(draw(s, 103, 23), "Inspect"), (term::Rect{0, 13, 103, 8}));
    term::Buffer alone = draw(s, 103, 22);
    EXPECT_FALSE(shows(alone, "Inspect")) << dump(alone);
    EXPECT_EQ(box_titled(alone, "Storage"), (term::Rect{0, 3, 103, 17}));
}

TEST(DrawFrame, BodyByPhase) {
    TuiState s = ready_state();
    s.phase = TuiPhase::Scanning;
    term::Buffer splash = draw(s, 80, 24);
    EXPECT_TRUE(shows(splash, "Sniffing out rebuildable caches")) << dump(splash);
    EXPECT_FALSE(shows(splash, "Storage"));
    s.sizing_rows.push_back({"node-modules", "node", "/w/app/node_modules", CacheScope::Project});
    show_all(s);
    EXPECT_FALSE(shows(draw(s, 80, 24), "Sniffing"));

    term::Buffer empty = draw(ready_state(), 160, 30); // Ready and empty: no splash
    EXPECT_TRUE(shows(empty, "No caches found. Enjoy the breathing room.")) << dump(empty);
    EXPECT_FALSE(shows(empty, "Sniffing"));

    for (bool unicode : {true, false}) {
        TuiState failed = with_rows(unicode);
        failed.phase = TuiPhase::ScanFailed;
        term::Buffer b = draw(failed, 120, 30);
        EXPECT_FALSE(shows(b, "Storage") || shows(b, "Inspect")) << dump(b);
        EXPECT_EQ(box_titled(b, "Scan failed"), (term::Rect{17, 10, 86, 11})) << dump(b);
        EXPECT_EQ(b.at(17, 10).symbol, unicode ? "\xE2\x95\xAD" : "\xE2\x94\x8C");
        EXPECT_EQ(look(b, "The scan could not finish"), "danger bold");
        EXPECT_EQ(look(b, "Unknown error"), "text");
        EXPECT_EQ(bg_of(b, "Unknown error"), "surface");
        EXPECT_EQ(look(b, unicode ? "r retry  \xC2\xB7  q quit" : "r retry  |  q quit"), "muted");
        failed.scan_error = "path is not a readable directory: /nope";
        EXPECT_TRUE(shows(draw(failed, 120, 30), "path is not a readable directory: /nope"));
    }
}

TEST(DrawFrame, FilterBarTakesTheFooter) {
    for (bool unicode : {true, false}) {
        TuiState s = with_rows(unicode);
        s.filter = "node";
        s.filter_open = true;
        s.status = StatusLine{"hidden while filtering", kT0};
        term::Buffer b = draw(s, 100, 24);
        EXPECT_EQ(row(b, 22), unicode ? " FILTER   node\xE2\x96\x88   Enter apply  \xC2\xB7  Esc "
                                        "close  \xC2\xB7  Ctrl+U clear"
                                      : " FILTER   node_   Enter apply  |  Esc close  |  Ctrl+U "
                                        "clear");
        EXPECT_EQ(look(b, "FILTER"), "background bold");
        EXPECT_EQ(bg_of(b, "FILTER"), "info");
        EXPECT_EQ(look(b, "Enter apply"), "muted");
        EXPECT_EQ(bg_of(b, "Enter apply"), "surface");
    }
}

TEST(DrawFrame, OneOverlayAtMost) {
    TuiState s = with_rows();
    s.phase = TuiPhase::Confirm;
    s.plan = {cache("/w/big/target", 3u << 30)};
    EXPECT_TRUE(shows(draw(s, 100, 24), "Confirm delete"));
    s.help_open = true; // help hides the dialog while it is open
    term::Buffer help = draw(s, 100, 24);
    EXPECT_TRUE(shows(help, " Keyboard ") && !shows(help, "Confirm delete")) << dump(help);
    s.help_open = false;
    s.plan.clear(); // nothing pending: no dialog
    EXPECT_FALSE(shows(draw(s, 100, 24), "Confirm delete"));
    s.phase = TuiPhase::Checking;
    EXPECT_TRUE(shows(draw(s, 100, 24), " Check "));
    s.help_open = true;
    EXPECT_FALSE(shows(draw(s, 100, 24), " Check "));
}

TEST(DrawFrame, OverlayOverWideCharacters) {
    // The dialog's left border falls on the right half of a wide character of the details
    // title below it: that character goes, so nothing spills over the border.
    TuiState s = ready_state();
    s.rows = {cache("/ww/\xE6\xBC\xA2\xE5\xAD\x97\xE6\xBC\xA2\xE5\xAD\x97/t", 5)};
    show_all(s);
    s.phase = TuiPhase::Confirm;
    s.plan = s.rows;
    term::Buffer b = draw(s, 100, 23);
    ASSERT_EQ(box_titled(b, "Confirm delete").x, 12) << dump(b);
    EXPECT_EQ(b.at(12, 14).symbol, "\xE2\x94\x82") << dump(b);
    EXPECT_EQ(b.at(11, 14).symbol, " ");
    EXPECT_EQ(b.at(9, 14).symbol, "\xE6\xBC\xA2"); // the one before stays
}

TEST(DrawFrame, WorkingPanelTexts) {
    struct Case {
        TuiPhase phase;
        Rows paths;
        bool docker;
        bool unicode;
        std::string detail;
    };
    const Rows two = {"/w/a/target", "/w/b/target"};
    const std::vector<Case> cases = {
        {TuiPhase::Checking, two, true, true,
         "Remeasuring 2 filesystem caches and Docker build cache"},
        {TuiPhase::Checking,
         {},
         true,
         true,
         "Refreshing Docker's build-cache estimate before prune"},
        {TuiPhase::Checking, two, false, true, "Remeasuring 2 selected caches before delete"},
        {TuiPhase::Checking,
         {"/w/a"},
         false,
         true,
         "Remeasuring size and recent activity before delete"},
        {TuiPhase::Cleaning, two, true, true, "2 filesystem caches + Docker build cache"},
        {TuiPhase::Cleaning, {}, true, true, "Docker build cache"},
        {TuiPhase::Cleaning, two, false, true, "2 selected caches"},
        {TuiPhase::Cleaning, {"/w/a/node_modules"}, false, true, "node_modules"},
        {TuiPhase::Cleaning, {"/"}, false, true, "Working\xE2\x80\xA6"},
        {TuiPhase::Cleaning, {}, false, false, "Working..."},
    };
    for (const Case& c : cases) {
        TuiState s = with_rows(c.unicode);
        s.phase = c.phase;
        s.operation_paths = c.paths;
        s.docker_in_operation = c.docker;
        term::Buffer b = draw(s, 100, 24);
        bool check = c.phase == TuiPhase::Checking;
        EXPECT_TRUE(shows(b, check ? " Check " : " Clean ")) << dump(b);
        EXPECT_TRUE(shows(b, check ? "Checking current cache state" : "Cleaning storage"));
        EXPECT_EQ(look(b, c.detail, 8), "muted") << c.detail << "\n" << dump(b);
    }
}

TEST(DrawFrame, EveryColourDepth) {
    for (ColorDepth depth :
         {ColorDepth::TrueColor, ColorDepth::Indexed256, ColorDepth::Basic16, ColorDepth::None}) {
        SCOPED_TRACE(static_cast<int>(depth));
        TuiState s = with_rows();
        s.theme = theme_for(depth);
        s.selected_paths = {"/w/small/target"};
        term::Buffer b = draw(s, 120, 30);
        auto at = [&](std::string_view text, std::uint16_t from = 0) {
            auto p = find_text(b, text, from);
            return p ? b.style_at(p->x, p->y) : term::Style{};
        };
        EXPECT_EQ(at("QUILL").fg, s.theme.text);
        EXPECT_EQ(at("QUILL").bg, s.theme.background);
        EXPECT_EQ(at("READY").fg, s.theme.success);
        EXPECT_EQ(at("3.0 GiB", 6).bg, s.theme.border); // the focused row
        EXPECT_EQ(at("1.0 KiB", 6).fg, s.theme.accent);
        EXPECT_EQ(at("Apparent").bg, s.theme.surface);
        for (std::string_view bold : {"QUILL", "READY", "Storage", "/w/small/target"}) {
            EXPECT_TRUE(at(bold).add.contains(term::Modifier::BOLD)) << bold;
        }
    }
    TuiState s = with_rows();
    s.theme = theme_for(ColorDepth::None);
    term::Buffer b = draw(s, 120, 30);
    for (std::uint16_t y = 0; y < b.height(); ++y) {
        for (std::uint16_t x = 0; x < b.width(); ++x) {
            ASSERT_TRUE(b.at(x, y).fg == term::Color::reset() &&
                        b.at(x, y).bg == term::Color::reset())
                << x << "," << y;
        }
    }
}

TEST(Splash, MarkByGlyphsAndMotion) {
    TuiState s = ready_state();
    s.phase = TuiPhase::Scanning;
    auto splash = [&](int ms) {
        return draw(s, 80, 20, nullptr, {kT0 + std::chrono::milliseconds(ms), kWall});
    };
    term::Buffer still = splash(0);
    EXPECT_EQ(find_text(still, "\xE2\x97\x8F", 3)->y, 6) << dump(still); // centred in the body
    EXPECT_EQ(look(still, "\xE2\x97\x8F", 3), "info bold");
    EXPECT_EQ(splash(700), still); // no motion without animation
    EXPECT_EQ(look(still, "Sniffing out rebuildable caches"), "text bold");
    EXPECT_EQ(look(still, "Recognized caches appear here immediately."), "muted");
    s.animate = true;
    for (auto [ms, frame] : {std::pair{0, "\xE2\x97\x90"},
                             {119, "\xE2\x97\x90"},
                             {120, "\xE2\x97\x93"},
                             {360, "\xE2\x97\x92"},
                             {480, "\xE2\x97\x90"},
                             {-50, "\xE2\x97\x90"}}) {
        EXPECT_TRUE(find_text(splash(ms), frame, 3)) << ms;
    }
    s.unicode = false;
    EXPECT_EQ(find_text(splash(120), "*", 3)->y, 6);
}

TEST(WorkingPanel, BoxClearedAndDetailShortened) {
    TuiState s = ready_state();
    auto panel = [&](std::uint16_t w, std::uint16_t h, std::string detail) {
        return draw(s, w, h, [&](term::Frame& f, const TuiState& st, const DrawClock& c) {
            f.render_widget(term::Paragraph(term::Text(
                                std::vector<term::Line>(h, term::Line(std::string(w, '%'))))),
                            f.area());
            draw_working_panel(f, f.area(), st, c.now, "Cleaning storage", detail, " Clean ");
        });
    };
    term::Buffer b = panel(60, 16, "node_modules");
    term::Rect box = box_titled(b, "Clean");
    EXPECT_EQ(box, (term::Rect{1, 3, 58, 9})) << dump(b);
    EXPECT_EQ(box_titled(panel(100, 30, "x"), "Clean"), (term::Rect{16, 10, 68, 9}));
    for (std::uint16_t y = 0; y < 16; ++y) { // cleared inside, untouched outside
        for (std::uint16_t x = 0; x < 60; ++x) {
            bool inside = x >= box.x && x < box.right() && y >= box.y && y < box.bottom();
            ASSERT_EQ(b.at(x, y).symbol == "%", !inside) << x << "," << y << "\n" << dump(b);
        }
    }
    EXPECT_EQ(look(b, "\xE2\x97\x8F"), "accent");
    EXPECT_EQ(find_text(b, "Cleaning storage")->y, 6);
    EXPECT_EQ(look(b, "Cleaning storage"), "text bold");
    EXPECT_EQ(find_text(b, "node_modules")->x, 2 + (56 - 12) / 2);
    // In a 68-column box the detail keeps 62 characters around an ellipsis.
    std::string long_detail = std::string(40, 'a') + std::string(40, 'b');
    EXPECT_TRUE(shows(panel(100, 30, long_detail),
                      std::string(30, 'a') + "\xE2\x80\xA6" + std::string(31, 'b')));
    s.unicode = false;
    term::Buffer ascii = panel(100, 30, long_detail);
    EXPECT_TRUE(shows(ascii, std::string(29, 'a') + "..." + std::string(30, 'b'))) << dump(ascii);
    EXPECT_EQ(ascii.at(16, 10).symbol, "\xE2\x94\x8C");
}

TEST(HelpOverlay, WideAndNarrowForms) {
    TuiState s = with_rows();
    s.help_open = true;
    term::Buffer wide = draw(s, 74, 18);
    EXPECT_EQ(box_titled(wide, "Keyboard"), (term::Rect{1, 1, 72, 16})) << dump(wide);
    EXPECT_EQ(look(wide, " Keyboard "), "info");
    EXPECT_EQ(look(wide, "Space builds a batch; d cleans it."), "text bold");
    EXPECT_EQ(find_text(wide, "\xE2\x86\x91 / \xE2\x86\x93  j / k   Move through caches")->y, 4);
    EXPECT_EQ(look(wide, "\xE2\x86\x91 / \xE2\x86\x93"), "accent bold");
    EXPECT_EQ(look(wide, "Move through caches"), "text");
    EXPECT_EQ(bg_of(wide, "Move through caches"), "surface");
    EXPECT_TRUE(shows(wide, "q / Ctrl+C     Quit"));
    EXPECT_EQ(find_text(wide, "Press ? or Esc to close")->y, 15);
    EXPECT_EQ(look(wide, "Press ? or Esc"), "info");
    // Sixteen rows make a 14-row box: the legend and the closing hint are cut.
    term::Buffer cut = draw(s, 74, 16);
    EXPECT_TRUE(shows(cut, "q / Ctrl+C") && !shows(cut, "Press ?") && !shows(cut, "override"));

    EXPECT_TRUE(shows(draw(s, 100, 24), "\xC3\x97 override \xC2\xB7 Docker build cache confirms "
                                        "\xC2\xB7 \xE2\x80\x94 other Docker rows inspect-only."));
    s.unicode = false; // the wide form keeps its arrows in ASCII
    term::Buffer ascii = draw(s, 100, 24);
    EXPECT_TRUE(shows(ascii, "\xE2\x86\x91 / \xE2\x86\x93  j / k"));
    EXPECT_TRUE(shows(ascii, "x override | Docker build cache confirms | - other Docker rows "
                             "inspect-only."));
    EXPECT_EQ(ascii.at(11, 4).symbol, "\xE2\x94\x8C");
    s.phase = TuiPhase::Scanning;
    EXPECT_TRUE(shows(draw(s, 100, 24), "Sizing rows can be inspected; cleanup unlocks when "
                                        "measurement finishes."));

    term::Buffer narrow = draw(s, 73, 24); // 71 wide: the narrow form, 11 lines
    EXPECT_FALSE(shows(narrow, "Space builds a batch") || shows(narrow, "Sizing rows"));
    EXPECT_TRUE(shows(narrow, "Up/Down j/k    Move")) << dump(narrow);
    EXPECT_TRUE(shows(narrow, "d              Clean selection or focused item"));
    EXPECT_EQ(find_text(narrow, "Press ?")->y - find_text(narrow, "Keyboard")->y, 11);
}

// Headline, subline and totals of the confirm dialog, trimmed.
Rows dialog(const term::Buffer& b) {
    term::Rect box = box_titled(b, "Confirm delete");
    Rows out;
    for (int dy : {1, 3, 5}) {
        std::string t;
        for (std::uint16_t x = box.x + 1; x + 1 < box.right(); ++x) {
            t += b.at(x, static_cast<std::uint16_t>(box.y + dy)).symbol;
        }
        t.erase(t.find_last_not_of(' ') + 1);
        t.erase(0, t.find_first_not_of(' '));
        out.push_back(t);
    }
    return out;
}

TEST(ConfirmDialog, Cases) {
    TuiState s = ready_state();
    s.phase = TuiPhase::Confirm;
    Candidate recent = cache("/w/app/target", 2u << 30);
    recent.age_days = 2;
    s.plan = {recent};
    term::Buffer one = draw(s, 100, 24);
    EXPECT_EQ(box_titled(one, "Confirm delete"), (term::Rect{12, 6, 76, 11})) << dump(one);
    EXPECT_EQ(dialog(one), (Rows{"Delete cargo-target?", "/w/app/target",
                                 "2.0 GiB apparent  \xC2\xB7  1.0 GiB allocated  \xC2\xB7  recent "
                                 "\xC2\xB7 large"}));
    EXPECT_EQ(look(one, "Delete cargo-target?"), "text bold");
    EXPECT_EQ(look(one, "/w/app/target"), "muted");
    EXPECT_EQ(look(one, "2.0 GiB apparent"), "accent bold");
    EXPECT_EQ(look(one, "recent"), "muted");
    EXPECT_EQ(look(one, " Confirm delete "), "accent");
    EXPECT_EQ(look(one, " d / y "), "background bold");
    EXPECT_EQ(bg_of(one, " d / y "), "accent");
    EXPECT_EQ(look(one, " n / Esc "), "text");
    EXPECT_EQ(bg_of(one, " n / Esc "), "border");
    EXPECT_TRUE(shows(one, " d / y  clean      n / Esc  cancel"));

    s.plan.front().path = "/w/" + std::string(100, 'p') + "/target"; // box 58: 52 characters
    EXPECT_EQ(dialog(draw(s, 60, 24))[1],
              "/w/" + std::string(22, 'p') + "\xE2\x80\xA6" + std::string(19, 'p') + "/target");

    s.plan = {cache("/w/b/target", 1000), cache("/w/c/target", 1000)};
    s.unicode = false; // no labels: the line ends with the separator and two blanks
    term::Buffer two = draw(s, 100, 24);
    EXPECT_EQ(dialog(two), (Rows{"Delete 2 selected caches?",
                                 "Every target will be checked again immediately before removal",
                                 "2.0 KiB apparent  |  1000 B allocated  |"}));
    EXPECT_EQ(find_text(two, "2.0 KiB apparent")->x, 13 + (74 - 42) / 2);

    s.unicode = true;
    s.plan.clear();
    s.pending_prune = build_cache(3u << 20);
    EXPECT_EQ(
        dialog(draw(s, 100, 24)),
        (Rows{"Prune Docker build cache?",
              "Only ordinary build cache; images, containers, and volumes stay untouched",
              "3.0 MiB Docker reclaimable  \xC2\xB7  shared daemon \xC2\xB7 download restore"}));

    Candidate global = cache("/h/.cargo/registry", 1024, "cargo-registry");
    global.scope = CacheScope::Global;
    global.network_restore = true;
    s.plan = {global};
    Rows both = dialog(draw(s, 100, 24));
    EXPECT_EQ(both[0], "Clean 2 selected storage items?");
    EXPECT_EQ(both[1], "Every target is checked again immediately before cleanup");
    EXPECT_EQ(
        both[2].rfind("1.0 KiB filesystem  \xC2\xB7  3.0 MiB Docker reclaimable  \xC2\xB7", 0), 0u);
    // Labels wider than the box are cut there; download restore is listed once.
    EXPECT_EQ(confirm_flags_text(s), "shared \xC2\xB7 download restore \xC2\xB7 shared daemon");
    s.unicode = false;
    s.plan.front().age_days.reset();
    EXPECT_EQ(confirm_flags_text(s), "unknown age | shared | download restore | shared daemon");
}

} // namespace
} // namespace qb::tui
