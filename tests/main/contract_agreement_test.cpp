// The contract document describes the command line as data of its own; these checks keep
// it and the command tree saying the same thing.

#include "main/catalog_command.hpp"
#include "main/clean_command.hpp"
#include "main/cli.hpp"
#include "main/docker_command.hpp"
#include "main/scan_command.hpp"
#include "schema/contract.hpp"

#include <functional>
#include <gtest/gtest.h>
#include <set>

namespace qb {
namespace {

const Json* contract_command(const Json& doc, const std::string& name) {
    for (const Json& cmd : doc["commands"]) {
        if (cmd["name"] == name) {
            return &cmd;
        }
    }
    return nullptr;
}

// The contract's name of an argument: "--limit" for options, the id for positionals.
std::string contract_name(const cli::ArgDef& arg) {
    return arg.is_positional() ? arg.id : "--" + arg.long_name;
}

TEST(ContractAgreement, EveryCommandAndArgumentMatchesTheTree) {
    Json doc = build_contract_document();
    cli::CommandDef root = cli_command();
    std::set<std::string> tree_commands;
    std::function<void(const cli::CommandDef&, const std::string&)> visit =
        [&](const cli::CommandDef& cmd, const std::string& prefix) {
            for (const cli::CommandDef& sub : cmd.subcommands) {
                if (sub.generated_help) {
                    continue;
                }
                std::string name = prefix.empty() ? sub.name : prefix + " " + sub.name;
                tree_commands.insert(name);
                const Json* entry = contract_command(doc, name);
                ASSERT_NE(entry, nullptr) << name;
                std::map<std::string, const Json*> described;
                for (const Json& a : (*entry)["args"]) {
                    described[a["name"]] = &a;
                }
                std::set<std::string> own;
                for (const cli::ArgDef& arg : sub.args) {
                    if (arg.global || arg.action == cli::ArgAction::Help) {
                        continue;
                    }
                    std::string key = contract_name(arg);
                    own.insert(key);
                    ASSERT_TRUE(described.contains(key)) << name << " " << key;
                    const Json& a = *described[key];
                    std::string where = name + " " + key;
                    EXPECT_EQ(a.contains("short"), arg.short_name != 0) << where;
                    if (arg.short_name != 0) {
                        EXPECT_EQ(a["short"], std::string("-") + arg.short_name) << where;
                    }
                    std::string type = a["type"];
                    EXPECT_EQ(type.ends_with("[]"), arg.repeatable()) << where;
                    if (!arg.possible_values.empty()) {
                        std::set<std::string> tree_values(arg.possible_values.begin(),
                                                          arg.possible_values.end());
                        std::set<std::string> doc_values(a["enum"].begin(), a["enum"].end());
                        EXPECT_EQ(doc_values, tree_values) << where;
                    }
                    if (arg.default_value) {
                        ASSERT_TRUE(a.contains("default")) << where;
                        const Json& d = a["default"];
                        EXPECT_EQ(d.is_string() ? d.get<std::string>() : d.dump(),
                                  *arg.default_value)
                            << where;
                    }
                    EXPECT_EQ(a.value("required", false), arg.required) << where;
                }
                std::set<std::string> doc_names;
                for (const auto& [key, value] : described) {
                    doc_names.insert(key);
                }
                EXPECT_EQ(doc_names, own) << name;
                visit(sub, name);
            }
        };
    visit(root, "");
    std::set<std::string> doc_commands;
    for (const Json& cmd : doc["commands"]) {
        doc_commands.insert(cmd["name"]);
    }
    EXPECT_EQ(doc_commands, tree_commands);
    EXPECT_EQ(doc["version"], root.version);
    EXPECT_EQ(doc["name"], root.name);
}

// What --fields accepts, what the contract lists and what the reports write are one set
// of names per command.
TEST(ContractAgreement, OutputFieldsMatchTheFieldListsAndTheReports) {
    Json doc = build_contract_document();
    auto names = [](const auto& list) { return std::set<std::string>(list.begin(), list.end()); };
    auto described = [&](const std::string& command) {
        std::set<std::string> out;
        const Json* entry = contract_command(doc, command);
        EXPECT_NE(entry, nullptr) << command;
        for (const Json& field : entry ? (*entry)["output_fields"] : Json::array()) {
            out.insert(field["name"].get<std::string>());
        }
        return out;
    };
    auto members = [](const Json& object) {
        std::set<std::string> out;
        for (const auto& [key, value] : object.items()) {
            out.insert(key);
        }
        return out;
    };
    EXPECT_EQ(described("scan"), names(kScanFields));
    EXPECT_EQ(described("catalog"), names(kCatalogFields));
    EXPECT_EQ(described("clean"), names(kCleanFields));
    EXPECT_EQ(members(clean_report_json(CleanReport{})), names(kCleanFields));
    EXPECT_EQ(described("docker"), names(kDockerFields));
    EXPECT_EQ(members(serialize_native_resource(NativeResource{})), names(kDockerFields));
    EXPECT_EQ(described("docker clean"), names(kDockerCleanFields));
    EXPECT_EQ(members(native_clean_report_json(NativeCleanReport{})), names(kDockerCleanFields));
}

} // namespace
} // namespace qb
