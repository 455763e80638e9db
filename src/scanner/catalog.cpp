#include "scanner/catalog.hpp"

namespace qb {

std::string_view scope_json_text(CacheScope scope) {
    return scope == CacheScope::Global ? "global" : "project";
}

std::string_view scope_display_text(CacheScope scope) {
    return scope == CacheScope::Global ? "Global" : "Project";
}

std::vector<CatalogEntry> cache_catalog() {
    return {kCatalog.begin(), kCatalog.end()};
}

const CatalogEntry* find_catalog_entry(std::string_view kind) {
    for (const CatalogEntry& entry : kCatalog) {
        if (entry.kind == kind) {
            return &entry;
        }
    }
    return nullptr;
}

Result<Ok, AppError> validate_kind_filter(const std::vector<std::string>& kinds) {
    for (const std::string& name : kinds) {
        if (find_catalog_entry(name) == nullptr) {
            return unexpected(AppError(errors::InvalidInput{"unknown cache kind " + name +
                                                            "; run `quillbarrow catalog`"}));
        }
    }
    return Ok{};
}

} // namespace qb
