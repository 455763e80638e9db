#pragma once

// What the reporting commands share: field selection, paging, and the line layout of
// text reports.

#include "common/app_error.hpp"
#include "common/json.hpp"
#include "common/result.hpp"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace qb {

/// Fails with InvalidInput "unknown field {}; expected one of {}" for the first name
/// that is not in `allowed` (exact comparison); repeats are fine. Every command calls
/// it before any other work.
Result<Ok, AppError> validate_fields(const std::vector<std::string>& fields,
                                     std::span<const std::string_view> allowed);

/// The members of `object` named in `fields`, each once; the whole object when `fields`
/// is empty. Names the object lacks are skipped.
Json project_fields(const Json& object, const std::vector<std::string>& fields);

/// One page of `total` records.
struct Page {
    std::uint64_t offset = 0;
    std::uint64_t limit = 0;
    std::uint64_t total = 0;
    std::uint64_t returned = 0;
    bool truncated = false;

    /// The records of the page, from a list of `total` records.
    template <class T>
    std::span<const T> of(const std::vector<T>& records) const {
        if (returned == 0) {
            return {};
        }
        return std::span<const T>(records).subspan(static_cast<std::size_t>(offset),
                                                   static_cast<std::size_t>(returned));
    }

    /// Sets "total", "returned", "offset", "limit" and "truncated" on an envelope.
    void describe(Json& envelope) const;
};

/// Each record turned into JSON by `to_json`, in order.
template <class Records, class ToJson>
Json json_array(const Records& records, ToJson&& to_json) {
    Json out = Json::array();
    for (const auto& record : records) {
        out.push_back(to_json(record));
    }
    return out;
}

/// The value turned into JSON by `to_json`, or null when there is none.
template <class T, class ToJson = std::identity>
Json json_or_null(const std::optional<T>& value, ToJson&& to_json = {}) {
    return value ? Json(to_json(*value)) : Json(nullptr);
}

/// One page as compact JSON: the `members`, "items" (each record of the page turned
/// into JSON by `to_json` and cut to `fields`, see project_fields) and the page's counts.
template <class T, class ToJson>
std::string page_json(const Page& page, const std::vector<T>& records, ToJson&& to_json,
                      const std::vector<std::string>& fields, Json members = Json::object()) {
    members["items"] = json_array(
        page.of(records), [&](const T& record) { return project_fields(to_json(record), fields); });
    page.describe(members);
    return json_compact(members);
}

/// A whole report cut to `fields` (project_fields), as compact JSON.
std::string report_json(const Json& report, const std::vector<std::string>& fields);

/// The page from `offset` with at most `limit` records; the end saturates, so no
/// offset wraps around.
Page page_of(std::uint64_t total, std::uint64_t offset, std::uint64_t limit);

/// The lines joined with "\n", nothing after the last.
std::string join_lines(const std::vector<std::string>& lines);

} // namespace qb
