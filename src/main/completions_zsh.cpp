#include "main/completions.hpp"

#include <cctype>
#include <fmt/format.h>

namespace qb::completion {
namespace {

std::string function_name(std::string_view program, const std::vector<std::string>& path) {
    std::string name = "_" + std::string(program);
    for (const std::string& word : path) {
        name += "__" + word;
    }
    return identifier(name);
}

// The completion context of the commands below `path`: "quillbarrow-docker".
std::string context_name(std::string_view program, const std::vector<std::string>& path) {
    std::string name(program);
    for (const std::string& word : path) {
        name += "-" + word;
    }
    for (char& c : name) {
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '_') {
            c = '_';
        }
    }
    return name;
}

// A value inside the "(a b c)" action, which zsh evaluates.
std::string list_item(std::string_view value) {
    std::string out;
    for (char c : value) {
        if (!std::isalnum(static_cast<unsigned char>(c)) &&
            std::string_view("_-./,+=@%").find(c) == std::string_view::npos) {
            out.push_back('\\');
        }
        out.push_back(c);
    }
    return out;
}

// ":MESSAGE:ACTION" for a value of `arg`.
std::string value_part(const cli::ArgDef& arg) {
    std::string message = arg.value_name.empty() ? " " : zsh_described(arg.value_name);
    switch (value_kind(arg)) {
    case ValueKind::Choices: {
        std::string items;
        for (const std::string& v : arg.possible_values) {
            items += (items.empty() ? "" : " ") + list_item(v);
        }
        return ":" + message + ":(" + items + ")";
    }
    case ValueKind::Path:
        return ":" + message + ":_files";
    case ValueKind::None:
        return {};
    case ValueKind::Free:
        break;
    }
    return ":" + message + ": ";
}

std::vector<std::string> option_specs(const cli::ArgDef& arg) {
    bool page = arg.action == cli::ArgAction::Help || arg.action == cli::ArgAction::Version;
    std::vector<std::string> words = option_words(arg);
    std::string exclusions;
    if (page) {
        exclusions = "(- : *)";
    } else if (arg.repeatable()) {
        exclusions = "*";
    } else {
        exclusions = "(";
        for (const std::string& w : words) {
            exclusions += (exclusions.size() > 1 ? " " : "") + w;
        }
        exclusions += ")";
    }
    std::vector<std::string> specs;
    for (const std::string& w : words) {
        // "-o+" and "--output=": the value may follow in the same word or the next.
        std::string joined = !arg.takes_value() ? "" : (w.size() == 2 ? "+" : "=");
        specs.push_back(quote_posix(exclusions + w + joined + "[" +
                                    zsh_bracketed(one_line(arg.help)) + "]" + value_part(arg)));
    }
    return specs;
}

std::string positional_spec(const cli::ArgDef& arg, std::size_t index, bool last) {
    std::string action = value_part(arg);
    if (action.empty()) {
        action = ": ";
    }
    if (last && arg.repeatable()) {
        return quote_posix("*" + action);
    }
    return quote_posix(std::to_string(index + 1) + (arg.required ? "" : ":") + action);
}

bool has_work(const Node& node) {
    return !node.options.empty() || !node.positionals.empty() || !node.children.empty();
}

std::string node_function(const std::vector<Node>& nodes, const Node& node,
                          std::string_view program) {
    std::string name = function_name(program, node.path);
    std::vector<std::string> specs;
    for (const cli::ArgDef* arg : node.options) {
        for (std::string& spec : option_specs(*arg)) {
            specs.push_back(std::move(spec));
        }
    }
    if (!node.children.empty()) {
        specs.push_back(quote_posix("1: :->command"));
        specs.push_back(quote_posix("*:: :->argument"));
    } else {
        for (std::size_t i = 0; i < node.positionals.size(); ++i) {
            specs.push_back(
                positional_spec(*node.positionals[i], i, i + 1 == node.positionals.size()));
        }
    }

    std::string out = fmt::format("{}() {{\n", name);
    out += "    local context curcontext=\"$curcontext\" state state_descr line\n"
           "    typeset -A opt_args\n"
           "    local ret=1\n\n"
           "    _arguments -s -S -C";
    for (const std::string& spec : specs) {
        out += " \\\n        " + spec;
    }
    out += " \\\n        && ret=0\n";
    if (!node.children.empty()) {
        out += "    case $state in\n    (command)\n        local -a commands=(\n";
        for (std::size_t child : node.children) {
            const Node& c = nodes[child];
            out += "            " +
                   quote_posix(zsh_described(c.word()) + ":" + zsh_described(one_line(c.about))) +
                   "\n";
        }
        out += "        )\n"
               "        _describe -t commands 'command' commands && ret=0\n"
               "        ;;\n"
               "    (argument)\n"
               "        curcontext=\"${curcontext%:*:*}:" +
               context_name(program, node.path) +
               "-$words[1]:\"\n"
               "        case $words[1] in\n";
        for (std::size_t child : node.children) {
            const Node& c = nodes[child];
            if (has_work(c)) {
                out += "        (" + list_item(c.word()) + ") " + function_name(program, c.path) +
                       " && ret=0 ;;\n";
            }
        }
        out += "        esac\n"
               "        ;;\n"
               "    esac\n";
    }
    out += "    return ret\n}\n";
    return out;
}

} // namespace

std::string zsh_script(const std::vector<Node>& nodes, std::string_view program) {
    std::string root = function_name(program, {});
    std::string out =
        fmt::format("#compdef {}\n\n# zsh completion for {}\n\n", program, one_line(program));
    for (const Node& node : nodes) {
        if (has_work(node)) {
            out += node_function(nodes, node, program) + "\n";
        }
    }
    out += fmt::format(R"script(if [ "$funcstack[1]" = {root_word} ]; then
    {root} "$@"
else
    compdef {root} {program_word}
fi
)script",
                       fmt::arg("root", root), fmt::arg("root_word", quote_posix(root)),
                       fmt::arg("program_word", quote_posix(program)));
    return out;
}

} // namespace qb::completion
