#include "docker/build_cache.hpp"

#include "common/saturating.hpp"
#include "common/text.hpp"
#include "docker/docker_text.hpp"
#include "docker/storage.hpp"

#include <algorithm>

namespace qb {

Result<NativeResource, NativeDiagnostic> preview_build_cache(const DockerRunner& run) {
    NativeInspection inspection = inspect_docker_storage(run);
    if (!inspection.available) {
        if (!inspection.diagnostics.empty()) {
            return unexpected(std::move(inspection.diagnostics.front()));
        }
        return unexpected(native_diagnostic(diag::kUnavailable,
                                            "Docker build cache could not be inspected", true));
    }
    auto it = std::find_if(inspection.resources.begin(), inspection.resources.end(),
                           [](const NativeResource& r) { return r.kind == kBuildCacheKind; });
    if (it == inspection.resources.end()) {
        return unexpected(native_diagnostic(diag::kMissingClass,
                                            "Docker did not report build-cache storage", false));
    }
    return std::move(*it);
}

Result<NativeResource, NativeDiagnostic> preview_build_cache() {
    return preview_build_cache(process_docker_runner(SystemEnv::from_process()));
}

NativeCleanReport unpruned_clean_report(const NativeResource& before, bool dry_run,
                                        bool confirmed) {
    NativeCleanReport report;
    report.provider = before.provider;
    report.kind = before.kind;
    report.dry_run = dry_run;
    report.confirmed = confirmed;
    report.before = before;
    return report;
}

Result<NativeCleanReport, NativeDiagnostic> prune_build_cache(const DockerRunner& run) {
    auto before = preview_build_cache(run);
    if (!before) {
        return unexpected(std::move(before).error());
    }
    if (before->reclaimable_bytes == 0) {
        return unpruned_clean_report(*before, false, true);
    }
    const std::string_view purpose = "build-cache prune";
    auto output = run({"builder", "prune", "--force"}, kPruneTimeoutSecs, purpose);
    if (!output) {
        return unexpected(std::move(output).error());
    }
    if (!output->success()) {
        return unexpected(classify_docker_failure(purpose, *output));
    }

    NativeCleanReport report;
    report.provider = "docker";
    report.kind = kBuildCacheKind;
    report.dry_run = false;
    report.confirmed = true;
    report.reported_reclaimed_bytes = parse_reclaimed_bytes(output->stdout_bytes);
    if (!report.reported_reclaimed_bytes) {
        report.reported_reclaimed_bytes = parse_reclaimed_bytes(output->stderr_bytes);
    }
    // The prune has run; a failed look afterwards does not undo it.
    auto after = preview_build_cache(run);
    if (after) {
        report.estimated_removed_bytes = sat_sub(before->bytes, after->bytes);
        report.after = std::move(after).value();
    } else {
        report.diagnostics.push_back(std::move(after).error());
    }
    report.before = std::move(before).value();
    report.changed =
        report.reported_reclaimed_bytes.value_or(0) > 0 || report.estimated_removed_bytes > 0;
    return report;
}

Result<NativeCleanReport, NativeDiagnostic> prune_build_cache() {
    return prune_build_cache(process_docker_runner(SystemEnv::from_process()));
}

std::optional<std::uint64_t> parse_reclaimed_bytes(std::string_view output) {
    constexpr std::string_view kLong = "total reclaimed space:";
    constexpr std::string_view kShort = "total:";
    const std::string decoded = text::lossy(output);
    for (std::string_view raw : docker_text::split_lines(decoded)) {
        const std::string_view line = docker_text::trim(raw);
        if (line.empty()) {
            continue;
        }
        const std::string lower = text::ascii_lower(line);
        std::string_view rest;
        if (lower.starts_with(kLong)) {
            rest = line.substr(kLong.size());
        } else if (lower.starts_with(kShort)) {
            rest = line.substr(kShort.size());
        } else {
            continue;
        }
        if (auto bytes = parse_docker_size(docker_text::trim(rest))) {
            return *bytes;
        }
    }
    return std::nullopt;
}

} // namespace qb
