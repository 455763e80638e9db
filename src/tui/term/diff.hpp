#pragma once

// The bytes that bring a terminal from one frame to the next.

#include "tui/term/buffer.hpp"

#include <string>

namespace qb::term {

/// Escape sequences and text that turn a screen showing `prev` into one showing `cur`
/// (both of one size). Only changed cells are written: a cursor move when the cell does
/// not follow the last one written, the attributes that differ from the last ones
/// written, and the symbol; a final attribute reset closes a non-empty diff. Equal frames
/// give no bytes at all. The attributes are taken to be reset at the start.
std::string diff_frames(const Buffer& prev, const Buffer& cur);

} // namespace qb::term
