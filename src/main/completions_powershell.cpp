#include "main/completions.hpp"

#include <fmt/format.h>

namespace qb::completion {
namespace {

std::string array(const std::vector<std::string>& words) {
    std::string out = "@(";
    for (std::size_t i = 0; i < words.size(); ++i) {
        out += (i == 0 ? "" : ", ") + quote_powershell(words[i]);
    }
    return out + ")";
}

// Adds the value table entries for `arg` under `key`.
void add_value_entries(const cli::ArgDef& arg, const std::string& key, std::string& values,
                       std::string& paths) {
    std::string k = quote_powershell(key);
    values += fmt::format("    $values[{}] = {}\n", k, array(arg.possible_values));
    if (value_kind(arg) == ValueKind::Path) {
        paths += fmt::format("    $paths[{}] = $true\n", k);
    }
}

std::string candidate(std::string_view text, std::string_view tip, std::string_view type) {
    return fmt::format("                & $add {} {} {}\n", quote_powershell(text),
                       quote_powershell(one_line(tip)), type);
}

} // namespace

std::string powershell_script(const std::vector<Node>& nodes, std::string_view program) {
    std::string steps;
    std::string values;
    std::string paths;
    std::string options;
    std::string words;
    for (std::size_t id = 0; id < nodes.size(); ++id) {
        const Node& node = nodes[id];
        for (std::size_t child : node.children) {
            steps +=
                fmt::format("    $steps[{}] = {}\n",
                            quote_powershell(fmt::format("{}:{}", id, nodes[child].word())), child);
        }
        std::string listed;
        for (const cli::ArgDef* arg : node.options) {
            for (const std::string& w : option_words(*arg)) {
                listed += candidate(w, arg->help, "ParameterName");
                if (arg->takes_value()) {
                    add_value_entries(*arg, fmt::format("{}:{}", id, w), values, paths);
                }
            }
        }
        if (!listed.empty()) {
            options += fmt::format("            {} {{\n{}            }}\n", id, listed);
        }
        std::string named;
        for (std::size_t child : node.children) {
            named += candidate(nodes[child].word(), nodes[child].about, "ParameterValue");
        }
        if (!named.empty()) {
            words += fmt::format("                {} {{\n{}                }}\n", id, named);
        }
        for (std::size_t index = 0; index < node.positionals.size(); ++index) {
            const cli::ArgDef& arg = *node.positionals[index];
            bool rest = index + 1 == node.positionals.size() && arg.repeatable();
            add_value_entries(arg, fmt::format("{}:{}", id, rest ? "*" : std::to_string(index)),
                              values, paths);
        }
    }

    return fmt::format(
        R"script(# PowerShell completion for {program}

using namespace System.Management.Automation
using namespace System.Management.Automation.Language

Register-ArgumentCompleter -Native -CommandName {program_word} -ScriptBlock {{
    param($wordToComplete, $commandAst, $cursorPosition)

    # The tables match case-sensitively, as the command line does.
    # "node:word" -> the node one word further on.
    $steps = [Collections.Hashtable]::new([StringComparer]::Ordinal)
{steps}
    # "node:option" for every option that takes a value, "node:index" for a positional
    # word and "node:*" for every further one -> the values offered.
    $values = [Collections.Hashtable]::new([StringComparer]::Ordinal)
{values}
    # The same keys, for the values that are paths.
    $paths = [Collections.Hashtable]::new([StringComparer]::Ordinal)
{paths}
    $results = [Collections.Generic.List[CompletionResult]]::new()
    $add = {{
        param([string]$text, [string]$tip, [CompletionResultType]$type)
        $completion = $text
        if ($completion -cnotmatch '^[\w./:@%+,=-]+$') {{
            $completion = "'" + $completion.Replace("'", "''") + "'"
        }}
        if (-not $tip) {{
            $tip = $text
        }}
        $results.Add([CompletionResult]::new($completion, $text, $type, $tip))
    }}

    # Find the command the cursor is in, stepping over the values of options.
    $node = 0
    $npos = 0
    $skip = $false
    $trailing = $false
    $option = ''
    $elements = $commandAst.CommandElements
    for ($i = 1; $i -lt $elements.Count; $i++) {{
        $element = $elements[$i]
        if ($element.Extent.EndOffset -ge $cursorPosition) {{
            break
        }}
        if ($element -is [StringConstantExpressionAst]) {{
            $word = $element.Value
        }} else {{
            $word = $element.Extent.Text
        }}
        if ($skip) {{
            $skip = $false
            continue
        }}
        if (-not $trailing -and $word -ceq '--') {{
            $trailing = $true
            continue
        }}
        if (-not $trailing -and $word.Length -gt 1 -and $word.StartsWith('-', [StringComparison]::Ordinal)) {{
            if ($values.ContainsKey("${{node}}:$word")) {{
                $skip = $true
                $option = $word
            }}
            continue
        }}
        if (-not $trailing -and $steps.ContainsKey("${{node}}:$word")) {{
            $node = $steps["${{node}}:$word"]
            $npos = 0
            continue
        }}
        $npos++
    }}

    $cur = $wordToComplete
    $lead = ''
    $key = $null
    if ($skip) {{
        $key = "${{node}}:$option"
    }} elseif (-not $trailing -and $cur -cmatch '^(-[^=]+)=(.*)$') {{
        $lead = $Matches[1] + '='
        $key = "${{node}}:$($Matches[1])"
        $cur = $Matches[2]
        if (-not $values.ContainsKey($key)) {{
            return
        }}
    }}

    if ($null -ne $key) {{
        if ($paths.ContainsKey($key)) {{
            foreach ($file in [CompletionCompleters]::CompleteFilename($cur)) {{
                [CompletionResult]::new($lead + $file.CompletionText, $file.ListItemText, $file.ResultType, $file.ToolTip)
            }}
            return
        }}
        foreach ($value in $values[$key]) {{
            & $add ($lead + $value) $value ParameterValue
        }}
    }} elseif (-not $trailing -and $cur.StartsWith('-', [StringComparison]::Ordinal)) {{
        switch ($node) {{
{options}        }}
    }} else {{
        if (-not $trailing) {{
            switch ($node) {{
{words}            }}
        }}
        $positional = "${{node}}:$npos"
        if (-not $values.ContainsKey($positional)) {{
            $positional = "${{node}}:*"
        }}
        if ($paths.ContainsKey($positional)) {{
            [CompletionCompleters]::CompleteFilename($cur)
            return
        }}
        foreach ($value in $values[$positional]) {{
            & $add $value $value ParameterValue
        }}
        if ($results.Count -eq 0 -and -not $trailing -and $cur -ceq '') {{
            switch ($node) {{
{options}            }}
        }}
    }}
    $results.Where({{ $_.ListItemText.StartsWith($wordToComplete, [StringComparison]::Ordinal) }})
}}
)script",
        fmt::arg("program", one_line(program)), fmt::arg("program_word", quote_powershell(program)),
        fmt::arg("steps", steps), fmt::arg("values", values), fmt::arg("paths", paths),
        fmt::arg("options", options), fmt::arg("words", words));
}

} // namespace qb::completion
