#pragma once

#include "main/app_args.hpp"

#include <string>
#include <vector>

namespace qb {

/// The program's real main: parses the command line, runs the command, prints its
/// output or error, and returns the exit status.
int main_inner(int argc, char** argv);

/// Makes an exception that escapes, on any thread, end the process as an internal
/// failure: "internal error: {what}" on standard error and status 101.
void install_internal_failure_handler();

/// Puts a stand-in on each of descriptors 0, 1 and 2 that the process was started
/// without, so that no file opened later takes its number: a message for the terminal
/// would land in it. The stand-in fails every read or write with "Bad file descriptor",
/// as the closed descriptor did.
void hold_closed_standard_streams();

/// How a failure to parse `args` (program name first) is reported, decided before
/// parsing: the first "-o VALUE", "--output VALUE" or "--output=VALUE" gives text
/// exactly when VALUE is "text"; with none, JSON exactly when standard error is not a
/// terminal.
bool prescan_error_json(const std::vector<std::string>& args, bool stderr_is_terminal);

/// The JSON flag of a run that parsed: `auto` means JSON when standard output is not
/// a terminal.
bool output_is_json(OutputFormat output, bool stdout_is_terminal);

} // namespace qb
