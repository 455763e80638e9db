#pragma once

// The declarative description of a command line: commands, their options and positional
// arguments. One tree of these drives parsing, help pages, suggestions and the
// completion scripts; nothing about a particular argument is written anywhere else.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qb::cli {

/// How a raw value becomes a typed one.
enum class ValueParser {
    None,     // takes no value: flags and the generated help and version options
    Text,     // any text, the empty one included
    Path,     // any non-empty text, taken as a path without looking at the disk
    Unsigned, // plain decimal, 0 through 2^64 - 1
    Limit,    // a page size, 1 through kMaxLimit
    Choice,   // exactly one of `possible_values`
};

/// What an occurrence of the argument does.
enum class ArgAction {
    Set,     // one value, at most once per command level
    Append,  // one value per occurrence, repeatable; positionals: every remaining word
    SetTrue, // a flag, at most once per command level
    Help,    // `-h` asks for the short help page, `--help` for the long one
    Version, // prints the program name and version
};

struct ArgDef {
    /// The record field the value lands in.
    std::string id;
    /// Without the leading "--"; empty for a positional argument.
    std::string long_name;
    /// 0 when the argument has no short form.
    char short_name = 0;
    std::string value_name;
    std::string help;
    /// Replaces `help` on the long help page; empty when the two pages say the same.
    std::string long_help;
    /// Parsed exactly like a typed value when the argument is not given.
    std::optional<std::string> default_value;
    /// The accepted names, in the order help pages and errors list them.
    std::vector<std::string> possible_values;
    ValueParser parser = ValueParser::Text;
    ArgAction action = ArgAction::Set;
    /// Each value is split at every comma, empty pieces kept.
    bool split_commas = false;
    bool required = false;
    /// Accepted on the command that declares it and on every command below it.
    bool global = false;
    /// The words name a command of the tree, one level further down per word; the
    /// completion scripts offer the names.
    bool names_commands = false;

    bool is_positional() const { return long_name.empty() && short_name == 0; }
    bool takes_value() const { return parser != ValueParser::None; }
    bool repeatable() const { return action == ArgAction::Append; }
    /// As errors and help show it: "--limit <LIMIT>", "--yes", "<SHELL>", "[PATH]...".
    std::string display() const;
};

struct CommandDef {
    std::string name;
    std::string about;
    /// Shown instead of `about` on the long help page; empty when there is none.
    std::string long_about;
    /// Non-empty on the root only.
    std::string version;
    /// Options and positionals in help order; after cli_command() this includes the
    /// inherited global options and the generated help and version options.
    std::vector<ArgDef> args;
    std::vector<CommandDef> subcommands;
    /// The generated `help` command: every word after it names a command.
    bool generated_help = false;

    const CommandDef* find_subcommand(std::string_view word) const;
    const ArgDef* find_long(std::string_view name) const;
    const ArgDef* find_short(char name) const;
    const ArgDef* find_id(std::string_view id) const;
    bool has_positionals() const;
    bool has_options() const;
};

/// Adds what every finished tree has: global options copied into every command below
/// their owner, `-h`/`--help` on every command, `-V`/`--version` where a version is
/// set, and a generated `help` command on every command with nested commands.
void complete_tree(CommandDef& root);

} // namespace qb::cli
