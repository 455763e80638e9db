#include "main/completions.hpp"

#include <fmt/format.h>

namespace qb::completion {
namespace {

std::string list(const std::vector<std::string>& words) {
    std::string out = "[";
    for (std::size_t i = 0; i < words.size(); ++i) {
        out += (i == 0 ? "" : " ") + quote_elvish(words[i]);
    }
    return out + "]";
}

std::string pair(std::string_view word, std::string_view help) {
    return fmt::format("[{} {}]", quote_elvish(word), quote_elvish(one_line(help)));
}

std::string entry(std::string_view key, std::string_view value) {
    return fmt::format("        &{}={}\n", quote_elvish(key), value);
}

void add_value_entries(const cli::ArgDef& arg, const std::string& key, std::string& values,
                       std::string& paths) {
    values += entry(key, list(arg.possible_values));
    if (value_kind(arg) == ValueKind::Path) {
        paths += entry(key, "$true");
    }
}

// A map literal from its entry lines; "[&]" when there are none.
std::string map(const std::string& entries) {
    return entries.empty() ? "[&]" : "[\n" + entries + "    ]";
}

} // namespace

std::string elvish_script(const std::vector<Node>& nodes, std::string_view program) {
    std::string steps;
    std::string values;
    std::string paths;
    std::string options;
    std::string commands;
    for (std::size_t id = 0; id < nodes.size(); ++id) {
        const Node& node = nodes[id];
        std::string key = std::to_string(id);
        std::string listed;
        for (const cli::ArgDef* arg : node.options) {
            for (const std::string& w : option_words(*arg)) {
                listed += (listed.empty() ? "" : " ") + pair(w, arg->help);
                if (arg->takes_value()) {
                    add_value_entries(*arg, fmt::format("{}:{}", id, w), values, paths);
                }
            }
        }
        options += entry(key, "[" + listed + "]");
        std::string named;
        for (std::size_t child : node.children) {
            steps += entry(fmt::format("{}:{}", id, nodes[child].word()),
                           quote_elvish(std::to_string(child)));
            named += (named.empty() ? "" : " ") + pair(nodes[child].word(), nodes[child].about);
        }
        commands += entry(key, "[" + named + "]");
        for (std::size_t index = 0; index < node.positionals.size(); ++index) {
            const cli::ArgDef& arg = *node.positionals[index];
            bool rest = index + 1 == node.positionals.size() && arg.repeatable();
            add_value_entries(arg, fmt::format("{}:{}", id, rest ? "*" : std::to_string(index)),
                              values, paths);
        }
    }

    return fmt::format(R"script(# elvish completion for {program}

use str

set edit:completion:arg-completer[{program_word}] = {{|@words|
    # "node:word" -> the node one word further on.
    var steps = {steps}
    # "node:option" for every option that takes a value, "node:index" for a positional
    # word and "node:*" for every further one -> the values offered.
    var values = {values}
    # The same keys, for the values that are paths.
    var paths = {paths}
    # node -> [word description] of its options.
    var options = {options}
    # node -> [word description] of the command names it continues with.
    var commands = {commands}

    var describe = {{|pair|
        if (eq $pair[1] '') {{
            edit:complex-candidate $pair[0]
        }} else {{
            edit:complex-candidate $pair[0] &display=$pair[0]'  '$pair[1]
        }}
    }}

    # Find the command the cursor is in, stepping over the values of options.
    var node = '0'
    var npos = 0
    var skip = $false
    var trailing = $false
    var option = ''
    for word $words[1..-1] {{
        if $skip {{
            set skip = $false
            continue
        }}
        if (and (not $trailing) (eq $word '--')) {{
            set trailing = $true
            continue
        }}
        if (and (not $trailing) (not-eq $word '-') (str:has-prefix $word '-')) {{
            if (has-key $values $node':'$word) {{
                set skip = $true
                set option = $word
            }}
            continue
        }}
        if (and (not $trailing) (has-key $steps $node':'$word)) {{
            set node = $steps[$node':'$word]
            set npos = 0
            continue
        }}
        set npos = (+ $npos 1)
    }}

    var cur = $words[-1]
    var lead = ''
    var key = ''
    if $skip {{
        set key = $node':'$option
    }} elif (and (not $trailing) (str:has-prefix $cur '-') (str:contains $cur '=')) {{
        var at = (to-string (str:index $cur '='))
        var after = (to-string (+ $at 1))
        set lead = $cur[0..$after]
        set key = $node':'$cur[0..$at]
        set cur = $cur[$after..]
        if (not (has-key $values $key)) {{
            set key = ''
        }}
    }}

    if (not-eq $key '') {{
        if (has-key $paths $key) {{
            if (eq $lead '') {{
                edit:complete-filename $cur
            }}
        }} else {{
            for value $values[$key] {{
                edit:complex-candidate $lead$value
            }}
        }}
    }} elif (and (not $trailing) (str:has-prefix $cur '-')) {{
        for pair $options[$node] {{
            $describe $pair
        }}
    }} else {{
        var positional = $node':'(to-string $npos)
        if (not (has-key $values $positional)) {{
            set positional = $node':*'
        }}
        var found = [(
            if (not $trailing) {{
                for pair $commands[$node] {{
                    $describe $pair
                }}
            }}
            if (has-key $paths $positional) {{
                edit:complete-filename $cur
            }} elif (has-key $values $positional) {{
                for value $values[$positional] {{
                    edit:complex-candidate $value
                }}
            }}
        )]
        if (and (== (count $found) 0) (not $trailing) (eq $cur '')) {{
            for pair $options[$node] {{
                $describe $pair
            }}
        }} else {{
            all $found
        }}
    }}
}}
)script",
                       fmt::arg("program", one_line(program)),
                       fmt::arg("program_word", quote_elvish(program)),
                       fmt::arg("steps", map(steps)), fmt::arg("values", map(values)),
                       fmt::arg("paths", map(paths)), fmt::arg("options", map(options)),
                       fmt::arg("commands", map(commands)));
}

} // namespace qb::completion
