// The field objects of the contract: the JSON members that each reporting command
// prints, with nested lists for objects and arrays of objects.

#include "schema/contract.hpp"
#include "schema/contract_parts.hpp"

namespace qb {
namespace contract {
namespace {

Json field(std::string_view name, std::string_view type) {
    Json f = Json::object();
    f["name"] = name;
    f["type"] = type;
    return f;
}

Json string_field(std::string_view name) {
    return field(name, "string");
}
Json integer_field(std::string_view name) {
    return field(name, "integer");
}
Json boolean_field(std::string_view name) {
    return field(name, "boolean");
}

Json enum_field(std::string_view name, std::initializer_list<std::string_view> values) {
    Json f = string_field(name);
    f["enum"] = string_array(values);
    return f;
}

/// Only fields that may be null say so; there is no `nullable: false`.
Json nullable(Json f) {
    f["nullable"] = true;
    return f;
}

Json object_field(std::string_view name, Json fields) {
    Json f = field(name, "object");
    f["fields"] = std::move(fields);
    return f;
}

/// An array of objects, each described by `fields`.
Json object_array_field(std::string_view name, Json fields) {
    Json items = Json::object();
    items["type"] = "object";
    items["fields"] = std::move(fields);
    Json f = field(name, "array");
    f["items"] = std::move(items);
    return f;
}

Json string_array_field(std::string_view name) {
    Json items = Json::object();
    items["type"] = "string";
    Json f = field(name, "array");
    f["items"] = std::move(items);
    return f;
}

Json list(std::initializer_list<Json> fields) {
    Json array = Json::array();
    for (const Json& f : fields) {
        array.push_back(f);
    }
    return array;
}

Json scope_field() {
    return enum_field("scope", {"project", "global"});
}

} // namespace

Json scan_output_fields() {
    return list({
        string_field("kind"),
        string_field("ecosystem"),
        scope_field(),
        string_field("path"),
        integer_field("bytes"),
        integer_field("allocated_bytes"),
        nullable(integer_field("modified_unix")),
        nullable(integer_field("age_days")),
        boolean_field("protected"),
        boolean_field("network_restore"),
        boolean_field("cleanable"),
    });
}

Json docker_clean_output_fields() {
    return list({
        enum_field("provider", {"docker"}),
        enum_field("kind", {"docker-build-cache"}),
        boolean_field("changed"),
        boolean_field("dry_run"),
        boolean_field("confirmed"),
        object_field("before", contract_docker_fields()),
        nullable(object_field("after", contract_docker_fields())),
        nullable(integer_field("reported_reclaimed_bytes")),
        integer_field("estimated_removed_bytes"),
        // The report's diagnostics also carry `retryable`, which the contract leaves out.
        object_array_field("diagnostics", list({
                                              string_field("provider"),
                                              string_field("kind"),
                                              string_field("message"),
                                          })),
    });
}

Json clean_output_fields() {
    return list({
        boolean_field("changed"),
        boolean_field("dry_run"),
        boolean_field("confirmed"),
        integer_field("selected"),
        integer_field("cleaned"),
        integer_field("skipped"),
        integer_field("protected_skipped"),
        integer_field("policy_skipped"),
        integer_field("network_restore_selected"),
        integer_field("bytes_selected"),
        integer_field("apparent_bytes_selected"),
        integer_field("allocated_bytes_selected"),
        integer_field("bytes_reclaimed_estimate"),
        integer_field("apparent_bytes_removed"),
        integer_field("allocated_bytes_removed_estimate"),
        object_array_field("filesystem_deltas", list({
                                                    string_field("probe_path"),
                                                    integer_field("free_bytes_before"),
                                                    integer_field("free_bytes_after"),
                                                    integer_field("delta_bytes"),
                                                })),
        object_array_field("selected_targets", list({
                                                   string_field("kind"),
                                                   string_field("path"),
                                                   integer_field("bytes"),
                                                   integer_field("allocated_bytes"),
                                                   boolean_field("network_restore"),
                                               })),
        string_array_field("cleaned_paths"),
        object_array_field("skipped_paths", list({
                                                string_field("path"),
                                                string_field("reason"),
                                            })),
    });
}

Json catalog_output_fields() {
    return list({
        string_field("kind"),
        string_field("ecosystem"),
        scope_field(),
        string_field("description"),
        boolean_field("network_restore"),
        boolean_field("cleanable"),
    });
}

} // namespace contract

Json contract_docker_fields() {
    using namespace contract;
    Json cleanable = boolean_field("cleanable");
    cleanable["description"] = "True only for resource classes with a bounded, separately "
                               "confirmed native cleanup flow. Currently Docker build cache only.";
    return list({
        enum_field("provider", {"docker"}),
        enum_field("scope", {"daemon"}),
        string_field("kind"),
        string_field("label"),
        integer_field("total_count"),
        integer_field("active_count"),
        integer_field("bytes"),
        integer_field("reclaimable_bytes"),
        std::move(cleanable),
    });
}

} // namespace qb
