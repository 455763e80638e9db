#include "main/cli_model.hpp"

#include <algorithm>

namespace qb::cli {
namespace {

template <class T, class Pred>
const T* first_of(const std::vector<T>& items, Pred pred) {
    auto it = std::find_if(items.begin(), items.end(), pred);
    return it == items.end() ? nullptr : &*it;
}

// An option that takes no value and ends parsing with a page of its own.
ArgDef generated_option(std::string name, ArgAction action, std::string help) {
    ArgDef arg;
    arg.id = name;
    arg.short_name = static_cast<char>(action == ArgAction::Help ? 'h' : 'V');
    arg.long_name = std::move(name);
    arg.parser = ValueParser::None;
    arg.action = action;
    arg.help = std::move(help);
    return arg;
}

ArgDef help_option(bool has_long_page) {
    if (!has_long_page) {
        return generated_option("help", ArgAction::Help, "Print help");
    }
    ArgDef arg = generated_option("help", ArgAction::Help, "Print help (see more with '--help')");
    arg.long_help = "Print help (see a summary with '-h')";
    return arg;
}

CommandDef help_command() {
    CommandDef cmd;
    cmd.name = "help";
    cmd.about = "Print this message or the help of the given subcommand(s)";
    cmd.generated_help = true;
    ArgDef words;
    words.id = "subcommand";
    words.value_name = "COMMAND";
    words.help = "Print help for the subcommand(s)";
    words.action = ArgAction::Append;
    cmd.args.push_back(std::move(words));
    return cmd;
}

void complete_command(CommandDef& cmd, const std::vector<ArgDef>& inherited) {
    std::vector<ArgDef> globals = inherited;
    for (const ArgDef& arg : cmd.args) {
        if (arg.global) {
            globals.push_back(arg);
        }
    }
    for (const ArgDef& g : inherited) {
        if (cmd.find_id(g.id) == nullptr) {
            cmd.args.push_back(g);
        }
    }
    // The declaring command lists its global options after its own ones as well.
    std::stable_partition(cmd.args.begin(), cmd.args.end(),
                          [](const ArgDef& a) { return !a.global; });
    cmd.args.push_back(help_option(!cmd.long_about.empty()));
    if (!cmd.version.empty()) {
        cmd.args.push_back(generated_option("version", ArgAction::Version, "Print version"));
    }
    for (CommandDef& sub : cmd.subcommands) {
        complete_command(sub, globals);
    }
    if (!cmd.subcommands.empty()) {
        cmd.subcommands.push_back(help_command());
    }
}

} // namespace

std::string ArgDef::display() const {
    if (is_positional()) {
        if (required) {
            return "<" + value_name + ">";
        }
        return "[" + value_name + "]" + (repeatable() ? "..." : "");
    }
    std::string out = long_name.empty() ? std::string("-") + short_name : "--" + long_name;
    if (takes_value()) {
        out += " <" + value_name + ">";
    }
    return out;
}

const CommandDef* CommandDef::find_subcommand(std::string_view word) const {
    return first_of(subcommands, [&](const CommandDef& sub) { return sub.name == word; });
}

const ArgDef* CommandDef::find_long(std::string_view name) const {
    return first_of(args,
                    [&](const ArgDef& a) { return !a.long_name.empty() && a.long_name == name; });
}

const ArgDef* CommandDef::find_short(char name) const {
    return first_of(args,
                    [&](const ArgDef& a) { return a.short_name != 0 && a.short_name == name; });
}

const ArgDef* CommandDef::find_id(std::string_view id) const {
    return first_of(args, [&](const ArgDef& a) { return a.id == id; });
}

bool CommandDef::has_positionals() const {
    return std::any_of(args.begin(), args.end(), [](const ArgDef& a) { return a.is_positional(); });
}

bool CommandDef::has_options() const {
    return std::any_of(args.begin(), args.end(),
                       [](const ArgDef& a) { return !a.is_positional(); });
}

void complete_tree(CommandDef& root) {
    complete_command(root, {});
}

} // namespace qb::cli
