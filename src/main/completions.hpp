#pragma once

// Shell completion scripts, written from the command tree. Every generator walks the
// same flattened view of the tree, so the five scripts offer the same words.

#include "main/app_args.hpp"
#include "main/cli_model.hpp"

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace qb::completion {

/// One place on the command line the cursor can be in: a command, or a step through the
/// command names that the generated `help` command or a command-path positional takes.
struct Node {
    /// The words after the program name that lead here.
    std::vector<std::string> path;
    std::string about;
    /// Options in table order; they point into the tree the nodes were built from.
    std::vector<const cli::ArgDef*> options;
    /// Positional arguments in order.
    std::vector<const cli::ArgDef*> positionals;
    /// Indexes of the nodes one word further on.
    std::vector<std::size_t> children;

    const std::string& word() const { return path.back(); }
};

/// What the value of an option or positional completes to.
enum class ValueKind {
    None,    // a flag: there is no value
    Choices, // one of the value list
    Path,    // a file or directory
    Free,    // anything; nothing to offer
};
ValueKind value_kind(const cli::ArgDef& arg);

/// Flattens the tree depth-first; node 0 is the root. `root` must outlive the nodes.
std::vector<Node> flatten(const cli::CommandDef& root);

/// The positional a word at `index` among the positional words of a node fills, or null.
const cli::ArgDef* positional_at(const Node& node, std::size_t index);

/// How an option is written: "--long" first, then "-s".
std::vector<std::string> option_words(const cli::ArgDef& arg);

/// The words of a node's children, in order.
std::vector<std::string> child_words(const std::vector<Node>& nodes, const Node& node);

/// `s` as a shell function name: every character but letters and digits becomes "_".
std::string identifier(std::string_view s);

/// A help text on one line, for the places where a script shows it beside a word.
std::string one_line(std::string_view text);

/// Quoting for each shell's literal strings.
std::string quote_posix(std::string_view s);      // bash and zsh: '...' with '\''
std::string quote_fish(std::string_view s);       // '...' with \' and \\.
std::string quote_powershell(std::string_view s); // '...' with every single quote doubled
std::string quote_elvish(std::string_view s);     // '...' with '' for '
/// A description inside the brackets of a zsh option spec: brackets, colons and
/// backslashes escaped; still to be quoted with quote_posix.
std::string zsh_bracketed(std::string_view s);
/// A word or description of a zsh `name:description` pair: colons and backslashes escaped.
std::string zsh_described(std::string_view s);
/// A word of a fish `-a` list, which fish expands: bare when that is safe, else quoted.
std::string fish_word(std::string_view s);

std::string bash_script(const std::vector<Node>& nodes, std::string_view program);
std::string elvish_script(const std::vector<Node>& nodes, std::string_view program);
std::string fish_script(const std::vector<Node>& nodes, std::string_view program);
std::string powershell_script(const std::vector<Node>& nodes, std::string_view program);
std::string zsh_script(const std::vector<Node>& nodes, std::string_view program);

/// The whole script for `shell`; the program name is the root command's name.
std::string completion_script(CompletionShell shell, const cli::CommandDef& root);

} // namespace qb::completion
