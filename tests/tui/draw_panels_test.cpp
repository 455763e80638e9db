// The cache table, the header and footer lines and the details pane, each drawn alone at
// the widths and heights where its form changes.

#include "draw_support.hpp"

#include <fmt/format.h>

namespace qb::tui {
namespace {

using namespace drawtest;

term::Buffer table(const TuiState& s, std::uint16_t w, std::uint16_t h, int ms = 0) {
    return draw(s, w, h,
                [](term::Frame& f, const TuiState& st, const DrawClock& c) {
                    draw_cache_table(f, f.area(), st, c);
                },
                {kT0 + std::chrono::milliseconds(ms), kWall});
}

TuiState mixed() {
    TuiState s = ready_state();
    s.rows = {cache("/w/a/target", 2048)};
    s.sizing_rows = {{"node-modules", "node", "/w/b/node_modules", CacheScope::Project, true}};
    s.docker_rows = {docker("docker-images", "Docker images", 5000)};
    show_all(s);
    return s;
}

TEST(CacheTable, ColumnsEntriesAndCells) {
    TuiState s = mixed();
    const std::string bar = "\xE2\x94\x82";
    EXPECT_EQ(row(table(s, 75, 10), 1), bar + "     ESTIMATE  KIND           LOCATION");
    EXPECT_EQ(row(table(s, 76, 10), 1),
              bar + "     ESTIMATE   KIND                AGE      LOCATION");
    EXPECT_EQ(row(table(s, 95, 10), 1), row(table(s, 76, 10), 1));
    EXPECT_EQ(row(table(s, 96, 10), 1),
              bar + "     ESTIMATE   KIND                AGE      SCOPE     LOCATION");

    s.remembered.emplace("/w/b/node_modules",
                         RememberedCache{"node-modules", "node", CacheScope::Project,
                                         "/w/b/node_modules", 1288490189, 10,
                                         kWall - 3 * 86'400 - 5, true, kWall});
    term::Buffer b = table(s, 120, 10);
    EXPECT_EQ(look(b, "ESTIMATE"), "muted bold");
    EXPECT_EQ(row(b, 2), bar); // the gap under the header
    // Measured, then sizing, then Docker rows, whatever their sizes.
    EXPECT_EQ(row(b, 3), bar + "\xE2\x80\xBA    2.0 KiB    cargo-target        30d      project"
                               "   /w/a/target");
    EXPECT_EQ(row(b, 4), bar + "  \xE2\x97\x8F  ~1.2 GiB   node-modules        ~3d      project"
                               "   /w/b/node_modules");
    EXPECT_EQ(row(b, 5), bar + "  \xE2\x80\x94  4.9 KiB    docker-images       \xE2\x80\x94"
                               "        daemon    Docker images");
    EXPECT_EQ(look(b, "2.0 KiB"), "text bold"); // the focused row's highlight wins
    EXPECT_EQ(bg_of(b, "2.0 KiB"), "border");
    EXPECT_EQ(look(b, "~1.2 GiB"), "info");
    EXPECT_EQ(look(b, "~3d"), "muted");
    EXPECT_EQ(look(b, "/w/b/node_modules"), "muted");
    EXPECT_EQ(look(b, "\xE2\x97\x8F"), "info");
    EXPECT_EQ(look(b, "4.9 KiB"), "info");
    EXPECT_EQ(look(b, "Docker images"), "muted");
    s.cursor = 1;
    EXPECT_EQ(look(table(s, 120, 10), "2.0 KiB"), "accent");

    s.remembered.clear();
    s.cursor = 9; // beyond the end: the last entry is highlighted
    EXPECT_EQ(find_text(table(s, 120, 10), "\xE2\x80\xBA")->y, 5);
    EXPECT_TRUE(shows(table(s, 120, 10), "sizing\xE2\x80\xA6"));
    s.unicode = false; // ASCII glyphs, but the borders keep their lines
    term::Buffer a = table(s, 120, 10);
    EXPECT_EQ(row(a, 4), bar + "  *  sizing     node-modules        -        project   "
                               "/w/b/node_modules");
    EXPECT_EQ(row(a, 5).rfind(bar + "> -  4.9 KiB", 0), 0u) << dump(a);
    EXPECT_EQ(a.at(0, 0).symbol, "\xE2\x94\x8C");
}

TEST(CacheTable, MarksAndRowStyles) {
    TuiState s = ready_state(false);
    Candidate scan_only = cache("/w/s/.cache", 1023);
    scan_only.cleanable = false;
    Candidate overridden = cache("/w/p/.cache", 1024);
    overridden.cleanable = false;
    s.rows = {cache("/w/focus/target", 9), scan_only, overridden};
    s.docker_rows = {build_cache(1), docker("docker-volumes", "Docker volumes", 2)};
    s.selected_paths = {"/w/p/.cache"};
    s.selected_docker = {"docker-build-cache"};
    show_all(s);
    term::Buffer b = table(s, 100, 12);
    auto mark = [&](std::uint16_t y) {
        const term::Cell& c = b.at(3, y);
        return c.symbol + " " + slot(c.fg) + (c.mods.contains(term::Modifier::BOLD) ? " bold" : "");
    };
    // In ASCII a scan-only row and a selected one both show "x": colour and weight differ.
    EXPECT_EQ(mark(4), "x muted");
    EXPECT_EQ(look(b, "/w/s/.cache"), "muted");
    EXPECT_EQ(mark(5), "x success bold");
    EXPECT_EQ(look(b, "/w/p/.cache"), "text bold");
    EXPECT_EQ(look(b, "1023 B"), "accent");
    EXPECT_EQ(mark(6), "x success bold");
    EXPECT_EQ(look(b, "Docker build cache"), "text bold");
    EXPECT_EQ(mark(7), "- muted");
    s.unicode = true;
    b = table(s, 100, 12);
    EXPECT_EQ(b.at(3, 4).symbol + b.at(3, 5).symbol + b.at(3, 7).symbol,
              "\xC3\x97\xE2\x9C\x93\xE2\x80\x94");
    // The title counts the selection: 1024 bytes and the build cache's 1.
    EXPECT_EQ(b.row_text(0).rfind("\xE2\x95\xAD Storage \xC2\xB7 All \xC2\xB7 Size \xE2\x86\x93 "
                                  "\xC2\xB7 2 selected \xC2\xB7 1.0 KiB \xE2\x94\x80",
                                  0),
              0u)
        << dump(b);
}

TEST(CacheTable, RefreshedRowsAwaitingTheirMeasurement) {
    TuiState s = ready_state();
    s.phase = TuiPhase::Scanning;
    s.refreshing = true;
    s.animate = true;
    s.rows = {cache("/w/old/target", 4096), cache("/w/new/target", 2048)};
    s.measured_paths = {"/w/new/target"};
    s.selected_paths = {"/w/old/target"};
    show_all(s);
    s.cursor = 5;
    term::Buffer b = table(s, 100, 10, 250);
    EXPECT_EQ(b.at(3, 3).symbol, "\xE2\x9C\x93"); // the selection mark wins
    EXPECT_EQ(look(b, "~4.0 KiB"), "accent");
    EXPECT_EQ(look(b, "/w/old/target"), "muted"); // muted and plain though selected
    EXPECT_TRUE(shows(b, "~30d"));
    EXPECT_TRUE(shows(b, " 2.0 KiB") && !shows(b, "~2.0 KiB") && shows(b, " 30d "));
    s.selected_paths.clear();
    EXPECT_EQ(table(s, 100, 10, 250).at(3, 3).symbol, "\xE2\x97\x91"); // third spinner frame
    s.phase = TuiPhase::Ready;
    EXPECT_FALSE(shows(table(s, 100, 10), "~"));
}

TEST(CacheTable, TitleFilterAndScrolling) {
    TuiState s = ready_state();
    for (int i = 0; i < 30; ++i) {
        s.rows.push_back(cache(fmt::format("/w/p{:02}/target", i), 1u << 25));
    }
    show_all(s);
    auto title = [&] {
        std::string top = table(s, 140, 14).row_text(0);
        return top.substr(3, top.find(" \xE2\x94\x80") - 2);
    };
    EXPECT_EQ(title(), " Storage \xC2\xB7 All \xC2\xB7 Size \xE2\x86\x93 ");
    s.view_scope = ScopeFilter::Project;
    s.sort = SortMode::Age;
    s.filter = "p2";
    s.selected_paths = {"/w/p05/target", "/w/p20/target"}; // one hidden by the filter
    s.visible_rows = {20, 21};
    EXPECT_EQ(title(), " Storage \xC2\xB7 Project \xC2\xB7 Age \xE2\x86\x93 \xC2\xB7 2 selected "
                       "\xC2\xB7 64.0 MiB \xC2\xB7 filter: p2 ");
    s.unicode = false;
    s.view_scope = ScopeFilter::Global;
    s.sort = SortMode::Name;
    EXPECT_EQ(title(), " Storage | Global | Name asc | 2 selected | 64.0 MiB | filter: p2 ");

    s.visible_rows.clear(); // everything filtered away: no highlight, no symbol column
    term::Buffer none = table(s, 80, 8);
    EXPECT_EQ(row(none, 1), "\xE2\x94\x82   ESTIMATE   KIND                AGE      LOCATION");
    EXPECT_EQ(row(none, 3), "\xE2\x94\x82");

    show_all(s);
    s.cursor = 15; // capacity 10: entries 6 to 15, the cursor on the last line
    term::Buffer b = table(s, 80, 14);
    EXPECT_EQ(find_text(b, "/w/p06/target")->y, 3);
    EXPECT_EQ(find_text(b, "/w/p15/target")->y, 12);
    s.cursor = 5;
    s.rows[5].path = "/w/" + std::string(200, 'x');
    b = table(s, 80, 14);
    EXPECT_EQ(find_text(b, "/w/p09/target")->y, 12);
    EXPECT_FALSE(shows(b, "/w/p10/target"));
    // A long path is cut at the column's edge, without an ellipsis.
    EXPECT_EQ(b.row_text(8).substr(b.row_text(8).size() - 4), "x\xE2\x94\x82") << dump(b);
    EXPECT_FALSE(shows(b, "\xE2\x80\xA6"));

    // No room for rows: the header stays where it is, the symbol column still kept for
    // the focused entry, wherever the cursor is.
    for (std::uint64_t cursor : {0u, 29u}) {
        s.cursor = cursor;
        EXPECT_EQ(find_text(table(s, 80, 4), "ESTIMATE")->x, 6u) << cursor;
        EXPECT_EQ(find_text(table(s, 80, 3), "ESTIMATE")->x, 6u) << cursor;
    }
}

std::string text_of(const term::Line& line) {
    std::string out;
    for (const term::Span& s : line.spans) {
        out += s.text;
    }
    return out;
}

// Each span as "text=slot[ bold]".
Rows spans_of(const term::Line& line) {
    Rows out;
    for (const term::Span& s : line.spans) {
        out.push_back(s.text + "=" + (s.style.fg ? slot(*s.style.fg) : "none") +
                      (s.style.add.contains(term::Modifier::BOLD) ? " bold" : ""));
    }
    return out;
}

TEST(HeaderLine, BrandBadgeAndCounts) {
    TuiState s = ready_state();
    s.rows = {cache("/w/a/target", 1024), cache("/w/b/target", 2048)};
    EXPECT_EQ(spans_of(header_line(s, 75)),
              (Rows{"  \xE2\x97\x89 =info", "QUILL=text bold", "BARROW=accent bold", "   =none",
                    "\xE2\x97\x8F READY=success bold", "=none", "=none"}));
    EXPECT_EQ(text_of(header_line(s, 76)), "  \xE2\x97\x89 QUILLBARROW   \xE2\x97\x8F READY   2 "
                                           "caches  \xC2\xB7  3.0 KiB apparent");
    EXPECT_EQ(spans_of(header_line(s, 76)).back(), "2 caches  \xC2\xB7  3.0 KiB apparent=muted");
    s.docker_rows = {docker("docker-images", "Docker images", UINT64_MAX), build_cache(5)};
    s.scan_errors = {"a", "b", "c"};
    s.unicode = false;
    EXPECT_EQ(text_of(header_line(s, 120)),
              "  o QUILLBARROW   * READY   2 caches  |  3.0 KiB apparent  |  Docker 16777216.0 "
              "TiB reclaimable  |  3 paths skipped");

    const std::pair<TuiPhase, std::string> badges[] = {
        {TuiPhase::Scanning, "* SCANNING=info bold"},
        {TuiPhase::Checking, "* CHECKING=info bold"},
        {TuiPhase::Confirm, "* CONFIRM=accent bold"},
        {TuiPhase::Cleaning, "* CLEANING=accent bold"},
        {TuiPhase::ScanFailed, "* SCAN FAILED=danger bold"}};
    for (const auto& [phase, badge] : badges) {
        s.phase = phase;
        EXPECT_EQ(spans_of(header_line(s, 60))[4], badge);
    }

    TuiState scan = ready_state();
    scan.phase = TuiPhase::Scanning;
    auto counts = [&] { return header_line(scan, 100).spans.back().text; };
    EXPECT_EQ(counts(), "searching project roots");
    scan.found_count = 3;
    scan.rows = {cache("/w/a/target", 1u << 20)};
    scan.measured_paths = {"/w/a/target"};
    scan.pending_paths = {"/w/b/target", "/w/c/target"};
    EXPECT_EQ(counts(), "1 measured  \xC2\xB7  2 sizing  \xC2\xB7  1.0 MiB apparent");
    scan.refreshing = true; // a refresh has its own counts, even before anything is found
    scan.found_count = 0;
    scan.sizing_rows = {{"node-modules", "node", "/w/n", CacheScope::Project, true}};
    EXPECT_EQ(counts(), "2 shown  \xC2\xB7  1 refreshed  \xC2\xB7  2 sizing");
}

TEST(FooterLine, StatusProgressAndHints) {
    TuiState s = ready_state();
    s.rows = {cache("/w/a/target", 10)};
    s.sizing_rows = {{"node-modules", "node", "/w/n", CacheScope::Project, true}};
    s.docker_rows = {docker("docker-images", "Docker images", 1), build_cache(1)};
    show_all(s);
    auto at = [&](std::uint16_t w, int ms = 0) {
        return text_of(footer_line(s, w, kT0 + std::chrono::milliseconds(ms)));
    };
    const std::string up = "  \xE2\x86\x91\xE2\x86\x93 move";
    s.status = StatusLine{"Deleted cache", kT0};
    EXPECT_EQ(spans_of(footer_line(s, 100, kT0)),
              (Rows{"  \xE2\x97\x8F  =info", "Deleted cache=text"}));
    EXPECT_EQ(at(100, 3'900), "  \xE2\x97\x8F  Deleted cache");
    EXPECT_EQ(at(100, -1'000), "  \xE2\x97\x8F  Deleted cache"); // clock before the stamp
    EXPECT_EQ(at(75, 4'000), up + "  space select  d delete  ? help");
    s.status.reset();
    EXPECT_EQ(at(109), up + "  space select  a all  d delete  / filter  tab scope  ? help");
    EXPECT_EQ(at(110), up + "  space select  a all  d delete  / filter  tab scope  s sort  r "
                            "rescan  ? help");
    EXPECT_EQ(spans_of(footer_line(s, 60, kT0))[1], " move=muted");
    EXPECT_EQ(spans_of(footer_line(s, 60, kT0))[2], "  space=accent bold");
    // An inspect-only Docker row: neither select nor clean until something is selected.
    s.cursor = 2;
    EXPECT_EQ(at(60), up + "  / filter  tab scope  ? help");
    s.selected_paths = {"/w/a/target"};
    EXPECT_EQ(at(60), up + "  d clean  / filter  tab scope  ? help");
    s.selected_paths.clear();
    s.cursor = 3;
    EXPECT_EQ(at(110),
              up + "  space select  d clean  / filter  tab scope  s sort  r rescan  ? help");

    s.phase = TuiPhase::Checking;
    EXPECT_EQ(spans_of(footer_line(s, 100, kT0)),
              (Rows{"  \xE2\x97\x90 =info", "checking current cache state=muted"}));
    s.phase = TuiPhase::Scanning;
    s.unicode = false;
    EXPECT_EQ(at(76), "  jk move  space select  / filter  tab scope  ? help  q quit");
    EXPECT_EQ(at(110), "  jk move  space select  / filter  tab scope  s sort  ? help  q quit");
    EXPECT_EQ(at(75), "  jk move  / filter  q quit");
    s.cursor = 1; // a sizing row cannot be selected, nor an inspect-only Docker row
    EXPECT_EQ(at(76), "  jk move  / filter  tab scope  ? help  q quit");
    s.cursor = 2;
    EXPECT_EQ(at(76), "  jk move  / filter  tab scope  ? help  q quit");
    s.visible_rows.clear();
    s.visible_sizing.clear();
    s.visible_docker.clear();
    EXPECT_EQ(at(120), "  q quit");
}

term::Buffer pane(const TuiState& s, std::uint16_t h, std::uint16_t w = 120) {
    return draw(s, w, h, [](term::Frame& f, const TuiState& st, const DrawClock& c) {
        draw_details(f, f.area(), st, c);
    });
}

// The pane's inner rows, trailing blank rows dropped.
Rows lines(const term::Buffer& b) {
    Rows out;
    for (std::uint16_t y = 1; y + 1 < b.height(); ++y) {
        std::string r = row(b, y);
        out.push_back(r.substr(3));
    }
    while (!out.empty() && out.back().empty()) {
        out.pop_back();
    }
    return out;
}

TEST(DetailsPane, MeasuredRow) {
    TuiState s = ready_state();
    Candidate temp = cache("/private/tmp/ws", 3000, "macos-temporary-workspace");
    temp.ecosystem = "macos";
    temp.age_days.reset();
    temp.network_restore = true;
    s.rows = {temp, cache("/w/b/target", 1000)};
    show_all(s);
    EXPECT_EQ(lines(pane(s, 11)),
              (Rows{"/private/tmp/ws", "", "Apparent 2.9 KiB  \xC2\xB7  75% of total",
                    "Allocated 1.5 KiB  \xC2\xB7  shared or cloned blocks may remain",
                    "Age      unknown", "Type     macos \xC2\xB7 macos-temporary-workspace",
                    "About    large temp checkout; inspect manually because work may be unique",
                    "Restore  download required", "Action   Space select \xC2\xB7 d delete"}));
    EXPECT_EQ(lines(pane(s, 10)).size(), 8u);                                    // no About line
    EXPECT_EQ(lines(pane(s, 9))[1], "Apparent 2.9 KiB  \xC2\xB7  75% of total"); // no spacer
    term::Buffer b = pane(s, 11);
    EXPECT_EQ(look(b, "/private/tmp/ws"), "text bold");
    EXPECT_EQ(look(b, "Apparent"), "muted");
    EXPECT_EQ(look(b, "2.9 KiB"), "text");
    EXPECT_EQ(look(b, "Space select"), "accent bold");
    EXPECT_EQ(look(b, " Inspect "), "text bold");
    EXPECT_EQ(bg_of(b, "Restore"), "surface");
    // Narrow panes wrap: nothing is cut.
    Rows narrow = lines(pane(s, 11, 40));
    EXPECT_EQ(narrow[3], "Allocated 1.5 KiB  \xC2\xB7  shared or cloned");
    EXPECT_EQ(narrow[4], "blocks may remain");

    for (auto [a, z, share] : {std::tuple{0u, 7u, "0%"},
                               {7u, 0u, "100%"},
                               {0u, 0u, "0%"},
                               {1u, 199u, "1%"}}) { // halves round up
        s.rows = {cache("/w/a/target", a), cache("/w/b/target", z)};
        EXPECT_EQ(lines(pane(s, 9))[1],
                  fmt::format("Apparent {} B  \xC2\xB7  {} of total", a, share));
    }
}

TEST(DetailsPane, Actions) {
    TuiState s = ready_state();
    Candidate scan_only = cache("/w/c/.cache", 10);
    scan_only.cleanable = false;
    s.rows = {cache("/w/a/target", 10), cache("/w/b/target", 10), scan_only};
    s.docker_rows = {docker("docker-images", "Docker images", 2048), build_cache(4096)};
    show_all(s);
    auto action = [&] { return lines(pane(s, 9)).back().substr(9); };
    const std::string sep = " \xC2\xB7 ";
    struct Step {
        TuiPhase phase;
        std::uint64_t cursor;
        std::vector<std::string> paths;
        std::vector<std::string> kinds;
        std::string text;
        std::string look;
    };
    const std::vector<Step> steps = {
        {TuiPhase::Ready, 0, {}, {}, "Space select" + sep + "d delete", "accent bold"},
        {TuiPhase::Ready, 0, {"/w/b/target"}, {}, "Space select" + sep + "d delete 1", ""},
        {TuiPhase::Ready,
         0,
         {"/w/a/target", "/w/b/target"},
         {},
         "selected" + sep + "Space unselect" + sep + "d delete 2",
         ""},
        {TuiPhase::Ready,
         0,
         {"/w/a/target"},
         {},
         "selected" + sep + "Space unselect" + sep + "d delete",
         ""},
        {TuiPhase::Ready, 2, {}, {}, "Space override" + sep + "scan-only", "muted"},
        {TuiPhase::Scanning, 2, {}, {}, "Space override" + sep + "scan-only", "accent"},
        {TuiPhase::Scanning,
         0,
         {"/w/a/target"},
         {},
         "selected" + sep + "Space unselect" + sep + "delete when ready",
         ""},
        {TuiPhase::Scanning, 1, {}, {}, "Space select" + sep + "delete when ready", "accent"},
        {TuiPhase::Ready, 3, {}, {}, "Inspection only", "muted"},
        {TuiPhase::Ready,
         3,
         {"/w/a/target", "/w/b/target"},
         {},
         "Inspection only" + sep + "d cleans 2 selected",
         ""},
        {TuiPhase::Ready,
         4,
         {"/w/a/target", "/w/b/target"},
         {},
         "Space select" + sep + "d clean 2 selected",
         "accent"},
        {TuiPhase::Ready, 4, {}, {}, "Space select" + sep + "d prune", ""},
        {TuiPhase::Ready,
         4,
         {},
         {"docker-build-cache"},
         "selected" + sep + "Space unselect" + sep + "d prune",
         ""},
    };
    for (const Step& st : steps) {
        s.phase = st.phase;
        s.cursor = st.cursor;
        s.selected_paths = PathSet(st.paths.begin(), st.paths.end());
        s.selected_docker = KindSet(st.kinds.begin(), st.kinds.end());
        EXPECT_EQ(action(), st.text);
        if (!st.look.empty()) {
            EXPECT_EQ(look(pane(s, 9), st.text), st.look) << st.text;
        }
    }
    s.phase = TuiPhase::Scanning;
    s.refreshing = true;
    s.cursor = 1;
    EXPECT_EQ(action(), "Refreshing measurement");
    s.measured_paths = {"/w/b/target"};
    EXPECT_EQ(action(), "Space select" + sep + "delete when ready");

    s.cursor = 3;
    s.selected_docker.clear();
    EXPECT_EQ(lines(pane(s, 10)),
              (Rows{"Docker images", "", "Usage    2.0 KiB", "Reclaim  2.0 KiB reported by Docker",
                    "Objects  0 active of 1 total", "Type     docker \xC2\xB7 docker-images",
                    "Scope    daemon", "Action   Inspection only"}));
    EXPECT_EQ(lines(pane(s, 9)).size(), 6u); // no spacer, no scope
}

TEST(DetailsPane, SizingRowAndEmptyState) {
    TuiState s = ready_state();
    s.sizing_rows = {{"gradle-cache", "jvm", "/h/.gradle/caches", CacheScope::Global, true}};
    show_all(s);
    EXPECT_EQ(lines(pane(s, 10)), (Rows{"/h/.gradle/caches", "", "Status   Measuring size and age",
                                        "Type     jvm \xC2\xB7 gradle-cache", "Scope    global",
                                        "Action   Available when measurement finishes"}));
    EXPECT_EQ(look(pane(s, 10), "Available"), "muted");
    s.remembered.emplace("/h/.gradle/caches",
                         RememberedCache{"gradle-cache", "jvm", CacheScope::Global,
                                         "/h/.gradle/caches", 1u << 30, 1u << 29, std::nullopt,
                                         true, kWall - 59});
    EXPECT_EQ(lines(pane(s, 10)),
              (Rows{"/h/.gradle/caches", "", "Status   Refreshing previous measurement",
                    "Apparent ~1.0 GiB from moments ago", "Allocated ~512.0 MiB from previous scan",
                    "Type     jvm \xC2\xB7 gradle-cache", "Scope    global",
                    "Action   Available when measurement finishes"}));
    EXPECT_EQ(lines(pane(s, 9))[3], "Type     jvm \xC2\xB7 gradle-cache"); // no Allocated
    for (auto [ago, text] : {std::pair{60, "1m ago"},
                             {3'599, "59m ago"},
                             {3'600, "1h ago"},
                             {86'400, "1d ago"},
                             {-500, "moments ago"}}) {
        s.remembered.begin()->second.observed_unix = kWall - ago;
        EXPECT_EQ(lines(pane(s, 9))[2], std::string("Apparent ~1.0 GiB from ") + text);
    }

    TuiState empty = ready_state();
    term::Buffer none = pane(empty, 8, 80);
    EXPECT_TRUE(shows(none, " Details "));
    EXPECT_EQ(find_text(none, "No caches found. Enjoy the breathing room.")->x, 1 + (78 - 41) / 2);
    EXPECT_EQ(look(none, "No caches"), "muted");
    empty.phase = TuiPhase::Scanning;
    empty.rows = {cache("/w/a/target", 10)}; // present but filtered away
    EXPECT_TRUE(
        shows(pane(empty, 8, 80), "No caches match this view. Press Esc to clear the filter."));
}

} // namespace
} // namespace qb::tui
