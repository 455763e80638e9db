#include "tui/messages.hpp"

#include "common/format_bytes.hpp"
#include "common/saturating.hpp"
#include "tui/texts.hpp"
#include "tui/view.hpp"
#include "tui/workers.hpp"

#include <algorithm>
#include <fmt/format.h>
#include <type_traits>

namespace qb::tui {
namespace {

bool has_path(const std::vector<Candidate>& rows, std::string_view p) {
    return std::any_of(rows.begin(), rows.end(),
                       [&](const Candidate& c) { return path::equal(c.path, p); });
}

bool has_path(const std::vector<SizingRow>& rows, std::string_view p) {
    return std::any_of(rows.begin(), rows.end(),
                       [&](const SizingRow& r) { return path::equal(r.path, p); });
}

void remove_sizing(TuiState& state, std::string_view p) {
    std::erase_if(state.sizing_rows, [&](const SizingRow& r) { return path::equal(r.path, p); });
}

/// A check or clean that ends without a further step.
void end_operation(TuiState& state) {
    state.phase = TuiPhase::Ready;
    state.operation_paths.clear();
    state.docker_in_operation = false;
}

void apply(TuiState& state, msg::Found found, const WorkerSender&) {
    auto key = selected_row_key(state);
    if (state.pending_paths.insert(found.row.path).second) {
        state.found_count = sat_add(state.found_count, 1);
    }
    if (has_path(state.rows, found.row.path) || has_path(state.sizing_rows, found.row.path)) {
        return;
    }
    state.sizing_rows.push_back(std::move(found.row));
    replace_rows(state, key);
}

void apply(TuiState& state, msg::Measured measured, const WorkerSender&) {
    auto key = selected_row_key(state);
    Candidate& c = measured.candidate;
    state.pending_paths.erase(c.path);
    state.measured_paths.insert(c.path);
    state.remembered.erase(c.path);
    remove_sizing(state, c.path);
    auto same = std::find_if(state.rows.begin(), state.rows.end(),
                             [&](const Candidate& row) { return path::equal(row.path, c.path); });
    if (same != state.rows.end()) {
        *same = std::move(c);
    } else {
        state.rows.push_back(std::move(c));
    }
    replace_rows(state, key);
}

void apply(TuiState& state, msg::NoCandidate none, const WorkerSender&) {
    auto key = selected_row_key(state);
    state.pending_paths.erase(none.path);
    state.remembered.erase(none.path);
    // A measured row from an earlier scan stays until the scan's final list replaces it.
    remove_sizing(state, none.path);
    replace_rows(state, key);
}

void apply(TuiState& state, msg::WalkError error, const WorkerSender&) {
    state.scan_errors.push_back(std::move(error.text));
}

void apply(TuiState& state, msg::ScanFinished finished, const WorkerSender&) {
    if (!finished.outcome) {
        std::string text = fmt_app_error(finished.outcome.error());
        state.scan_error = text;
        state.sizing_rows.clear();
        state.remembered.clear();
        state.pending_paths.clear();
        if (!state.rows.empty() || !state.docker_rows.empty()) {
            state.phase = TuiPhase::Ready;
            set_status(state, state.refreshing
                                  ? "Refresh failed — showing previous results · " + text
                                  : "Scan stopped early — showing partial results · " + text);
        } else {
            state.phase = TuiPhase::ScanFailed;
        }
        state.refreshing = false;
        // The sizing rows are gone: the view must not keep indices into them.
        rebuild_view(state);
        return;
    }
    auto key = selected_row_key(state);
    ScanResult& result = finished.outcome.value();
    state.rows = std::move(result.candidates);
    state.sizing_rows.clear();
    state.remembered.clear();
    state.pending_paths.clear();
    state.scan_errors = std::move(result.walk_errors);
    state.phase = TuiPhase::Ready;
    std::erase_if(state.selected_paths,
                  [&](const std::string& p) { return !has_path(state.rows, p); });
    replace_rows(state, key);
    if (state.rows.empty() && state.docker_rows.empty()) {
        set_status(state, "No caches found — your disk is already tidy");
    }
    state.refreshing = false;
}

void apply(TuiState& state, msg::DockerInspected inspected, const WorkerSender&) {
    auto key = selected_row_key(state);
    NativeInspection& inspection = inspected.inspection;
    state.docker_rows = std::move(inspection.resources);
    std::erase_if(state.selected_docker, [&](const std::string& kind) {
        return std::none_of(
            state.docker_rows.begin(), state.docker_rows.end(),
            [&](const NativeResource& row) { return row.kind == kind && row.cleanable; });
    });
    replace_rows(state, key);

    if (!state.docker_rows.empty() && state.phase == TuiPhase::ScanFailed) {
        state.phase = TuiPhase::Ready;
        set_status(state, "Filesystem scan failed — showing Docker storage · " +
                              state.scan_error.value_or("unknown scan error"));
    } else if (!inspection.diagnostics.empty() && !inspection.available) {
        set_status(state,
                   "Docker storage unavailable · " + inspection.diagnostics.front().message());
    } else if (!inspection.diagnostics.empty()) {
        set_status(state, fmt::format("{} Docker storage rows could not be read",
                                      inspection.diagnostics.size()));
    } else if (!state.docker_rows.empty() && state.status &&
               state.status->text.starts_with("No caches found")) {
        state.status.reset();
    }
}

void apply(TuiState& state, msg::Remeasured remeasured, const WorkerSender& sender) {
    if (!remeasured.candidates) {
        end_operation(state);
        set_status(state,
                   "Cache changed; scan again · " + fmt_app_error(remeasured.candidates.error()));
        return;
    }
    if (remeasured.build_cache && !remeasured.build_cache->has_value()) {
        end_operation(state);
        set_status(state, "Docker build cache changed; try again · " +
                              remeasured.build_cache->error().message());
        return;
    }
    std::vector<Candidate>& fresh = remeasured.candidates.value();
    for (const Candidate& row : fresh) {
        auto same = std::find_if(state.rows.begin(), state.rows.end(),
                                 [&](const Candidate& c) { return path::equal(c.path, row.path); });
        if (same != state.rows.end()) {
            *same = row;
        }
    }
    std::optional<NativeResource> pending;
    if (remeasured.build_cache) {
        const NativeResource& preview = remeasured.build_cache->value();
        if (NativeResource* shown = find_native_resource(state.docker_rows, preview.kind)) {
            *shown = clone_native_resource(preview);
        }
        if (preview.reclaimable_bytes != 0) {
            pending = preview;
        } else {
            state.selected_docker.erase(preview.kind);
        }
    }
    rebuild_view(state);

    if (!pending && fresh.empty()) {
        end_operation(state);
        set_status(state, "Docker build cache is already clean");
        return;
    }
    if (remeasured.after_confirmation) {
        spawn_clean_worker(state, std::move(fresh), std::move(pending), sender);
        return;
    }
    if (pending || !row_flag_labels(fresh).empty()) {
        state.plan = std::move(fresh);
        state.pending_prune = std::move(pending);
        state.phase = TuiPhase::Confirm;
        return;
    }
    spawn_clean_worker(state, std::move(fresh), std::nullopt, sender);
}

std::string prune_text(TuiState& state, Result<NativeCleanReport, NativeDiagnostic>& prune) {
    if (!prune) {
        return "Docker build-cache prune failed · " + prune.error().message();
    }
    NativeCleanReport& report = prune.value();
    state.selected_docker.erase(report.kind);
    if (report.after) {
        if (NativeResource* shown = find_native_resource(state.docker_rows, report.after->kind)) {
            *shown = *report.after;
        }
    }
    if (!report.changed) {
        return "Docker build cache already clean";
    }
    return "Pruned Docker build cache · " +
           format_bytes(report.reported_reclaimed_bytes.value_or(report.estimated_removed_bytes)) +
           " reported";
}

void apply(TuiState& state, msg::CleanFinished finished, const WorkerSender&) {
    const CleanReport& report = finished.report;
    PathSet cleaned(report.cleaned_paths.begin(), report.cleaned_paths.end());
    std::erase_if(state.rows, [&](const Candidate& c) { return cleaned.contains(c.path); });
    std::erase_if(state.selected_paths, [&](const std::string& p) { return cleaned.contains(p); });

    std::optional<std::string> docker_text;
    if (finished.prune) {
        docker_text = prune_text(state, *finished.prune);
    }
    end_operation(state);
    if (docker_text && report.selected == 0) {
        set_status(state, *docker_text);
    } else if (docker_text) {
        set_status(state,
                   clean_summary_text(report) + (state.unicode ? " · " : " | ") + *docker_text);
    } else {
        set_status(state, clean_summary_text(report));
    }
    rebuild_view(state);
}

} // namespace

void handle_worker_message(TuiState& state, WorkerMessage message, const WorkerSender& sender) {
    std::visit([&](auto&& m) { apply(state, std::move(m), sender); }, std::move(message));
}

std::optional<RowKey> selected_row_key(const TuiState& state) {
    FocusedRow focus = focused_row(state);
    switch (focus.kind) {
    case FocusedRow::Kind::Measured:
        return RowKey::path(state.rows[focus.index].path);
    case FocusedRow::Kind::Sizing:
        return RowKey::path(state.sizing_rows[focus.index].path);
    case FocusedRow::Kind::Docker:
        return RowKey::docker_kind(state.docker_rows[focus.index].kind);
    case FocusedRow::Kind::None:
        break;
    }
    return std::nullopt;
}

void replace_rows(TuiState& state, const std::optional<RowKey>& key) {
    rebuild_view(state);
    if (!state.user_moved) {
        state.cursor = 0;
        return;
    }
    if (!key) {
        return;
    }
    const std::size_t nr = state.visible_rows.size();
    const std::size_t ns = state.visible_sizing.size();
    if (key->kind == RowKey::Kind::DockerKind) {
        for (std::size_t i = 0; i < state.visible_docker.size(); ++i) {
            if (state.docker_rows[state.visible_docker[i]].kind == key->value) {
                state.cursor = nr + ns + i;
                return;
            }
        }
        return;
    }
    for (std::size_t i = 0; i < nr; ++i) {
        if (path::equal(state.rows[state.visible_rows[i]].path, key->value)) {
            state.cursor = i;
            return;
        }
    }
    for (std::size_t i = 0; i < ns; ++i) {
        if (path::equal(state.sizing_rows[state.visible_sizing[i]].path, key->value)) {
            state.cursor = nr + i;
            return;
        }
    }
}

NativeResource* find_native_resource(std::vector<NativeResource>& rows, std::string_view kind) {
    auto it = std::find_if(rows.begin(), rows.end(),
                           [&](const NativeResource& r) { return r.kind == kind; });
    return it == rows.end() ? nullptr : &*it;
}

const NativeResource* find_native_resource(const std::vector<NativeResource>& rows,
                                           std::string_view kind) {
    auto it = std::find_if(rows.begin(), rows.end(),
                           [&](const NativeResource& r) { return r.kind == kind; });
    return it == rows.end() ? nullptr : &*it;
}

NativeResource clone_native_resource(const NativeResource& resource) {
    return resource;
}

} // namespace qb::tui
