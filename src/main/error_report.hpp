#pragma once

// How an application error reaches a person or a program: the text and JSON renderings,
// and the write to standard error.

#include "common/app_error.hpp"

#include <string>
#include <string_view>

namespace qb {

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
