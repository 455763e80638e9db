#include "main/completions.hpp"

#include <cctype>

namespace qb::completion {
namespace {

using cli::ArgDef;
using cli::CommandDef;

std::vector<std::string> extended(std::vector<std::string> path, const std::string& word) {
    path.push_back(word);
    return path;
}

class Flattener {
public:
    Flattener(const CommandDef& root, std::vector<Node>& nodes) : root_(root), nodes_(nodes) {}

    std::size_t command(const CommandDef& cmd, const CommandDef* parent,
                        std::vector<std::string> path) {
        Node node;
        node.path = std::move(path);
        node.about = cmd.about;
        if (cmd.generated_help) {
            // Every word after `help` names a command below the one that holds it.
            std::size_t at = add(std::move(node));
            for (const CommandDef& sub : parent->subcommands) {
                std::size_t child = help_step(sub, extended(nodes_[at].path, sub.name));
                nodes_[at].children.push_back(child);
            }
            return at;
        }
        for (const ArgDef& arg : cmd.args) {
            (arg.is_positional() ? node.positionals : node.options).push_back(&arg);
        }
        std::size_t at = add(std::move(node));
        for (const CommandDef& sub : cmd.subcommands) {
            std::size_t child = command(sub, &cmd, extended(nodes_[at].path, sub.name));
            nodes_[at].children.push_back(child);
        }
        for (const ArgDef* arg : nodes_[at].positionals) {
            if (arg->names_commands) {
                add_command_steps(at, root_, at);
                break;
            }
        }
        return at;
    }

private:
    std::size_t add(Node node) {
        nodes_.push_back(std::move(node));
        return nodes_.size() - 1;
    }

    std::size_t help_step(const CommandDef& cmd, std::vector<std::string> path) {
        Node node;
        node.path = std::move(path);
        node.about = cmd.about;
        std::size_t at = add(std::move(node));
        for (const CommandDef& sub : cmd.subcommands) {
            std::size_t child = help_step(sub, extended(nodes_[at].path, sub.name));
            nodes_[at].children.push_back(child);
        }
        return at;
    }

    // The positional words of `owner` walk down the tree from the root; each step keeps
    // the owner's options and positionals. The generated help commands are no such path.
    void add_command_steps(std::size_t from, const CommandDef& below, std::size_t owner) {
        for (const CommandDef& sub : below.subcommands) {
            if (sub.generated_help) {
                continue;
            }
            Node node;
            node.path = extended(nodes_[from].path, sub.name);
            node.about = sub.about;
            node.options = nodes_[owner].options;
            node.positionals = nodes_[owner].positionals;
            std::size_t at = add(std::move(node));
            nodes_[from].children.push_back(at);
            add_command_steps(at, sub, owner);
        }
    }

    const CommandDef& root_;
    std::vector<Node>& nodes_;
};

std::string quote_with(std::string_view s, char quote, std::string_view escaped_quote,
                       std::string_view extra_special = {}, std::string_view extra_escape = {}) {
    std::string out(1, quote);
    for (char c : s) {
        if (c == quote) {
            out += escaped_quote;
        } else if (!extra_special.empty() && extra_special.find(c) != std::string_view::npos) {
            out += extra_escape;
            out.push_back(c);
        } else {
            out.push_back(c);
        }
    }
    out.push_back(quote);
    return out;
}

std::string backslashed(std::string_view s, std::string_view special) {
    std::string out;
    for (char c : s) {
        if (special.find(c) != std::string_view::npos) {
            out.push_back('\\');
        }
        out.push_back(c);
    }
    return out;
}

} // namespace

ValueKind value_kind(const ArgDef& arg) {
    if (!arg.takes_value()) {
        return ValueKind::None;
    }
    if (!arg.possible_values.empty()) {
        return ValueKind::Choices;
    }
    if (arg.parser == cli::ValueParser::Path) {
        return ValueKind::Path;
    }
    return ValueKind::Free;
}

std::vector<Node> flatten(const CommandDef& root) {
    std::vector<Node> nodes;
    Flattener(root, nodes).command(root, nullptr, {});
    return nodes;
}

const ArgDef* positional_at(const Node& node, std::size_t index) {
    if (index < node.positionals.size()) {
        return node.positionals[index];
    }
    if (!node.positionals.empty() && node.positionals.back()->repeatable()) {
        return node.positionals.back();
    }
    return nullptr;
}

std::vector<std::string> option_words(const ArgDef& arg) {
    std::vector<std::string> words;
    if (!arg.long_name.empty()) {
        words.push_back("--" + arg.long_name);
    }
    if (arg.short_name != 0) {
        words.push_back(std::string("-") + arg.short_name);
    }
    return words;
}

std::vector<std::string> child_words(const std::vector<Node>& nodes, const Node& node) {
    std::vector<std::string> words;
    for (std::size_t child : node.children) {
        words.push_back(nodes[child].word());
    }
    return words;
}

std::string identifier(std::string_view s) {
    std::string out(s);
    for (char& c : out) {
        if (!std::isalnum(static_cast<unsigned char>(c))) {
            c = '_';
        }
    }
    return out;
}

std::string one_line(std::string_view text) {
    std::string out;
    for (char c : text) {
        out.push_back(static_cast<unsigned char>(c) < 0x20 || c == 0x7f ? ' ' : c);
    }
    while (!out.empty() && out.back() == ' ') {
        out.pop_back();
    }
    return out;
}

std::string quote_posix(std::string_view s) {
    return quote_with(s, '\'', "'\\''");
}

std::string quote_fish(std::string_view s) {
    return quote_with(s, '\'', "\\'", "\\", "\\");
}

std::string quote_powershell(std::string_view s) {
    // PowerShell also takes the typographic single quotes (U+2018 to U+201B) as quotes.
    std::string out = "'";
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\'') {
            out += "''";
            continue;
        }
        if (s.substr(i, 2) == "\xE2\x80" && i + 2 < s.size()) {
            unsigned char third = static_cast<unsigned char>(s[i + 2]);
            if (third >= 0x98 && third <= 0x9B) {
                std::string_view mark = s.substr(i, 3);
                out += mark;
                out += mark;
                i += 2;
                continue;
            }
        }
        out.push_back(s[i]);
    }
    out.push_back('\'');
    return out;
}

std::string quote_elvish(std::string_view s) {
    return quote_with(s, '\'', "''");
}

std::string zsh_bracketed(std::string_view s) {
    return backslashed(s, "\\[]:");
}

std::string zsh_described(std::string_view s) {
    return backslashed(s, "\\:");
}

std::string fish_word(std::string_view s) {
    constexpr std::string_view kSafe = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                       "0123456789_-+.,/@%=:";
    bool safe = !s.empty() && s.find_first_not_of(kSafe) == std::string_view::npos;
    return safe ? std::string(s) : quote_fish(s);
}

std::string completion_script(CompletionShell shell, const CommandDef& root) {
    std::vector<Node> nodes = flatten(root);
    switch (shell) {
    case CompletionShell::Bash:
        return bash_script(nodes, root.name);
    case CompletionShell::Elvish:
        return elvish_script(nodes, root.name);
    case CompletionShell::Fish:
        return fish_script(nodes, root.name);
    case CompletionShell::Powershell:
        return powershell_script(nodes, root.name);
    case CompletionShell::Zsh:
        return zsh_script(nodes, root.name);
    }
    return {};
}

} // namespace qb::completion
