#include "main/completions.hpp"

#include <algorithm>
#include <fmt/format.h>

namespace qb::completion {
namespace {

// A case label matching exactly "{node}:{word}".
std::string label(std::size_t node, std::string_view word) {
    return quote_posix(fmt::format("{}:{}", node, word));
}

std::string quoted_list(const std::vector<std::string>& words) {
    std::string out;
    for (const std::string& w : words) {
        out += ' ';
        out += quote_posix(w);
    }
    return out;
}

bool has_action(const cli::ArgDef& arg) {
    ValueKind kind = value_kind(arg);
    return kind == ValueKind::Choices || kind == ValueKind::Path;
}

// The statement that offers the values of `arg` for the word in $cur.
std::string value_action(const cli::ArgDef& arg, std::string_view fn) {
    switch (value_kind(arg)) {
    case ValueKind::Choices:
        return fmt::format("{}_add \"$lead\" \"$cur\"{}", fn, quoted_list(arg.possible_values));
    case ValueKind::Path:
        return fmt::format("{}_files \"$lead\" \"$cur\"", fn);
    case ValueKind::None:
    case ValueKind::Free:
        break;
    }
    return ":";
}

} // namespace

std::string bash_script(const std::vector<Node>& nodes, std::string_view program) {
    std::string fn = identifier("_" + std::string(program));

    std::string valued;      // "node:option" words that take the next word as their value
    std::string steps;       // "node:word" -> the node one word further on
    std::string values;      // "node:option" -> what its value completes to
    std::string options;     // node -> its option words
    std::string words;       // node -> the command names it continues with
    std::string positionals; // "node:index" -> what a positional word there completes to
    for (std::size_t id = 0; id < nodes.size(); ++id) {
        const Node& node = nodes[id];
        std::vector<std::string> option_list;
        for (const cli::ArgDef* arg : node.options) {
            for (const std::string& w : option_words(*arg)) {
                option_list.push_back(w);
                if (arg->takes_value()) {
                    valued +=
                        fmt::format("            {}) skip=1 option=\"$word\" ;;\n", label(id, w));
                    if (has_action(*arg)) {
                        values += fmt::format("        {}) {} ;;\n", label(id, w),
                                              value_action(*arg, fn));
                    }
                }
            }
        }
        for (std::size_t child : node.children) {
            steps += fmt::format("            {}) node={} npos=0; continue ;;\n",
                                 label(id, nodes[child].word()), child);
        }
        if (!option_list.empty()) {
            options += fmt::format("        {}) {}_add \"\" \"$cur\"{} ;;\n", id, fn,
                                   quoted_list(option_list));
        }
        if (!node.children.empty()) {
            words += fmt::format("            {}) {}_add \"\" \"$cur\"{} ;;\n", id, fn,
                                 quoted_list(child_words(nodes, node)));
        }
        bool offers_values = std::any_of(node.positionals.begin(), node.positionals.end(),
                                         [](const cli::ArgDef* arg) { return has_action(*arg); });
        for (std::size_t index = 0; offers_values && index < node.positionals.size(); ++index) {
            const cli::ArgDef& arg = *node.positionals[index];
            bool rest = index + 1 == node.positionals.size() && arg.repeatable();
            std::string pattern = quote_posix(fmt::format("{}:", id)) + (rest ? "*" : "") +
                                  (rest ? "" : std::to_string(index));
            positionals += fmt::format("        {}) {} ;;\n", pattern, value_action(arg, fn));
        }
    }

    return fmt::format(R"script(# bash completion for {program}

# Offers each of the words that starts with $cur, with $lead before it, quoted for
# the command line.
{fn}_add() {{
    local lead="$1" cur="$2" word quoted
    shift 2
    for word in "$@"; do
        if [[ "$word" == "$cur"* ]]; then
            printf -v quoted '%q' "$lead$word"
            COMPREPLY+=("$quoted")
        fi
    done
}}

{fn}_files() {{
    local lead="$1" cur="$2" file
    if type compopt >/dev/null 2>&1; then
        compopt -o filenames 2>/dev/null
    fi
    while IFS= read -r file; do
        COMPREPLY+=("$lead$file")
    done < <(compgen -f -- "$cur")
}}

{fn}() {{
    local cur word node=0 npos=0 skip=0 trailing=0 option="" lead="" i
    COMPREPLY=()
    cur="${{COMP_WORDS[COMP_CWORD]}}"

    # Find the command the cursor is in, stepping over the values of options.
    for ((i = 1; i < COMP_CWORD; i++)); do
        word="${{COMP_WORDS[i]}}"
        if ((skip)); then
            # With "=" among the word breaks, "--option=value" arrives as three words.
            if [[ "$word" != "=" ]]; then
                skip=0
            fi
            continue
        fi
        if ((!trailing)) && [[ "$word" == "--" ]]; then
            trailing=1
            continue
        fi
        if ((!trailing)) && [[ "$word" == -?* ]]; then
            case "$node:$word" in
{valued}            esac
            continue
        fi
        if ((!trailing)); then
            case "$node:$word" in
{steps}            esac
        fi
        npos=$((npos + 1))
    done

    if ((skip)); then
        if [[ "$cur" == "=" ]]; then
            cur=""
        fi
    elif ((!trailing)) && [[ "$cur" == -?*=* ]]; then
        option="${{cur%%=*}}"
        lead="$option="
        cur="${{cur#*=}}"
    else
        option=""
    fi
    if [[ -n "$option" ]]; then
        case "$node:$option" in
{values}        esac
        return 0
    fi

    local offer_options=0
    if ((!trailing)) && [[ "$cur" == -* ]]; then
        offer_options=1
    else
        if ((!trailing)); then
            case "$node" in
{words}            esac
        fi
        case "$node:$npos" in
{positionals}        esac
        # Where no word fits, the options are what may come next.
        if ((${{#COMPREPLY[@]}} == 0)) && ((!trailing)) && [[ -z "$cur" ]]; then
            offer_options=1
        fi
    fi
    if ((offer_options)); then
        case "$node" in
{options}        esac
    fi
    return 0
}}

complete -F {fn} {program_word}
)script",
                       fmt::arg("fn", fn), fmt::arg("program", one_line(program)),
                       fmt::arg("program_word", quote_posix(program)), fmt::arg("valued", valued),
                       fmt::arg("steps", steps), fmt::arg("values", values),
                       fmt::arg("options", options), fmt::arg("words", words),
                       fmt::arg("positionals", positionals));
}

} // namespace qb::completion
