#include "main/cli.hpp"
#include "main/cli_values.hpp"

#include <fmt/format.h>
#include <gtest/gtest.h>

namespace qb {
namespace {

std::vector<std::string> argv_of(std::vector<std::string> words) {
    words.insert(words.begin(), "quillbarrow");
    return words;
}

Cli parse_ok(std::vector<std::string> words) {
    auto parsed = parse_cli(argv_of(words));
    if (!parsed) {
        ADD_FAILURE() << "parse failed:\n" << parsed.error().text;
        return {};
    }
    return std::move(*parsed);
}

cli::ParseError parse_err(std::vector<std::string> words) {
    auto parsed = parse_cli(argv_of(words));
    if (parsed) {
        ADD_FAILURE() << "parse unexpectedly succeeded";
        return {cli::ParseErrorKind::UnknownArgument, "", ""};
    }
    return std::move(parsed.error());
}

// The first line of a parse error, without the "error: " prefix.
std::string first_line(const cli::ParseError& e) {
    std::string line = e.text.substr(0, e.text.find('\n'));
    return line.rfind("error: ", 0) == 0 ? line.substr(7) : line;
}

TEST(CliValues, UnsignedDecimalTexts) {
    EXPECT_EQ(*cli::parse_u64_decimal("0"), 0u);
    EXPECT_EQ(*cli::parse_u64_decimal("+7"), 7u);
    EXPECT_EQ(*cli::parse_u64_decimal("007"), 7u);
    EXPECT_EQ(*cli::parse_u64_decimal("18446744073709551615"), 18446744073709551615u);
    const std::string empty = "cannot parse integer from empty string";
    const std::string digit = "invalid digit found in string";
    const std::string large = "number too large to fit in target type";
    EXPECT_EQ(cli::parse_u64_decimal("").error(), empty);
    for (const char* bad : {"+", "-", "-1", "1.5", " 1", "1 ", "++1", "0x10", "1e3"}) {
        EXPECT_EQ(cli::parse_u64_decimal(bad).error(), digit) << bad;
    }
    EXPECT_EQ(cli::parse_u64_decimal("18446744073709551616").error(), large);
    // Whichever problem comes first decides.
    EXPECT_EQ(cli::parse_u64_decimal("99999999999999999999x").error(), large);
    EXPECT_EQ(cli::parse_u64_decimal("9x9999999999999999999999").error(), digit);
}

TEST(CliValues, LimitTexts) {
    EXPECT_EQ(*cli::parse_limit("1"), 1u);
    EXPECT_EQ(*cli::parse_limit("1000"), 1000u);
    EXPECT_EQ(*cli::parse_limit("+7"), 7u);
    const std::string range = "limit must be from 1 through 1000";
    const std::string integer = "limit must be an integer from 1 through 1000";
    EXPECT_EQ(cli::parse_limit("0").error(), range);
    EXPECT_EQ(cli::parse_limit("1001").error(), range);
    EXPECT_EQ(cli::parse_limit("18446744073709551615").error(), range);
    for (const char* bad : {"", "abc", "-5", "123456789012345678901"}) {
        EXPECT_EQ(cli::parse_limit(bad).error(), integer) << bad;
    }
}

TEST(CliParse, DefaultsAndRecords) {
    Cli none = parse_ok({});
    EXPECT_FALSE(none.command.has_value());
    EXPECT_EQ(none.output, OutputFormat::Auto);

    auto scan = std::get<ScanArgs>(*parse_ok({"scan"}).command);
    EXPECT_TRUE(scan.roots.empty());
    EXPECT_TRUE(scan.kinds.empty());
    EXPECT_TRUE(scan.fields.empty());
    EXPECT_EQ(scan.scope, ScopeFilter::All);
    EXPECT_EQ(scan.protect_days, 7u);
    EXPECT_EQ(scan.limit, 100u);
    EXPECT_EQ(scan.offset, 0u);

    EXPECT_EQ(std::get<CleanArgs>(*parse_ok({"clean"}).command).scope, ScopeFilter::Project);
    EXPECT_EQ(std::get<TuiArgs>(*parse_ok({"tui"}).command).scope, ScopeFilter::All);

    auto clean = std::get<CleanArgs>(*parse_ok({"clean", "--dry-run", "--yes", "--include-recent",
                                                "--protect-days", "0", "--scope", "global"})
                                          .command);
    EXPECT_TRUE(clean.dry_run);
    EXPECT_TRUE(clean.yes);
    EXPECT_TRUE(clean.include_recent);
    EXPECT_EQ(clean.protect_days, 0u);
    EXPECT_EQ(clean.scope, ScopeFilter::Global);

    EXPECT_EQ(std::get<Completions>(*parse_ok({"completions", "powershell"}).command).shell,
              CompletionShell::Powershell);
}

TEST(CliParse, ListsSplittingAndOrder) {
    auto scan = std::get<ScanArgs>(
        *parse_ok({"scan", "--fields", "kind,path", "--root", "/a,b", "--fields=bytes", "--kind",
                   "cargo-target,x", "--root", "/c", "--kind", ""})
             .command);
    EXPECT_EQ(scan.fields, (std::vector<std::string>{"kind", "path", "bytes"}));
    EXPECT_EQ(scan.roots, (std::vector<std::string>{"/a,b", "/c"}));
    EXPECT_EQ(scan.kinds, (std::vector<std::string>{"cargo-target,x", ""}));

    // Empty pieces survive the comma split; validation rejects them later.
    auto fields = std::get<ScanArgs>(*parse_ok({"scan", "--fields", ",kind,,"}).command).fields;
    EXPECT_EQ(fields, (std::vector<std::string>{"", "kind", "", ""}));

    EXPECT_TRUE(std::get<Schema>(*parse_ok({"schema"}).command).path.empty());
    EXPECT_EQ(std::get<Schema>(*parse_ok({"schema", "docker", "-o", "json", "clean"}).command).path,
              (std::vector<std::string>{"docker", "clean"}));
    // After "--" every word is a value, even one that looks like an option.
    EXPECT_EQ(std::get<Schema>(*parse_ok({"schema", "--", "--help", "-o"}).command).path,
              (std::vector<std::string>{"--help", "-o"}));
    // A lone "-" is a value, not an option.
    EXPECT_EQ(std::get<ScanArgs>(*parse_ok({"scan", "--kind", "-"}).command).kinds,
              (std::vector<std::string>{"-"}));
}

TEST(CliParse, DockerLevelsKeepTheirOwnArguments) {
    auto plain = std::get<DockerArgs>(*parse_ok({"docker", "--limit", "5"}).command);
    EXPECT_FALSE(plain.command.has_value());
    EXPECT_EQ(plain.inspection.limit, 5u);

    auto nested = std::get<DockerArgs>(*parse_ok({"docker", "--limit", "5", "--fields", "kind",
                                                  "clean", "--fields", "provider", "-y"})
                                            .command);
    ASSERT_TRUE(nested.command.has_value());
    EXPECT_TRUE(nested.command->yes);
    EXPECT_FALSE(nested.command->dry_run);
    EXPECT_EQ(nested.command->fields, (std::vector<std::string>{"provider"}));
    EXPECT_EQ(nested.inspection.limit, 5u);
    EXPECT_EQ(nested.inspection.fields, (std::vector<std::string>{"kind"}));

    auto after = std::get<DockerArgs>(*parse_ok({"docker", "clean", "--fields", "kind"}).command);
    EXPECT_TRUE(after.inspection.fields.empty());
    EXPECT_EQ(after.inspection.limit, 100u);

    EXPECT_EQ(first_line(parse_err({"docker", "clean", "--limit", "5"})),
              "unexpected argument '--limit' found");
}

TEST(CliParse, OutputAtEveryLevelLastWins) {
    EXPECT_EQ(parse_ok({"-o", "json", "scan"}).output, OutputFormat::Json);
    EXPECT_EQ(parse_ok({"scan", "-o", "json"}).output, OutputFormat::Json);
    EXPECT_EQ(parse_ok({"docker", "clean", "-o", "json"}).output, OutputFormat::Json);
    EXPECT_EQ(parse_ok({"scan", "--output=text"}).output, OutputFormat::Text);
    EXPECT_EQ(parse_ok({"-ojson"}).output, OutputFormat::Json);
    EXPECT_EQ(parse_ok({"-o=text"}).output, OutputFormat::Text);
    EXPECT_EQ(parse_ok({"-o", "text", "scan", "-o", "json"}).output, OutputFormat::Json);
    EXPECT_EQ(parse_ok({"docker", "-o", "json", "clean", "-o", "text"}).output, OutputFormat::Text);
    EXPECT_EQ(parse_ok({"docker", "clean", "-o", "text"}).output, OutputFormat::Text);
    // A flag and the output option share one cluster.
    auto clean = parse_ok({"clean", "-yo", "json"});
    EXPECT_EQ(clean.output, OutputFormat::Json);
    EXPECT_TRUE(std::get<CleanArgs>(*clean.command).yes);

    auto twice = parse_err({"scan", "-o", "json", "--output", "text"});
    EXPECT_EQ(twice.kind, cli::ParseErrorKind::ArgumentUsedTwice);
    EXPECT_EQ(first_line(twice), "the argument '--output <OUTPUT>' cannot be used multiple times");
}

TEST(CliParse, MultiplicityAndFlags) {
    auto scope = parse_err({"scan", "--scope", "all", "--scope", "global"});
    EXPECT_EQ(scope.kind, cli::ParseErrorKind::ArgumentUsedTwice);
    EXPECT_EQ(first_line(scope), "the argument '--scope <SCOPE>' cannot be used multiple times");
    EXPECT_EQ(first_line(parse_err({"clean", "--yes", "-y"})),
              "the argument '--yes' cannot be used multiple times");
    EXPECT_EQ(first_line(parse_err({"scan", "--limit", "5", "--limit=6"})),
              "the argument '--limit <LIMIT>' cannot be used multiple times");

    auto valued_flag = parse_err({"clean", "--dry-run=yes"});
    EXPECT_EQ(valued_flag.kind, cli::ParseErrorKind::UnexpectedValue);
    EXPECT_EQ(first_line(valued_flag),
              "unexpected value 'yes' for '--dry-run' found; no more were expected");

    // An option never takes a following word that looks like an option as its value.
    auto missing = parse_err({"scan", "--limit", "--offset", "1"});
    EXPECT_EQ(missing.kind, cli::ParseErrorKind::NoValue);
    EXPECT_EQ(first_line(missing),
              "a value is required for '--limit <LIMIT>' but none was supplied");
    EXPECT_EQ(parse_err({"scan", "--root"}).kind, cli::ParseErrorKind::NoValue);

    auto root_empty = parse_err({"scan", "--root="});
    EXPECT_EQ(first_line(root_empty),
              "a value is required for '--root <PATH>' but none was supplied");

    EXPECT_EQ(first_line(parse_err({"--dry-run"})), "unexpected argument '--dry-run' found");
    EXPECT_EQ(first_line(parse_err({"scan", "-V"})), "unexpected argument '-V' found");
    EXPECT_EQ(first_line(parse_err({"scan", "extra"})), "unexpected argument 'extra' found");
    EXPECT_EQ(first_line(parse_err({"completions", "zsh", "bash"})),
              "unexpected argument 'bash' found");
    // After "--" a command name is only a word, and the root takes none.
    EXPECT_EQ(first_line(parse_err({"--", "scan"})), "unexpected argument 'scan' found");

    auto no_shell = parse_err({"completions"});
    EXPECT_EQ(no_shell.kind, cli::ParseErrorKind::MissingRequired);
    EXPECT_NE(no_shell.text.find("the following required arguments were not provided:\n  <SHELL>"),
              std::string::npos);
}

TEST(CliParse, ValueErrorsNameTheArgumentAndReason) {
    auto limit = parse_err({"scan", "--limit", "0"});
    EXPECT_EQ(limit.kind, cli::ParseErrorKind::ValueValidation);
    EXPECT_EQ(first_line(limit),
              "invalid value '0' for '--limit <LIMIT>': limit must be from 1 through 1000");
    EXPECT_EQ(first_line(parse_err({"catalog", "--limit=-5"})),
              "invalid value '-5' for '--limit <LIMIT>': limit must be an integer from 1 "
              "through 1000");
    EXPECT_EQ(first_line(parse_err({"scan", "--protect-days=-1"})),
              "invalid value '-1' for '--protect-days <PROTECT_DAYS>': invalid digit found in "
              "string");
    EXPECT_EQ(first_line(parse_err({"docker", "--offset="})),
              "invalid value '' for '--offset <OFFSET>': cannot parse integer from empty string");

    for (auto words : std::vector<std::vector<std::string>>{
             {"scan", "--scope", "Project"}, {"scan", "--scope", "proj"}, {"tui", "--scope=ALL"}}) {
        auto e = parse_err(words);
        EXPECT_EQ(e.kind, cli::ParseErrorKind::InvalidValue) << words.back();
        EXPECT_NE(e.text.find("for '--scope <SCOPE>'\n  [possible values: all, project, global]"),
                  std::string::npos)
            << e.text;
    }
    auto output = parse_err({"--output", "JSON"});
    EXPECT_NE(output.text.find("[possible values: auto, json, text]"), std::string::npos);
    // Case matters, so "JSON" shares no letter with "json" and gets no tip.
    EXPECT_EQ(output.text.find("tip:"), std::string::npos);
    EXPECT_NE(parse_err({"-o", "jsn"}).text.find("tip: a similar value exists: 'json'"),
              std::string::npos);
    for (const char* shell : {"Zsh", "sh", "tcsh"}) {
        auto e = parse_err({"completions", shell});
        EXPECT_EQ(first_line(e), fmt::format("invalid value '{}' for '<SHELL>'", shell));
        EXPECT_NE(e.text.find("[possible values: bash, elvish, fish, powershell, zsh]"),
                  std::string::npos);
    }
}

TEST(CliParse, SuggestionsForCloseNames) {
    auto sub = parse_err({"sacn"});
    EXPECT_EQ(sub.kind, cli::ParseErrorKind::InvalidSubcommand);
    EXPECT_EQ(sub.text, "error: unrecognized subcommand 'sacn'\n\n"
                        "  tip: a similar subcommand exists: 'scan'\n\n"
                        "Usage: quillbarrow [OPTIONS] [COMMAND]\n\n"
                        "For more information, try '--help'.\n");
    EXPECT_NE(parse_err({"scan", "--limt", "5"})
                  .text.find("tip: a similar argument exists: "
                             "'--limit'"),
              std::string::npos);
    EXPECT_NE(parse_err({"docker", "claen"}).text.find("a similar subcommand exists: 'clean'"),
              std::string::npos);
    // A mistyped option or value gets the one closest name, not every passable one.
    EXPECT_NE(parse_err({"scan", "--kinds", "x"})
                  .text.find("\n  tip: a similar argument exists: '--kind'\n"),
              std::string::npos);
    EXPECT_NE(parse_err({"clean", "--rot", "x"})
                  .text.find("\n  tip: a similar argument exists: '--root'\n"),
              std::string::npos);
    EXPECT_NE(
        parse_err({"completions", "Zsh"}).text.find("\n  tip: a similar value exists: 'zsh'\n"),
        std::string::npos);
    // Nothing close: no tip at all.
    auto far = parse_err({"zzzzzz"});
    EXPECT_EQ(far.text.find("tip:"), std::string::npos);
    EXPECT_NE(far.text.find("Usage: quillbarrow [OPTIONS] [COMMAND]"), std::string::npos);

    // The "--" tip is offered only for a word that looks like an option and is not already
    // behind a "--": for any other extra word it would suggest a command line that fails too.
    EXPECT_NE(parse_err({"schema", "--bogus"})
                  .text.find("tip: to pass '--bogus' as a value, use '-- --bogus'"),
              std::string::npos);
    EXPECT_NE(parse_err({"completions", "zsh", "-x"})
                  .text.find("tip: to pass '-x' as a value, use '-- -x'"),
              std::string::npos);
    for (auto words : std::vector<std::vector<std::string>>{{"completions", "zsh", "bash"},
                                                            {"completions", "--", "zsh", "bash"},
                                                            {"completions", "--", "zsh", "-x"}}) {
        auto extra = parse_err(words);
        EXPECT_EQ(first_line(extra), fmt::format("unexpected argument '{}' found", words.back()));
        EXPECT_EQ(extra.text.find("tip:"), std::string::npos) << extra.text;
    }
}

// Words quoted in an error meant for a person carry no control character; JSON errors
// quote them exactly, and the message keeps its own line breaks either way.
TEST(CliParse, QuotedWordsArePrintableForAPerson) {
    const std::string r = "\xEF\xBF\xBD";
    struct Case {
        std::vector<std::string> words;
        std::string word;
        std::string shown;
    };
    for (const Case& c : std::vector<Case>{
             {{"scan", "--limit", "1\x1b[2J"}, "1\x1b[2J", "1" + r + "[2J"},
             {{"scan", "--scope", "a\x07"}, "a\x07", "a" + r},
             {{"clean", "--yes=\x1b]0;x\x07"}, "\x1b]0;x\x07", r + "]0;x" + r},
             {{"schema", "--bo\tgus"}, "--bo\tgus", "--bo" + r + "gus"},
             {{"sc\nan"}, "sc\nan", "sc" + r + "an"},
             {{"help", "x\xC2\x85"}, "x\xC2\x85", "x" + r},
         }) {
        SCOPED_TRACE(c.shown);
        auto exact = parse_cli(argv_of(c.words));
        auto shown = parse_cli(argv_of(c.words), cli::QuotedWords::Printable);
        ASSERT_FALSE(exact.has_value());
        ASSERT_FALSE(shown.has_value());
        EXPECT_NE(exact.error().text.find("'" + c.word + "'"), std::string::npos);
        const std::string& text = shown.error().text;
        EXPECT_NE(text.find("'" + c.shown + "'"), std::string::npos) << text;
        EXPECT_NE(text.find("\n\nUsage: "), std::string::npos) << text;
        for (char ch : text) {
            auto u = static_cast<unsigned char>(ch);
            EXPECT_TRUE(ch == '\n' || (u >= 0x20 && u != 0x7F)) << int(u);
        }
        EXPECT_EQ(text.find("\xC2\x85"), std::string::npos);
    }
}

TEST(CliParse, HelpAndVersionRequests) {
    auto version = parse_err({"--version"});
    EXPECT_EQ(version.kind, cli::ParseErrorKind::DisplayVersion);
    EXPECT_EQ(version.text, "quillbarrow 0.5.2\n");
    EXPECT_EQ(parse_err({"-o", "json", "-V"}).kind, cli::ParseErrorKind::DisplayVersion);

    auto short_page = parse_err({"scan", "-h"});
    auto long_page = parse_err({"scan", "--help"});
    EXPECT_EQ(short_page.kind, cli::ParseErrorKind::DisplayHelp);
    EXPECT_EQ(long_page.kind, cli::ParseErrorKind::DisplayHelp);
    EXPECT_NE(short_page.text, long_page.text);
    EXPECT_NE(short_page.text.find("Usage: quillbarrow scan [OPTIONS]"), std::string::npos);

    // The generated help command shows the long page of the command it names.
    EXPECT_EQ(parse_err({"help", "clean"}).text, parse_err({"clean", "--help"}).text);
    EXPECT_EQ(parse_err({"docker", "help", "clean"}).text,
              parse_err({"docker", "clean", "--help"}).text);
    EXPECT_EQ(parse_err({"help"}).text, parse_err({"--help"}).text);
    auto unknown = parse_err({"help", "sacn"});
    EXPECT_EQ(unknown.kind, cli::ParseErrorKind::InvalidSubcommand);
    EXPECT_NE(unknown.text.find("'scan'"), std::string::npos);
    EXPECT_EQ(parse_err({"help", "scan", "x"}).kind, cli::ParseErrorKind::InvalidSubcommand);

    // Parsing stops at the first problem or request, whichever comes first.
    EXPECT_EQ(parse_err({"scan", "--bogus", "--help"}).kind, cli::ParseErrorKind::UnknownArgument);
    EXPECT_EQ(parse_err({"scan", "--help", "--bogus"}).kind, cli::ParseErrorKind::DisplayHelp);
    EXPECT_EQ(parse_err({"clean", "-yh"}).kind, cli::ParseErrorKind::DisplayHelp);
}

TEST(CliParseDeathTest, ReadingAnUndefinedArgumentIsAnInternalFailure) {
    cli::CommandDef root = cli_command();
    auto matches = cli::parse_command_line(root, {"quillbarrow", "scan"});
    ASSERT_TRUE(matches.has_value());
    const cli::LevelMatches& scan = matches->levels.at(1);
    EXPECT_EXIT((void)scan.one<std::uint64_t>("nosuch"), testing::ExitedWithCode(101),
                "Mismatch between definition and access of `nosuch`");
    EXPECT_EXIT((void)scan.one<bool>("limit"), testing::ExitedWithCode(101),
                "Mismatch between definition and access of `limit`");
}

} // namespace
} // namespace qb
