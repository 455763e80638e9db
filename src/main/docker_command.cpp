#include "main/docker_command.hpp"

#include "common/format_bytes.hpp"
#include "common/saturating.hpp"
#include "docker/build_cache.hpp"
#include "docker/storage.hpp"
#include "main/report.hpp"

#include <algorithm>
#include <fmt/format.h>

namespace qb {

Json serialize_native_resource(const NativeResource& r) {
    return {{"provider", r.provider},
            {"scope", r.scope},
            {"kind", r.kind},
            {"label", r.label},
            {"total_count", r.total_count},
            {"active_count", r.active_count},
            {"bytes", r.bytes},
            {"reclaimable_bytes", r.reclaimable_bytes},
            {"cleanable", r.cleanable}};
}

Json diagnostics_to_json(const std::vector<NativeDiagnostic>& diagnostics) {
    return json_array(diagnostics, [](const NativeDiagnostic& d) {
        return Json{{"provider", d.provider()},
                    {"kind", d.kind()},
                    {"message", d.message()},
                    {"retryable", d.retryable()}};
    });
}

AppError native_error_to_app_error(NativeDiagnostic diagnostic) {
    // The client answered, but not in a shape the provider can read.
    constexpr std::array<std::string_view, 4> kProtocol{
        diag::kEmptyOutput, diag::kMissingClass, diag::kInvalidOutput, diag::kDuplicateOutput};
    std::string provider = diagnostic.provider();
    std::string message = diagnostic.message();
    if (std::find(kProtocol.begin(), kProtocol.end(), diagnostic.kind()) != kProtocol.end()) {
        return errors::NativeProtocol{std::move(provider), std::move(message)};
    }
    return errors::NativeUnavailable{std::move(provider), std::move(message)};
}

std::string docker_inspection_report(const NativeInspection& inspection,
                                     const DockerInspectionArgs& args, bool json) {
    const std::vector<NativeResource>& all = inspection.resources;
    std::uint64_t total_bytes = sat_sum(all, &NativeResource::bytes);
    std::uint64_t total_reclaimable = sat_sum(all, &NativeResource::reclaimable_bytes);
    const Page page = page_of(all.size(), args.offset, args.limit);

    if (json) {
        return page_json(page, all, serialize_native_resource, args.fields,
                         {{"provider", inspection.provider},
                          {"available", inspection.available},
                          {"total_bytes", total_bytes},
                          {"total_reclaimable_bytes", total_reclaimable},
                          {"diagnostics", diagnostics_to_json(inspection.diagnostics)}});
    }

    if (!inspection.available) {
        return fmt::format("Docker storage unavailable: {}",
                           inspection.diagnostics.empty()
                               ? std::string("Docker is unavailable")
                               : inspection.diagnostics.front().message());
    }
    std::vector<std::string> lines;
    lines.push_back(fmt::format("Docker uses {}; {} is potentially reclaimable{}",
                                format_bytes(total_bytes), format_bytes(total_reclaimable),
                                page.truncated ? " (output truncated)" : ""));
    lines.emplace_back("RECLAIMABLE\tSIZE\tACTIVE\tTOTAL\tKIND");
    for (const NativeResource& r : page.of(all)) {
        lines.push_back(fmt::format("{}\t{}\t{}\t{}\t{}", format_bytes(r.reclaimable_bytes),
                                    format_bytes(r.bytes), r.active_count, r.total_count, r.kind));
    }
    for (const NativeDiagnostic& d : inspection.diagnostics) {
        lines.push_back(fmt::format("Diagnostic: {}", d.message()));
    }
    return join_lines(lines);
}

Json native_clean_report_json(const NativeCleanReport& r) {
    return {{"provider", r.provider},
            {"kind", r.kind},
            {"changed", r.changed},
            {"dry_run", r.dry_run},
            {"confirmed", r.confirmed},
            {"before", serialize_native_resource(r.before)},
            {"after", json_or_null(r.after, serialize_native_resource)},
            {"reported_reclaimed_bytes", json_or_null(r.reported_reclaimed_bytes)},
            {"estimated_removed_bytes", r.estimated_removed_bytes},
            {"diagnostics", diagnostics_to_json(r.diagnostics)}};
}

std::string native_clean_report_text(const NativeCleanReport& r) {
    std::string first;
    if (r.dry_run) {
        first = fmt::format("Would prune Docker build cache \u00b7 {} reclaimable of {} used "
                            "\u00b7 rebuilding may require downloads",
                            format_bytes(r.before.reclaimable_bytes), format_bytes(r.before.bytes));
    } else if (r.before.reclaimable_bytes == 0) {
        first = "Docker build cache is already clean; nothing changed";
    } else if (!r.confirmed) {
        first = "Docker build-cache prune cancelled; nothing changed";
    } else if (r.reported_reclaimed_bytes) {
        first = fmt::format("Pruned Docker build cache \u00b7 {} reported reclaimed",
                            format_bytes(*r.reported_reclaimed_bytes));
    } else if (r.estimated_removed_bytes == 0) {
        first = "Docker build-cache prune completed; no reclaimed bytes were reported";
    } else {
        first = fmt::format("Pruned Docker build cache \u00b7 {} estimated removed",
                            format_bytes(r.estimated_removed_bytes));
    }
    std::vector<std::string> lines{std::move(first)};
    for (const NativeDiagnostic& d : r.diagnostics) {
        lines.push_back(fmt::format("Diagnostic: {}", d.message()));
    }
    return join_lines(lines);
}

Result<std::string, AppError> run_docker_inspect_with(DockerInspectionArgs args, bool json,
                                                      const DockerRunner& run) {
    if (auto ok = validate_fields(args.fields, kDockerFields); !ok) {
        return unexpected(std::move(ok).error());
    }
    return docker_inspection_report(inspect_docker_storage(run), args, json);
}

Result<std::string, AppError> run_docker_clean_with(DockerCleanArgs args, bool json,
                                                    const DockerRunner& run,
                                                    const Console& console) {
    if (auto ok = validate_fields(args.fields, kDockerCleanFields); !ok) {
        return unexpected(std::move(ok).error());
    }
    auto before = preview_build_cache(run);
    if (!before) {
        return unexpected(native_error_to_app_error(std::move(before).error()));
    }

    bool prune = false;
    NativeCleanReport report;
    if (args.dry_run) {
        report = unpruned_clean_report(*before, true, false);
    } else if (before->reclaimable_bytes == 0) {
        report = unpruned_clean_report(*before, false, true);
    } else if (args.yes) {
        prune = true;
    } else if (!console.input_is_terminal) {
        return unexpected(AppError(errors::PruneConfirmationRequired{"Docker", "build cache"}));
    } else {
        auto confirmed = ask_confirmation(
            console,
            fmt::format("Prune Docker build cache ({} reclaimable of {} used)? "
                        "Rebuilding may require downloads. [y/N] ",
                        format_bytes(before->reclaimable_bytes), format_bytes(before->bytes)));
        if (!confirmed) {
            return unexpected(std::move(confirmed).error());
        }
        prune = *confirmed;
        if (!prune) {
            report = unpruned_clean_report(*before, false, false);
        }
    }
    if (prune) {
        // The prune takes its own fresh preview: the first one may be stale by now.
        auto pruned = prune_build_cache(run);
        if (!pruned) {
            return unexpected(native_error_to_app_error(std::move(pruned).error()));
        }
        report = std::move(pruned).value();
    }

    if (json) {
        return report_json(native_clean_report_json(report), args.fields);
    }
    return native_clean_report_text(report);
}

Result<std::string, AppError> run_docker_inspect(DockerInspectionArgs args, bool json) {
    return run_docker_inspect_with(std::move(args), json,
                                   process_docker_runner(SystemEnv::from_process()));
}

Result<std::string, AppError> run_docker_clean(DockerCleanArgs args, bool json) {
    return run_docker_clean_with(std::move(args), json,
                                 process_docker_runner(SystemEnv::from_process()),
                                 Console::standard());
}

} // namespace qb
