#pragma once

// Builders shared by the files that assemble the contract document.

#include "common/json.hpp"

#include <initializer_list>
#include <string_view>

namespace qb::contract {

/// A JSON array of strings, in the order given.
Json string_array(std::initializer_list<std::string_view> values);

/// Argument lists of the commands that do not use the shared list.
Json docker_args();
Json docker_clean_args();
Json clean_args();
Json catalog_args();
Json schema_args();
Json completions_args();
/// The shared list without `--protect-days`.
Json tui_args();

/// The `output_fields` lists of the five reporting commands.
Json scan_output_fields();
Json docker_clean_output_fields();
Json clean_output_fields();
Json catalog_output_fields();

} // namespace qb::contract
