#pragma once

// The parsed command line: one record per command. The interface's own arguments and
// the output mode are declared below the front end, in the interface.

#include "common/defaults.hpp"
#include "scanner/scan.hpp"
#include "tui/tui_args.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace qb {

/// The shells a completion script can be written for.
enum class CompletionShell { Bash = 0, Elvish = 1, Fish = 2, Powershell = 3, Zsh = 4 };

struct ScanArgs {
    std::vector<std::string> roots;
    ScopeFilter scope = ScopeFilter::All;
    std::vector<std::string> kinds;
    std::uint64_t protect_days = kDefaultProtectDays;
    std::uint64_t limit = kDefaultLimit;
    std::uint64_t offset = kDefaultOffset;
    std::vector<std::string> fields;
};

struct DockerInspectionArgs {
    std::uint64_t limit = kDefaultLimit;
    std::uint64_t offset = kDefaultOffset;
    std::vector<std::string> fields;
};

struct DockerCleanArgs {
    bool dry_run = false;
    bool yes = false;
    std::vector<std::string> fields;
};

struct DockerArgs {
    /// The nested `clean` command, when given.
    std::optional<DockerCleanArgs> command;
    /// The arguments given to `docker` itself (defaults when absent).
    DockerInspectionArgs inspection;
};

struct CleanArgs {
    std::vector<std::string> roots;
    ScopeFilter scope = ScopeFilter::Project;
    std::vector<std::string> kinds;
    std::uint64_t protect_days = kDefaultProtectDays;
    bool include_recent = false;
    bool dry_run = false;
    bool yes = false;
    std::vector<std::string> fields;
};

struct CatalogArgs {
    std::uint64_t limit = kDefaultLimit;
    std::uint64_t offset = kDefaultOffset;
    std::vector<std::string> fields;
};

struct Schema {
    /// The command path that narrows the contract; empty for the whole document.
    std::vector<std::string> path;
};

struct Completions {
    CompletionShell shell = CompletionShell::Bash;
};

/// The chosen command, in the order of the command tree.
using CliCommand =
    std::variant<TuiArgs, ScanArgs, DockerArgs, CleanArgs, CatalogArgs, Schema, Completions>;

struct Cli {
    std::optional<CliCommand> command;
    OutputFormat output = OutputFormat::Auto;
};

} // namespace qb
