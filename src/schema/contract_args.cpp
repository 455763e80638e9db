// The argument objects of the contract: one per option or positional argument, with
// either a default or a `required` member, never both.

#include "common/defaults.hpp"
#include "schema/contract.hpp"
#include "schema/contract_parts.hpp"

#include <cstdint>
#include <fmt/format.h>

namespace qb {
namespace contract {
namespace {

Json argument(std::string_view name, std::string_view type, std::string_view description) {
    Json arg = Json::object();
    arg["name"] = name;
    arg["type"] = type;
    arg["description"] = description;
    return arg;
}

/// An argument without a default: `required` says whether it must be given.
Json without_default(std::string_view name, std::string_view type, bool required,
                     std::string_view description) {
    Json arg = argument(name, type, description);
    arg["required"] = required;
    return arg;
}

Json with_default(std::string_view name, std::string_view type, Json default_value,
                  std::string_view description) {
    Json arg = argument(name, type, description);
    arg["default"] = std::move(default_value);
    return arg;
}

Json integer_arg(std::string_view name, std::uint64_t default_value, std::string_view description) {
    return with_default(name, "integer", Json(default_value), description);
}

Json flag(std::string_view name, std::string_view description) {
    return with_default(name, "boolean", Json(false), description);
}

Json with_short(Json arg, std::string_view short_name) {
    arg["short"] = short_name;
    return arg;
}

Json fields_arg(std::string_view description) {
    return without_default("--fields", "string[]", false, description);
}

/// `--limit`, `--offset` and the command's own `--fields`: the tail of every paged list.
void append_paging(Json& args, std::string_view fields_description) {
    args.push_back(integer_arg("--limit", kDefaultLimit,
                               fmt::format("Maximum records in this page (1-{}).", kMaxLimit)));
    args.push_back(integer_arg("--offset", kDefaultOffset, "Zero-based record offset."));
    args.push_back(fields_arg(fields_description));
}

constexpr std::string_view kReportFields = "Report fields to include in structured output.";

} // namespace

Json tui_args() {
    Json shared = contract_shared_args("all", false);
    Json args = Json::array();
    for (const Json& arg : shared) {
        if (arg.at("name") != "--protect-days") {
            args.push_back(arg);
        }
    }
    return args;
}

Json docker_args() {
    Json args = Json::array();
    append_paging(args, "Native resource fields to include.");
    return args;
}

Json docker_clean_args() {
    Json args = Json::array();
    args.push_back(
        flag("--dry-run",
             "Freshly inspect and report the build-cache prune without changing Docker state."));
    args.push_back(
        with_short(flag("--yes", "Confirm the build-cache prune non-interactively."), "-y"));
    args.push_back(fields_arg(kReportFields));
    return args;
}

Json clean_args() {
    Json args = contract_shared_args("project", false);
    args.push_back(
        flag("--include-recent", "Include recently modified caches protected by default."));
    args.push_back(
        flag("--dry-run", "Report what would be removed without changing the filesystem."));
    args.push_back(with_short(flag("--yes", "Confirm cleanup non-interactively."), "-y"));
    args.push_back(fields_arg(kReportFields));
    return args;
}

Json catalog_args() {
    Json args = Json::array();
    append_paging(args, "Catalog fields to include.");
    return args;
}

Json schema_args() {
    Json args = Json::array();
    args.push_back(without_default("path", "string[]", false,
                                   "Optional command path used to narrow the contract."));
    return args;
}

Json completions_args() {
    // The order of the shells is part of the contract; it is not alphabetical.
    Json shell = without_default("shell", "string", true, "Target shell.");
    shell["enum"] = string_array({"bash", "zsh", "fish", "powershell", "elvish"});
    Json args = Json::array();
    args.push_back(std::move(shell));
    return args;
}

Json string_array(std::initializer_list<std::string_view> values) {
    Json array = Json::array();
    for (std::string_view value : values) {
        array.push_back(value);
    }
    return array;
}

} // namespace contract

Json contract_shared_args(std::string_view default_scope, bool paginated) {
    using namespace contract;
    Json args = Json::array();
    args.push_back(without_default(
        "--root", "path[]", false,
        "Project directory to scan. Repeat for multiple roots; defaults to common source "
        "directories."));
    Json scope = with_default(
        "--scope", "string", Json(default_scope),
        "Project caches, global caches, and recognized temporary-storage locations to include.");
    scope["enum"] = string_array({"all", "project", "global"});
    args.push_back(std::move(scope));
    args.push_back(without_default("--kind", "string[]", false,
                                   "Restrict to kinds returned by `quillbarrow catalog`."));
    args.push_back(integer_arg("--protect-days", kDefaultProtectDays,
                               "Consider caches modified within this many days protected."));
    if (paginated) {
        append_paging(args, "Candidate fields to include.");
    }
    return args;
}

} // namespace qb
