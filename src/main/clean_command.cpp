#include "main/clean_command.hpp"

#include "common/format_bytes.hpp"
#include "common/paths.hpp"
#include "common/saturating.hpp"
#include "common/text.hpp"
#include "main/report.hpp"
#include "scanner/scan.hpp"

#include <algorithm>
#include <fmt/format.h>

namespace qb {
namespace {

constexpr std::string_view kPlanHeader = "APPARENT\tALLOCATED\tRESTORE\tKIND\tPATH";

std::string plan_row(std::uint64_t bytes, std::uint64_t allocated, bool network_restore,
                     std::string_view kind, std::string_view path) {
    return fmt::format("{}\t{}\t{}\t{}\t{}", format_bytes(bytes), format_bytes(allocated),
                       network_restore ? "network" : "local", kind, text::printable(path));
}

// The report of a run that removes nothing without being a dry run: an empty selection
// or a declined prompt.
CleanReport unconfirmed_report(const std::vector<Candidate>& selection, const SystemEnv& env) {
    CleanReport report = *execute_clean(selection, true, env);
    report.dry_run = false;
    return report;
}

} // namespace

std::string clean_prompt_text(const std::vector<Candidate>& targets) {
    std::string text(kPlanHeader);
    text.push_back('\n');
    std::uint64_t bytes = 0;
    std::uint64_t allocated = 0;
    std::uint64_t network = 0;
    for (const Candidate& t : targets) {
        text += plan_row(t.bytes, t.allocated_bytes, t.network_restore, t.kind, t.path);
        text.push_back('\n');
        bytes = sat_add(bytes, t.bytes);
        allocated = sat_add(allocated, t.allocated_bytes);
        network += t.network_restore ? 1 : 0;
    }
    text += fmt::format("Clean {} cache directories ({} apparent, {} allocated)? {} require "
                        "downloads to restore. [y/N] ",
                        targets.size(), format_bytes(bytes), format_bytes(allocated), network);
    return text;
}

Result<bool, AppError> confirm_clean(const std::vector<Candidate>& targets,
                                     const Console& console) {
    return ask_confirmation(console, clean_prompt_text(targets));
}

Json clean_report_json(const CleanReport& r) {
    auto delta = [](const FilesystemDelta& d) {
        return Json{{"probe_path", path::display(d.probe_path)},
                    {"free_bytes_before", d.free_bytes_before},
                    {"free_bytes_after", d.free_bytes_after},
                    {"delta_bytes", d.delta_bytes}};
    };
    auto target = [](const SelectedTarget& t) {
        return Json{{"kind", t.kind},
                    {"path", path::display(t.path)},
                    {"bytes", t.bytes},
                    {"allocated_bytes", t.allocated_bytes},
                    {"network_restore", t.network_restore}};
    };
    auto skipped = [](const SkippedPath& s) {
        return Json{{"path", path::display(s.path)}, {"reason", s.reason}};
    };
    return {{"changed", r.changed},
            {"dry_run", r.dry_run},
            {"confirmed", r.confirmed},
            {"selected", r.selected},
            {"cleaned", r.cleaned},
            {"skipped", r.skipped},
            {"protected_skipped", r.protected_skipped},
            {"policy_skipped", r.policy_skipped},
            {"network_restore_selected", r.network_restore_selected},
            {"bytes_selected", r.bytes_selected},
            {"apparent_bytes_selected", r.apparent_bytes_selected},
            {"allocated_bytes_selected", r.allocated_bytes_selected},
            {"bytes_reclaimed_estimate", r.bytes_reclaimed_estimate},
            {"apparent_bytes_removed", r.apparent_bytes_removed},
            {"allocated_bytes_removed_estimate", r.allocated_bytes_removed_estimate},
            {"filesystem_deltas", json_array(r.filesystem_deltas, delta)},
            {"selected_targets", json_array(r.selected_targets, target)},
            {"cleaned_paths", json_array(r.cleaned_paths, path::display)},
            {"skipped_paths", json_array(r.skipped_paths, skipped)}};
}

std::string clean_report_text(const CleanReport& r) {
    auto skipped_at = [&r](SkipStage stage) {
        return std::count_if(r.skipped_paths.begin(), r.skipped_paths.end(),
                             [stage](const SkippedPath& s) { return s.stage == stage; });
    };
    std::string skipped_tail;
    if (auto n = skipped_at(SkipStage::Validation); n > 0) {
        skipped_tail += fmt::format("; {} refused during final validation", n);
    }
    if (auto n = skipped_at(SkipStage::Removal); n > 0) {
        skipped_tail += fmt::format("; {} failed during removal", n);
    }
    std::string summary;
    if (r.dry_run) {
        summary = fmt::format("Would clean {} of {} selected caches; {} protected; {} scan-only; "
                              "{} apparent, {} allocated{}",
                              r.selected, r.selected, r.protected_skipped, r.policy_skipped,
                              format_bytes(r.bytes_selected),
                              format_bytes(r.allocated_bytes_selected), skipped_tail);
    } else {
        summary = fmt::format("Cleaned {} of {} selected caches; {} protected; {} scan-only; "
                              "{} apparent, {} allocated{}",
                              r.cleaned, r.selected, r.protected_skipped, r.policy_skipped,
                              format_bytes(r.apparent_bytes_removed),
                              format_bytes(r.allocated_bytes_removed_estimate), skipped_tail);
        const auto& deltas = r.filesystem_deltas;
        if (deltas.empty()) {
            summary += "; observed disk-free change unavailable";
        } else if (deltas.size() == 1) {
            summary += fmt::format("; observed disk-free change {} net",
                                   format_signed_bytes(deltas.front().delta_bytes));
        } else {
            summary += fmt::format(
                "; observed disk-free changes on {} filesystems (reported separately in JSON)",
                deltas.size());
        }
    }
    std::vector<std::string> lines{std::move(summary)};
    if (!r.dry_run && r.filesystem_deltas.size() >= 2) {
        lines.emplace_back("NET_CHANGE\tFREE_BEFORE\tFREE_AFTER\tFILESYSTEM_PROBE");
        for (const FilesystemDelta& d : r.filesystem_deltas) {
            lines.push_back(fmt::format("{}\t{}\t{}\t{}", format_signed_bytes(d.delta_bytes),
                                        format_bytes(d.free_bytes_before),
                                        format_bytes(d.free_bytes_after),
                                        text::printable(d.probe_path)));
        }
    }
    if (r.dry_run && !r.selected_targets.empty()) {
        lines.emplace_back(kPlanHeader);
        for (const SelectedTarget& t : r.selected_targets) {
            lines.push_back(
                plan_row(t.bytes, t.allocated_bytes, t.network_restore, t.kind, t.path));
        }
    }
    return join_lines(lines);
}

std::string nothing_removed_message(const CleanReport& r) {
    auto failed = std::find_if(r.skipped_paths.begin(), r.skipped_paths.end(),
                               [](const SkippedPath& s) { return s.stage == SkipStage::Removal; });
    const bool any_failed = failed != r.skipped_paths.end();
    const SkippedPath& first = any_failed ? *failed : r.skipped_paths.front();
    return fmt::format("all {} selected targets {}; first: {}: {}", r.selected,
                       any_failed ? "failed or were refused"
                                  : "were refused during final validation",
                       path::display(first.path), first.reason);
}

std::string skipped_warnings(const CleanReport& r) {
    std::string text;
    for (const SkippedPath& s : r.skipped_paths) {
        text +=
            fmt::format("warning: {}: {}\n", text::printable(s.path), text::printable(s.reason));
    }
    return text;
}

Result<std::string, AppError> run_clean_with(CleanArgs args, bool json, const SystemEnv& env,
                                             const Console& console,
                                             const BeforeRemove& before_remove) {
    if (auto ok = validate_fields(args.fields, kCleanFields); !ok) {
        return unexpected(std::move(ok).error());
    }
    ScanRequest request;
    request.roots = args.roots.empty() ? default_project_roots(env) : std::move(args.roots);
    request.kinds = std::move(args.kinds);
    request.protect_days = args.protect_days;
    request.scope = args.scope;
    auto scanned = scan_caches(request, env);
    if (!scanned) {
        return unexpected(std::move(scanned).error());
    }
    if (!scanned->walk_errors.empty()) {
        std::string warnings;
        for (const std::string& error : scanned->walk_errors) {
            warnings += fmt::format("warning: {}\n", text::printable(error));
        }
        console.write(warnings);
    }

    std::uint64_t scan_only = 0;
    std::uint64_t protected_count = 0;
    std::vector<Candidate> selection;
    for (Candidate& c : scanned->candidates) {
        if (!c.cleanable) {
            ++scan_only;
        } else if (c.is_protected && !args.include_recent) {
            ++protected_count;
        } else {
            selection.push_back(std::move(c));
        }
    }

    Result<CleanReport, AppError> cleaned = CleanReport{};
    if (args.dry_run) {
        cleaned = execute_clean(selection, true, env);
    } else if (selection.empty()) {
        cleaned = unconfirmed_report(selection, env);
    } else if (args.yes) {
        cleaned = execute_clean(selection, false, env, before_remove);
    } else if (!console.input_is_terminal) {
        return unexpected(AppError(errors::CleanConfirmationRequired{selection.size()}));
    } else {
        auto confirmed = confirm_clean(selection, console);
        if (!confirmed) {
            return unexpected(std::move(confirmed).error());
        }
        cleaned = *confirmed ? execute_clean(selection, false, env, before_remove)
                             : unconfirmed_report(selection, env);
    }
    if (!cleaned) {
        return unexpected(std::move(cleaned).error());
    }
    CleanReport& report = *cleaned;
    report.protected_skipped = protected_count;
    report.policy_skipped = sat_add(report.policy_skipped, scan_only);

    // JSON callers read every reason in the report, or the first in the error; a person
    // gets each one named.
    if (!json && !report.skipped_paths.empty()) {
        console.write(skipped_warnings(report));
    }
    if (report.selected > 0 && !report.dry_run && report.confirmed &&
        report.skipped == report.selected) {
        return unexpected(AppError(errors::Conflict{nothing_removed_message(report)}));
    }
    if (json) {
        return report_json(clean_report_json(report), args.fields);
    }
    return clean_report_text(report);
}

Result<std::string, AppError> run_clean(CleanArgs args, bool json) {
    return run_clean_with(std::move(args), json, SystemEnv::from_process(), Console::standard());
}

} // namespace qb
