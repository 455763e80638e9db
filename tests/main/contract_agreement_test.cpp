// The contract document describes the command line as data of its own; these checks keep
// it and the command tree saying the same thing.

#include "docker/build_cache.hpp"
#include "docker/fake_runner.hpp"
#include "docker/storage.hpp"
#include "main/catalog_command.hpp"
#include "main/clean_command.hpp"
#include "main/cli.hpp"
#include "main/docker_command.hpp"
#include "main/scan_command.hpp"
#include "schema/contract.hpp"

#include <algorithm>
#include <fmt/format.h>
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

// The contract's type of an argument: what its values are, "[]" when it may be repeated.
std::string contract_type(const cli::ArgDef& arg) {
    std::string type;
    switch (arg.parser) {
    case cli::ValueParser::None:
        type = arg.action == cli::ArgAction::SetTrue ? "boolean" : "none";
        break;
    case cli::ValueParser::Text:
    case cli::ValueParser::Choice:
        type = "string";
        break;
    case cli::ValueParser::Path:
        type = "path";
        break;
    case cli::ValueParser::Unsigned:
    case cli::ValueParser::Limit:
        type = "integer";
        break;
    }
    return arg.repeatable() ? type + "[]" : type;
}

void expect_argument_agrees(const Json& a, const cli::ArgDef& arg, const std::string& where) {
    EXPECT_EQ(a.contains("short"), arg.short_name != 0) << where;
    if (arg.short_name != 0) {
        EXPECT_EQ(a["short"], std::string("-") + arg.short_name) << where;
    }
    EXPECT_EQ(a["type"], contract_type(arg)) << where;
    EXPECT_EQ(a.contains("enum"), arg.parser == cli::ValueParser::Choice) << where;
    if (!arg.possible_values.empty()) {
        // The contract fixes its own order of the shells, so only the sets must agree.
        std::set<std::string> tree_values(arg.possible_values.begin(), arg.possible_values.end());
        std::set<std::string> doc_values(a["enum"].begin(), a["enum"].end());
        EXPECT_EQ(doc_values, tree_values) << where;
        EXPECT_EQ(a["enum"].size(), doc_values.size()) << where;
    }
    // A flag is false unless given, so the contract names false as its default.
    const bool flag = arg.action == cli::ArgAction::SetTrue;
    ASSERT_EQ(a.contains("default"), arg.default_value.has_value() || flag) << where;
    if (flag) {
        EXPECT_EQ(a["default"], false) << where;
    } else if (arg.default_value) {
        const Json& d = a["default"];
        EXPECT_EQ(d.is_string() ? d.get<std::string>() : d.dump(), *arg.default_value) << where;
    }
    EXPECT_EQ(a.value("required", false), arg.required) << where;
    if (arg.parser == cli::ValueParser::Limit) {
        EXPECT_NE(a["description"].get<std::string>().find(fmt::format("(1-{})", kMaxLimit)),
                  std::string::npos)
            << where;
    }
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
                EXPECT_EQ(described.size(), (*entry)["args"].size()) << name << ": a name twice";
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
                    expect_argument_agrees(a, arg, where);
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

    // The global options of the tree are the contract's `global_args`, in the same order.
    std::vector<const cli::ArgDef*> globals;
    for (const cli::ArgDef& arg : root.args) {
        if (arg.action != cli::ArgAction::Help && arg.action != cli::ArgAction::Version) {
            EXPECT_TRUE(arg.global) << arg.id;
            globals.push_back(&arg);
        }
    }
    ASSERT_EQ(doc["global_args"].size(), globals.size());
    for (std::size_t i = 0; i < globals.size(); ++i) {
        EXPECT_EQ(doc["global_args"][i]["name"], contract_name(*globals[i]));
        expect_argument_agrees(doc["global_args"][i], *globals[i], contract_name(*globals[i]));
    }
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

// The members that name an argument name one the command really has, and the safety
// defaults are the parser's defaults.
TEST(ContractAgreement, NamedArgumentsAndSafetyDefaults) {
    const Json doc = build_contract_document();
    const cli::CommandDef root = cli_command();
    auto tree_command = [&](const std::string& name) {
        const cli::CommandDef* cmd = &root;
        std::size_t start = 0;
        while (cmd != nullptr && start <= name.size()) {
            std::size_t end = std::min(name.find(' ', start), name.size());
            cmd = cmd->find_subcommand(name.substr(start, end - start));
            start = end + 1;
        }
        return cmd;
    };
    auto option_of = [](const cli::CommandDef& cmd, const Json& name) -> const cli::ArgDef* {
        const std::string text = name.get<std::string>();
        return text.starts_with("--") ? cmd.find_long(text.substr(2)) : nullptr;
    };
    for (const Json& entry : doc["commands"]) {
        const std::string name = entry["name"];
        SCOPED_TRACE(name);
        const cli::CommandDef* cmd = tree_command(name);
        ASSERT_NE(cmd, nullptr);
        const bool paged = cmd->find_long("limit") != nullptr;
        EXPECT_EQ(entry.contains("pagination"), paged);
        if (paged) {
            EXPECT_NE(option_of(*cmd, entry["pagination"]["limit_arg"]), nullptr);
            EXPECT_NE(option_of(*cmd, entry["pagination"]["offset_arg"]), nullptr);
        }
        EXPECT_EQ(entry.contains("fields_arg"), cmd->find_long("fields") != nullptr);
        if (entry.contains("fields_arg")) {
            EXPECT_NE(option_of(*cmd, entry["fields_arg"]), nullptr);
        }
        const cli::ArgDef* yes = cmd->find_long("yes");
        EXPECT_EQ(entry.contains("confirmation_bypass_arg"), yes != nullptr);
        if (yes != nullptr) {
            EXPECT_EQ(option_of(*cmd, entry["confirmation_bypass_arg"]), yes);
        }
    }
    const Json& safety = doc["extensions"]["safety"];
    EXPECT_EQ(safety["default_protect_days"], kDefaultProtectDays);
    const cli::ArgDef* clean_scope = tree_command("clean")->find_long("scope");
    ASSERT_NE(clean_scope, nullptr);
    EXPECT_EQ(safety["default_clean_scope"], clean_scope->default_value.value_or(""));
}

// Walks serialised reports alongside the contract's field lists: every member is described
// (or is a known extra), every described member is written, each value has the described
// type, null stands only where the contract says nullable, and enum values are listed.
class FieldChecker {
public:
    /// Members that a report writes beyond its description, by place.
    std::map<std::string, std::set<std::string>> extras;
    /// Places where a value other than null was seen, and where null was seen.
    std::set<std::string> seen;
    std::set<std::string> nulls;

    void object(const Json& value, const Json& fields, const std::string& at) {
        ASSERT_TRUE(value.is_object()) << at << ": " << value;
        std::set<std::string> described;
        for (const Json& f : fields) {
            described.insert(f.at("name").get<std::string>());
        }
        std::set<std::string> written;
        for (const auto& [key, member] : value.items()) {
            if (!extras[at].contains(key)) {
                written.insert(key);
            }
        }
        EXPECT_EQ(written, described) << at;
        for (const Json& f : fields) {
            const std::string name = f.at("name").get<std::string>();
            if (value.contains(name)) {
                member(value[name], f, at + "." + name);
            }
        }
    }

private:
    void member(const Json& value, const Json& field, const std::string& at) {
        SCOPED_TRACE(at);
        if (value.is_null()) {
            EXPECT_EQ(field.value("nullable", false), true) << "null without nullable";
            nulls.insert(at);
            return;
        }
        seen.insert(at);
        const std::string type = field.at("type").get<std::string>();
        if (type == "string") {
            ASSERT_TRUE(value.is_string()) << value;
            if (field.contains("enum")) {
                const Json& values = field["enum"];
                EXPECT_NE(std::find(values.begin(), values.end(), value), values.end()) << value;
            }
        } else if (type == "integer") {
            EXPECT_TRUE(value.is_number_integer()) << value;
        } else if (type == "boolean") {
            EXPECT_TRUE(value.is_boolean()) << value;
        } else if (type == "object") {
            object(value, field.at("fields"), at);
        } else if (type == "array") {
            ASSERT_TRUE(value.is_array()) << value;
            const Json& items = field.at("items");
            for (const Json& element : value) {
                if (items.at("type") == "object") {
                    object(element, items.at("fields"), at + "[]");
                } else {
                    EXPECT_EQ(items.at("type"), "string");
                    EXPECT_TRUE(element.is_string()) << element;
                }
                seen.insert(at + "[]");
            }
        } else {
            ADD_FAILURE() << "unknown type " << type;
        }
    }
};

// Every place the contract describes, and the places it marks nullable.
void described_places(const Json& fields, const std::string& at, std::set<std::string>& all,
                      std::set<std::string>& nullable) {
    for (const Json& f : fields) {
        const std::string place = at + "." + f.at("name").get<std::string>();
        all.insert(place);
        if (f.value("nullable", false)) {
            nullable.insert(place);
        }
        if (f.contains("fields")) {
            described_places(f["fields"], place, all, nullable);
        }
        if (f.contains("items")) {
            all.insert(place + "[]");
            if (f["items"].contains("fields")) {
                described_places(f["items"]["fields"], place + "[]", all, nullable);
            }
        }
    }
}

TEST(ContractAgreement, OutputFieldsDescribeWhatTheReportsWrite) {
    const Json doc = build_contract_document();
    FieldChecker check;
    // The diagnostics of a prune report say whether a retry may help; the contract leaves
    // that member out.
    check.extras["docker clean.diagnostics[]"] = {"retryable"};
    auto fields = [&](const std::string& command) {
        return (*contract_command(doc, command))["output_fields"];
    };

    Candidate measured;
    measured.kind = "cargo-target";
    measured.ecosystem = "rust";
    measured.scope = CacheScope::Project;
    measured.path = "/w/app/target";
    measured.bytes = 10;
    measured.allocated_bytes = 4096;
    measured.modified_unix = 1'700'000'000;
    measured.age_days = 3;
    Candidate unknown_age = measured;
    unknown_age.scope = CacheScope::Global;
    unknown_age.modified_unix.reset();
    unknown_age.age_days.reset();
    for (const Candidate& c : {measured, unknown_age}) {
        check.object(candidate_json(c), fields("scan"), "scan");
    }

    CatalogArgs everything;
    everything.limit = kMaxLimit;
    Json catalog = Json::parse(catalog_report(cache_catalog(), everything, true));
    ASSERT_FALSE(catalog["items"].empty());
    for (const Json& entry : catalog["items"]) {
        check.object(entry, fields("catalog"), "catalog");
    }

    NativeInspection inspection = read_storage_report(
        test::df_row("Images", "5GB", "1GB", 12, 3) + test::df_row("Containers", "20MB", "10MB") +
        test::df_row("Local Volumes", "1GB", "0B") + test::df_row("Build Cache", "3GB", "2GB"));
    ASSERT_EQ(inspection.resources.size(), 4u);
    for (const NativeResource& r : inspection.resources) {
        check.object(serialize_native_resource(r), fields("docker"), "docker");
    }

    // A prune with a reported total and a later preview, one whose later preview failed,
    // and one that never ran.
    test::FakeRunner fake;
    const std::string before = test::df_row("Build Cache", "10GB", "8GB");
    fake.reply_output(before);
    fake.reply_output("Total reclaimed space: 1.2GB\n");
    fake.reply_output(test::df_row("Build Cache", "7GB", "5GB"));
    fake.reply_output(before);
    fake.reply_output("done\n");
    fake.reply(unexpected(native_diagnostic(diag::kNotFound, "vanished", false)));
    for (int i = 0; i < 2; ++i) {
        auto report = prune_build_cache(fake.runner());
        ASSERT_TRUE(report) << report.error().message();
        check.object(native_clean_report_json(*report), fields("docker clean"), "docker clean");
    }
    check.object(
        native_clean_report_json(unpruned_clean_report(inspection.resources[0], true, false)),
        fields("docker clean"), "docker clean");

    CleanReport clean;
    clean.filesystem_deltas.push_back({"/w", 100, 50, -50});
    clean.selected_targets.push_back({"node-modules", "/w/app/node_modules", 1, 2, true});
    clean.cleaned_paths.push_back("/w/app/node_modules");
    clean.skipped_paths.push_back({"/w/lib/target", "path is no longer a real directory"});
    check.object(clean_report_json(clean), fields("clean"), "clean");

    // Each described place was exercised, and null was met exactly where it is allowed.
    std::set<std::string> all;
    std::set<std::string> nullable;
    for (const char* command : {"scan", "catalog", "docker", "docker clean", "clean"}) {
        described_places(fields(command), command, all, nullable);
    }
    EXPECT_EQ(check.seen, all);
    EXPECT_EQ(check.nulls, nullable);
}

} // namespace
} // namespace qb
