// Completion scripts end to end: written by the built binary, then loaded into the
// shells that are installed here and asked for real completions. PowerShell and elvish
// are not installed, so their scripts are checked for shape and content only.

#include "support/test_support.hpp"

#include <algorithm>
#include <gtest/gtest.h>
#include <set>

namespace qb::test {
namespace {

class CompletionsE2e : public testing::Test {
protected:
    ProcessOptions options() {
        ProcessOptions o;
        o.env = hermetic_env(sandbox_.path());
        o.cwd = sandbox_.path();
        return o;
    }

    // The script for `shell`, saved in the sandbox; returns its path.
    std::string script(const std::string& shell) {
        auto r = run_quillbarrow({"completions", shell}, options());
        EXPECT_EQ(r.exit_status, 0) << r.err;
        EXPECT_EQ(r.err, "");
        std::string path = sandbox_ / ("script." + shell);
        write_file(path, r.out);
        return path;
    }

    // An absent shell is a broken set-up, not a reason to pass.
    static std::string require_shell(const std::string& name) {
        std::string path = find_program(name);
        if (path.empty()) {
            ADD_FAILURE() << name << " is not installed; ./dev.sh test installs it";
        }
        return path;
    }

    TempDir sandbox_;
};

TEST_F(CompletionsE2e, ScriptIgnoresTheOutputModeAndAFailedWriteIsFatal) {
    auto zsh = run_quillbarrow({"completions", "zsh", "--output", "json"}, options());
    EXPECT_EQ(zsh.exit_status, 0);
    EXPECT_EQ(zsh.err, "");
    EXPECT_EQ(zsh.out.rfind("#compdef quillbarrow\n", 0), 0u);

    auto text = run_quillbarrow({"-o", "text", "completions", "bash"}, options());
    EXPECT_EQ(text.exit_status, 0);
    EXPECT_NE(text.out.find("complete -F _quillbarrow 'quillbarrow'\n"), std::string::npos);

    ProcessOptions closed = options();
    closed.close_stdout = true;
    for (const char* shell : {"bash", "elvish", "fish", "powershell", "zsh"}) {
        auto r = run_quillbarrow({"completions", shell}, closed);
        EXPECT_EQ(r.signal, 0) << shell;
        EXPECT_EQ(r.exit_status, 101) << shell;
        EXPECT_EQ(r.err, "failed to write completion file\n") << shell;
    }
}

TEST_F(CompletionsE2e, BashOffersCommandsOptionsValuesAndPaths) {
    std::string bash = require_shell("bash");
    if (bash.empty()) {
        return;
    }
    std::string path = script("bash");
    make_dirs(sandbox_ / "dir one");
    write_file(sandbox_ / "dinner.txt");

    // COMP_WORDS as bash would split the line, the cursor on the last word.
    auto complete = [&](std::vector<std::string> words) {
        std::vector<std::string> argv{
            bash,
            "-c",
            "source \"$1\"; shift; COMP_WORDS=(\"$@\"); COMP_CWORD=$(($# - 1)); COMPREPLY=(); "
            "_quillbarrow; printf '%s\\n' \"${COMPREPLY[@]}\"",
            "bash",
            path,
            "quillbarrow"};
        argv.insert(argv.end(), words.begin(), words.end());
        auto r = run_process(argv, options());
        EXPECT_EQ(r.exit_status, 0) << r.err;
        EXPECT_EQ(r.err, "");
        std::vector<std::string> got = lines_of(r.out);
        if (got == std::vector<std::string>{""}) {
            got.clear();
        }
        return got;
    };
    using W = std::vector<std::string>;
    const W commands{"tui", "scan", "docker", "clean", "catalog", "schema", "completions", "help"};

    EXPECT_EQ(complete({""}), commands);
    EXPECT_EQ(complete({"s"}), (W{"scan", "schema"}));
    EXPECT_EQ(complete({"--output", "j"}), W{"json"});
    // The value of an option is not a command word.
    EXPECT_EQ(complete({"-o", "json", "sc"}), (W{"scan", "schema"}));
    EXPECT_EQ(complete({"-"}), (W{"--output", "-o", "--help", "-h", "--version", "-V"}));
    EXPECT_EQ(complete({"scan", "--scope", ""}), (W{"all", "project", "global"}));
    EXPECT_EQ(complete({"scan", "--sc"}), W{"--scope"});
    EXPECT_EQ(complete({"clean", "--scope", "p"}), W{"project"});
    EXPECT_EQ(complete({"completions", ""}), (W{"bash", "elvish", "fish", "powershell", "zsh"}));
    EXPECT_EQ(complete({"completions", "p"}), W{"powershell"});
    // One shell only: after it come the options.
    EXPECT_EQ(complete({"completions", "zsh", ""}), (W{"--output", "-o", "--help", "-h"}));
    EXPECT_EQ(complete({"docker", ""}), (W{"clean", "help"}));
    EXPECT_EQ(complete({"docker", "clean", "-"}),
              (W{"--dry-run", "--yes", "-y", "--fields", "--output", "-o", "--help", "-h"}));
    EXPECT_EQ(complete({"docker", "--limit", "5", "-"}),
              (W{"--limit", "--offset", "--fields", "--output", "-o", "--help", "-h"}));
    EXPECT_EQ(complete({"clean", "--in"}), W{"--include-recent"});
    EXPECT_EQ(complete({"help", ""}), commands);
    EXPECT_EQ(complete({"help", "docker", ""}), (W{"clean", "help"}));
    EXPECT_EQ(complete({"docker", "help", ""}), (W{"clean", "help"}));
    EXPECT_EQ(complete({"schema", ""}),
              (W{"tui", "scan", "docker", "clean", "catalog", "schema", "completions"}));
    EXPECT_EQ(complete({"schema", "docker", ""}), W{"clean"});
    // A root named like a command stays a value; after "--" nothing is an option.
    EXPECT_EQ(complete({"scan", "--root", "scan", "--li"}), W{"--limit"});
    EXPECT_EQ(complete({"--", ""}).size(), 0u);
    // "=" is one of bash's word breaks, so "--output=j" arrives as three words; without
    // it, as one.
    EXPECT_EQ(complete({"scan", "--output", "=", "j"}), W{"json"});
    EXPECT_EQ(complete({"scan", "--output", "="}), (W{"auto", "json", "text"}));
    EXPECT_EQ(complete({"--output=t"}), W{"--output=text"});

    W files = complete({"scan", "--root", sandbox_ / "di"});
    std::sort(files.begin(), files.end());
    EXPECT_EQ(files, (W{sandbox_ / "dinner.txt", sandbox_ / "dir one"}));
    EXPECT_EQ(complete({"tui", "--root", sandbox_ / "dir"}), W{sandbox_ / "dir one"});
    // Free text has nothing to offer.
    EXPECT_EQ(complete({"scan", "--kind", ""}).size(), 0u);
}

TEST_F(CompletionsE2e, FishOffersTheSameWords) {
    std::string fish = require_shell("fish");
    if (fish.empty()) {
        return;
    }
    std::string path = script("fish");
    auto check = run_process({fish, "--no-execute", path}, options());
    EXPECT_EQ(check.exit_status, 0) << check.err;

    make_dirs(sandbox_ / "dir one");
    // Each candidate as "word<TAB>description" or the word alone.
    auto complete = [&](const std::string& line) {
        auto r = run_process(
            {fish, "--no-config", "-c", "source $argv[1]; and complete -C $argv[2]", path, line},
            options());
        EXPECT_EQ(r.exit_status, 0) << r.err;
        EXPECT_EQ(r.err, "");
        std::vector<std::string> words;
        for (const std::string& l : lines_of(r.out)) {
            words.push_back(l.substr(0, l.find('\t')));
        }
        return words;
    };
    using W = std::vector<std::string>;

    auto r = run_process({fish, "--no-config", "-c", "source $argv[1]; and complete -C $argv[2]",
                          path, "quillbarrow scan --sc"},
                         options());
    EXPECT_EQ(r.out, "--scope\tInclude project caches, global caches and recognized temporary "
                     "storage, or both\n");
    EXPECT_EQ(complete("quillbarrow scan --scope "), (W{"all", "global", "project"}));
    EXPECT_EQ(complete("quillbarrow --output j"), W{"json"});
    EXPECT_EQ(complete("quillbarrow --output=t"), W{"--output=text"});
    EXPECT_EQ(complete("quillbarrow -o json s"), (W{"scan", "schema"}));
    EXPECT_EQ(complete("quillbarrow completions "),
              (W{"bash", "elvish", "fish", "powershell", "zsh"}));
    EXPECT_EQ(complete("quillbarrow completions bash ").size(), 0u);
    EXPECT_EQ(complete("quillbarrow completions --output "), (W{"auto", "json", "text"}));
    EXPECT_EQ(complete("quillbarrow docker "), (W{"clean", "help"}));
    EXPECT_EQ(complete("quillbarrow docker clean -"),
              (W{"-h", "-o", "-y", "--dry-run", "--fields", "--help", "--output", "--yes"}));
    // "clean" under docker is not the top-level clean.
    EXPECT_EQ(complete("quillbarrow docker clean --in").size(), 0u);
    EXPECT_EQ(complete("quillbarrow clean --in"), W{"--include-recent"});
    EXPECT_EQ(complete("quillbarrow help docker "), (W{"clean", "help"}));
    EXPECT_EQ(complete("quillbarrow schema docker "), W{"clean"});
    EXPECT_EQ(complete("quillbarrow scan --root scan --li"), W{"--limit"});
    EXPECT_EQ(complete("quillbarrow -- ").size(), 0u);
    EXPECT_EQ(complete("quillbarrow scan --root " + sandbox_ / "dir"), W{sandbox_ / "dir one/"});
}

TEST_F(CompletionsE2e, ZshScriptParsesAndDefinesEveryCommand) {
    std::string zsh = require_shell("zsh");
    if (zsh.empty()) {
        return;
    }
    std::string path = script("zsh");
    auto check = run_process({zsh, "-n", path}, options());
    EXPECT_EQ(check.exit_status, 0) << check.err;

    // Loading it outside completion defines the functions and registers the root one.
    auto r = run_process({zsh, "-f", "-c",
                          "compdef() { print -r -- \"compdef $*\"; }; source $1; "
                          "print -rl -- ${(ok)functions[(I)_quillbarrow*]}",
                          "zsh", path},
                         options());
    EXPECT_EQ(r.exit_status, 0) << r.err;
    std::vector<std::string> got = lines_of(r.out);
    ASSERT_FALSE(got.empty());
    EXPECT_EQ(got.front(), "compdef _quillbarrow quillbarrow");
    std::set<std::string> functions(got.begin() + 1, got.end());
    for (const char* fn :
         {"_quillbarrow", "_quillbarrow__tui", "_quillbarrow__scan", "_quillbarrow__docker",
          "_quillbarrow__docker__clean", "_quillbarrow__docker__help", "_quillbarrow__clean",
          "_quillbarrow__catalog", "_quillbarrow__schema", "_quillbarrow__schema__docker",
          "_quillbarrow__completions", "_quillbarrow__help", "_quillbarrow__help__docker"}) {
        EXPECT_TRUE(functions.count(fn)) << fn;
    }

    std::string text = read_file(path);
    EXPECT_NE(
        text.find("'*--root=[Project directory to scan. Repeat for multiple roots]:PATH:_files'"),
        std::string::npos);
    EXPECT_NE(text.find("'(--scope)--scope=[Include project caches, global caches and recognized "
                        "temporary storage, or both]:SCOPE:(all project global)'"),
              std::string::npos);
    EXPECT_NE(text.find("'(--yes -y)-y[Confirm cleanup non-interactively]'"), std::string::npos)
        << "exclusions list both spellings";
    EXPECT_NE(text.find("'1:SHELL:(bash elvish fish powershell zsh)'"), std::string::npos);
    EXPECT_NE(text.find("[Print help (see more with '\\''--help'\\'')]"), std::string::npos);
}

// Brackets balance and strings close, outside comments and string literals. Both
// dialects use '...' with '' for a quote; "..." escapes with ` (PowerShell) or \ (elvish).
std::string shape_problem(const std::string& text, char dq_escape) {
    std::string stack;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '#') {
            i = text.find('\n', i);
            if (i == std::string::npos) {
                break;
            }
        } else if (c == '\'') {
            for (++i;; ++i) {
                if (i >= text.size()) {
                    return "unterminated single quote";
                }
                if (text[i] == '\'') {
                    if (i + 1 < text.size() && text[i + 1] == '\'') {
                        ++i;
                        continue;
                    }
                    break;
                }
            }
        } else if (c == '"') {
            for (++i;; ++i) {
                if (i >= text.size()) {
                    return "unterminated double quote";
                }
                if (text[i] == dq_escape) {
                    ++i;
                } else if (text[i] == '"') {
                    break;
                }
            }
        } else if (c == '(' || c == '[' || c == '{') {
            stack.push_back(c);
        } else if (c == ')' || c == ']' || c == '}') {
            char open = c == ')' ? '(' : c == ']' ? '[' : '{';
            if (stack.empty() || stack.back() != open) {
                return "unbalanced " + std::string(1, c) + " at offset " + std::to_string(i);
            }
            stack.pop_back();
        }
    }
    return stack.empty() ? "" : "unclosed " + stack;
}

// The node number a step leads to: the digits after `entry` in the script's step table.
std::string step(const std::string& text, const std::string& entry) {
    std::size_t at = text.find(entry);
    EXPECT_NE(at, std::string::npos) << entry;
    if (at == std::string::npos) {
        return "?";
    }
    at += entry.size();
    std::size_t end = text.find_first_not_of("0123456789", at);
    return end == at ? "?" : text.substr(at, end - at);
}

TEST_F(CompletionsE2e, PowershellScriptIsWhole) {
    std::string text = read_file(script("powershell"));
    EXPECT_EQ(shape_problem(text, '`'), "");
    EXPECT_NE(text.find("Register-ArgumentCompleter -Native -CommandName 'quillbarrow'"),
              std::string::npos);

    auto node = [&](const std::string& from, const std::string& word) {
        return step(text, "$steps['" + from + ":" + word + "'] = ");
    };
    for (const char* word :
         {"tui", "scan", "docker", "clean", "catalog", "schema", "completions", "help"}) {
        EXPECT_NE(text.find(std::string("& $add '") + word + "' '"), std::string::npos) << word;
        EXPECT_NE(node("0", word), "?");
    }
    std::string scan = node("0", "scan");
    std::string clean = node("0", "clean");
    std::string docker_clean = node(node("0", "docker"), "clean");
    EXPECT_NE(text.find("$values['" + scan + ":--scope'] = @('all', 'project', 'global')"),
              std::string::npos);
    EXPECT_NE(text.find("$paths['" + clean + ":--root'] = $true"), std::string::npos);
    EXPECT_NE(text.find("$values['0:-o'] = @('auto', 'json', 'text')"), std::string::npos);
    EXPECT_NE(text.find("$values['" + node("0", "completions") +
                        ":0'] = @('bash', 'elvish', 'fish', 'powershell', 'zsh')"),
              std::string::npos);
    // Each command lists its own options: --include-recent under clean only, --dry-run
    // under both cleans, flags take no value.
    auto options_of = [&](const std::string& id) {
        std::size_t at = text.find("\n            " + id + " {\n");
        EXPECT_NE(at, std::string::npos) << id;
        return at == std::string::npos ? "" : text.substr(at, text.find("}", at) - at);
    };
    EXPECT_NE(options_of(clean).find("'--include-recent'"), std::string::npos);
    EXPECT_EQ(options_of(docker_clean).find("'--include-recent'"), std::string::npos);
    EXPECT_NE(options_of(docker_clean).find("& $add '-y' 'Confirm the build-cache prune"),
              std::string::npos);
    EXPECT_NE(options_of("0").find("& $add '--help' 'Print help (see more with ''--help'')'"),
              std::string::npos);
    EXPECT_EQ(text.find("'" + clean + ":--yes'"), std::string::npos);
}

TEST_F(CompletionsE2e, ElvishScriptIsWhole) {
    std::string text = read_file(script("elvish"));
    EXPECT_EQ(shape_problem(text, '\\'), "");
    EXPECT_NE(text.find("set edit:completion:arg-completer['quillbarrow'] = {|@words|"),
              std::string::npos);

    auto node = [&](const std::string& from, const std::string& word) {
        return step(text, "&'" + from + ":" + word + "'='");
    };
    std::string scan = node("0", "scan");
    std::string docker = node("0", "docker");
    std::string docker_clean = node(docker, "clean");
    EXPECT_NE(node(node("0", "help"), "docker"), "?");
    EXPECT_NE(text.find("&'" + scan + ":--scope'=['all' 'project' 'global']"), std::string::npos);
    EXPECT_NE(text.find("&'" + scan + ":--root'=$true"), std::string::npos);
    EXPECT_NE(text.find("&'" + node("0", "completions") +
                        ":0'=['bash' 'elvish' 'fish' 'powershell' 'zsh']"),
              std::string::npos);
    EXPECT_NE(text.find("&'0'=[['--output' 'Output format; auto = text on a TTY, JSON when "
                        "piped'] ['-o' "),
              std::string::npos);
    EXPECT_NE(text.find("['--help' 'Print help (see more with ''--help'')']"), std::string::npos);
    std::size_t at = text.find("\n        &'" + docker_clean + "'=[[");
    ASSERT_NE(at, std::string::npos);
    std::string line = text.substr(at, text.find('\n', at + 1) - at);
    for (const char* option : {"--dry-run", "--yes", "-y", "--fields", "--output", "-o", "-h"}) {
        EXPECT_NE(line.find(std::string("['") + option + "' '"), std::string::npos) << option;
    }
    EXPECT_EQ(line.find("--include-recent"), std::string::npos);
    EXPECT_NE(text.find("&'0'=[['tui' 'Browse caches and press `d` to delete the focused "
                        "entry'] ['scan' "),
              std::string::npos);
}

} // namespace
} // namespace qb::test
