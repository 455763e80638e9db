#include "main/cli_help.hpp"

#include <algorithm>
#include <fmt/format.h>

namespace qb::cli {
namespace {

constexpr std::string_view kBold = "\x1b[1m";
constexpr std::string_view kUnderline = "\x1b[4m";
constexpr std::string_view kReset = "\x1b[0m";
// Help text of an option on the long page starts in this column.
constexpr std::string_view kLongIndent = "          ";

// A piece of a help line, without and with styles; widths come from the plain one.
struct Cell {
    std::string plain;
    std::string styled;
};

std::string heading(std::string_view text, bool styled) {
    if (!styled) {
        return std::string(text);
    }
    return fmt::format("{}{}{}{}", kBold, kUnderline, text, kReset);
}

std::string literal(std::string_view text, bool styled) {
    if (!styled) {
        return std::string(text);
    }
    return fmt::format("{}{}{}", kBold, text, kReset);
}

Cell option_cell(const ArgDef& arg, bool styled) {
    if (arg.is_positional()) {
        std::string d = arg.display();
        return {d, literal(d, styled)};
    }
    std::string names_plain;
    std::string names_styled;
    if (arg.short_name != 0) {
        std::string s = std::string("-") + arg.short_name;
        names_plain = s;
        names_styled = literal(s, styled);
        if (!arg.long_name.empty()) {
            names_plain += ", ";
            names_styled += ", ";
        }
    } else {
        names_plain = "    ";
        names_styled = "    ";
    }
    if (!arg.long_name.empty()) {
        std::string l = "--" + arg.long_name;
        names_plain += l;
        names_styled += literal(l, styled);
    }
    if (arg.takes_value()) {
        std::string v = " <" + arg.value_name + ">";
        names_plain += v;
        names_styled += v;
    }
    return {names_plain, names_styled};
}

// "[default: x]" and "[possible values: a, b]", as they apply.
std::vector<std::string> value_notes(const ArgDef& arg) {
    std::vector<std::string> notes;
    if (arg.default_value) {
        notes.push_back(fmt::format("[default: {}]", *arg.default_value));
    }
    if (!arg.possible_values.empty()) {
        notes.push_back(fmt::format("[possible values: {}]", fmt::join(arg.possible_values, ", ")));
    }
    return notes;
}

std::string short_help_text(const ArgDef& arg) {
    std::string text = arg.help;
    for (const std::string& note : value_notes(arg)) {
        if (!text.empty()) {
            text += ' ';
        }
        text += note;
    }
    return text;
}

std::string long_help_text(const ArgDef& arg) {
    std::string text = arg.long_help.empty() ? arg.help : arg.long_help;
    std::vector<std::string> notes = value_notes(arg);
    if (!notes.empty()) {
        if (!text.empty()) {
            text += "\n\n";
        }
        text += fmt::format("{}", fmt::join(notes, "\n"));
    }
    return text;
}

void indent_lines(std::string& out, std::string_view text) {
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find('\n', start);
        std::string_view line = text.substr(
            start, end == std::string_view::npos ? std::string_view::npos : end - start);
        if (!line.empty()) {
            out += kLongIndent;
            out += line;
        }
        out += '\n';
        if (end == std::string_view::npos) {
            break;
        }
        start = end + 1;
    }
}

void write_two_columns(std::string& out, const std::vector<std::pair<Cell, std::string>>& rows) {
    std::size_t width = 0;
    for (const auto& [cell, text] : rows) {
        width = std::max(width, cell.plain.size());
    }
    for (const auto& [cell, text] : rows) {
        out += "  ";
        out += cell.styled;
        if (!text.empty()) {
            out.append(width - cell.plain.size() + 2, ' ');
            out += text;
        }
        out += '\n';
    }
}

void write_args(std::string& out, const std::vector<const ArgDef*>& args, bool long_page,
                bool styled) {
    if (!long_page) {
        std::vector<std::pair<Cell, std::string>> rows;
        for (const ArgDef* arg : args) {
            rows.emplace_back(option_cell(*arg, styled), short_help_text(*arg));
        }
        write_two_columns(out, rows);
        return;
    }
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (i > 0) {
            out += '\n';
        }
        out += "  ";
        out += option_cell(*args[i], styled).styled;
        out += '\n';
        std::string text = long_help_text(*args[i]);
        if (!text.empty()) {
            indent_lines(out, text);
        }
    }
}

} // namespace

std::string render_usage(const CommandPath& path, bool styled) {
    std::vector<std::string> names;
    for (const CommandDef* cmd : path) {
        names.push_back(cmd->name);
    }
    std::string out = literal(fmt::format("{}", fmt::join(names, " ")), styled);
    const CommandDef& cmd = *path.back();
    if (cmd.has_options()) {
        out += " [OPTIONS]";
    }
    for (const ArgDef& arg : cmd.args) {
        if (arg.is_positional()) {
            out += ' ';
            out += arg.display();
        }
    }
    if (!cmd.subcommands.empty()) {
        out += " [COMMAND]";
    }
    return out;
}

std::string render_help(const CommandPath& path, bool long_page, bool styled) {
    const CommandDef& cmd = *path.back();
    std::string out;
    const std::string& about = long_page && !cmd.long_about.empty() ? cmd.long_about : cmd.about;
    if (!about.empty()) {
        out += about;
        out += "\n\n";
    }
    out += heading("Usage:", styled);
    out += ' ';
    out += render_usage(path, styled);
    out += '\n';

    if (!cmd.subcommands.empty()) {
        out += '\n';
        out += heading("Commands:", styled);
        out += '\n';
        std::vector<std::pair<Cell, std::string>> rows;
        for (const CommandDef& sub : cmd.subcommands) {
            rows.emplace_back(Cell{sub.name, literal(sub.name, styled)}, sub.about);
        }
        write_two_columns(out, rows);
    }
    std::vector<const ArgDef*> positionals;
    std::vector<const ArgDef*> options;
    for (const ArgDef& arg : cmd.args) {
        (arg.is_positional() ? positionals : options).push_back(&arg);
    }
    if (!positionals.empty()) {
        out += '\n';
        out += heading("Arguments:", styled);
        out += '\n';
        write_args(out, positionals, long_page, styled);
    }
    if (!options.empty()) {
        out += '\n';
        out += heading("Options:", styled);
        out += '\n';
        write_args(out, options, long_page, styled);
    }
    return out;
}

std::string render_version(const CommandDef& root) {
    return fmt::format("{} {}\n", root.name, root.version);
}

std::string render_parse_error(std::string_view message, std::string_view tip,
                               const CommandPath& path) {
    std::string out = fmt::format("error: {}\n", message);
    if (!tip.empty()) {
        out += fmt::format("\n  tip: {}\n", tip);
    }
    out += fmt::format("\nUsage: {}\n\nFor more information, try '--help'.\n", render_usage(path));
    return out;
}

std::string similar_tip(std::string_view noun, const std::vector<std::string>& matches) {
    if (matches.empty()) {
        return {};
    }
    std::vector<std::string> quoted;
    for (const std::string& m : matches) {
        quoted.push_back("'" + m + "'");
    }
    if (quoted.size() == 1) {
        return fmt::format("a similar {} exists: {}", noun, quoted.front());
    }
    return fmt::format("some similar {}s exist: {}", noun, fmt::join(quoted, ", "));
}

bool help_styles_wanted(bool stdout_is_terminal, const char* no_color) {
    return stdout_is_terminal && (no_color == nullptr || *no_color == '\0');
}

} // namespace qb::cli
