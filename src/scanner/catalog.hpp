#pragma once

// The closed catalogue of cache kinds and the kind filter.

#include "common/app_error.hpp"
#include "common/result.hpp"

#include <string>
#include <string_view>
#include <vector>

namespace qb {

/// Where a cache lives.
enum class CacheScope { Project = 0, Global = 1 };

/// "project" / "global": the JSON text.
std::string_view scope_json_text(CacheScope scope);
/// "Project" / "Global": the text of text tables.
std::string_view scope_display_text(CacheScope scope);

struct CatalogEntry {
    std::string_view kind;
    std::string_view ecosystem;
    std::string_view description;
    bool global;
    bool network_restore;
    bool cleanable;
};

/// The 59 rows, in catalogue order, built afresh on each call.
std::vector<CatalogEntry> cache_catalog();

/// Succeeds when every name is a catalogue kind; otherwise the InvalidInput error
/// "unknown cache kind {}; run `quillbarrow catalog`" for the first name that is not.
Result<Ok, AppError> validate_kind_filter(const std::vector<std::string>& kinds);

} // namespace qb
