#pragma once

// Help pages, usage lines, the version line and the layout of parse errors, all derived
// from the command tree.

#include "main/cli_model.hpp"

#include <string>
#include <string_view>
#include <vector>

namespace qb::cli {

/// The commands from the root down to the one in question.
using CommandPath = std::vector<const CommandDef*>;

/// "quillbarrow scan [OPTIONS]", "quillbarrow completions [OPTIONS] <SHELL>".
std::string render_usage(const CommandPath& path, bool styled = false);

/// The short (`-h`) or long (`--help`) help page of the last command of `path`, ending
/// in a newline. `styled` adds bold and underlined headings for a terminal.
std::string render_help(const CommandPath& path, bool long_page, bool styled);

/// "quillbarrow 0.5.2\n".
std::string render_version(const CommandDef& root);

/// "error: {message}", an optional "tip: {tip}" block, the usage line and the pointer
/// to `--help`, ending in a newline.
std::string render_parse_error(std::string_view message, std::string_view tip,
                               const CommandPath& path);

/// The tip for a mistyped name: "a similar {noun} exists: 'x'" or "some similar {noun}s
/// exist: 'x', 'y'"; empty when there is no close match.
std::string similar_tip(std::string_view noun, const std::vector<std::string>& matches);

/// True when help pages should carry terminal styles: standard output is a terminal and
/// NO_COLOR is unset or empty.
bool help_styles_wanted(bool stdout_is_terminal, const char* no_color);

} // namespace qb::cli
