#pragma once

// The program's command line: the command tree and its extraction into the argument
// records of app_args.hpp.

#include "common/result.hpp"
#include "main/app_args.hpp"
#include "main/cli_model.hpp"
#include "main/cli_parser.hpp"

#include <string>
#include <vector>

namespace qb {

/// The finished command tree: every command with its options and positionals, the
/// inherited `--output`, the help and version options and the generated `help`
/// commands. Every call builds a fresh tree; it is what help pages, parsing and the
/// completion scripts walk.
cli::CommandDef cli_command();

/// Adds the seven commands, in order, to the root under construction.
void define_subcommands(cli::CommandDef& root);

/// Parses the process arguments (the program name first) into the records. Help and
/// version requests come back as errors of their own kinds; `quoted` says how their
/// messages quote the words of the command line.
Result<Cli, cli::ParseError> parse_cli(const std::vector<std::string>& args,
                                       cli::QuotedWords quoted = cli::QuotedWords::Exact);

} // namespace qb
