#pragma once

// The drawing of the interface: one complete frame from the state, and the panels it is
// made of. Drawing only reads the state; every colour is a theme slot, and the state's
// `unicode` flag picks between the Unicode and the ASCII form of each glyph.

#include "tui/state.hpp"
#include "tui/term/buffer.hpp"
#include "tui/term/widgets.hpp"

#include <cstdint>
#include <string>
#include <string_view>

namespace qb::tui {

/// The two clocks a frame reads: the monotonic one for spinners and the status line's
/// age, the wall clock for the age of remembered entries.
struct DrawClock {
    Clock::time_point now;
    /// Whole seconds since the Unix epoch, 0 before it.
    std::uint64_t wall_unix = 0;
};

/// Paints the whole frame: header, body (splash, table and details, or the scan-failed
/// panel), footer or filter bar, and at most one overlay; below 58 x 16 only a notice.
void draw_frame(term::Frame& frame, const TuiState& state, const DrawClock& clock);

/// A rectangle `percent_x` per cent as wide as the area and `height` rows high (at most
/// the area's height), centred in it.
term::Rect centered_rect(std::uint16_t percent_x, std::uint16_t height, term::Rect area);

/// The framed block of the panels and the details pane.
term::Block bordered_panel(std::string title, const TuiState& state);

/// The header row's line; `width` is the header's width in columns.
term::Line header_line(const TuiState& state, std::uint16_t width);

/// The footer row's line while the filter input is closed.
term::Line footer_line(const TuiState& state, std::uint16_t width, Clock::time_point now);

/// The standard hint set of the footer.
term::Line draw_footer(term::Color word, term::Color key, std::string_view move_key,
                       std::uint16_t width);

void draw_cache_table(term::Frame& frame, term::Rect area, const TuiState& state,
                      const DrawClock& clock);
void draw_details(term::Frame& frame, term::Rect area, const TuiState& state,
                  const DrawClock& clock);

/// One label and value line of the details pane.
term::Line detail_line(std::string_view label, std::string value, term::Color value_color,
                       term::Color label_color);

void draw_splash(term::Frame& frame, term::Rect area, const TuiState& state, Clock::time_point now);
/// The box shown while a check or a clean runs, centred in `area`.
void draw_working_panel(term::Frame& frame, term::Rect area, const TuiState& state,
                        Clock::time_point now, std::string_view headline, std::string_view detail,
                        std::string title);

/// The warning labels of the confirm dialog: those of the plan's rows, then "shared
/// daemon" and "download restore" (once) when the build cache is to be pruned.
std::string confirm_flags_text(const TuiState& state);

void draw_help_overlay(term::Frame& frame, term::Rect area, const TuiState& state);
void draw_confirm_dialog(term::Frame& frame, term::Rect area, const TuiState& state);

/// The frame of the four-step spinner at `now`: each shows 120 ms; a clock that reads
/// earlier than the start gives the first.
std::string_view spinner_frame(Clock::time_point started, Clock::time_point now);

} // namespace qb::tui
