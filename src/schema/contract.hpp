#pragma once

// The contract document printed by `quillbarrow schema`: a fixed JSON description of the
// command line (commands, arguments, output fields, error kinds, safety defaults) for
// programs that drive the tool. It holds its own copy of every name and text; it never
// reads the argument parser's definitions, so a test compares the two instead.

#include "common/json.hpp"

#include <string>
#include <string_view>
#include <vector>

namespace qb {

/// The contract format's name, written as its web domain. The root help and the
/// `schema` about text name the format with this too.
inline constexpr std::string_view kContractFormatDomain = "cli-contract.dev";
/// The version of the contract format that the document follows.
inline constexpr std::string_view kContractFormatVersion = "0.3";

/// The whole contract document. Keys print sorted; arrays keep their documented order.
/// The same on every run: it depends on no argument, setting or file.
Json build_contract_document();

/// The shared `--root`, `--scope` (default `default_scope`), `--kind` and
/// `--protect-days` argument objects, followed by `--limit`, `--offset` and `--fields`
/// when `paginated`. A JSON array.
Json contract_shared_args(std::string_view default_scope, bool paginated);

/// The nine field objects that describe one Docker storage class. A JSON array.
Json contract_docker_fields();

/// Keeps, in order, only the command objects whose `name` is the path made of `words`
/// joined by single blanks, or starts with that path and a blank. No words keep the
/// document whole; a path that matches nothing leaves `commands` empty. Nothing else in
/// the document changes.
Json narrow_contract(Json document, const std::vector<std::string>& words);

/// What `schema` prints: the document narrowed to `words`, as pretty JSON with a
/// two-space indent and sorted keys, followed by one newline.
std::string contract_output(const std::vector<std::string>& words);

} // namespace qb
