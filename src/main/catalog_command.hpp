#pragma once

// The `catalog` command: every cache kind the program can identify.

#include "common/app_error.hpp"
#include "common/json.hpp"
#include "common/result.hpp"
#include "main/app_args.hpp"
#include "scanner/catalog.hpp"

#include <array>
#include <string>
#include <string_view>
#include <vector>

namespace qb {

/// The names `--fields` accepts on `catalog`, in the order error messages list them.
inline constexpr std::array<std::string_view, 6> kCatalogFields{
    "kind", "ecosystem", "scope", "description", "network_restore", "cleanable"};

/// One page of the catalogue as compact JSON or as a text table.
Result<std::string, AppError> run_catalog(CatalogArgs args, bool json);

/// The report over the given rows; the fields must have been validated.
std::string catalog_report(const std::vector<CatalogEntry>& rows, const CatalogArgs& args,
                           bool json);

} // namespace qb
