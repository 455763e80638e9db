#include "main/completions.hpp"

#include <fmt/format.h>

namespace qb::completion {
namespace {

std::string quoted_words(const std::vector<std::string>& words) {
    std::string out;
    for (const std::string& w : words) {
        out += ' ';
        out += fish_word(w);
    }
    return out;
}

// The `-a` argument offering `words`; fish expands it, so each word is quoted twice.
std::string offered(const std::vector<std::string>& words) {
    std::string list;
    for (const std::string& w : words) {
        list += (list.empty() ? "" : " ") + fish_word(w);
    }
    return quote_fish(list);
}

std::string described(std::string_view help) {
    std::string line = one_line(help);
    return line.empty() ? std::string() : " -d " + quote_fish(line);
}

// The flags that say what follows an option or a positional word.
std::string value_flags(const cli::ArgDef& arg) {
    switch (value_kind(arg)) {
    case ValueKind::None:
        return " -f";
    case ValueKind::Choices:
        return " -x -a " + offered(arg.possible_values);
    case ValueKind::Path:
        return " -r -F";
    case ValueKind::Free:
        break;
    }
    return " -x";
}

} // namespace

std::string fish_script(const std::vector<Node>& nodes, std::string_view program) {
    std::string fn = identifier("__fish_" + std::string(program));
    std::string cmd = fish_word(program);

    std::vector<std::string> steps;
    std::vector<std::string> targets;
    std::vector<std::string> valued;
    std::string lines;
    for (std::size_t id = 0; id < nodes.size(); ++id) {
        const Node& node = nodes[id];
        std::string in = quote_fish(fmt::format("{}_in {}", fn, id));
        for (std::size_t child : node.children) {
            steps.push_back(fmt::format("{}:{}", id, nodes[child].word()));
            targets.push_back(std::to_string(child));
            lines += fmt::format("complete -c {} -n {} -f -a {}{}\n", cmd, in,
                                 quote_fish(fish_word(nodes[child].word())),
                                 described(nodes[child].about));
        }
        for (const cli::ArgDef* arg : node.options) {
            std::string names;
            if (!arg->long_name.empty()) {
                names += " -l " + fish_word(arg->long_name);
            }
            if (arg->short_name != 0) {
                names += " -s " + fish_word(std::string(1, arg->short_name));
            }
            if (arg->takes_value()) {
                for (const std::string& w : option_words(*arg)) {
                    valued.push_back(fmt::format("{}:{}", id, w));
                }
            }
            lines += fmt::format("complete -c {} -n {}{}{}{}\n", cmd, in, names, value_flags(*arg),
                                 described(arg->help));
        }
        for (std::size_t index = 0; index < node.positionals.size(); ++index) {
            const cli::ArgDef& arg = *node.positionals[index];
            ValueKind kind = value_kind(arg);
            if (kind != ValueKind::Choices && kind != ValueKind::Path) {
                continue;
            }
            bool rest = index + 1 == node.positionals.size() && arg.repeatable();
            std::string at =
                quote_fish(fmt::format("{}_at {} {}{}", fn, id, index, rest ? " and-later" : ""));
            std::string what =
                kind == ValueKind::Path ? " -F" : " -f -a " + offered(arg.possible_values);
            lines += fmt::format("complete -c {} -n {}{}{}\n", cmd, at, what, described(arg.help));
        }
    }

    return fmt::format(R"script(# fish completion for {program}

# Prints the command the cursor is in (a node number), how many positional words it
# has been given and whether a "--" ended the options, stepping over option values.
function {fn}_state
    set -l tokens (commandline -opc)
    set -e tokens[1]
    set -l steps{steps}
    set -l targets{targets}
    set -l valued{valued}
    set -l node 0
    set -l npos 0
    set -l skip 0
    set -l trailing 0
    for word in $tokens
        if test $skip = 1
            set skip 0
            continue
        end
        if test $trailing = 0
            if test "$word" = --
                set trailing 1
                continue
            end
            if string match -q -- '-?*' "$word"
                if contains -- "$node:$word" $valued
                    set skip 1
                end
                continue
            end
            set -l at (contains -i -- "$node:$word" $steps)
            if test -n "$at"
                set node $targets[$at]
                set npos 0
                continue
            end
        end
        set npos (math $npos + 1)
    end
    echo $node
    echo $npos
    echo $trailing
end

# True when the cursor is in the given node, before any "--".
function {fn}_in
    set -l state ({fn}_state)
    test "$state[1]" = "$argv[1]"; and test "$state[3]" = 0
end

# True when the cursor is on the given positional word of a node (or a later one).
function {fn}_at
    set -l state ({fn}_state)
    test "$state[1]" = "$argv[1]"; or return 1
    if set -q argv[3]
        test $state[2] -ge $argv[2]
    else
        test $state[2] -eq $argv[2]
    end
end

complete -c {cmd} -f
{lines})script",
                       fmt::arg("program", one_line(program)), fmt::arg("fn", fn),
                       fmt::arg("cmd", cmd), fmt::arg("steps", quoted_words(steps)),
                       fmt::arg("targets", quoted_words(targets)),
                       fmt::arg("valued", quoted_words(valued)), fmt::arg("lines", lines));
}

} // namespace qb::completion
