// `scan`, and the scan that runs without a command, end to end over fixture trees.

#include "support/test_support.hpp"

#include <algorithm>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sstream>
#include <sys/stat.h>

namespace qb::test {
namespace {

using nlohmann::json;

std::vector<std::string> tabs_of(const std::string& line) {
    std::vector<std::string> cells;
    std::size_t start = 0;
    for (std::size_t tab; (tab = line.find('\t', start)) != std::string::npos; start = tab + 1) {
        cells.push_back(line.substr(start, tab - start));
    }
    cells.push_back(line.substr(start));
    return cells;
}

// Two projects: a Cargo build output of 5000 bytes and a node_modules of 3000 bytes.
class ScanE2e : public testing::Test {
protected:
    ScanE2e() {
        write_file(root() + "/rusty/Cargo.toml", "[package]\n");
        write_file(root() + "/rusty/target/debug/out.bin", std::string(5000, 'x'));
        write_file(root() + "/webby/package.json", "{}");
        write_file(root() + "/webby/node_modules/dep/index.js", std::string(3000, 'y'));
    }

    std::string root() const { return sandbox_ / "projects"; }

    ProcessResult run(const std::vector<std::string>& args,
                      std::optional<std::string> cwd = std::nullopt) {
        ProcessOptions options;
        options.env = hermetic_env(sandbox_ / "env");
        options.cwd = cwd ? *cwd : sandbox_.path();
        return run_quillbarrow(args, options);
    }

    json scan_json(std::vector<std::string> extra) {
        std::vector<std::string> args{"scan", "--root", root(), "--scope", "project"};
        args.insert(args.end(), extra.begin(), extra.end());
        auto r = run(args);
        EXPECT_EQ(r.exit_status, 0) << r.err;
        EXPECT_EQ(r.err, "");
        return json::parse(r.out);
    }

    TempDir sandbox_;
};

TEST_F(ScanE2e, JsonEnvelopeAndItems) {
    auto r = run({"scan", "--root", root(), "--scope", "project"});
    ASSERT_EQ(r.exit_status, 0) << r.err;
    ASSERT_EQ(r.out.back(), '\n');
    EXPECT_EQ(r.out.find('\n'), r.out.size() - 1);
    json doc = json::parse(r.out);
    EXPECT_EQ(doc["total"], 2);
    EXPECT_EQ(doc["returned"], 2);
    EXPECT_EQ(doc["truncated"], false);
    EXPECT_EQ(doc["limit"], 100);
    EXPECT_EQ(doc["offset"], 0);
    EXPECT_EQ(doc["total_bytes"], 8000);
    EXPECT_EQ(doc["warnings"], json::array());
    ASSERT_EQ(doc["items"].size(), 2u);
    const json& target = doc["items"][0]; // largest first
    EXPECT_EQ(target["kind"], "cargo-target");
    EXPECT_EQ(target["ecosystem"], "rust");
    EXPECT_EQ(target["scope"], "project");
    EXPECT_EQ(target["path"], root() + "/rusty/target");
    EXPECT_EQ(target["bytes"], 5000);
    EXPECT_EQ(target["age_days"], 0);
    EXPECT_TRUE(target["modified_unix"].is_number_unsigned());
    EXPECT_EQ(target["protected"], true); // modified today, within 7 days
    EXPECT_EQ(target["cleanable"], true);
    EXPECT_EQ(target.size(), 11u);
    EXPECT_EQ(doc["items"][1]["kind"], "node-modules");
    EXPECT_EQ(doc["items"][1]["network_restore"], true);
    std::uint64_t allocated = doc["items"][0]["allocated_bytes"].get<std::uint64_t>() +
                              doc["items"][1]["allocated_bytes"].get<std::uint64_t>();
    EXPECT_EQ(doc["total_allocated_bytes"], allocated);

    EXPECT_EQ(scan_json({"--protect-days", "0"})["items"][0]["protected"], false);
}

TEST_F(ScanE2e, PagingAndFields) {
    json page = scan_json({"--limit", "1", "--offset", "1"});
    EXPECT_EQ(page["returned"], 1);
    EXPECT_EQ(page["truncated"], false);
    EXPECT_EQ(page["items"][0]["kind"], "node-modules");
    EXPECT_EQ(page["total_bytes"], 8000); // totals cover every candidate

    json fields = scan_json({"--fields", "path,kind", "--fields=path"});
    for (const json& item : fields["items"]) {
        EXPECT_EQ(item.size(), 2u);
        EXPECT_TRUE(item.contains("kind") && item.contains("path"));
    }
    EXPECT_EQ(fields["total"], 2);
}

TEST_F(ScanE2e, TextTable) {
    auto r = run({"-o", "text", "scan", "--root", root(), "--scope", "project", "--limit", "1"});
    ASSERT_EQ(r.exit_status, 0) << r.err;
    std::vector<std::string> lines = lines_of(r.out);
    ASSERT_EQ(lines.size(), 3u) << r.out;
    EXPECT_EQ(lines[0].rfind("Found 2 storage locations using 7.8 KiB apparent (", 0), 0u);
    EXPECT_TRUE(lines[0].ends_with(" allocated) (output truncated)")) << lines[0];
    EXPECT_EQ(lines[1], "APPARENT\tALLOCATED\tAGE\tSCOPE\tKIND\tPATH");
    std::vector<std::string> row = tabs_of(lines[2]);
    ASSERT_EQ(row.size(), 6u) << lines[2];
    EXPECT_EQ(row[0], "4.9 KiB");
    EXPECT_EQ(row[2], "0d");
    EXPECT_EQ(row[3], "Project");
    EXPECT_EQ(row[4], "cargo-target");
    EXPECT_EQ(row[5], root() + "/rusty/target [protected]");
}

TEST_F(ScanE2e, PathsThatAreNotUtf8ShowReplacementCharacters) {
    const std::string bad = sandbox_ / "odd\xff";
    write_file(bad + "/Cargo.toml", "[package]\n");
    write_file(bad + "/target/out.bin", std::string(100, 'x'));
    const std::string shown = sandbox_ / "odd\xef\xbf\xbd";

    auto text = run({"-o", "text", "scan", "--root", bad, "--scope", "project"});
    ASSERT_EQ(text.exit_status, 0) << text.err;
    std::vector<std::string> lines = lines_of(text.out);
    ASSERT_EQ(lines.size(), 3u) << text.out;
    EXPECT_EQ(tabs_of(lines[2]).back(), shown + "/target [protected]");

    auto j = run({"scan", "--root", bad, "--scope", "project", "--fields", "path"});
    ASSERT_EQ(j.exit_status, 0) << j.err;
    EXPECT_EQ(json::parse(j.out)["items"], json::array({{{"path", shown + "/target"}}}));

    auto missing = run({"-o", "text", "scan", "--root", bad + "/nosuch"});
    EXPECT_EQ(missing.exit_status, 2);
    EXPECT_EQ(
        missing.err.rfind("Error: path is not a readable directory: " + shown + "/nosuch\n", 0), 0u)
        << missing.err;
}

TEST_F(ScanE2e, ErrorsComeBeforeAndInsteadOfOutput) {
    // Fields are checked before the roots are looked at.
    auto fields = run({"scan", "--root", sandbox_ / "missing", "--fields", "kind,nosuch"});
    EXPECT_EQ(fields.exit_status, 2);
    EXPECT_EQ(fields.out, "");
    json e = json::parse(fields.err)["error"];
    EXPECT_EQ(e["kind"], "invalid_input");
    EXPECT_EQ(e["message"], "invalid input: unknown field nosuch; expected one of kind, "
                            "ecosystem, scope, path, bytes, allocated_bytes, modified_unix, "
                            "age_days, protected, network_restore, cleanable");

    auto missing = run({"-o", "text", "scan", "--root", sandbox_ / "missing"});
    EXPECT_EQ(missing.exit_status, 2);
    EXPECT_EQ(missing.out, "");
    EXPECT_EQ(missing.err, "Error: path is not a readable directory: " + (sandbox_ / "missing") +
                               "\nHint: pass an existing directory with --root\n");

    auto kind = run({"scan", "--root", root(), "--kind", "cargo-target,node-modules"});
    EXPECT_EQ(kind.exit_status, 2);
    EXPECT_EQ(json::parse(kind.err)["error"]["message"],
              "invalid input: unknown cache kind cargo-target,node-modules; run `quillbarrow "
              "catalog`");

    // Scope global never looks at the roots.
    write_file(sandbox_ / "plain-file");
    auto global = run({"scan", "--scope", "global", "--root", sandbox_ / "plain-file"});
    EXPECT_EQ(global.exit_status, 0) << global.err;
}

TEST_F(ScanE2e, NoCommandRunsTheDefaultScan) {
    // The hermetic home has no Projects, Developer, src or code: the working directory
    // is the root.
    auto piped = run({}, root());
    ASSERT_EQ(piped.exit_status, 0) << piped.err;
    json doc = json::parse(piped.out);
    EXPECT_EQ(doc["limit"], 100);
    std::vector<std::string> kinds;
    for (const json& item : doc["items"]) {
        kinds.push_back(item["kind"]);
    }
    EXPECT_NE(std::find(kinds.begin(), kinds.end(), "cargo-target"), kinds.end());

    auto text = run({"--output", "text"}, root());
    ASSERT_EQ(text.exit_status, 0) << text.err;
    EXPECT_EQ(text.out.rfind("Found ", 0), 0u);
}

TEST_F(ScanE2e, NoCommandOnATerminalOutputPrintsText) {
    if (!exists_nofollow("/usr/bin/script")) {
        GTEST_SKIP() << "script(1) from util-linux is needed for a pseudo-terminal";
    }
    // Standard output on a terminal, standard input not: the default scan prints text.
    ProcessOptions options;
    options.env = hermetic_env(sandbox_ / "env");
    options.cwd = root();
    auto r = run_process({"/usr/bin/script", "-qec", binary_path() + " </dev/null", "/dev/null"},
                         options);
    EXPECT_EQ(r.exit_status, 0) << r.out;
    EXPECT_EQ(r.out.rfind("Found ", 0), 0u) << r.out;
    EXPECT_NE(r.out.find("APPARENT\tALLOCATED"), std::string::npos);
}

TEST_F(ScanE2e, WalkErrorsAreWarningsNotFailures) {
    make_dirs(root() + "/locked/inner");
    chown_tree(sandbox_.path());
    ASSERT_EQ(::chmod((root() + "/locked").c_str(), 0), 0);
    std::string json_out = sandbox_ / "json.out";
    std::string text_out = sandbox_ / "text.out";
    auto env = hermetic_env(sandbox_ / "env");
    chown_tree(sandbox_ / "env");
    auto status = run_unprivileged([&] {
        ProcessOptions options;
        options.env = env;
        auto j = run_quillbarrow({"scan", "--root", root(), "--scope", "project"}, options);
        auto t = run_quillbarrow({"-o", "text", "scan", "--root", root(), "--scope", "project"},
                                 options);
        write_file(json_out, j.out);
        write_file(text_out, t.out);
        return j.exit_status * 16 + t.exit_status;
    });
    ASSERT_TRUE(status.has_value()) << "could not drop privileges";
    EXPECT_EQ(*status, 0);
    json doc = json::parse(read_file(json_out));
    ASSERT_EQ(doc["warnings"].size(), 1u) << doc.dump();
    std::string warning = doc["warnings"][0];
    EXPECT_NE(warning.find(root() + "/locked"), std::string::npos) << warning;
    EXPECT_NE(warning.find("Permission denied (os error 13)"), std::string::npos) << warning;
    EXPECT_EQ(doc["total"], 2);
    std::vector<std::string> lines = lines_of(read_file(text_out));
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "1 paths could not be inspected");
}

} // namespace
} // namespace qb::test
