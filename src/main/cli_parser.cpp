#include "main/cli_parser.hpp"

#include "common/io.hpp"
#include "common/text.hpp"
#include "main/cli_help.hpp"
#include "main/cli_suggest.hpp"
#include "main/cli_values.hpp"

#include <algorithm>
#include <fmt/format.h>

namespace qb::cli {
namespace {

bool looks_like_option(std::string_view word) {
    return word.size() > 1 && word.front() == '-';
}

std::vector<std::string> split_commas(std::string_view raw) {
    std::vector<std::string> pieces;
    std::size_t start = 0;
    while (true) {
        std::size_t comma = raw.find(',', start);
        if (comma == std::string_view::npos) {
            pieces.emplace_back(raw.substr(start));
            return pieces;
        }
        pieces.emplace_back(raw.substr(start, comma - start));
        start = comma + 1;
    }
}

// A mistyped option or value is shown the one name it most likely meant.
std::vector<std::string> closest(std::string_view given, const std::vector<std::string>& names) {
    std::vector<std::string> close = similar_names(given, names);
    close.resize(std::min<std::size_t>(close.size(), 1));
    return close;
}

class Parser {
public:
    Parser(const CommandDef& root, const std::vector<std::string>& args, QuotedWords quoted)
        : args_(args), quoted_(quoted) {
        enter(root);
    }

    Result<Matches, ParseError> run() {
        for (i_ = 1; i_ < args_.size(); ++i_) {
            const std::string& word = args_[i_];
            Result<bool, ParseError> step =
                trailing_ || !looks_like_option(word) || word == "--"
                    ? word_or_separator(word)
                    : (word.rfind("--", 0) == 0 ? long_option(word) : short_cluster(word));
            if (!step) {
                return unexpected(std::move(step.error()));
            }
            if (*step) {
                return unexpected(std::move(*done_));
            }
        }
        for (std::size_t level = 0; level < matches_.levels.size(); ++level) {
            const LevelMatches& lm = matches_.levels[level];
            for (const ArgDef& arg : lm.command->args) {
                if (arg.required && !lm.values.contains(arg.id)) {
                    CommandPath path(path_.begin(), path_.begin() + level + 1);
                    return unexpected(make_error(
                        ParseErrorKind::MissingRequired,
                        fmt::format("the following required arguments were not provided:\n  {}",
                                    arg.display()),
                        "", path));
                }
            }
        }
        return std::move(matches_);
    }

private:
    using Step = Result<bool, ParseError>; // true: parsing ended with a help or version page

    const CommandDef& current() const { return *path_.back(); }
    LevelMatches& level() { return matches_.levels.back(); }

    void enter(const CommandDef& cmd) {
        path_.push_back(&cmd);
        LevelMatches lm;
        lm.command = &cmd;
        matches_.levels.push_back(std::move(lm));
        positional_ = 0;
    }

    ParseError make_error(ParseErrorKind kind, std::string_view message, std::string_view tip,
                          const CommandPath& path) const {
        std::string text = render_parse_error(message, tip, path);
        return ParseError{kind, text, text};
    }
    ParseError make_error(ParseErrorKind kind, std::string_view message,
                          std::string_view tip = {}) const {
        return make_error(kind, message, tip, path_);
    }

    Step display_help(const CommandPath& path, bool long_page) {
        done_ = ParseError{ParseErrorKind::DisplayHelp, render_help(path, long_page, false),
                           render_help(path, long_page, true)};
        return true;
    }

    Step display_version() {
        std::string text = render_version(*path_.front());
        done_ = ParseError{ParseErrorKind::DisplayVersion, text, text};
        return true;
    }

    // A word of the command line as an error message quotes it.
    std::string quote(std::string_view word) const {
        return quoted_ == QuotedWords::Printable ? text::printable(word) : std::string(word);
    }

    // The "--" tip only helps an option-like word that stands before any "--".
    Step unknown_argument(std::string_view word, std::string_view tip) {
        std::string shown = quote(word);
        std::string t(tip);
        if (t.empty() && !trailing_ && looks_like_option(word) && current().has_positionals()) {
            t = fmt::format("to pass '{}' as a value, use '-- {}'", shown, shown);
        }
        return unexpected(make_error(ParseErrorKind::UnknownArgument,
                                     fmt::format("unexpected argument '{}' found", shown), t));
    }

    // Counts an occurrence; a second one of a single-valued argument at this level fails.
    Result<Ok, ParseError> occurrence(const ArgDef& arg) {
        if (!arg.repeatable() && level().values.contains(arg.id)) {
            return unexpected(make_error(
                ParseErrorKind::ArgumentUsedTwice,
                fmt::format("the argument '{}' cannot be used multiple times", arg.display())));
        }
        return Ok{};
    }

    Result<Ok, ParseError> store(const ArgDef& arg, std::string_view raw) {
        std::vector<std::string> pieces =
            arg.split_commas ? split_commas(raw) : std::vector<std::string>{std::string(raw)};
        std::vector<ParsedValue>& slot = level().values[arg.id];
        for (const std::string& piece : pieces) {
            auto typed = parse_value(arg, piece);
            if (!typed) {
                return unexpected(value_error(arg, piece, typed.error()));
            }
            slot.push_back(ParsedValue{std::move(*typed), i_});
        }
        return Ok{};
    }

    ParseError value_error(const ArgDef& arg, std::string_view value, std::string_view reason) {
        if (arg.parser == ValueParser::Choice) {
            return make_error(ParseErrorKind::InvalidValue,
                              fmt::format("invalid value '{}' for '{}'\n  [possible values: {}]",
                                          quote(value), arg.display(),
                                          fmt::join(arg.possible_values, ", ")),
                              similar_tip("value", closest(value, arg.possible_values)));
        }
        if (reason.empty()) {
            return no_value(arg);
        }
        return make_error(
            ParseErrorKind::ValueValidation,
            fmt::format("invalid value '{}' for '{}': {}", quote(value), arg.display(), reason));
    }

    ParseError no_value(const ArgDef& arg) {
        std::string message =
            fmt::format("a value is required for '{}' but none was supplied", arg.display());
        if (!arg.possible_values.empty()) {
            message +=
                fmt::format("\n  [possible values: {}]", fmt::join(arg.possible_values, ", "));
        }
        return make_error(ParseErrorKind::NoValue, message);
    }

    // Applies an option met on the command line; `attached` is a value joined to it.
    Step apply(const ArgDef& arg, std::optional<std::string_view> attached, bool long_form) {
        switch (arg.action) {
        case ArgAction::Help:
        case ArgAction::Version:
        case ArgAction::SetTrue:
            if (attached) {
                return unexpected(make_error(
                    ParseErrorKind::UnexpectedValue,
                    fmt::format("unexpected value '{}' for '{}' found; no more were expected",
                                quote(*attached), arg.display())));
            }
            if (arg.action == ArgAction::Help) {
                return display_help(path_, long_form);
            }
            if (arg.action == ArgAction::Version) {
                return display_version();
            }
            if (auto ok = occurrence(arg); !ok) {
                return unexpected(std::move(ok.error()));
            }
            level().values[arg.id].push_back(ParsedValue{true, i_});
            return false;
        case ArgAction::Set:
        case ArgAction::Append:
            break;
        }
        if (auto ok = occurrence(arg); !ok) {
            return unexpected(std::move(ok.error()));
        }
        std::string_view value;
        if (attached) {
            value = *attached;
        } else if (i_ + 1 < args_.size() && !looks_like_option(args_[i_ + 1])) {
            value = args_[++i_];
        } else {
            return unexpected(no_value(arg));
        }
        if (auto ok = store(arg, value); !ok) {
            return unexpected(std::move(ok.error()));
        }
        return false;
    }

    Step long_option(std::string_view word) {
        std::string_view body = word.substr(2);
        std::optional<std::string_view> attached;
        if (std::size_t eq = body.find('='); eq != std::string_view::npos) {
            attached = body.substr(eq + 1);
            body = body.substr(0, eq);
        }
        const ArgDef* arg = current().find_long(body);
        if (arg == nullptr) {
            std::vector<std::string> longs;
            for (const ArgDef& a : current().args) {
                if (!a.long_name.empty()) {
                    longs.push_back(a.long_name);
                }
            }
            std::vector<std::string> close = closest(body, longs);
            for (std::string& c : close) {
                c = "--" + c;
            }
            return unknown_argument(fmt::format("--{}", body), similar_tip("argument", close));
        }
        return apply(*arg, attached, true);
    }

    Step short_cluster(std::string_view word) {
        for (std::size_t j = 1; j < word.size();) {
            std::size_t len = text::char_length_at(word, j);
            const ArgDef* arg = len == 1 ? current().find_short(word[j]) : nullptr;
            if (arg == nullptr) {
                return unknown_argument(fmt::format("-{}", word.substr(j, len)), "");
            }
            if (arg->takes_value()) {
                std::optional<std::string_view> attached;
                std::string_view rest = word.substr(j + 1);
                if (!rest.empty()) {
                    attached = rest.front() == '=' ? rest.substr(1) : rest;
                }
                return apply(*arg, attached, false);
            }
            Step step = apply(*arg, std::nullopt, false);
            if (!step || *step) {
                return step;
            }
            j += len;
        }
        return false;
    }

    Step word_or_separator(const std::string& word) {
        if (!trailing_ && word == "--") {
            trailing_ = true;
            return false;
        }
        const CommandDef& cmd = current();
        if (!trailing_ && !cmd.subcommands.empty()) {
            const CommandDef* sub = cmd.find_subcommand(word);
            if (sub != nullptr && sub->generated_help) {
                return help_command();
            }
            if (sub != nullptr) {
                enter(*sub);
                return false;
            }
        }
        std::vector<const ArgDef*> positionals;
        for (const ArgDef& arg : cmd.args) {
            if (arg.is_positional()) {
                positionals.push_back(&arg);
            }
        }
        if (positional_ < positionals.size()) {
            const ArgDef& arg = *positionals[positional_];
            if (!arg.repeatable()) {
                ++positional_;
            }
            if (auto ok = store(arg, word); !ok) {
                return unexpected(std::move(ok.error()));
            }
            return false;
        }
        if (!trailing_ && !cmd.subcommands.empty()) {
            std::vector<std::string> names;
            for (const CommandDef& sub : cmd.subcommands) {
                names.push_back(sub.name);
            }
            return unexpected(make_error(ParseErrorKind::InvalidSubcommand,
                                         fmt::format("unrecognized subcommand '{}'", quote(word)),
                                         similar_tip("subcommand", similar_names(word, names))));
        }
        return unknown_argument(word, "");
    }

    // Every word after the generated `help` names a command below the current one.
    Step help_command() {
        CommandPath target = path_;
        for (std::size_t k = i_ + 1; k < args_.size(); ++k) {
            const CommandDef* sub = target.back()->find_subcommand(args_[k]);
            if (sub == nullptr) {
                std::vector<std::string> names;
                for (const CommandDef& s : target.back()->subcommands) {
                    names.push_back(s.name);
                }
                return unexpected(
                    make_error(ParseErrorKind::InvalidSubcommand,
                               fmt::format("unrecognized subcommand '{}'", quote(args_[k])),
                               similar_tip("subcommand", similar_names(args_[k], names)), target));
            }
            target.push_back(sub);
        }
        return display_help(target, true);
    }

    const std::vector<std::string>& args_;
    QuotedWords quoted_;
    Matches matches_;
    CommandPath path_;
    std::size_t i_ = 1;
    std::size_t positional_ = 0;
    bool trailing_ = false;
    std::optional<ParseError> done_;
};

} // namespace

Result<TypedValue, std::string> parse_value(const ArgDef& arg, std::string_view raw) {
    switch (arg.parser) {
    case ValueParser::None:
        return TypedValue{true};
    case ValueParser::Text:
        return TypedValue{std::string(raw)};
    case ValueParser::Path:
        if (raw.empty()) {
            return unexpected(std::string());
        }
        return TypedValue{std::string(raw)};
    case ValueParser::Unsigned:
    case ValueParser::Limit: {
        auto n = arg.parser == ValueParser::Limit ? parse_limit(raw) : parse_u64_decimal(raw);
        if (!n) {
            return unexpected(std::move(n.error()));
        }
        return TypedValue{*n};
    }
    case ValueParser::Choice:
        for (std::size_t k = 0; k < arg.possible_values.size(); ++k) {
            if (arg.possible_values[k] == raw) {
                return TypedValue{Choice{k}};
            }
        }
        return unexpected(std::string());
    }
    return unexpected(std::string());
}

void definition_mismatch(std::string_view id, std::string_view explanation) {
    fail_internal(
        fmt::format("Mismatch between definition and access of `{}`. {}", id, explanation));
}

TypedValue LevelMatches::typed_one(std::string_view id) const {
    const ArgDef* arg = command->find_id(id);
    if (arg == nullptr) {
        definition_mismatch(id, "The argument is not defined on this command");
    }
    if (auto it = values.find(id); it != values.end() && !it->second.empty()) {
        return it->second.back().value;
    }
    if (arg->action == ArgAction::SetTrue) {
        return false;
    }
    if (!arg->default_value) {
        definition_mismatch(id, "The argument has no value and no default");
    }
    auto typed = parse_value(*arg, *arg->default_value);
    if (!typed) {
        definition_mismatch(id, "The default value is refused by the argument's value parser");
    }
    return std::move(*typed);
}

std::vector<std::string> LevelMatches::strings(std::string_view id) const {
    if (command->find_id(id) == nullptr) {
        definition_mismatch(id, "The argument is not defined on this command");
    }
    std::vector<std::string> out;
    if (auto it = values.find(id); it != values.end()) {
        for (const ParsedValue& v : it->second) {
            if (!std::holds_alternative<std::string>(v.value)) {
                definition_mismatch(id, "Could not downcast to the requested type");
            }
            out.push_back(std::get<std::string>(v.value));
        }
    }
    return out;
}

std::optional<std::size_t> LevelMatches::last_position(std::string_view id) const {
    if (auto it = values.find(id); it != values.end() && !it->second.empty()) {
        return it->second.back().position;
    }
    return std::nullopt;
}

Result<Matches, ParseError> parse_command_line(const CommandDef& root,
                                               const std::vector<std::string>& args,
                                               QuotedWords quoted) {
    return Parser(root, args, quoted).run();
}

} // namespace qb::cli
