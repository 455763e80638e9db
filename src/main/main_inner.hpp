#pragma once

namespace qb {

/// The program's real main: parses the command line, runs the command, prints its
/// output or error, and returns the exit status.
int main_inner(int argc, char** argv);

} // namespace qb
