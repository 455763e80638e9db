#include "main/catalog_command.hpp"

#include "main/report.hpp"

#include <fmt/format.h>

namespace qb {
namespace {

CacheScope scope_of(const CatalogEntry& entry) {
    return entry.global ? CacheScope::Global : CacheScope::Project;
}

Json entry_json(const CatalogEntry& entry) {
    Json item = Json::object();
    item["kind"] = entry.kind;
    item["ecosystem"] = entry.ecosystem;
    serialize_scope_field(item, scope_of(entry));
    item["description"] = entry.description;
    item["network_restore"] = entry.network_restore;
    item["cleanable"] = entry.cleanable;
    return item;
}

} // namespace

std::string catalog_report(const std::vector<CatalogEntry>& rows, const CatalogArgs& args,
                           bool json) {
    Page page = page_of(rows.size(), args.offset, args.limit);
    if (json) {
        return json_compact(page_envelope(page, rows, entry_json, args.fields));
    }
    std::vector<std::string> lines{"KIND\tECOSYSTEM\tSCOPE\tRESTORE\tCLEAN"};
    for (const CatalogEntry& entry : page.of(rows)) {
        lines.push_back(fmt::format(
            "{}\t{}\t{}\t{}\t{}", entry.kind, entry.ecosystem, scope_display_text(scope_of(entry)),
            entry.network_restore ? "network" : "local", entry.cleanable ? "yes" : "scan-only"));
    }
    return join_lines(lines);
}

Result<std::string, AppError> run_catalog(CatalogArgs args, bool json) {
    if (auto ok = validate_fields(args.fields, kCatalogFields); !ok) {
        return unexpected(std::move(ok.error()));
    }
    return catalog_report(cache_catalog(), args, json);
}

} // namespace qb
