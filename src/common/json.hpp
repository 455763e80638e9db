#pragma once

// Every JSON document goes through these writers: nlohmann::json keeps object keys
// sorted, ordered_json keeps them in insertion order (the snapshot file only). Strings
// that are not valid UTF-8 never make the writer throw; callers still pass paths
// through path::display() so that each invalid sequence shows as one U+FFFD.

#include <nlohmann/json.hpp>
#include <string>

namespace qb {

using Json = nlohmann::json;
using OrderedJson = nlohmann::ordered_json;

/// One line, no spaces: {"a":1,"b":[true]}.
std::string json_compact(const Json& value);
std::string json_compact(const OrderedJson& value);

/// Two-space indent, keys sorted, no trailing newline.
std::string json_pretty(const Json& value);

} // namespace qb
