#pragma once

// The records of the Docker provider. Cheap to include: the interface's worker
// messages and the command handlers carry these values around.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qb {

/// The closed set of diagnostic kind codes.
namespace diag {
inline constexpr std::string_view kNotFound = "not_found";
inline constexpr std::string_view kUnavailable = "unavailable";
inline constexpr std::string_view kTimeout = "timeout";
inline constexpr std::string_view kOutputTooLarge = "output_too_large";
inline constexpr std::string_view kPermissionDenied = "permission_denied";
inline constexpr std::string_view kDaemonUnavailable = "daemon_unavailable";
inline constexpr std::string_view kEndpointUnavailable = "endpoint_unavailable";
inline constexpr std::string_view kCommandFailed = "command_failed";
inline constexpr std::string_view kInvalidOutput = "invalid_output";
inline constexpr std::string_view kDuplicateOutput = "duplicate_output";
inline constexpr std::string_view kEmptyOutput = "empty_output";
inline constexpr std::string_view kMissingClass = "missing_class";
} // namespace diag

/// One failure of the Docker provider. Built only by native_diagnostic(), so the
/// message is always one sanitised line of at most 512 characters.
class NativeDiagnostic {
public:
    const std::string& provider() const { return provider_; }
    const std::string& kind() const { return kind_; }
    const std::string& message() const { return message_; }
    bool retryable() const { return retryable_; }

    bool operator==(const NativeDiagnostic&) const = default;

private:
    NativeDiagnostic() = default;
    friend NativeDiagnostic native_diagnostic(std::string_view kind, std::string_view message,
                                              bool retryable);

    std::string provider_;
    std::string kind_;
    std::string message_;
    bool retryable_ = false;
};

/// The one constructor: provider "docker", the kind code as given, the message
/// sanitised (sanitising is idempotent, so already clean text passes unchanged).
NativeDiagnostic native_diagnostic(std::string_view kind, std::string_view message, bool retryable);

/// Control characters become spaces, runs of Unicode white space one space, leading
/// and trailing white space go, and at most the first 512 characters stay. Invalid
/// UTF-8 shows as U+FFFD.
std::string sanitize_diagnostic_text(std::string_view text);

/// One Docker storage class as reported.
struct NativeResource {
    std::string provider; // "docker"
    std::string scope;    // "daemon"
    std::string kind;     // docker-images, docker-containers, docker-volumes, docker-build-cache
    std::string label;    // "Docker images", ...
    std::uint64_t total_count = 0;
    std::uint64_t active_count = 0;
    std::uint64_t bytes = 0;
    std::uint64_t reclaimable_bytes = 0;
    bool cleanable = false; // the build cache only

    bool operator==(const NativeResource&) const = default;
};

/// The result of one storage inspection.
struct NativeInspection {
    std::string provider; // "docker"
    /// At most one per kind: reclaimable bytes descending, then kind ascending.
    std::vector<NativeResource> resources;
    /// In the order they arose.
    std::vector<NativeDiagnostic> diagnostics;
    /// The client ran and exited with success (even when every row failed).
    bool available = false;
};

/// The result of a build-cache prune, or of one that did not run.
struct NativeCleanReport {
    std::string provider; // "docker"
    std::string kind;     // "docker-build-cache"
    bool changed = false;
    bool dry_run = false;
    bool confirmed = false;
    NativeResource before;
    /// The preview taken after a prune; absent when nothing ran or that preview failed.
    std::optional<NativeResource> after;
    /// The reclaimed total the client printed; absent when nothing ran or none was read.
    std::optional<std::uint64_t> reported_reclaimed_bytes;
    /// before.bytes - after.bytes, 0 when negative or without `after`.
    std::uint64_t estimated_removed_bytes = 0;
    /// Problems after a prune that ran (the failed later preview).
    std::vector<NativeDiagnostic> diagnostics;
};

/// What one finished `docker` run produced.
struct DockerRunOutput {
    std::string stdout_bytes;
    std::string stderr_bytes;
    int status = 0; // the raw wait status

    /// A normal exit with code 0.
    bool success() const;
};

/// The standard text of a wait status: "exit status: 1", "signal: 9 (SIGKILL)", with
/// " (core dumped)" appended when a core file was written.
std::string wait_status_text(int status);

/// The diagnostic of a run that exited with a failure status, classified from its
/// standard error (or from the status when standard error is blank). Always retryable.
NativeDiagnostic classify_docker_failure(std::string_view purpose, const DockerRunOutput& output);

} // namespace qb
