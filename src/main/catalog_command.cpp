#include "main/catalog_command.hpp"

#include "main/report.hpp"

#include <fmt/format.h>

namespace qb {
namespace {

CacheScope scope_of(const CatalogEntry& entry) {
    return entry.global ? CacheScope::Global : CacheScope::Project;
}

Json entry_json(const CatalogEntry& entry) {
    return {{"kind", entry.kind},
            {"ecosystem", entry.ecosystem},
            {"scope", scope_json_text(scope_of(entry))},
            {"description", entry.description},
            {"network_restore", entry.network_restore},
            {"cleanable", entry.cleanable}};
}

} // namespace

std::string catalog_report(const std::vector<CatalogEntry>& rows, const CatalogArgs& args,
                           bool json) {
    Page page = page_of(rows.size(), args.offset, args.limit);
    if (json) {
        return page_json(page, rows, entry_json, args.fields);
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
