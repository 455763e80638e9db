#include "main/cli.hpp"
#include "main/completions.hpp"
#include "support/test_support.hpp"

#include <gtest/gtest.h>

namespace qb {
namespace {

using completion::Node;
using test::ProcessOptions;
using test::run_process;

// Texts that break naive quoting in one shell or another.
const std::vector<std::string> kNasty{"it's",
                                      "a\\'b",
                                      "\\",
                                      "$HOME",
                                      "`id`",
                                      "$(touch pwned)",
                                      "‘curly’ ’quotes‛",
                                      "a\"b\"c",
                                      "tab\there",
                                      "[x:y]",
                                      "%d",
                                      "{a,b}",
                                      "~",
                                      ""};

// What `shell` prints for `printf '%s' QUOTED`: the text the quoting stands for.
std::string round_trip(const std::string& shell, const std::string& quoted,
                       const test::TempDir& cwd) {
    ProcessOptions options;
    options.env = test::hermetic_env(cwd.path());
    options.cwd = cwd.path();
    auto r = run_process({shell, "-c", "printf '%s' " + quoted}, options);
    EXPECT_EQ(r.exit_status, 0) << quoted << ": " << r.err;
    return r.out;
}

TEST(Completions, QuotingFollowsEachShell) {
    EXPECT_EQ(completion::quote_posix("it's"), "'it'\\''s'");
    EXPECT_EQ(completion::quote_fish("it's \\"), "'it\\'s \\\\'");
    EXPECT_EQ(completion::quote_elvish("it's"), "'it''s'");
    EXPECT_EQ(completion::quote_powershell("it's ‘a’"), "'it''s ‘‘a’’'");
    // Other three-byte characters starting like those quotes stay single.
    EXPECT_EQ(completion::quote_powershell("a–b…"), "'a–b…'");
    EXPECT_EQ(completion::quote_powershell("\xE2\x80"), "'\xE2\x80'");
    EXPECT_EQ(completion::zsh_bracketed("a [b]: \\c"), "a \\[b\\]\\: \\\\c");
    EXPECT_EQ(completion::zsh_described("x:y\\z [w]"), "x\\:y\\\\z [w]");
    EXPECT_EQ(completion::fish_word("json"), "json");
    EXPECT_EQ(completion::fish_word("a b"), "'a b'");
    EXPECT_EQ(completion::fish_word("$x"), "'$x'");
    EXPECT_EQ(completion::fish_word(""), "''");
    EXPECT_EQ(completion::one_line("two\nlines\r\tand more \n"), "two lines  and more");

    test::TempDir cwd;
    for (const char* shell : {"bash", "zsh", "fish"}) {
        std::string path = test::find_program(shell);
        if (path.empty()) {
            ADD_FAILURE() << shell << " is not installed; ./dev.sh test installs it";
            continue;
        }
        for (const std::string& s : kNasty) {
            std::string quoted = std::string(shell) == "fish" ? completion::quote_fish(s)
                                                              : completion::quote_posix(s);
            EXPECT_EQ(round_trip(path, quoted, cwd), s) << shell << " " << quoted;
        }
    }
    EXPECT_FALSE(test::exists_nofollow(cwd / "pwned"));
}

const Node* find(const std::vector<Node>& nodes, std::vector<std::string> path) {
    for (const Node& n : nodes) {
        if (n.path == path) {
            return &n;
        }
    }
    return nullptr;
}

std::vector<std::string> option_names(const Node& node) {
    std::vector<std::string> names;
    for (const cli::ArgDef* arg : node.options) {
        for (const std::string& w : completion::option_words(*arg)) {
            names.push_back(w);
        }
    }
    return names;
}

TEST(Completions, FlattenedTreeFollowsTheParser) {
    cli::CommandDef root = cli_command();
    std::vector<Node> nodes = completion::flatten(root);
    ASSERT_FALSE(nodes.empty());
    EXPECT_TRUE(nodes[0].path.empty());
    EXPECT_EQ(completion::child_words(nodes, nodes[0]),
              (std::vector<std::string>{"tui", "scan", "docker", "clean", "catalog", "schema",
                                        "completions", "help"}));
    for (std::size_t i = 0; i < nodes.size(); ++i) {
        for (std::size_t j = i + 1; j < nodes.size(); ++j) {
            EXPECT_NE(nodes[i].path, nodes[j].path) << "two nodes for one path";
        }
        for (std::size_t child : nodes[i].children) {
            ASSERT_LT(child, nodes.size());
            EXPECT_GT(child, i);
            std::vector<std::string> expected = nodes[i].path;
            expected.push_back(nodes[child].word());
            EXPECT_EQ(nodes[child].path, expected);
        }
    }

    const Node* clean = find(nodes, {"docker", "clean"});
    ASSERT_NE(clean, nullptr);
    EXPECT_EQ(option_names(*clean),
              (std::vector<std::string>{"--dry-run", "--yes", "-y", "--fields", "--output", "-o",
                                        "--help", "-h"}));
    EXPECT_EQ(option_names(nodes[0]),
              (std::vector<std::string>{"--output", "-o", "--help", "-h", "--version", "-V"}));

    // After `help` only command names follow, one level per word, `help` included; the
    // parser takes no option there.
    const Node* help = find(nodes, {"help", "docker"});
    ASSERT_NE(help, nullptr);
    EXPECT_TRUE(help->options.empty());
    EXPECT_EQ(completion::child_words(nodes, *help), (std::vector<std::string>{"clean", "help"}));
    EXPECT_NE(find(nodes, {"help", "help"}), nullptr);
    EXPECT_NE(find(nodes, {"docker", "help", "clean"}), nullptr);
    EXPECT_EQ(find(nodes, {"help", "scan", "--root"}), nullptr);

    // The words of `schema` walk the command paths of the contract: no `help` there, and
    // the options of `schema` stay available at every step.
    const Node* schema_docker = find(nodes, {"schema", "docker", "clean"});
    ASSERT_NE(schema_docker, nullptr);
    EXPECT_EQ(option_names(*schema_docker),
              (std::vector<std::string>{"--output", "-o", "--help", "-h"}));
    EXPECT_EQ(find(nodes, {"schema", "help"}), nullptr);
    EXPECT_EQ(find(nodes, {"schema", "docker", "help"}), nullptr);

    const Node* completions = find(nodes, {"completions"});
    ASSERT_NE(completions, nullptr);
    const cli::ArgDef* shell = completion::positional_at(*completions, 0);
    ASSERT_NE(shell, nullptr);
    EXPECT_EQ(completion::value_kind(*shell), completion::ValueKind::Choices);
    EXPECT_EQ(completion::positional_at(*completions, 1), nullptr);
    const Node* schema = find(nodes, {"schema"});
    EXPECT_EQ(completion::positional_at(*schema, 5), completion::positional_at(*schema, 0));
    EXPECT_EQ(completion::value_kind(*root.find_subcommand("scan")->find_long("root")),
              completion::ValueKind::Path);
    EXPECT_EQ(completion::value_kind(*root.find_subcommand("scan")->find_long("limit")),
              completion::ValueKind::Free);
    EXPECT_EQ(completion::value_kind(*root.find_short('V')), completion::ValueKind::None);
}

// A tool whose texts and values need every kind of escaping.
cli::CommandDef nasty_tool() {
    cli::CommandDef root;
    root.name = "odd-tool";
    cli::ArgDef mode;
    mode.id = "mode";
    mode.long_name = "mode";
    mode.short_name = 'm';
    mode.value_name = "MO:DE";
    mode.help = "it's \"odd\" [a:b] \\x $HOME `id` $(touch pwned) %d ‘q’ {x}";
    mode.parser = cli::ValueParser::Choice;
    mode.possible_values = {"a b", "it's", "$(touch pwned)", "x:y", "plain"};
    root.args.push_back(mode);
    cli::CommandDef sub;
    sub.name = "run";
    sub.about = mode.help;
    root.subcommands.push_back(sub);
    cli::complete_tree(root);
    return root;
}

TEST(Completions, HostileTextsSurviveEveryScript) {
    cli::CommandDef root = nasty_tool();
    test::TempDir dir;
    ProcessOptions options;
    options.env = test::hermetic_env(dir.path());
    options.cwd = dir.path();

    std::string bash = test::find_program("bash");
    ASSERT_FALSE(bash.empty());
    test::write_file(dir / "odd.bash", completion::completion_script(CompletionShell::Bash, root));
    auto r = run_process({bash, "-c",
                          "source \"$1\"; COMP_WORDS=(odd-tool --mode \"\"); COMP_CWORD=2; "
                          "_odd_tool; printf '%s\\n' \"${COMPREPLY[@]}\"",
                          "bash", dir / "odd.bash"},
                         options);
    EXPECT_EQ(r.err, "");
    // Quoted as they would be typed.
    EXPECT_EQ(r.out, "a\\ b\nit\\'s\n\\$\\(touch\\ pwned\\)\nx:y\nplain\n");

    std::string fish = test::find_program("fish");
    ASSERT_FALSE(fish.empty());
    test::write_file(dir / "odd.fish", completion::completion_script(CompletionShell::Fish, root));
    r = run_process({fish, "--no-config", "-c", "source $argv[1]; and complete -C $argv[2]",
                     dir / "odd.fish", "odd-tool "},
                    options);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, "help\tPrint this message or the help of the given subcommand(s)\nrun\t" +
                         root.subcommands[0].about + "\n");
    r = run_process({fish, "--no-config", "-c", "source $argv[1]; and complete -C $argv[2]",
                     dir / "odd.fish", "odd-tool --mode "},
                    options);
    EXPECT_NE(r.out.find("$(touch pwned)\t"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("a b\t"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("it's\t"), std::string::npos) << r.out;

    std::string zsh = test::find_program("zsh");
    ASSERT_FALSE(zsh.empty());
    test::write_file(dir / "_odd", completion::completion_script(CompletionShell::Zsh, root));
    r = run_process({zsh, "-n", dir / "_odd"}, options);
    EXPECT_EQ(r.exit_status, 0) << r.err;
    std::string text = test::read_file(dir / "_odd");
    EXPECT_NE(text.find("[it'\\''s \"odd\" \\[a\\:b\\] \\\\x $HOME `id` $(touch pwned) %d ‘q’ "
                        "{x}]:MO\\:DE:(a\\ b it\\'\\''s \\$\\(touch\\ pwned\\) x\\:y plain)'"),
              std::string::npos)
        << text;

    for (CompletionShell shell : {CompletionShell::Powershell, CompletionShell::Elvish}) {
        std::string script = completion::completion_script(shell, root);
        EXPECT_NE(script.find("'it''s \"odd\" [a:b] \\x $HOME `id` $(touch pwned) %d "),
                  std::string::npos)
            << script;
    }
    // PowerShell also ends a string at a typographic quote.
    EXPECT_NE(completion::completion_script(CompletionShell::Powershell, root).find("‘‘q’’"),
              std::string::npos);
    EXPECT_FALSE(test::exists_nofollow(dir / "pwned"));
}

} // namespace
} // namespace qb
