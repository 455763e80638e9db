#include "tui/messages.hpp"

#include "common/format_bytes.hpp"
#include "common/saturating.hpp"
#include "tui/texts.hpp"
#include "tui/view.hpp"
#include "tui/workers.hpp"

#include <algorithm>
#include <fmt/format.h>
#include <type_traits>
#include <unordered_map>

namespace qb::tui {
namespace {

bool has_path(const std::vector<Candidate>& rows, std::string_view p) {
    return std::any_of(rows.begin(), rows.end(),
                       [&](const Candidate& c) { return path::equal(c.path, p); });
}

/// A check or clean that ends without a further step.
void end_operation(TuiState& state) {
    state.phase = TuiPhase::Ready;
    state.operation_paths.clear();
    state.docker_in_operation = false;
}

template <typename M>
concept ScanProgress = std::is_same_v<M, msg::Found> || std::is_same_v<M, msg::Measured> ||
    std::is_same_v<M, msg::NoCandidate>;

template <ScanProgress M>
void apply(TuiState& state, M message, const WorkerSender& sender) {
    MessageRun run(state, sender);
    run.apply(std::move(message));
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
        const AppError& error = remeasured.candidates.error();
        end_operation(state);
        set_status(state, (error.kind() == ErrorKind::Conflict ? "Cache changed; scan again · "
                                                               : "Nothing deleted · ") +
                              fmt_app_error(error));
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
    if (!finished.report) {
        end_operation(state);
        set_status(state, "Nothing deleted · " + fmt_app_error(finished.report.error()));
        return;
    }
    const CleanReport& report = *finished.report;
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

using PathMap = std::unordered_map<std::string, std::size_t, path::Hash, path::Equal>;

/// Path lookups for one run of scan-progress messages, built at its first message: the
/// messages of a scan arrive by the thousand and each looks its path up in both row lists.
/// Only progress messages change the rows while it lives. A path's first row in `rows`
/// is the one a search from the front finds; removing a path's sizing rows waits for the
/// end of the run, so positions do not move meanwhile.
class ProgressIndex {
public:
    explicit ProgressIndex(TuiState& state) : state_(state) {
        for (std::size_t i = 0; i < state.rows.size(); ++i) {
            rows_.emplace(state.rows[i].path, i);
        }
        for (const SizingRow& r : state.sizing_rows) {
            ++sizing_[r.path];
        }
    }

    // Each tells whether a row list changed.

    bool apply(msg::Found& found) {
        if (state_.pending_paths.insert(found.row.path).second) {
            state_.found_count = sat_add(state_.found_count, 1);
        }
        if (rows_.contains(found.row.path)) {
            return false;
        }
        std::size_t& live = sizing_[found.row.path];
        if (live != 0) {
            return false;
        }
        live = 1;
        state_.sizing_rows.push_back(std::move(found.row));
        return true;
    }

    bool apply(msg::Measured& measured) {
        Candidate& c = measured.candidate;
        state_.pending_paths.erase(c.path);
        state_.measured_paths.insert(c.path);
        state_.remembered.erase(c.path);
        remove_sizing(c.path);
        auto [at, added] = rows_.emplace(c.path, state_.rows.size());
        if (added) {
            state_.rows.push_back(std::move(c));
        } else {
            state_.rows[at->second] = std::move(c);
        }
        return true;
    }

    bool apply(msg::NoCandidate& none) {
        state_.pending_paths.erase(none.path);
        state_.remembered.erase(none.path);
        // A measured row from an earlier scan stays until the scan's final list replaces it.
        remove_sizing(none.path);
        return true;
    }

    /// Drops the sizing rows removed during the run, keeping the order of the others.
    void finish() {
        if (removed_before_.empty()) {
            return;
        }
        std::vector<SizingRow>& rows = state_.sizing_rows;
        std::size_t kept = 0;
        for (std::size_t i = 0; i < rows.size(); ++i) {
            auto gone = removed_before_.find(rows[i].path);
            if (gone != removed_before_.end() && i < gone->second) {
                continue;
            }
            if (kept != i) {
                rows[kept] = std::move(rows[i]);
            }
            ++kept;
        }
        rows.erase(rows.begin() + static_cast<std::ptrdiff_t>(kept), rows.end());
        removed_before_.clear();
    }

private:
    // Every sizing row of the path so far goes; one found again later stays.
    void remove_sizing(const std::string& p) {
        auto live = sizing_.find(p);
        if (live == sizing_.end() || live->second == 0) {
            return;
        }
        live->second = 0;
        removed_before_.insert_or_assign(p, state_.sizing_rows.size());
    }

    TuiState& state_;
    PathMap rows_;           // path -> position of its first measured row
    PathMap sizing_;         // path -> number of its sizing rows still there
    PathMap removed_before_; // path -> its sizing rows before this position are gone
};

MessageRun::MessageRun(TuiState& state, const WorkerSender& sender)
    : state_(state), sender_(sender) {}

MessageRun::~MessageRun() {
    finish();
}

void MessageRun::apply(WorkerMessage message) {
    std::visit(
        [&]<typename M>(M&& m) {
            if constexpr (ScanProgress<std::remove_cvref_t<M>>) {
                if (!index_) {
                    focus_ = selected_row_key(state_);
                    index_ = std::make_unique<ProgressIndex>(state_);
                }
                changed_ = index_->apply(m) || changed_;
            } else {
                finish();
                qb::tui::apply(state_, std::move(m), sender_);
            }
        },
        std::move(message));
}

void MessageRun::finish() {
    if (!index_) {
        return;
    }
    index_->finish();
    index_.reset();
    if (changed_) {
        replace_rows(state_, focus_);
    }
    focus_.reset();
    changed_ = false;
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
