#include "common/app_error.hpp"
#include "schema/contract.hpp"

#include <gtest/gtest.h>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace qb {
namespace {

using Names = std::vector<std::string>;
using KeySet = std::set<std::string>;

KeySet keys_of(const Json& object) {
    KeySet keys;
    for (const auto& [key, value] : object.items()) {
        keys.insert(key);
    }
    return keys;
}

Names names_of(const Json& array) {
    Names names;
    for (const Json& element : array) {
        names.push_back(element.at("name").get<std::string>());
    }
    return names;
}

const Json& named(const Json& list, const std::string& name) {
    for (const Json& element : list) {
        if (element.at("name") == name) {
            return element;
        }
    }
    throw std::runtime_error("nothing named " + name);
}

const Json& command(const Json& doc, const std::string& name) {
    return named(doc.at("commands"), name);
}

TEST(ContractDocument, TopLevelAndErrorKinds) {
    Json doc = build_contract_document();
    EXPECT_EQ(keys_of(doc), (KeySet{"clispec", "commands", "description", "errors", "extensions",
                                    "global_args", "name", "output", "version"}));
    EXPECT_EQ(doc["clispec"], "0.3");
    EXPECT_EQ(doc["version"], "0.5.2");
    EXPECT_EQ(doc["output"], Json::parse(R"({"piped": "json", "tty": "text"})"));
    EXPECT_EQ(doc["extensions"]["homepage"].get<std::string>().rfind("https://", 0), 0u);
    // The number must be a JSON number and the flag a boolean, not their texts.
    EXPECT_EQ(doc["extensions"]["safety"], Json::parse(R"({"default_clean_scope": "project",
        "default_protect_days": 7, "follows_symlinks": false})"));
    EXPECT_EQ(doc["global_args"], Json::parse(R"([{"default": "auto",
        "description": "Output format. auto = text on a TTY, JSON when piped.",
        "enum": ["auto", "json", "text"], "name": "--output", "short": "-o", "type": "string"}])"));

    // Every number anywhere in the document is a non-negative integer.
    auto walk = [](auto&& self, const Json& value) -> void {
        if (value.is_number()) {
            EXPECT_TRUE(value.is_number_unsigned()) << value;
        }
        if (value.is_structured()) {
            for (const Json& child : value) {
                self(self, child);
            }
        }
    };
    walk(walk, doc);

    // The error table must promise what the program's own errors do.
    std::vector<AppError> samples = {
        errors::InvalidInput{"x"},
        errors::Usage{"x"},
        errors::Io{"/p", IoError::from_errno(5)},
        errors::Conflict{"x"},
        errors::CleanConfirmationRequired{1},
        errors::NativeUnavailable{"docker", "x"},
        errors::NativeProtocol{"docker", "x"},
    };
    const Json& errors = doc["errors"];
    ASSERT_EQ(errors.size(), samples.size());
    KeySet kinds;
    for (std::size_t i = 0; i < samples.size(); ++i) {
        SCOPED_TRACE(samples[i].kind_name());
        EXPECT_EQ(keys_of(errors[i]), (KeySet{"description", "exit_code", "kind", "retryable"}));
        EXPECT_EQ(errors[i]["kind"], samples[i].kind_name());
        EXPECT_EQ(errors[i]["exit_code"], samples[i].exit_status());
        EXPECT_EQ(errors[i]["retryable"], samples[i].retryable());
        kinds.insert(errors[i]["kind"].get<std::string>());
    }
    for (const Json& cmd : doc["commands"]) {
        for (const Json& kind : cmd.value("errors", Json::array())) {
            EXPECT_TRUE(kinds.count(kind.get<std::string>())) << cmd["name"] << " " << kind;
        }
    }
}

TEST(ContractDocument, CommandEntries) {
    Json doc = build_contract_document();
    EXPECT_EQ(names_of(doc["commands"]), (Names{"tui", "scan", "docker", "docker clean", "clean",
                                                "catalog", "schema", "completions"}));
    // Members beyond args, description, effects, mutating, name and stability; then
    // effects, mutating and cardinality ("" when absent).
    struct Row {
        KeySet extra;
        const char* effects;
        bool mutating;
        const char* cardinality;
    };
    const KeySet report{"cardinality", "errors", "example", "fields_arg", "output_fields"};
    auto plus = [&](KeySet more) {
        more.insert(report.begin(), report.end());
        return more;
    };
    std::map<std::string, Row> rows = {
        {"tui", {{"errors", "example", "media_type", "output_kind"}, "idempotent", true, ""}},
        {"scan", {plus({"pagination"}), "read_only", false, "unbounded"}},
        {"docker", {plus({"pagination"}), "read_only", false, "unbounded"}},
        {"docker clean", {plus({"confirmation_bypass_arg"}), "idempotent", true, "single"}},
        {"clean", {plus({"confirmation_bypass_arg"}), "idempotent", true, "single"}},
        {"catalog",
         {{"cardinality", "example", "fields_arg", "output_fields", "pagination"},
          "read_only",
          false,
          "unbounded"}},
        {"schema", {{"cardinality", "stdout_schema"}, "read_only", false, "single"}},
        {"completions", {{"media_type", "output_kind"}, "read_only", false, ""}},
    };
    for (auto [name, row] : rows) {
        SCOPED_TRACE(name);
        const Json& cmd = command(doc, name);
        row.extra.insert({"args", "description", "effects", "mutating", "name", "stability"});
        EXPECT_EQ(keys_of(cmd), row.extra);
        EXPECT_EQ(cmd["effects"], row.effects);
        EXPECT_EQ(cmd["mutating"], row.mutating);
        EXPECT_EQ(cmd["stability"], "stable");
        EXPECT_EQ(cmd.value("cardinality", ""), row.cardinality);
        EXPECT_EQ(cmd.value("fields_arg", "--fields"), "--fields");
        EXPECT_EQ(cmd.value("confirmation_bypass_arg", "--yes"), "--yes");
        if (cmd.contains("pagination")) {
            EXPECT_EQ(cmd["pagination"], Json::parse(R"({"limit_arg": "--limit",
                "offset_arg": "--offset", "style": "offset"})"));
        }
    }
    EXPECT_EQ(command(doc, "tui")["media_type"], "application/x-terminal");
    EXPECT_EQ(command(doc, "completions")["output_kind"], "opaque");
    EXPECT_EQ(command(doc, "completions")["media_type"], "text/x-shellscript");
    EXPECT_EQ(command(doc, "docker clean")["errors"],
              Json::parse(R"(["invalid_input", "confirmation_required", "native_unavailable",
                              "native_protocol"])"));
    EXPECT_EQ(command(doc, "scan")["example"],
              Json::parse(R"({"args": ["--scope", "project", "--root", ".", "--limit", "10"]})"));
    // An empty example must still be an array, not null.
    EXPECT_EQ(command(doc, "catalog")["example"], Json::parse(R"({"args": []})"));

    // The format's name comes from the one constant that the help texts use too.
    const Json& schema = command(doc, "schema");
    EXPECT_EQ(kContractFormatDomain, "cli-contract.dev");
    EXPECT_EQ(schema["description"], "Print this cli-contract.dev v0.3 contract as JSON.");
    EXPECT_EQ(keys_of(schema["stdout_schema"]), KeySet{"$ref"});
    EXPECT_EQ(
        schema["stdout_schema"]["$ref"].get<std::string>().rfind("https://cli-contract.dev/", 0),
        0u);
}

TEST(ContractDocument, Arguments) {
    Json doc = build_contract_document();
    std::map<std::string, Names> lists = {
        {"tui", {"--root", "--scope", "--kind"}},
        {"scan",
         {"--root", "--scope", "--kind", "--protect-days", "--limit", "--offset", "--fields"}},
        {"docker", {"--limit", "--offset", "--fields"}},
        {"docker clean", {"--dry-run", "--yes", "--fields"}},
        {"clean",
         {"--root", "--scope", "--kind", "--protect-days", "--include-recent", "--dry-run", "--yes",
          "--fields"}},
        {"catalog", {"--limit", "--offset", "--fields"}},
        {"schema", {"path"}},
        {"completions", {"shell"}},
    };
    for (const auto& [name, args] : lists) {
        EXPECT_EQ(names_of(command(doc, name)["args"]), args) << name;
    }
    for (auto [name, scope] : std::map<std::string, std::string>{
             {"tui", "all"}, {"scan", "all"}, {"clean", "project"}}) {
        const Json& arg = named(command(doc, name)["args"], "--scope");
        EXPECT_EQ(arg["default"], scope) << name;
        EXPECT_EQ(arg["enum"], Json::parse(R"(["all", "project", "global"])")) << name;
    }
    const Json& scan = command(doc, "scan")["args"];
    EXPECT_EQ(named(scan, "--limit"), Json::parse(R"({"default": 100, "name": "--limit",
        "description": "Maximum records in this page (1-1000).", "type": "integer"})"));
    EXPECT_EQ(named(scan, "--offset")["default"], 0);
    EXPECT_EQ(named(scan, "--protect-days")["default"], 7);
    for (const char* name : {"docker", "catalog"}) {
        EXPECT_EQ(named(command(doc, name)["args"], "--limit"), named(scan, "--limit"));
    }
    EXPECT_EQ(named(command(doc, "clean")["args"], "--yes"),
              Json::parse(R"({"default": false, "description": "Confirm cleanup non-interactively.",
                              "name": "--yes", "short": "-y", "type": "boolean"})"));
    // Not alphabetical: the documented order.
    EXPECT_EQ(command(doc, "completions")["args"][0]["enum"],
              Json::parse(R"(["bash", "zsh", "fish", "powershell", "elvish"])"));
    EXPECT_EQ(contract_shared_args("global", true)[1]["default"], "global");

    // Shape of every argument object, the global one included.
    std::vector<Json> all(doc["global_args"].begin(), doc["global_args"].end());
    for (const Json& cmd : doc["commands"]) {
        all.insert(all.end(), cmd["args"].begin(), cmd["args"].end());
    }
    const KeySet allowed{"default", "description", "enum", "name", "required", "short", "type"};
    const KeySet types{"string", "string[]", "path[]", "integer", "boolean"};
    std::map<std::string, std::string> shorts;
    std::map<std::string, bool> required;
    for (const Json& arg : all) {
        SCOPED_TRACE(arg.dump());
        const std::string name = arg.at("name").get<std::string>();
        const std::string type = arg.at("type").get<std::string>();
        KeySet keys = keys_of(arg);
        EXPECT_TRUE(std::includes(allowed.begin(), allowed.end(), keys.begin(), keys.end()));
        EXPECT_TRUE(types.count(type));
        EXPECT_FALSE(arg.at("description").get<std::string>().empty());
        ASSERT_NE(arg.contains("default"), arg.contains("required"));
        if (arg.contains("required")) {
            required[name] = arg["required"].get<bool>();
        } else {
            const Json& value = arg["default"];
            EXPECT_TRUE(type == "integer"   ? value.is_number_unsigned()
                        : type == "boolean" ? value.is_boolean()
                                            : type == "string" && value.is_string());
        }
        if (arg.contains("short")) {
            shorts[name] = arg["short"].get<std::string>();
        }
    }
    EXPECT_EQ(shorts, (std::map<std::string, std::string>{{"--output", "-o"}, {"--yes", "-y"}}));
    EXPECT_EQ(required, (std::map<std::string, bool>{{"--root", false},
                                                     {"--kind", false},
                                                     {"--fields", false},
                                                     {"path", false},
                                                     {"shell", true}}));
}

// Checks the shape of a field list and its nested lists; collects the described fields.
void check_fields(const Json& fields, const std::string& at, KeySet& described) {
    ASSERT_TRUE(fields.is_array() && !fields.empty()) << at;
    const KeySet allowed{"description", "enum", "fields", "items", "name", "nullable", "type"};
    for (const Json& f : fields) {
        const std::string path = at + "." + f.at("name").get<std::string>();
        const std::string type = f.at("type").get<std::string>();
        SCOPED_TRACE(path);
        KeySet keys = keys_of(f);
        EXPECT_TRUE(std::includes(allowed.begin(), allowed.end(), keys.begin(), keys.end()));
        EXPECT_EQ(f.value("nullable", true), true);
        EXPECT_EQ(f.contains("fields"), type == "object");
        EXPECT_EQ(f.contains("items"), type == "array");
        if (f.contains("description")) {
            described.insert(path);
        }
        if (type == "object") {
            check_fields(f["fields"], path, described);
        } else if (type == "array" && f["items"]["type"] == "object") {
            EXPECT_EQ(keys_of(f["items"]), (KeySet{"fields", "type"}));
            check_fields(f["items"]["fields"], path + "[]", described);
        } else if (type == "array") {
            EXPECT_EQ(f["items"], Json::parse(R"({"type": "string"})"));
        }
    }
}

TEST(ContractDocument, OutputFields) {
    Json doc = build_contract_document();
    KeySet described;
    for (const char* name : {"scan", "docker", "docker clean", "clean", "catalog"}) {
        check_fields(command(doc, name)["output_fields"], name, described);
    }
    EXPECT_EQ(described, (KeySet{"docker clean.after.cleanable", "docker clean.before.cleanable",
                                 "docker.cleanable"}));

    const Json& scan = command(doc, "scan")["output_fields"];
    EXPECT_EQ(names_of(scan),
              (Names{"kind", "ecosystem", "scope", "path", "bytes", "allocated_bytes",
                     "modified_unix", "age_days", "protected", "network_restore", "cleanable"}));
    Names nullable;
    for (const Json& f : scan) {
        if (f.contains("nullable")) {
            nullable.push_back(f["name"].get<std::string>());
        }
    }
    EXPECT_EQ(nullable, (Names{"modified_unix", "age_days"}));
    EXPECT_EQ(named(scan, "scope")["enum"], Json::parse(R"(["project", "global"])"));
    EXPECT_EQ(names_of(command(doc, "catalog")["output_fields"]),
              (Names{"kind", "ecosystem", "scope", "description", "network_restore", "cleanable"}));

    const Json& docker = command(doc, "docker")["output_fields"];
    EXPECT_EQ(names_of(docker), (Names{"provider", "scope", "kind", "label", "total_count",
                                       "active_count", "bytes", "reclaimable_bytes", "cleanable"}));
    const Json& prune = command(doc, "docker clean")["output_fields"];
    EXPECT_EQ(names_of(prune),
              (Names{"provider", "kind", "changed", "dry_run", "confirmed", "before", "after",
                     "reported_reclaimed_bytes", "estimated_removed_bytes", "diagnostics"}));
    EXPECT_EQ(named(prune, "before")["fields"], docker);
    EXPECT_EQ(named(prune, "after")["fields"], docker);
    EXPECT_FALSE(named(prune, "before").contains("nullable"));
    EXPECT_EQ(named(prune, "after")["nullable"], true);
    EXPECT_EQ(named(prune, "kind")["enum"], Json::parse(R"(["docker-build-cache"])"));
    EXPECT_EQ(names_of(named(prune, "diagnostics")["items"]["fields"]),
              (Names{"provider", "kind", "message"}));

    const Json& clean = command(doc, "clean")["output_fields"];
    EXPECT_EQ(clean.size(), 19u);
    EXPECT_EQ(named(clean, "filesystem_deltas")["items"]["fields"][3],
              Json::parse(R"({"name": "delta_bytes", "type": "integer"})"));
    EXPECT_EQ(named(clean, "cleaned_paths")["items"], Json::parse(R"({"type": "string"})"));
}

// The whole document, written out member by member. Any change to a name, value, order or
// presence in what scripts read shows up here as a difference.
TEST(ContractDocument, WholeDocument) {
    const Json doc = build_contract_document();
    auto shared = [](const char* scope, bool paged) {
        Json args = Json::parse(R"([
          {"name": "--root", "type": "path[]", "required": false,
           "description": "Project directory to scan. Repeat for multiple roots; defaults to common source directories."},
          {"name": "--scope", "type": "string", "enum": ["all", "project", "global"], "default": "",
           "description": "Project caches, global caches, and recognized temporary-storage locations to include."},
          {"name": "--kind", "type": "string[]", "required": false,
           "description": "Restrict to kinds returned by `quillbarrow catalog`."},
          {"name": "--protect-days", "type": "integer", "default": 7,
           "description": "Consider caches modified within this many days protected."}])");
        args[1]["default"] = scope;
        if (paged) {
            args.push_back(Json::parse(R"({"name": "--limit", "type": "integer", "default": 100,
                "description": "Maximum records in this page (1-1000)."})"));
            args.push_back(Json::parse(R"({"name": "--offset", "type": "integer", "default": 0,
                "description": "Zero-based record offset."})"));
            args.push_back(Json::parse(R"({"name": "--fields", "type": "string[]",
                "required": false, "description": "Candidate fields to include."})"));
        }
        return args;
    };
    auto paging = [](const char* fields_description) {
        Json args = Json::parse(R"([
          {"name": "--limit", "type": "integer", "default": 100,
           "description": "Maximum records in this page (1-1000)."},
          {"name": "--offset", "type": "integer", "default": 0,
           "description": "Zero-based record offset."},
          {"name": "--fields", "type": "string[]", "required": false}])");
        args[2]["description"] = fields_description;
        return args;
    };
    const Json pagination =
        Json::parse(R"({"limit_arg": "--limit", "offset_arg": "--offset", "style": "offset"})");
    const Json docker_fields = Json::parse(R"([
      {"name": "provider", "type": "string", "enum": ["docker"]},
      {"name": "scope", "type": "string", "enum": ["daemon"]},
      {"name": "kind", "type": "string"},
      {"name": "label", "type": "string"},
      {"name": "total_count", "type": "integer"},
      {"name": "active_count", "type": "integer"},
      {"name": "bytes", "type": "integer"},
      {"name": "reclaimable_bytes", "type": "integer"},
      {"name": "cleanable", "type": "boolean",
       "description": "True only for resource classes with a bounded, separately confirmed native cleanup flow. Currently Docker build cache only."}])");

    Json tui = Json::parse(R"({"name": "tui",
        "description": "Browse caches and press d to delete the focused entry.",
        "effects": "idempotent", "mutating": true, "stability": "stable",
        "output_kind": "opaque", "media_type": "application/x-terminal",
        "errors": ["invalid_input", "io"],
        "example": {"args": ["--root", ".", "--scope", "project"]}})");
    tui["args"] = shared("all", false);
    tui["args"].erase(3);

    Json scan = Json::parse(R"({"name": "scan",
        "description": "Find and size developer caches without changing anything. Also runs when no command is given outside an interactive terminal.",
        "effects": "read_only", "mutating": false, "stability": "stable",
        "cardinality": "unbounded", "fields_arg": "--fields",
        "errors": ["invalid_input", "io"],
        "example": {"args": ["--scope", "project", "--root", ".", "--limit", "10"]},
        "output_fields": [
          {"name": "kind", "type": "string"},
          {"name": "ecosystem", "type": "string"},
          {"name": "scope", "type": "string", "enum": ["project", "global"]},
          {"name": "path", "type": "string"},
          {"name": "bytes", "type": "integer"},
          {"name": "allocated_bytes", "type": "integer"},
          {"name": "modified_unix", "type": "integer", "nullable": true},
          {"name": "age_days", "type": "integer", "nullable": true},
          {"name": "protected", "type": "boolean"},
          {"name": "network_restore", "type": "boolean"},
          {"name": "cleanable", "type": "boolean"}]})");
    scan["args"] = shared("all", true);
    scan["pagination"] = pagination;

    Json docker = Json::parse(R"({"name": "docker",
        "description": "Inspect Docker-managed storage without changing daemon state. Build-cache cleanup is available as docker clean.",
        "effects": "read_only", "mutating": false, "stability": "stable",
        "cardinality": "unbounded", "fields_arg": "--fields", "errors": ["invalid_input"],
        "example": {"args": ["--fields", "kind,reclaimable_bytes"]}})");
    docker["args"] = paging("Native resource fields to include.");
    docker["pagination"] = pagination;
    docker["output_fields"] = docker_fields;

    Json docker_clean = Json::parse(R"({"name": "docker clean",
        "description": "Prune ordinary Docker build cache after a fresh preview and confirmation. Never prunes images, containers, volumes, or internal/frontend cache records selected by --all.",
        "effects": "idempotent", "mutating": true, "stability": "stable",
        "cardinality": "single", "confirmation_bypass_arg": "--yes", "fields_arg": "--fields",
        "errors": ["invalid_input", "confirmation_required", "native_unavailable", "native_protocol"],
        "example": {"args": ["--dry-run"]},
        "args": [
          {"name": "--dry-run", "type": "boolean", "default": false,
           "description": "Freshly inspect and report the build-cache prune without changing Docker state."},
          {"name": "--yes", "short": "-y", "type": "boolean", "default": false,
           "description": "Confirm the build-cache prune non-interactively."},
          {"name": "--fields", "type": "string[]", "required": false,
           "description": "Report fields to include in structured output."}],
        "output_fields": [
          {"name": "provider", "type": "string", "enum": ["docker"]},
          {"name": "kind", "type": "string", "enum": ["docker-build-cache"]},
          {"name": "changed", "type": "boolean"},
          {"name": "dry_run", "type": "boolean"},
          {"name": "confirmed", "type": "boolean"},
          {"name": "before", "type": "object"},
          {"name": "after", "type": "object", "nullable": true},
          {"name": "reported_reclaimed_bytes", "type": "integer", "nullable": true},
          {"name": "estimated_removed_bytes", "type": "integer"},
          {"name": "diagnostics", "type": "array", "items": {"type": "object", "fields": [
            {"name": "provider", "type": "string"},
            {"name": "kind", "type": "string"},
            {"name": "message", "type": "string"}]}}]})");
    docker_clean["output_fields"][5]["fields"] = docker_fields;
    docker_clean["output_fields"][6]["fields"] = docker_fields;

    Json clean = Json::parse(R"({"name": "clean",
        "description": "Remove eligible caches after final validation and explicit confirmation.",
        "effects": "idempotent", "mutating": true, "stability": "stable",
        "cardinality": "single", "confirmation_bypass_arg": "--yes", "fields_arg": "--fields",
        "errors": ["invalid_input", "confirmation_required", "conflict", "io"],
        "example": {"args": ["--root", ".", "--dry-run"]},
        "output_fields": [
          {"name": "changed", "type": "boolean"},
          {"name": "dry_run", "type": "boolean"},
          {"name": "confirmed", "type": "boolean"},
          {"name": "selected", "type": "integer"},
          {"name": "cleaned", "type": "integer"},
          {"name": "skipped", "type": "integer"},
          {"name": "protected_skipped", "type": "integer"},
          {"name": "policy_skipped", "type": "integer"},
          {"name": "network_restore_selected", "type": "integer"},
          {"name": "bytes_selected", "type": "integer"},
          {"name": "apparent_bytes_selected", "type": "integer"},
          {"name": "allocated_bytes_selected", "type": "integer"},
          {"name": "bytes_reclaimed_estimate", "type": "integer"},
          {"name": "apparent_bytes_removed", "type": "integer"},
          {"name": "allocated_bytes_removed_estimate", "type": "integer"},
          {"name": "filesystem_deltas", "type": "array", "items": {"type": "object", "fields": [
            {"name": "probe_path", "type": "string"},
            {"name": "free_bytes_before", "type": "integer"},
            {"name": "free_bytes_after", "type": "integer"},
            {"name": "delta_bytes", "type": "integer"}]}},
          {"name": "selected_targets", "type": "array", "items": {"type": "object", "fields": [
            {"name": "kind", "type": "string"},
            {"name": "path", "type": "string"},
            {"name": "bytes", "type": "integer"},
            {"name": "allocated_bytes", "type": "integer"},
            {"name": "network_restore", "type": "boolean"}]}},
          {"name": "cleaned_paths", "type": "array", "items": {"type": "string"}},
          {"name": "skipped_paths", "type": "array", "items": {"type": "object", "fields": [
            {"name": "path", "type": "string"},
            {"name": "reason", "type": "string"}]}}]})");
    clean["args"] = shared("project", false);
    for (const char* arg : {
             R"({"name": "--include-recent", "type": "boolean", "default": false,
                 "description": "Include recently modified caches protected by default."})",
             R"({"name": "--dry-run", "type": "boolean", "default": false,
                 "description": "Report what would be removed without changing the filesystem."})",
             R"({"name": "--yes", "short": "-y", "type": "boolean", "default": false,
                 "description": "Confirm cleanup non-interactively."})",
             R"({"name": "--fields", "type": "string[]", "required": false,
                 "description": "Report fields to include in structured output."})"}) {
        clean["args"].push_back(Json::parse(arg));
    }

    Json catalog = Json::parse(R"({"name": "catalog",
        "description": "List the closed safety catalog of supported cache kinds.",
        "effects": "read_only", "mutating": false, "stability": "stable",
        "cardinality": "unbounded", "fields_arg": "--fields", "example": {"args": []},
        "output_fields": [
          {"name": "kind", "type": "string"},
          {"name": "ecosystem", "type": "string"},
          {"name": "scope", "type": "string", "enum": ["project", "global"]},
          {"name": "description", "type": "string"},
          {"name": "network_restore", "type": "boolean"},
          {"name": "cleanable", "type": "boolean"}]})");
    catalog["args"] = paging("Catalog fields to include.");
    catalog["pagination"] = pagination;

    Json schema = Json::parse(R"({"name": "schema",
        "description": "Print this cli-contract.dev v0.3 contract as JSON.",
        "effects": "read_only", "mutating": false, "stability": "stable",
        "cardinality": "single",
        "args": [{"name": "path", "type": "string[]", "required": false,
                  "description": "Optional command path used to narrow the contract."}]})");
    Json completions = Json::parse(R"({"name": "completions",
        "description": "Generate a shell completion script.",
        "effects": "read_only", "mutating": false, "stability": "stable",
        "output_kind": "opaque", "media_type": "text/x-shellscript",
        "args": [{"name": "shell", "type": "string", "required": true,
                  "enum": ["bash", "zsh", "fish", "powershell", "elvish"],
                  "description": "Target shell."}]})");

    Json expected = Json::parse(R"({
      "clispec": "0.3",
      "name": "quillbarrow",
      "version": "0.5.2",
      "description": "Find and safely clean developer caches across macOS and Linux",
      "output": {"piped": "json", "tty": "text"},
      "global_args": [{"name": "--output", "short": "-o", "type": "string",
                       "enum": ["auto", "json", "text"], "default": "auto",
                       "description": "Output format. auto = text on a TTY, JSON when piped."}],
      "errors": [
        {"kind": "invalid_input", "exit_code": 2, "retryable": false,
         "description": "A path, kind, field, or value was invalid."},
        {"kind": "usage", "exit_code": 3, "retryable": false,
         "description": "The command-line invocation was invalid."},
        {"kind": "io", "exit_code": 4, "retryable": false,
         "description": "A local filesystem or process operation failed."},
        {"kind": "conflict", "exit_code": 5, "retryable": false,
         "description": "Every selected target changed or became unsafe before deletion."},
        {"kind": "confirmation_required", "exit_code": 6, "retryable": false,
         "description": "Cleanup reached a confirmation gate without a TTY."},
        {"kind": "native_unavailable", "exit_code": 7, "retryable": true,
         "description": "A native provider executable, service, or operation was unavailable."},
        {"kind": "native_protocol", "exit_code": 8, "retryable": false,
         "description": "A native provider returned data QuillBarrow could not safely interpret."}],
      "extensions": {"safety": {"default_clean_scope": "project", "default_protect_days": 7,
                                "follows_symlinks": false}}})");
    expected["commands"] =
        Json::array({tui, scan, docker, docker_clean, clean, catalog, schema, completions});
    // The two web addresses are ours to choose; they only have to be absolute https URLs.
    const std::string homepage = doc.at("extensions").at("homepage").get<std::string>();
    const std::string ref = doc.at("commands").at(6).at("stdout_schema").at("$ref");
    EXPECT_EQ(homepage.rfind("https://", 0), 0u);
    EXPECT_EQ(ref.rfind("https://", 0), 0u);
    expected["extensions"]["homepage"] = homepage;
    expected["commands"][6]["stdout_schema"] = Json{{"$ref", ref}};

    // Compare command by command first, so a difference names its command.
    ASSERT_EQ(doc.at("commands").size(), expected["commands"].size());
    for (std::size_t i = 0; i < expected["commands"].size(); ++i) {
        EXPECT_EQ(Json::diff(expected["commands"][i], doc["commands"][i]), Json::array())
            << expected["commands"][i]["name"];
    }
    EXPECT_EQ(Json::diff(expected, doc), Json::array());
}

} // namespace
} // namespace qb
