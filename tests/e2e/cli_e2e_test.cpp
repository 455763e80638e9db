// The command line end to end: the built binary with a hermetic environment, standard
// input not a terminal and standard output and error on pipes.

#include "support/test_support.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace qb::test {
namespace {

using nlohmann::json;

class CliE2e : public testing::Test {
protected:
    ProcessResult run(const std::vector<std::string>& args) {
        ProcessOptions options;
        options.env = hermetic_env(sandbox_.path());
        options.cwd = sandbox_.path();
        return run_quillbarrow(args, options);
    }

    // The one JSON error line on standard error.
    static json error_of(const ProcessResult& r) {
        EXPECT_FALSE(r.err.empty());
        EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;
        return json::parse(r.err).at("error");
    }

    TempDir sandbox_;
};

TEST_F(CliE2e, ParseFailuresFollowTheErrorFormatPrescan) {
    auto text = run({"-o", "text", "scan", "--limit", "0"});
    EXPECT_EQ(text.exit_status, 3);
    EXPECT_EQ(text.out, "");
    EXPECT_EQ(text.err, "Error: error: invalid value '0' for '--limit <LIMIT>': limit must be "
                        "from 1 through 1000\n\n"
                        "Usage: quillbarrow scan [OPTIONS]\n\n"
                        "For more information, try '--help'.\n"
                        "Hint: see `quillbarrow --help` or `quillbarrow schema`\n");

    // No output option and standard error on a pipe: JSON, the same message trimmed.
    auto piped = run({"scan", "--limit", "0"});
    EXPECT_EQ(piped.exit_status, 3);
    EXPECT_EQ(piped.out, "");
    json e = error_of(piped);
    EXPECT_EQ(e["kind"], "usage");
    EXPECT_EQ(e["exit_code"], 3);
    EXPECT_EQ(e["message"], "error: invalid value '0' for '--limit <LIMIT>': limit must be "
                            "from 1 through 1000\n\nUsage: quillbarrow scan [OPTIONS]\n\n"
                            "For more information, try '--help'.");

    EXPECT_EQ(run({"--output=text", "--bogus"}).err.rfind("Error: error: unexpected argument", 0),
              0u);
    // The first output option decides, even when a later one would win after parsing.
    EXPECT_EQ(run({"-o", "text", "-o", "json", "--bogus"}).err.rfind("Error: ", 0), 0u);
}

TEST_F(CliE2e, HelpVersionAndTipsGoWhereTheyBelong) {
    auto version = run({"-o", "json", "--version"});
    EXPECT_EQ(version.exit_status, 0);
    EXPECT_EQ(version.out, "quillbarrow 0.5.2\n");
    EXPECT_EQ(version.err, "");

    auto help_clean = run({"--output", "json", "help", "clean"});
    EXPECT_EQ(help_clean.exit_status, 0);
    EXPECT_EQ(help_clean.err, "");
    EXPECT_EQ(help_clean.out.rfind("Safely remove eligible caches after confirmation\n\n"
                                   "Usage: quillbarrow clean [OPTIONS]\n",
                                   0),
              0u);
    EXPECT_EQ(help_clean.out.find('\x1b'), std::string::npos); // not a terminal: no styles

    auto sub = run({"-o", "text", "sacn"});
    EXPECT_EQ(sub.exit_status, 3);
    EXPECT_NE(sub.err.find("unrecognized subcommand 'sacn'\n\n  tip: a similar subcommand "
                           "exists: 'scan'\n"),
              std::string::npos);
}

TEST_F(CliE2e, TerminalInterfaceRefusesJson) {
    auto r = run({"tui", "--output", "json"});
    EXPECT_EQ(r.exit_status, 3);
    EXPECT_EQ(r.out, "");
    json e = error_of(r);
    EXPECT_EQ(e["message"], "the TUI does not produce JSON; use `quillbarrow scan --output json`");
}

TEST_F(CliE2e, CatalogPagesAndFields) {
    auto all = run({"catalog"});
    ASSERT_EQ(all.exit_status, 0) << all.err;
    EXPECT_EQ(all.err, "");
    ASSERT_EQ(all.out.back(), '\n');
    EXPECT_EQ(all.out.find('\n'), all.out.size() - 1); // compact: one line
    json doc = json::parse(all.out);
    std::size_t total = doc["total"];
    EXPECT_GT(total, 0u);
    EXPECT_EQ(doc["returned"], total);
    EXPECT_EQ(doc["items"].size(), total);
    EXPECT_EQ(doc["truncated"], false);
    EXPECT_EQ(doc["items"][0].size(), 6u);

    json first = json::parse(run({"catalog", "--limit", "1"}).out);
    EXPECT_EQ(first["items"], json::array({doc["items"][0]}));
    EXPECT_EQ(first["truncated"], true);

    auto rows = run({"catalog", "--output=text"});
    EXPECT_EQ(rows.out.rfind("KIND\tECOSYSTEM\tSCOPE\tRESTORE\tCLEAN\n", 0), 0u);
    std::size_t lines = 0;
    for (char c : rows.out) {
        lines += c == '\n' ? 1 : 0;
    }
    EXPECT_EQ(lines, total + 1);

    // An unknown field is refused before anything else, with nothing on standard output.
    auto bad = run({"catalog", "--fields", "kind,bytes"});
    EXPECT_EQ(bad.exit_status, 2);
    EXPECT_EQ(bad.out, "");
    EXPECT_EQ(error_of(bad)["message"], "invalid input: unknown field bytes; expected one of "
                                        "kind, ecosystem, scope, description, network_restore, "
                                        "cleanable");
}

TEST_F(CliE2e, SchemaIsAlwaysPrettyJsonNarrowedByPath) {
    auto whole = run({"-o", "text", "schema"});
    ASSERT_EQ(whole.exit_status, 0) << whole.err;
    EXPECT_EQ(whole.out.rfind("{\n  \"", 0), 0u);
    EXPECT_EQ(whole.out.substr(whole.out.size() - 2), "}\n");
    json doc = json::parse(whole.out);
    EXPECT_GE(doc["commands"].size(), 8u);

    auto names = [&](std::vector<std::string> args) {
        args.insert(args.begin(), "schema");
        auto r = run(args);
        EXPECT_EQ(r.exit_status, 0);
        std::vector<std::string> out;
        json narrowed = json::parse(r.out);
        for (const json& cmd : narrowed["commands"]) {
            out.push_back(cmd["name"]);
        }
        return out;
    };
    EXPECT_EQ(names({"docker"}), (std::vector<std::string>{"docker", "docker clean"}));
    EXPECT_EQ(names({"docker", "clean"}), (std::vector<std::string>{"docker clean"}));
    EXPECT_TRUE(names({"nosuch", "--output", "json"}).empty());

    // The output mode changes nothing, and a path that names no command is no error.
    EXPECT_EQ(whole.err, "");
    EXPECT_EQ(run({"schema"}).out, whole.out);
    EXPECT_EQ(run({"schema", "--output", "json"}).out, whole.out);
    auto dock = run({"schema", "dock"});
    EXPECT_EQ(dock.exit_status, 0);
    EXPECT_EQ(dock.err, "");
    EXPECT_NE(dock.out.find("\n  \"commands\": [],\n"), std::string::npos);
    // An unknown option is still a usage error, reported before anything is printed.
    auto bogus = run({"schema", "docker", "--bogus"});
    EXPECT_EQ(bogus.exit_status, 3);
    EXPECT_EQ(bogus.out, "");
    EXPECT_EQ(error_of(bogus)["kind"], "usage");
}

TEST_F(CliE2e, ClosedStandardOutputIsAnInternalFailure) {
    for (const char* command : {"catalog", "schema"}) {
        ProcessOptions options;
        options.env = hermetic_env(sandbox_.path());
        options.close_stdout = true;
        auto r = run_quillbarrow({command}, options);
        EXPECT_EQ(r.signal, 0) << command;
        EXPECT_EQ(r.exit_status, 101) << command;
        EXPECT_EQ(r.err, "failed printing to stdout: Broken pipe (os error 32)\n") << command;
    }
}

// Runs the binary with standard input and output on a pseudo-terminal, through
// util-linux script(1).
ProcessResult run_on_terminal(const std::map<std::string, std::string>& env,
                              const std::string& args) {
    ProcessOptions options;
    options.env = env;
    return run_process({"/usr/bin/script", "-qec", binary_path() + " " + args, "/dev/null"},
                       options);
}

TEST_F(CliE2e, HelpIsStyledOnlyOnATerminalWithoutNoColor) {
    if (!exists_nofollow("/usr/bin/script")) {
        GTEST_SKIP() << "script(1) from util-linux is needed for a pseudo-terminal";
    }
    auto env = hermetic_env(sandbox_.path());
    auto styled = run_on_terminal(env, "-h");
    EXPECT_EQ(styled.exit_status, 0);
    EXPECT_NE(styled.out.find("\x1b[1m\x1b[4mUsage:\x1b[0m"), std::string::npos) << styled.out;
    env["NO_COLOR"] = "1";
    auto plain = run_on_terminal(env, "-h");
    EXPECT_EQ(plain.exit_status, 0);
    EXPECT_NE(plain.out.find("Usage: quillbarrow"), std::string::npos);
    EXPECT_EQ(plain.out.find('\x1b'), std::string::npos);
}

} // namespace
} // namespace qb::test
