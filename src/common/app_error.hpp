#pragma once

// The application error: every command produces its output or exactly one of these. Its
// rendering for a person or a program lives with the front end (main/error_report.hpp).

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace qb {

/// An I/O failure: an operating-system error number, or a text of the program's own.
struct IoError {
    std::optional<int> os_code;
    std::string text;

    static IoError from_errno(int code) { return IoError{code, {}}; }
    static IoError from_text(std::string t) { return IoError{std::nullopt, std::move(t)}; }
    /// "Permission denied (os error 13)", or the program's own text.
    std::string to_string() const;
};

namespace errors {
struct Usage {
    std::string message;
};
struct InvalidInput {
    std::string message;
};
struct UnreadableDirectory {
    std::string path;
};
struct CleanConfirmationRequired {
    std::uint64_t count;
};
struct PruneConfirmationRequired {
    std::string provider_label;
    std::string resource_label;
};
struct NativeUnavailable {
    std::string provider;
    std::string message;
};
struct NativeProtocol {
    std::string provider;
    std::string message;
};
struct Conflict {
    std::string message;
};
struct Io {
    std::string path;
    IoError error;
};
} // namespace errors

/// The nine variants, in their fixed order.
using AppErrorVariant =
    std::variant<errors::Usage, errors::InvalidInput, errors::UnreadableDirectory,
                 errors::CleanConfirmationRequired, errors::PruneConfirmationRequired,
                 errors::NativeUnavailable, errors::NativeProtocol, errors::Conflict, errors::Io>;

/// The kinds a program can tell apart, in the order of their exit statuses.
enum class ErrorKind {
    InvalidInput,
    Usage,
    Io,
    Conflict,
    ConfirmationRequired,
    NativeUnavailable,
    NativeProtocol,
};

/// What each kind promises a caller; the contract document lists the same rows.
struct ErrorKindInfo {
    std::string_view name;
    int exit_status;
    bool retryable;
    std::string_view description;
};

/// Indexed by ErrorKind.
inline constexpr std::array<ErrorKindInfo, 7> kErrorKinds{{
    {"invalid_input", 2, false, "A path, kind, field, or value was invalid."},
    {"usage", 3, false, "The command-line invocation was invalid."},
    {"io", 4, false, "A local filesystem or process operation failed."},
    {"conflict", 5, false, "Every selected target changed or became unsafe before deletion."},
    {"confirmation_required", 6, false, "Cleanup reached a confirmation gate without a TTY."},
    {"native_unavailable", 7, true,
     "A native provider executable, service, or operation was unavailable."},
    {"native_protocol", 8, false,
     "A native provider returned data QuillBarrow could not safely interpret."},
}};

struct AppError {
    AppErrorVariant value;

    template <class V>
    AppError(V v) : value(std::move(v)) {}

    ErrorKind kind() const;
    /// "usage", "invalid_input", ...
    std::string_view kind_name() const;
    int exit_status() const;
    std::string_view hint() const;
    bool retryable() const;

    template <class V>
    const V* as() const {
        return std::get_if<V>(&value);
    }
};

/// The message text of the error, its payloads exact.
std::string fmt_app_error(const AppError& error);

/// The message text for a person on a terminal: every payload made printable
/// (text::printable). A Usage text goes in as it is.
std::string fmt_app_error_printable(const AppError& error);

} // namespace qb
