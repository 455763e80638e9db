#include "main/cli.hpp"
#include "main/cli_help.hpp"
#include "main/cli_suggest.hpp"

#include <functional>
#include <gtest/gtest.h>
#include <set>

namespace qb {
namespace {

std::vector<std::string> names_of(const cli::CommandDef& cmd) {
    std::vector<std::string> names;
    for (const auto& sub : cmd.subcommands) {
        names.push_back(sub.name);
    }
    return names;
}

// The text without its "ESC [ digits m" style sequences.
std::string strip_styles(const std::string& s) {
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\x1b' && i + 1 < s.size() && s[i + 1] == '[') {
            std::size_t m = s.find('m', i);
            if (m != std::string::npos) {
                i = m;
                continue;
            }
        }
        out.push_back(s[i]);
    }
    return out;
}

// Visits every command of the tree with its path from the root.
void walk(const cli::CommandDef& cmd, cli::CommandPath path,
          const std::function<void(const cli::CommandPath&)>& visit) {
    path.push_back(&cmd);
    visit(path);
    for (const auto& sub : cmd.subcommands) {
        walk(sub, path, visit);
    }
}

TEST(CliTree, ShapeOfTheWholeTree) {
    cli::CommandDef root = cli_command();
    EXPECT_EQ(root.name, "quillbarrow");
    EXPECT_EQ(root.version, "0.5.2");
    EXPECT_EQ(names_of(root), (std::vector<std::string>{"tui", "scan", "docker", "clean", "catalog",
                                                        "schema", "completions", "help"}));
    EXPECT_EQ(names_of(*root.find_subcommand("docker")),
              (std::vector<std::string>{"clean", "help"}));
    EXPECT_NE(root.long_about.find("cli-contract.dev v0.3 contract."), std::string::npos);
    EXPECT_EQ(root.find_subcommand("schema")->about,
              "Print the machine-readable cli-contract.dev v0.3 contract");

    std::set<char> shorts;
    int commands = 0;
    walk(root, {}, [&](const cli::CommandPath& path) {
        const cli::CommandDef& cmd = *path.back();
        std::string where = render_usage(path);
        if (cmd.generated_help) {
            EXPECT_FALSE(cmd.has_options()) << where;
            return;
        }
        ++commands;
        // Every real command takes --output and -h/--help; only the root has -V.
        const cli::ArgDef* output = cmd.find_long("output");
        ASSERT_NE(output, nullptr) << where;
        EXPECT_EQ(output->short_name, 'o');
        EXPECT_EQ(output->possible_values, (std::vector<std::string>{"auto", "json", "text"}));
        ASSERT_NE(cmd.find_short('h'), nullptr) << where;
        EXPECT_EQ(cmd.find_short('V') != nullptr, path.size() == 1) << where;
        // Help order: the command's own options, then --output, then help and version.
        std::vector<std::string> tail;
        for (const auto& arg : cmd.args) {
            if (!arg.is_positional()) {
                tail.push_back(arg.id);
            }
        }
        std::vector<std::string> expected_end =
            path.size() == 1 ? std::vector<std::string>{"output", "help", "version"}
                             : std::vector<std::string>{"output", "help"};
        ASSERT_GE(tail.size(), expected_end.size());
        EXPECT_EQ(std::vector<std::string>(tail.end() - static_cast<long>(expected_end.size()),
                                           tail.end()),
                  expected_end)
            << where;
        for (const auto& arg : cmd.args) {
            if (arg.short_name != 0) {
                shorts.insert(arg.short_name);
            }
            if (arg.takes_value()) {
                EXPECT_FALSE(arg.value_name.empty()) << arg.id;
            }
            EXPECT_EQ(arg.split_commas, arg.id == "fields") << where << " " << arg.id;
        }
    });
    EXPECT_EQ(commands, 9); // the root, seven commands and `docker clean`
    EXPECT_EQ(shorts, (std::set<char>{'o', 'y', 'h', 'V'}));
}

TEST(CliHelp, ShortRootPageLayout) {
    cli::CommandDef root = cli_command();
    EXPECT_EQ(cli::render_help({&root}, false, false),
              "Find and safely clean developer caches across macOS and Linux\n"
              "\n"
              "Usage: quillbarrow [OPTIONS] [COMMAND]\n"
              "\n"
              "Commands:\n"
              "  tui          Browse caches and press `d` to delete the focused entry\n"
              "  scan         Find and size developer caches without changing anything\n"
              "  docker       Inspect Docker-managed storage without changing daemon state\n"
              "  clean        Safely remove eligible caches after confirmation\n"
              "  catalog      List every cache kind QuillBarrow knows how to identify\n"
              "  schema       Print the machine-readable cli-contract.dev v0.3 contract\n"
              "  completions  Generate a shell completion script\n"
              "  help         Print this message or the help of the given subcommand(s)\n"
              "\n"
              "Options:\n"
              "  -o, --output <OUTPUT>  Output format; auto = text on a TTY, JSON when piped "
              "[default: auto] [possible values: auto, json, text]\n"
              "  -h, --help             Print help (see more with '--help')\n"
              "  -V, --version          Print version\n");
}

TEST(CliHelp, LongPagesAndPositionals) {
    cli::CommandDef root = cli_command();
    std::string root_long = cli::render_help({&root}, true, false);
    EXPECT_EQ(root_long.rfind("Find and safely clean developer caches across macOS and Linux.\n\n"
                              "Running without a command opens the TUI",
                              0),
              0u);
    EXPECT_NE(root_long.find("  -o, --output <OUTPUT>\n"
                             "          Output format; auto = text on a TTY, JSON when piped\n"
                             "\n"
                             "          [default: auto]\n"
                             "          [possible values: auto, json, text]\n"
                             "\n"
                             "  -h, --help\n"
                             "          Print help (see a summary with '-h')\n"),
              std::string::npos);

    const cli::CommandDef* scan = root.find_subcommand("scan");
    std::string scan_short = cli::render_help({&root, scan}, false, false);
    // Options without a short form line up with the long names of those that have one.
    EXPECT_NE(scan_short.find("\n      --protect-days <PROTECT_DAYS>  Consider caches modified "
                              "within this many days protected [default: 7]\n"),
              std::string::npos);
    EXPECT_NE(scan_short.find("\n  -o, --output <OUTPUT>              Output format"),
              std::string::npos);
    EXPECT_NE(scan_short.find("\n  -h, --help                         Print help\n"),
              std::string::npos);
    EXPECT_EQ(scan_short.find("Commands:"), std::string::npos);
    EXPECT_EQ(scan_short.find("--version"), std::string::npos);

    const cli::CommandDef* schema = root.find_subcommand("schema");
    std::string schema_page = cli::render_help({&root, schema}, false, false);
    EXPECT_NE(schema_page.find("Usage: quillbarrow schema [OPTIONS] [PATH]...\n\nArguments:\n"
                               "  [PATH]...  Optional command path used to narrow the contract\n"),
              std::string::npos);
    const cli::CommandDef* completions = root.find_subcommand("completions");
    EXPECT_NE(cli::render_help({&root, completions}, false, false)
                  .find("Arguments:\n  <SHELL>  [possible values: bash, elvish, fish, powershell, "
                        "zsh]\n"),
              std::string::npos);
    const cli::CommandDef* help = root.find_subcommand("help");
    EXPECT_EQ(cli::render_help({&root, help}, true, false),
              "Print this message or the help of the given subcommand(s)\n\n"
              "Usage: quillbarrow help [COMMAND]...\n\n"
              "Arguments:\n"
              "  [COMMAND]...\n"
              "          Print help for the subcommand(s)\n");
}

TEST(CliHelp, StylesOnlyWhereWanted) {
    cli::CommandDef root = cli_command();
    const cli::CommandDef* docker = root.find_subcommand("docker");
    for (bool long_page : {false, true}) {
        std::string plain = cli::render_help({&root, docker}, long_page, false);
        std::string styled = cli::render_help({&root, docker}, long_page, true);
        EXPECT_EQ(plain.find('\x1b'), std::string::npos);
        EXPECT_NE(styled.find("\x1b[1m\x1b[4mUsage:\x1b[0m"), std::string::npos);
        EXPECT_NE(styled.find("\x1b[1m\x1b[4mOptions:\x1b[0m"), std::string::npos);
        EXPECT_NE(styled.find("\x1b[1m\x1b[4mCommands:\x1b[0m"), std::string::npos);
        // The styles add nothing else: the columns stay where they are.
        EXPECT_EQ(strip_styles(styled), plain);
    }
    EXPECT_TRUE(cli::help_styles_wanted(true, nullptr));
    EXPECT_TRUE(cli::help_styles_wanted(true, ""));
    EXPECT_FALSE(cli::help_styles_wanted(true, "1"));
    EXPECT_FALSE(cli::help_styles_wanted(false, nullptr));
}

TEST(CliSuggest, JaroSimilarityAndThreshold) {
    EXPECT_NEAR(cli::jaro_similarity("MARTHA", "MARHTA"), 0.944444, 1e-6);
    EXPECT_NEAR(cli::jaro_similarity("DIXON", "DICKSONX"), 0.766667, 1e-6);
    EXPECT_DOUBLE_EQ(cli::jaro_similarity("", ""), 1.0);
    EXPECT_DOUBLE_EQ(cli::jaro_similarity("abc", ""), 0.0);
    EXPECT_DOUBLE_EQ(cli::jaro_similarity("abc", "xyz"), 0.0);
    // Characters, not bytes: one accented letter differs by one character.
    EXPECT_NEAR(cli::jaro_similarity("caf\xC3\xA9", "cafe"), cli::jaro_similarity("cafx", "cafe"),
                1e-12);

    EXPECT_EQ(cli::similar_names("sacn", {"tui", "scan", "docker"}),
              (std::vector<std::string>{"scan"}));
    EXPECT_TRUE(cli::similar_names("zzz", {"tui", "scan"}).empty());
    // Most similar first.
    EXPECT_EQ(cli::similar_names("clea", {"catalog", "clean"}).front(), "clean");
    EXPECT_EQ(cli::similar_tip("value", {"a", "b"}), "some similar values exist: 'a', 'b'");
}

} // namespace
} // namespace qb
