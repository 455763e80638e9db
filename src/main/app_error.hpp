#pragma once

// The application error: every command produces its output or exactly one of these.

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

enum class ErrorKind {
    Usage,
    InvalidInput,
    ConfirmationRequired,
    NativeUnavailable,
    NativeProtocol,
    Conflict,
    Io,
};

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

/// The message text of the error.
std::string fmt_app_error(const AppError& error);

/// "Error: {message}\nHint: {hint}\n" in text mode, the payloads made printable
/// (text::printable); one compact JSON line, the payloads exact,
/// {"error":{"exit_code":..,"hint":..,"kind":..,"message":..,"retryable":..}} otherwise.
std::string render_error(const AppError& error, bool json);

/// Writes render_error() to standard error in one write. A closed standard error drops
/// the text; any other write failure ends the process with status 101.
void report_error(const AppError& error, bool json);

/// Writes `text` to standard error (or to `fd`, standing in for it) under the same rule
/// as report_error().
void print_stderr(std::string_view text, int fd = 2);

} // namespace qb
