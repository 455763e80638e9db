#include "schema/contract.hpp"

#include <algorithm>
#include <gtest/gtest.h>
#include <sstream>
#include <string>
#include <vector>

namespace qb {
namespace {

using Words = std::vector<std::string>;

std::vector<std::string> command_names(const Json& doc) {
    std::vector<std::string> names;
    for (const Json& cmd : doc.at("commands")) {
        names.push_back(cmd.at("name").get<std::string>());
    }
    return names;
}

Json without_commands(Json doc) {
    doc.erase("commands");
    return doc;
}

TEST(NarrowContract, ByCommandPath) {
    const Json whole = build_contract_document();
    EXPECT_EQ(narrow_contract(whole, {}), whole);

    struct Case {
        Words words;
        std::vector<std::string> kept;
    };
    std::vector<Case> cases = {
        {{"docker"}, {"docker", "docker clean"}},
        {{"docker", "clean"}, {"docker clean"}},
        {{"docker clean"}, {"docker clean"}},
        {{"clean"}, {"clean"}},
        {{"scan"}, {"scan"}},
        {{"dock"}, {}},
        {{"nosuch"}, {}},
        {{"docker", "clean", "more"}, {}},
        {{"Docker"}, {}},
        // Words are joined with one blank each; a leading empty word is not dropped.
        {{"", "docker"}, {}},
        {{""}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.words));
        Json narrowed = narrow_contract(whole, c.words);
        ASSERT_TRUE(narrowed["commands"].is_array());
        EXPECT_EQ(command_names(narrowed), c.kept);
        // Everything else stays whole, and the kept entries are untouched.
        EXPECT_EQ(without_commands(narrowed), without_commands(whole));
        for (const Json& cmd : narrowed["commands"]) {
            EXPECT_NE(std::find(whole["commands"].begin(), whole["commands"].end(), cmd),
                      whole["commands"].end());
        }
    }
}

TEST(NarrowContract, ToleratesOddDocuments) {
    EXPECT_EQ(narrow_contract(Json("text"), {"scan"}), Json("text"));
    Json no_array = Json::parse(R"({"commands": {"name": "scan"}, "x": 1})");
    EXPECT_EQ(narrow_contract(no_array, {"scan"}), no_array);
    Json no_commands = Json::parse(R"({"name": "scan"})");
    EXPECT_EQ(narrow_contract(no_commands, {"scan"}), no_commands);

    Json mixed = Json::parse(R"({"commands": [
        1, "scan", {"name": 5}, {"title": "scan"}, {"name": "scan", "v": 1},
        {"name": "scanner"}, {"name": "scan deep"}, null],
        "other": [1, 2]})");
    EXPECT_EQ(narrow_contract(mixed, {"scan"}), Json::parse(R"({"commands": [
        {"name": "scan", "v": 1}, {"name": "scan deep"}], "other": [1, 2]})"));
}

// Checks that every object's keys appear in ascending byte order in the printed text.
void expect_sorted_keys(const OrderedJson& value, const std::string& at) {
    if (value.is_object()) {
        std::string previous;
        bool first = true;
        for (const auto& [key, member] : value.items()) {
            if (!first) {
                EXPECT_LT(previous, key) << "at " << at;
            }
            previous = key;
            first = false;
            expect_sorted_keys(member, at + "/" + key);
        }
    } else if (value.is_array()) {
        for (std::size_t i = 0; i < value.size(); ++i) {
            expect_sorted_keys(value[i], at + "/" + std::to_string(i));
        }
    }
}

TEST(ContractOutput, PrettyJsonWithSortedKeys) {
    const std::string text = contract_output({});
    ASSERT_GE(text.size(), 2u);
    EXPECT_EQ(text.back(), '\n');
    EXPECT_NE(text[text.size() - 2], '\n');
    EXPECT_EQ(Json::parse(text), build_contract_document());

    // Keys in print order, as a reader of the text sees them.
    OrderedJson printed = OrderedJson::parse(text);
    expect_sorted_keys(printed, "");
    std::vector<std::string> top;
    for (const auto& [key, value] : printed.items()) {
        top.push_back(key);
    }
    EXPECT_EQ(top.front(), "clispec");
    EXPECT_EQ(top[1], "commands");
    EXPECT_EQ(top.back(), "version");

    // One member or element per line, two more spaces for every level of nesting.
    std::istringstream lines(text);
    std::string line;
    std::size_t depth = 0;
    std::size_t count = 0;
    while (std::getline(lines, line)) {
        ++count;
        std::size_t indent = line.find_first_not_of(' ');
        ASSERT_NE(indent, std::string::npos) << "blank line " << count;
        char first = line[indent];
        char last = line.back() == ',' ? line[line.size() - 2] : line.back();
        bool closes = first == '}' || first == ']';
        if (closes) {
            ASSERT_GT(depth, 0u);
            --depth;
        }
        EXPECT_EQ(indent, 2 * depth) << "line " << count << ": " << line;
        bool opens = (last == '{' || last == '[');
        if (opens) {
            ++depth;
        }
    }
    EXPECT_EQ(depth, 0u);
    EXPECT_GT(count, 100u);

    // An error object prints exactly like this, at its nesting level.
    EXPECT_NE(text.find("    {\n"
                        "      \"description\": \"A path, kind, field, or value was invalid.\",\n"
                        "      \"exit_code\": 2,\n"
                        "      \"kind\": \"invalid_input\",\n"
                        "      \"retryable\": false\n"
                        "    },\n"),
              std::string::npos);
    // The empty example of `catalog` prints as an empty array.
    EXPECT_NE(text.find("\"args\": []"), std::string::npos);
}

TEST(ContractOutput, NarrowedOutput) {
    const std::string dock = contract_output({"dock"});
    EXPECT_NE(dock.find("\n  \"commands\": [],\n"), std::string::npos);
    Json parsed = Json::parse(dock);
    EXPECT_TRUE(parsed["commands"].empty());
    EXPECT_EQ(parsed["errors"], build_contract_document()["errors"]);

    EXPECT_EQ(Json::parse(contract_output({"docker"})),
              narrow_contract(build_contract_document(), {"docker"}));
    EXPECT_EQ(contract_output({"docker", "clean"}), contract_output({"docker clean"}));
}

} // namespace
} // namespace qb
