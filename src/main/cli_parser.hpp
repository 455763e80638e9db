#pragma once

// Matches process arguments against a command tree (cli_model.hpp). Parsing walks the
// arguments once from left to right and stops at the first problem; help and version
// requests end it the same way, as errors of their own kinds.

#include "common/result.hpp"
#include "main/cli_model.hpp"

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace qb::cli {

/// The position of a value in an argument's value list.
struct Choice {
    std::size_t index;
};

using TypedValue = std::variant<std::string, std::uint64_t, bool, Choice>;

struct ParsedValue {
    TypedValue value;
    /// Index of the process argument it came from; defaults have none.
    std::optional<std::size_t> position;
};

/// What one command level received.
struct LevelMatches {
    const CommandDef* command = nullptr;
    /// By argument id, in command-line order; only arguments that were given.
    std::map<std::string, std::vector<ParsedValue>, std::less<>> values;
    /// The value of `id`, or its default parsed as if typed. Ends the process as an
    /// internal failure when the tree has no such argument or it yields another type.
    template <class T>
    T one(std::string_view id) const;
    /// Every value of a list argument; empty when it was not given.
    std::vector<std::string> strings(std::string_view id) const;
    /// Where the last occurrence of `id` stood on the command line, if it was given.
    std::optional<std::size_t> last_position(std::string_view id) const;

private:
    TypedValue typed_one(std::string_view id) const;
};

struct Matches {
    /// The root first, then each command named on the command line.
    std::vector<LevelMatches> levels;
};

enum class ParseErrorKind {
    DisplayHelp,
    DisplayVersion,
    UnknownArgument,
    InvalidSubcommand,
    InvalidValue,
    ValueValidation,
    NoValue,
    UnexpectedValue,
    ArgumentUsedTwice,
    MissingRequired,
};

struct ParseError {
    ParseErrorKind kind;
    /// The rendered text without styles, ending in a newline.
    std::string text;
    /// The same with terminal styles; differs from `text` only for help pages.
    std::string styled_text;

    bool is_display() const {
        return kind == ParseErrorKind::DisplayHelp || kind == ParseErrorKind::DisplayVersion;
    }
};

/// How an error message quotes the words of the command line: exactly as given (a JSON
/// error escapes them), or made printable for a person (text::printable).
enum class QuotedWords : std::uint8_t { Exact, Printable };

/// Parses `args` (the program name first; it is not matched) against `root`.
Result<Matches, ParseError> parse_command_line(const CommandDef& root,
                                               const std::vector<std::string>& args,
                                               QuotedWords quoted = QuotedWords::Exact);

/// Converts one raw value with the argument's value parser. The error is the parser's
/// reason text, or empty when the value is refused by a value list or as empty.
Result<TypedValue, std::string> parse_value(const ArgDef& arg, std::string_view raw);

/// Ends the process: an argument was read under an id or type the tree does not give it.
[[noreturn]] void definition_mismatch(std::string_view id, std::string_view explanation);

template <class T>
T LevelMatches::one(std::string_view id) const {
    TypedValue v = typed_one(id);
    if (!std::holds_alternative<T>(v)) {
        definition_mismatch(id, "Could not downcast to the requested type");
    }
    return std::get<T>(std::move(v));
}

} // namespace qb::cli
