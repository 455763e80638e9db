#include "main/scan_command.hpp"

#include "common/env.hpp"
#include "common/format_bytes.hpp"
#include "common/paths.hpp"
#include "common/saturating.hpp"
#include "common/text.hpp"
#include "main/report.hpp"
#include "scanner/catalog.hpp"

#include <fmt/format.h>

namespace qb {

Json candidate_json(const Candidate& c) {
    return {{"kind", c.kind},
            {"ecosystem", c.ecosystem},
            {"scope", scope_json_text(c.scope)},
            {"path", path::display(c.path)},
            {"bytes", c.bytes},
            {"allocated_bytes", c.allocated_bytes},
            {"modified_unix", json_or_null(c.modified_unix)},
            {"age_days", json_or_null(c.age_days)},
            {"protected", c.is_protected},
            {"network_restore", c.network_restore},
            {"cleanable", c.cleanable}};
}

std::string scan_report(const ScanResult& result, const ScanArgs& args, bool json) {
    const std::vector<Candidate>& all = result.candidates;
    std::uint64_t total_bytes = sat_sum(all, &Candidate::bytes);
    std::uint64_t total_allocated = sat_sum(all, &Candidate::allocated_bytes);
    Page page = page_of(all.size(), args.offset, args.limit);

    if (json) {
        return page_json(page, all, candidate_json, args.fields,
                         {{"total_bytes", total_bytes},
                          {"total_allocated_bytes", total_allocated},
                          {"warnings", result.walk_errors}});
    }

    std::vector<std::string> lines;
    lines.push_back(fmt::format("Found {} storage locations using {} apparent ({} allocated){}",
                                all.size(), format_bytes(total_bytes),
                                format_bytes(total_allocated),
                                page.truncated ? " (output truncated)" : ""));
    lines.emplace_back("APPARENT\tALLOCATED\tAGE\tSCOPE\tKIND\tPATH");
    for (const Candidate& c : page.of(all)) {
        lines.push_back(fmt::format(
            "{}\t{}\t{}\t{}\t{}\t{}{}", format_bytes(c.bytes), format_bytes(c.allocated_bytes),
            c.age_days ? fmt::format("{}d", *c.age_days) : "?", scope_display_text(c.scope), c.kind,
            text::printable(c.path), c.is_protected ? " [protected]" : ""));
    }
    if (!result.walk_errors.empty()) {
        lines.push_back(fmt::format("{} paths could not be inspected", result.walk_errors.size()));
    }
    return join_lines(lines);
}

Result<std::string, AppError> run_scan(ScanArgs args, bool json) {
    if (auto ok = validate_fields(args.fields, kScanFields); !ok) {
        return unexpected(std::move(ok.error()));
    }
    SystemEnv env = SystemEnv::from_process();
    ScanRequest request;
    request.roots = args.roots.empty() ? default_project_roots(env) : args.roots;
    request.kinds = std::move(args.kinds);
    request.protect_days = args.protect_days;
    request.scope = args.scope;
    auto result = scan_caches(request, env);
    if (!result) {
        return unexpected(std::move(result.error()));
    }
    return scan_report(*result, args, json);
}

} // namespace qb
