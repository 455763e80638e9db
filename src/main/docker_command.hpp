#pragma once

// The `docker` and `docker clean` commands.

#include "common/app_error.hpp"
#include "common/json.hpp"
#include "common/result.hpp"
#include "docker/native.hpp"
#include "docker/run.hpp"
#include "main/app_args.hpp"
#include "main/prompt.hpp"

#include <array>
#include <string>
#include <string_view>
#include <vector>

namespace qb {

/// The names `--fields` accepts on `docker`, each item, in the order error messages list them.
inline constexpr std::array<std::string_view, 9> kDockerFields{
    "provider",          "kind",      "label", "total_count", "active_count", "bytes",
    "reclaimable_bytes", "cleanable", "scope"};

/// The names `--fields` accepts on `docker clean`, the whole report.
inline constexpr std::array<std::string_view, 10> kDockerCleanFields{"provider",
                                                                     "kind",
                                                                     "changed",
                                                                     "dry_run",
                                                                     "confirmed",
                                                                     "before",
                                                                     "after",
                                                                     "reported_reclaimed_bytes",
                                                                     "estimated_removed_bytes",
                                                                     "diagnostics"};

/// Reports one row per Docker storage class.
Result<std::string, AppError> run_docker_inspect(DockerInspectionArgs args, bool json);
/// The same through the given client runner.
Result<std::string, AppError> run_docker_inspect_with(DockerInspectionArgs args, bool json,
                                                      const DockerRunner& run);

/// Prunes the ordinary build cache after a fresh preview and confirmation.
Result<std::string, AppError> run_docker_clean(DockerCleanArgs args, bool json);
/// The same through the given client runner and prompt streams.
Result<std::string, AppError> run_docker_clean_with(DockerCleanArgs args, bool json,
                                                    const DockerRunner& run,
                                                    const Console& console);

/// The report of an inspection: the JSON envelope or the text table of one page.
std::string docker_inspection_report(const NativeInspection& inspection,
                                     const DockerInspectionArgs& args, bool json);

/// The JSON of a build-cache prune report, before projection.
Json native_clean_report_json(const NativeCleanReport& report);
/// The one-line outcome of a prune, then its diagnostics.
std::string native_clean_report_text(const NativeCleanReport& report);

/// A storage class as its nine members.
Json serialize_native_resource(const NativeResource& resource);

/// The diagnostics in order, each with provider, kind, message and retryable.
Json diagnostics_to_json(const std::vector<NativeDiagnostic>& diagnostics);

/// A provider failure as the command's error: a malformed answer from the client is
/// NativeProtocol, anything else NativeUnavailable.
AppError native_error_to_app_error(NativeDiagnostic diagnostic);

} // namespace qb
