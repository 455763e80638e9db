#include "main/cli.hpp"

#include "common/version.hpp"
#include "schema/contract.hpp"

#include <fmt/format.h>

namespace qb {
namespace {

using cli::ArgAction;
using cli::ArgDef;
using cli::CommandDef;
using cli::ValueParser;

// The value lists, in the order of their enumerations.
const std::vector<std::string> kScopeNames{"all", "project", "global"};
const std::vector<std::string> kOutputNames{"auto", "json", "text"};
const std::vector<std::string> kShellNames{"bash", "elvish", "fish", "powershell", "zsh"};

ArgDef option(std::string id, std::string long_name, std::string value_name, std::string help,
              ValueParser parser = ValueParser::Text) {
    ArgDef arg;
    arg.id = std::move(id);
    arg.long_name = std::move(long_name);
    arg.value_name = std::move(value_name);
    arg.help = std::move(help);
    arg.parser = parser;
    return arg;
}

ArgDef flag(std::string id, std::string long_name, std::string help) {
    ArgDef arg =
        option(std::move(id), std::move(long_name), "", std::move(help), ValueParser::None);
    arg.action = ArgAction::SetTrue;
    return arg;
}

ArgDef with_default(ArgDef arg, std::string value) {
    arg.default_value = std::move(value);
    return arg;
}

ArgDef repeatable(ArgDef arg) {
    arg.action = ArgAction::Append;
    return arg;
}

ArgDef choice(ArgDef arg, const std::vector<std::string>& names) {
    arg.parser = ValueParser::Choice;
    arg.possible_values = names;
    return arg;
}

ArgDef roots_arg() {
    return repeatable(option("roots", "root", "PATH",
                             "Project directory to scan. Repeat for multiple roots",
                             ValueParser::Path));
}

ArgDef scope_arg(std::string help, std::string default_scope) {
    return with_default(choice(option("scope", "scope", "SCOPE", std::move(help)), kScopeNames),
                        std::move(default_scope));
}

ArgDef kinds_arg(std::string help) {
    return repeatable(option("kinds", "kind", "KIND", std::move(help)));
}

ArgDef protect_days_arg(std::string help) {
    return with_default(option("protect_days", "protect-days", "PROTECT_DAYS", std::move(help),
                               ValueParser::Unsigned),
                        fmt::format("{}", kDefaultProtectDays));
}

ArgDef limit_arg() {
    return with_default(option("limit", "limit", "LIMIT", "Maximum records returned in this page",
                               ValueParser::Limit),
                        fmt::format("{}", kDefaultLimit));
}

ArgDef offset_arg() {
    return with_default(
        option("offset", "offset", "OFFSET", "Zero-based record offset", ValueParser::Unsigned),
        fmt::format("{}", kDefaultOffset));
}

ArgDef fields_arg(std::string help) {
    ArgDef arg = repeatable(option("fields", "fields", "FIELD", std::move(help)));
    arg.split_commas = true;
    return arg;
}

ArgDef dry_run_arg(std::string help) {
    return flag("dry_run", "dry-run", std::move(help));
}

ArgDef yes_arg(std::string help) {
    ArgDef arg = flag("yes", "yes", std::move(help));
    arg.short_name = 'y';
    return arg;
}

CommandDef command(std::string name, std::string about, std::vector<ArgDef> args) {
    CommandDef cmd;
    cmd.name = std::move(name);
    cmd.about = std::move(about);
    cmd.args = std::move(args);
    return cmd;
}

constexpr const char* kScopeHelp =
    "Include project caches, global caches and recognized temporary storage, or both";
constexpr const char* kKindHelp = "Restrict discovery to a cache kind from `quillbarrow catalog`";
constexpr const char* kReportFieldsHelp = "Report fields to include in structured output";

} // namespace

void define_subcommands(CommandDef& root) {
    root.subcommands.push_back(
        command("tui", "Browse caches and press `d` to delete the focused entry",
                {roots_arg(), scope_arg(kScopeHelp, "all"), kinds_arg(kKindHelp)}));
    root.subcommands.push_back(command(
        "scan", "Find and size developer caches without changing anything",
        {roots_arg(), scope_arg(kScopeHelp, "all"), kinds_arg(kKindHelp),
         protect_days_arg("Consider caches modified within this many days protected"), limit_arg(),
         offset_arg(), fields_arg("Candidate fields to include. Comma-separated or repeatable")}));

    CommandDef docker =
        command("docker", "Inspect Docker-managed storage without changing daemon state",
                {limit_arg(), offset_arg(),
                 fields_arg("Native resource fields to include. Comma-separated or repeatable")});
    docker.subcommands.push_back(
        command("clean", "Prune ordinary Docker build cache after a fresh preview and confirmation",
                {dry_run_arg("Preview the build-cache prune without changing Docker state"),
                 yes_arg("Confirm the build-cache prune non-interactively"),
                 fields_arg(kReportFieldsHelp)}));
    root.subcommands.push_back(std::move(docker));

    root.subcommands.push_back(command(
        "clean", "Safely remove eligible caches after confirmation",
        {roots_arg(),
         scope_arg("Clean project caches, global caches and recognized temporary storage, or both",
                   "project"),
         kinds_arg("Restrict cleanup to a cache kind from `quillbarrow catalog`"),
         protect_days_arg("Protect caches modified within this many days"),
         flag("include_recent", "include-recent",
              "Include recently modified caches that are protected by default"),
         dry_run_arg("Report what would be removed without changing the filesystem"),
         yes_arg("Confirm cleanup non-interactively"), fields_arg(kReportFieldsHelp)}));
    root.subcommands.push_back(
        command("catalog", "List every cache kind QuillBarrow knows how to identify",
                {limit_arg(), offset_arg(),
                 fields_arg("Catalog fields to include. Comma-separated or repeatable")}));

    ArgDef path_words;
    path_words.id = "path";
    path_words.value_name = "PATH";
    path_words.help = "Optional command path used to narrow the contract";
    path_words.action = ArgAction::Append;
    path_words.names_commands = true;
    root.subcommands.push_back(command("schema",
                                       fmt::format("Print the machine-readable {} v{} contract",
                                                   kContractFormatDomain, kContractFormatVersion),
                                       {path_words}));

    ArgDef shell;
    shell.id = "shell";
    shell.value_name = "SHELL";
    shell.required = true;
    root.subcommands.push_back(
        command("completions", "Generate a shell completion script", {choice(shell, kShellNames)}));
}

CommandDef cli_command() {
    CommandDef root;
    root.name = "quillbarrow";
    define_subcommands(root);
    ArgDef output =
        with_default(choice(option("output", "output", "OUTPUT",
                                   "Output format; auto = text on a TTY, JSON when piped"),
                            kOutputNames),
                     "auto");
    output.short_name = 'o';
    output.global = true;
    root.args.push_back(std::move(output));
    root.version = std::string(kProgramVersion);
    root.about = "Find and safely clean developer caches across macOS and Linux";
    root.long_about = fmt::format(
        "Find and safely clean developer caches across macOS and Linux.\n\n"
        "Running without a command opens the TUI on a terminal and performs a read-only JSON "
        "scan when piped. Run `quillbarrow schema` for the machine-readable {} v{} contract.",
        kContractFormatDomain, kContractFormatVersion);
    cli::complete_tree(root);
    return root;
}

namespace {

ScopeFilter scope_of(const cli::LevelMatches& m) {
    return static_cast<ScopeFilter>(m.one<cli::Choice>("scope").index);
}

} // namespace

Result<Cli, cli::ParseError> parse_cli(const std::vector<std::string>& args,
                                       cli::QuotedWords quoted) {
    CommandDef root = cli_command();
    auto parsed = cli::parse_command_line(root, args, quoted);
    if (!parsed) {
        return unexpected(std::move(parsed.error()));
    }
    const std::vector<cli::LevelMatches>& levels = parsed->levels;
    Cli cli;
    if (levels.size() > 1) {
        const cli::LevelMatches& m = levels[1];
        const std::string& name = m.command->name;
        if (name == "tui") {
            cli.command = TuiArgs{m.strings("roots"), m.strings("kinds"), scope_of(m)};
        } else if (name == "scan") {
            cli.command = ScanArgs{m.strings("roots"),
                                   scope_of(m),
                                   m.strings("kinds"),
                                   m.one<std::uint64_t>("protect_days"),
                                   m.one<std::uint64_t>("limit"),
                                   m.one<std::uint64_t>("offset"),
                                   m.strings("fields")};
        } else if (name == "docker") {
            DockerArgs docker;
            if (levels.size() > 2) {
                const cli::LevelMatches& c = levels[2];
                docker.command = DockerCleanArgs{c.one<bool>("dry_run"), c.one<bool>("yes"),
                                                 c.strings("fields")};
            }
            docker.inspection = DockerInspectionArgs{
                m.one<std::uint64_t>("limit"), m.one<std::uint64_t>("offset"), m.strings("fields")};
            cli.command = std::move(docker);
        } else if (name == "clean") {
            cli.command = CleanArgs{m.strings("roots"),
                                    scope_of(m),
                                    m.strings("kinds"),
                                    m.one<std::uint64_t>("protect_days"),
                                    m.one<bool>("include_recent"),
                                    m.one<bool>("dry_run"),
                                    m.one<bool>("yes"),
                                    m.strings("fields")};
        } else if (name == "catalog") {
            cli.command = CatalogArgs{m.one<std::uint64_t>("limit"), m.one<std::uint64_t>("offset"),
                                      m.strings("fields")};
        } else if (name == "schema") {
            cli.command = Schema{m.strings("path")};
        } else if (name == "completions") {
            cli.command =
                Completions{static_cast<CompletionShell>(m.one<cli::Choice>("shell").index)};
        } else {
            cli::definition_mismatch(name, "The command has no argument record");
        }
    }
    // The output option may stand at every level; the one given last wins.
    const cli::LevelMatches* chosen = &levels.front();
    std::size_t chosen_at = 0;
    for (const cli::LevelMatches& m : levels) {
        if (auto at = m.last_position("output"); at && *at >= chosen_at) {
            chosen = &m;
            chosen_at = *at;
        }
    }
    cli.output = static_cast<OutputFormat>(chosen->one<cli::Choice>("output").index);
    return cli;
}

} // namespace qb
