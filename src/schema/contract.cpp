// The top level of the contract document and its eight command objects.

#include "schema/contract.hpp"

#include "common/app_error.hpp"
#include "common/defaults.hpp"
#include "common/version.hpp"
#include "schema/contract_parts.hpp"

#include <fmt/format.h>

namespace qb {
namespace contract {
namespace {

constexpr std::string_view kHomepage = "https://quillbarrow.dev";

// Every number of the document is a non-negative integer, stored as unsigned.

/// The members that every command object has.
Json command(std::string_view name, std::string_view description, std::string_view effects,
             bool mutating, Json args) {
    Json cmd = Json::object();
    cmd["name"] = name;
    cmd["description"] = description;
    cmd["effects"] = effects;
    cmd["mutating"] = mutating;
    cmd["stability"] = "stable";
    cmd["args"] = std::move(args);
    return cmd;
}

Json example(std::initializer_list<std::string_view> args) {
    Json ex = Json::object();
    ex["args"] = string_array(args);
    return ex;
}

Json offset_pagination() {
    Json pagination = Json::object();
    pagination["limit_arg"] = "--limit";
    pagination["offset_arg"] = "--offset";
    pagination["style"] = "offset";
    return pagination;
}

void set_opaque(Json& cmd, std::string_view media_type) {
    cmd["output_kind"] = "opaque";
    cmd["media_type"] = media_type;
}

void set_report(Json& cmd, Json output_fields) {
    cmd["fields_arg"] = "--fields";
    cmd["output_fields"] = std::move(output_fields);
}

Json tui_command() {
    Json cmd = command("tui", "Browse caches and press d to delete the focused entry.",
                       "idempotent", true, tui_args());
    set_opaque(cmd, "application/x-terminal");
    cmd["errors"] = string_array({"invalid_input", "io"});
    cmd["example"] = example({"--root", ".", "--scope", "project"});
    return cmd;
}

Json scan_command() {
    Json cmd = command("scan",
                       "Find and size developer caches without changing anything. Also runs "
                       "when no command is given outside an interactive terminal.",
                       "read_only", false, contract_shared_args("all", true));
    cmd["cardinality"] = "unbounded";
    cmd["pagination"] = offset_pagination();
    set_report(cmd, scan_output_fields());
    cmd["errors"] = string_array({"invalid_input", "io"});
    cmd["example"] = example({"--scope", "project", "--root", ".", "--limit", "10"});
    return cmd;
}

Json docker_command() {
    Json cmd = command("docker",
                       "Inspect Docker-managed storage without changing daemon state. "
                       "Build-cache cleanup is available as docker clean.",
                       "read_only", false, docker_args());
    cmd["cardinality"] = "unbounded";
    cmd["pagination"] = offset_pagination();
    set_report(cmd, contract_docker_fields());
    cmd["errors"] = string_array({"invalid_input"});
    cmd["example"] = example({"--fields", "kind,reclaimable_bytes"});
    return cmd;
}

Json docker_clean_command() {
    Json cmd = command("docker clean",
                       "Prune ordinary Docker build cache after a fresh preview and "
                       "confirmation. Never prunes images, containers, volumes, or "
                       "internal/frontend cache records selected by --all.",
                       "idempotent", true, docker_clean_args());
    cmd["cardinality"] = "single";
    cmd["confirmation_bypass_arg"] = "--yes";
    set_report(cmd, docker_clean_output_fields());
    cmd["errors"] = string_array(
        {"invalid_input", "confirmation_required", "native_unavailable", "native_protocol"});
    cmd["example"] = example({"--dry-run"});
    return cmd;
}

Json clean_command() {
    Json cmd =
        command("clean", "Remove eligible caches after final validation and explicit confirmation.",
                "idempotent", true, clean_args());
    cmd["cardinality"] = "single";
    cmd["confirmation_bypass_arg"] = "--yes";
    set_report(cmd, clean_output_fields());
    cmd["errors"] = string_array({"invalid_input", "confirmation_required", "conflict", "io"});
    cmd["example"] = example({"--root", ".", "--dry-run"});
    return cmd;
}

Json catalog_command() {
    Json cmd = command("catalog", "List the closed safety catalog of supported cache kinds.",
                       "read_only", false, catalog_args());
    cmd["cardinality"] = "unbounded";
    cmd["pagination"] = offset_pagination();
    set_report(cmd, catalog_output_fields());
    cmd["example"] = example({});
    return cmd;
}

Json schema_command() {
    Json cmd = command("schema",
                       fmt::format("Print this {} v{} contract as JSON.", kContractFormatDomain,
                                   kContractFormatVersion),
                       "read_only", false, schema_args());
    cmd["cardinality"] = "single";
    Json stdout_schema = Json::object();
    stdout_schema["$ref"] =
        fmt::format("https://{}/schema/v{}.json", kContractFormatDomain, kContractFormatVersion);
    cmd["stdout_schema"] = std::move(stdout_schema);
    return cmd;
}

Json completions_command() {
    Json cmd = command("completions", "Generate a shell completion script.", "read_only", false,
                       completions_args());
    set_opaque(cmd, "text/x-shellscript");
    return cmd;
}

Json error_kinds() {
    Json errors = Json::array();
    for (const ErrorKindInfo& kind : kErrorKinds) {
        errors.push_back({{"kind", kind.name},
                          {"exit_code", static_cast<unsigned>(kind.exit_status)},
                          {"retryable", kind.retryable},
                          {"description", kind.description}});
    }
    return errors;
}

Json output_argument() {
    Json output = Json::object();
    output["name"] = "--output";
    output["short"] = "-o";
    output["type"] = "string";
    output["enum"] = string_array({"auto", "json", "text"});
    output["default"] = "auto";
    output["description"] = "Output format. auto = text on a TTY, JSON when piped.";
    return output;
}

Json extensions() {
    Json safety = Json::object();
    safety["default_clean_scope"] = "project";
    safety["default_protect_days"] = kDefaultProtectDays;
    safety["follows_symlinks"] = false;
    Json ext = Json::object();
    ext["homepage"] = kHomepage;
    ext["safety"] = std::move(safety);
    return ext;
}

} // namespace
} // namespace contract

Json build_contract_document() {
    using namespace contract;
    Json doc = Json::object();
    doc["clispec"] = kContractFormatVersion;
    doc["name"] = "quillbarrow";
    doc["version"] = kProgramVersion;
    doc["description"] = "Find and safely clean developer caches across macOS and Linux";

    Json output = Json::object();
    output["piped"] = "json";
    output["tty"] = "text";
    doc["output"] = std::move(output);

    Json global_args = Json::array();
    global_args.push_back(output_argument());
    doc["global_args"] = std::move(global_args);

    Json commands = Json::array();
    commands.push_back(tui_command());
    commands.push_back(scan_command());
    commands.push_back(docker_command());
    commands.push_back(docker_clean_command());
    commands.push_back(clean_command());
    commands.push_back(catalog_command());
    commands.push_back(schema_command());
    commands.push_back(completions_command());
    doc["commands"] = std::move(commands);

    doc["errors"] = error_kinds();
    doc["extensions"] = extensions();
    return doc;
}

} // namespace qb
