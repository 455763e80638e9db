#include "main/report.hpp"

#include "common/saturating.hpp"

#include <algorithm>
#include <fmt/format.h>

namespace qb {

Result<Ok, AppError> validate_fields(const std::vector<std::string>& fields,
                                     std::span<const std::string_view> allowed) {
    for (const std::string& field : fields) {
        if (std::find(allowed.begin(), allowed.end(), field) == allowed.end()) {
            return unexpected(AppError(errors::InvalidInput{fmt::format(
                "unknown field {}; expected one of {}", field, fmt::join(allowed, ", "))}));
        }
    }
    return Ok{};
}

Json project_fields(const Json& object, const std::vector<std::string>& fields) {
    if (fields.empty()) {
        return object;
    }
    Json out = Json::object();
    for (const std::string& field : fields) {
        if (auto it = object.find(field); it != object.end()) {
            out[field] = *it;
        }
    }
    return out;
}

std::string report_json(const Json& report, const std::vector<std::string>& fields) {
    return json_compact(project_fields(report, fields));
}

void Page::describe(Json& envelope) const {
    envelope["total"] = total;
    envelope["returned"] = returned;
    envelope["offset"] = offset;
    envelope["limit"] = limit;
    envelope["truncated"] = truncated;
}

Page page_of(std::uint64_t total, std::uint64_t offset, std::uint64_t limit) {
    Page page;
    page.offset = offset;
    page.limit = limit;
    page.total = total;
    std::uint64_t end = sat_add(offset, limit);
    page.returned = offset < total ? std::min(total, end) - offset : 0;
    page.truncated = end < total;
    return page;
}

std::string join_lines(const std::vector<std::string>& lines) {
    return fmt::format("{}", fmt::join(lines, "\n"));
}

} // namespace qb
