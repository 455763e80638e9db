#include "scanner/scan.hpp"

#include "common/dir.hpp"
#include "common/fs.hpp"
#include "common/paths.hpp"
#include "scanner/catalog.hpp"
#include "scanner/classifier.hpp"
#include "scanner/global_caches.hpp"
#include "scanner/measure.hpp"
#include "scanner/pool.hpp"
#include "scanner/walk.hpp"

#include <algorithm>
#include <cstdlib>
#include <deque>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_set>

namespace qb {
namespace {

// Longer than "/" plus any marker name the classifier probes for.
constexpr std::size_t kLongestProbeName = 32;

// The identity of `dir`, from the descriptors the walk holds where it holds them.
std::optional<DirIdentity> identity_at(const WalkDir& dir) {
    auto name = path::file_name(dir.path);
    if (dir.dir_fd < 0 && (dir.parent_fd < 0 || !name)) {
        return directory_nofollow(std::string(dir.path));
    }
    struct stat st;
    const int rc = dir.dir_fd >= 0 ? ::fstat(dir.dir_fd, &st)
                                   : ::fstatat(dir.parent_fd, std::string(*name).c_str(), &st,
                                               AT_SYMLINK_NOFOLLOW);
    return rc == 0 ? std::optional(identity_of(st)) : std::nullopt;
}

// The identity is taken only past the cheaper test of the path.
bool holds_dir(const ProtectedDirs& protected_dirs, const WalkDir& dir) {
    if (protected_dirs.holds(dir.path)) {
        return true;
    }
    std::optional<DirIdentity> id = identity_at(dir);
    return id && protected_dirs.holds(*id);
}

} // namespace

FoundCache global_found_cache(const GlobalCandidate& row) {
    FoundCache found;
    found.kind = std::string(row.kind);
    found.ecosystem = std::string(row.ecosystem);
    found.path = row.path;
    found.anchor = std::string(path::parent(row.path).value_or(row.path));
    found.min_bytes = row.min_bytes;
    found.scope = CacheScope::Global;
    found.network_restore = row.network_restore;
    found.cleanable = row.cleanable;
    return found;
}

FoundCache project_found_cache(const ProjectMatch& match, std::string path, std::string anchor) {
    FoundCache found;
    found.kind = std::string(match.kind);
    found.ecosystem = std::string(match.ecosystem);
    found.path = std::move(path);
    found.anchor = std::move(anchor);
    found.min_bytes = match.min_bytes;
    found.scope = CacheScope::Project;
    found.network_restore = match.network_restore;
    found.cleanable = match.cleanable;
    return found;
}

KindFilter::KindFilter(const std::vector<std::string>& kinds)
    : kinds_(kinds.begin(), kinds.end()) {}

bool KindFilter::passes(std::string_view kind) const {
    return kinds_.empty() || kinds_.find(kind) != kinds_.end();
}

Result<std::string, AppError> resolve_root(const std::string& root) {
    auto real = resolve_canonical(root);
    if (!real || !is_directory(*real)) {
        return unexpected(AppError{errors::UnreadableDirectory{root}});
    }
    return std::move(*real);
}

Result<std::vector<std::string>, AppError> resolve_scan_roots(const ScanRequest& request) {
    std::vector<std::string> resolved;
    if (request.scope == ScopeFilter::Global) {
        return resolved;
    }
    for (const auto& root : request.roots) {
        auto r = resolve_root(root);
        if (!r) {
            return unexpected(std::move(r).error());
        }
        resolved.push_back(std::move(*r));
    }
    std::stable_sort(resolved.begin(), resolved.end(), path::Less{});
    std::vector<std::string> kept;
    for (auto& root : resolved) {
        // Sorted, an ancestor comes before everything inside it, so only the last kept
        // root can contain this one (or equal it).
        if (!kept.empty() && path::starts_with(root, kept.back())) {
            continue;
        }
        kept.push_back(std::move(root));
    }
    return kept;
}

std::vector<std::string> default_project_roots(const SystemEnv& env) {
    std::vector<std::string> roots;
    if (auto home = env.get("HOME")) {
        for (const char* name : {"Projects", "Developer", "src", "code"}) {
            std::string dir = path::join(*home, name);
            if (is_directory(dir)) {
                roots.push_back(std::move(dir));
            }
        }
    }
    if (roots.empty()) {
        if (char* cwd = ::getcwd(nullptr, 0)) {
            roots.emplace_back(cwd);
            std::free(cwd);
        }
    }
    return roots;
}

void sort_candidates(std::vector<Candidate>& candidates) {
    std::stable_sort(candidates.begin(), candidates.end(), LargestFirst{});
}

DiscoveryRules::DiscoveryRules(KindFilter kinds, ProtectedDirs protected_dirs)
    : kinds_(std::move(kinds)), protected_(std::move(protected_dirs)) {}

bool DiscoveryRules::inside_covered(std::string_view real) const {
    if (covered_.empty()) {
        return false;
    }
    for (auto up = path::parent(real); up && !up->empty(); up = path::parent(*up)) {
        if (covered_.contains(*up)) {
            return true;
        }
    }
    return false;
}

DiscoveryStep DiscoveryRules::at(const WalkDir& dir, std::optional<ProjectMatch>& match) const {
    match.reset();
    if (dir.depth > 0 && is_vcs_dir(dir.path)) {
        return DiscoveryStep::Stop;
    }
    // Deep down, path-based probes fail where descriptor-relative ones would not; the
    // classification must see what a path-based walk sees.
    match = dir.path.size() + kLongestProbeName >= kPathMax
                ? classify_project_dir(dir.path)
                : classify_project_dir_at(dir.parent_fd, dir.dir_fd, dir.path);
    if (match && !holds_dir(protected_, dir)) {
        return kinds_.passes(match->kind) ? DiscoveryStep::Report : DiscoveryStep::Stop;
    }
    match.reset();
    // Past the limit a walk by paths finds nothing: a home or its ancestor there is passed over.
    const bool past = dir.path.size() >= kPathMax && holds_dir(protected_, dir);
    return past || covered_.contains(dir.path) ? DiscoveryStep::Stop : DiscoveryStep::Enter;
}

void discover_project_caches(const std::string& root, const DiscoveryRules& rules,
                             const std::function<void(FoundCache)>& on_found,
                             const std::function<void(std::string)>& on_error) {
    std::optional<ProjectMatch> match;
    walk_directories(
        root,
        [&](const WalkDir& dir) {
            const DiscoveryStep step = rules.at(dir, match);
            if (step == DiscoveryStep::Report) {
                on_found(project_found_cache(*match, std::string(dir.path), root));
            }
            return step == DiscoveryStep::Enter ? WalkStep::Descend : WalkStep::Skip;
        },
        on_error);
}

DiscoveryPlan::DiscoveryPlan(std::vector<std::string> roots, DiscoveryRules rules,
                             const std::vector<GlobalCandidate>& globals)
    : roots_(std::move(roots)), rules_(std::move(rules)) {
    for (const GlobalCandidate& row : globals) {
        std::optional<DirIdentity> id;
        if (rules_.kinds().passes(row.kind) && (id = directory_nofollow(row.path))) {
            std::string real = resolve_canonical(row.path).value_or(row.path);
            if (!rules_.protected_dirs().holds(real) && !rules_.protected_dirs().holds(*id)) {
                globals_.push_back(Global{row, std::move(real), false, true, {}});
            }
        }
    }
    measure_sized_locations();
    for (const Global& g : globals_) {
        if (g.covers) {
            rules_.cover(g.real);
        }
    }
    for (Global& g : globals_) {
        const std::string* root = root_holding(g.real);
        g.reported = !rules_.inside_covered(g.real) &&
                     (root == nullptr || first_stop(g.real, *root) != DiscoveryStep::Report);
    }
}

// A location with a minimum size covers its contents only when it will be reported,
// which only its size tells: measured here, all at once, and the measurement kept for the
// scan. One too small is still handed over, to come to nothing when measured.
void DiscoveryPlan::measure_sized_locations() {
    if (std::none_of(globals_.begin(), globals_.end(),
                     [](const Global& g) { return g.row.min_bytes > 0; })) {
        return;
    }
    std::vector<std::optional<MeasuredDir>> measured(globals_.size());
    run_blocking([&] {
        PoolJobs jobs;
        for (std::size_t i = 0; i < globals_.size(); ++i) {
            if (globals_[i].row.min_bytes > 0) {
                measure_dir_async(jobs, globals_[i].row.path,
                                  [&m = measured[i]](std::optional<MeasuredDir> result) {
                                      m = std::move(result);
                                  });
            }
        }
        jobs.wait();
    });
    for (std::size_t i = 0; i < globals_.size(); ++i) {
        Global& g = globals_[i];
        if (g.row.min_bytes == 0) {
            continue;
        }
        g.covers = measured[i] && measured[i]->stats.bytes >= g.row.min_bytes;
        if (measured[i]) {
            g.measured = std::make_shared<const MeasuredDir>(std::move(*measured[i]));
        }
    }
}

FoundCache DiscoveryPlan::found_at(const Global& g) const {
    FoundCache found = global_found_cache(g.row);
    found.measured = g.measured;
    return found;
}

void DiscoveryPlan::discover(std::initializer_list<DiscoveryPass> passes,
                             const std::function<void(FoundCache)>& on_found,
                             const std::function<void(std::string)>& on_error,
                             const std::vector<std::string>& known_paths,
                             const std::function<void(const std::string&)>& on_dropped) {
    if (auto whole = rules_.protected_dirs().whole(); !whole) {
        on_error(fmt_app_error(whole.error()));
    }
    std::unordered_set<std::string, path::Hash, path::Equal> seen;
    auto submit = [&](FoundCache found, std::string real) {
        if (seen.insert(std::move(real)).second) {
            on_found(std::move(found));
        }
    };
    for (DiscoveryPass pass : passes) {
        switch (pass) {
        case DiscoveryPass::KnownPaths:
            for (const std::string& known : known_paths) {
                if (std::optional<Hit> hit = at_known_path(known)) {
                    submit(std::move(hit->found), std::move(hit->real));
                } else if (on_dropped) {
                    on_dropped(known);
                }
            }
            break;
        case DiscoveryPass::Globals:
            for (const Global& g : globals_) {
                if (g.reported) {
                    submit(found_at(g), g.real);
                }
            }
            break;
        case DiscoveryPass::Walk:
            for (const std::string& root : roots_) {
                if (rules_.inside_covered(root)) {
                    continue;
                }
                // A walk result is its canonical root followed by names of real
                // directories, so it is canonical already.
                discover_project_caches(
                    root, rules_,
                    [&](FoundCache found) {
                        std::string real = found.path;
                        submit(std::move(found), std::move(real));
                    },
                    on_error);
            }
            break;
        }
    }
}

// What the passes would report at `known`: the global location in scope there, else the
// project cache there when the walk of the root holding it would report it.
std::optional<DiscoveryPlan::Hit> DiscoveryPlan::at_known_path(const std::string& known) {
    if (!directory_nofollow(known)) {
        return std::nullopt;
    }
    if (const Global* g = global_at(known)) {
        if (!g->reported) {
            return std::nullopt;
        }
        return Hit{found_at(*g), g->real};
    }
    auto real = resolve_canonical(known);
    const std::string* root = real ? root_holding(*real) : nullptr;
    if (root == nullptr) {
        return std::nullopt; // outside every root (scope global walks none)
    }
    std::optional<ProjectMatch> match;
    if (rules_.at(WalkDir{*real, 1, -1, -1}, match) != DiscoveryStep::Report ||
        first_stop(*real, *root) != DiscoveryStep::Enter) {
        return std::nullopt;
    }
    return Hit{project_found_cache(*match, *real, *root), *real};
}

const DiscoveryPlan::Global* DiscoveryPlan::global_at(std::string_view p) const {
    auto g = std::find_if(globals_.begin(), globals_.end(),
                          [&](const Global& g) { return path::equal(g.row.path, p); });
    return g == globals_.end() ? nullptr : &*g;
}

// The root strictly above the canonical `real`; roots do not nest, so there is at most one.
const std::string* DiscoveryPlan::root_holding(std::string_view real) const {
    auto root = std::find_if(roots_.begin(), roots_.end(), [&](const std::string& r) {
        return !path::equal(real, r) && path::starts_with(real, r);
    });
    return root == roots_.end() ? nullptr : &*root;
}

// What the walk does at `dir`, by the walk's own rules; it enters only what it can open.
DiscoveryStep DiscoveryPlan::step_at(const std::string& dir, bool is_root) {
    if (auto known = steps_.find(dir); known != steps_.end()) {
        return known->second;
    }
    std::optional<ProjectMatch> match;
    DiscoveryStep step = rules_.at(WalkDir{dir, is_root ? 0u : 1u, -1, -1}, match);
    if (step == DiscoveryStep::Enter && !dir::open_briefly(AT_FDCWD, dir.c_str()).valid()) {
        step = DiscoveryStep::Stop;
    }
    steps_.emplace(dir, step);
    return step;
}

// Where the walk of `root` ends on its way down to `real`: Enter when it visits `real`,
// Report when it reports a cache above it, Stop when it stops above it otherwise.
DiscoveryStep DiscoveryPlan::first_stop(const std::string& real, const std::string& root) {
    if (rules_.inside_covered(root)) {
        return DiscoveryStep::Stop;
    }
    const auto names = path::components(real);
    const std::size_t depth = path::components(root).size();
    std::string dir = root;
    for (std::size_t i = depth; i < names.size(); ++i) {
        if (DiscoveryStep step = step_at(dir, i == depth); step != DiscoveryStep::Enter) {
            return step;
        }
        dir = path::join(dir, names[i].name);
    }
    return DiscoveryStep::Enter;
}

Result<DiscoveryPlan, AppError> plan_discovery(const ScanRequest& request, const SystemEnv& env) {
    if (auto valid = validate_kind_filter(request.kinds); !valid) {
        return unexpected(std::move(valid).error());
    }
    auto roots = resolve_scan_roots(request);
    if (!roots) {
        return unexpected(std::move(roots).error());
    }
    if (auto ready = ready_descriptors(); !ready) {
        return unexpected(std::move(ready).error());
    }
    return DiscoveryPlan(std::move(*roots),
                         DiscoveryRules(KindFilter(request.kinds), ProtectedDirs(env)),
                         request.scope == ScopeFilter::Project ? std::vector<GlobalCandidate>{}
                                                               : discover_global_caches(env));
}

Result<ScanResult, AppError> scan_caches(const ScanRequest& request, const SystemEnv& env) {
    auto plan = plan_discovery(request, env);
    if (!plan) {
        return unexpected(std::move(plan).error());
    }

    // Each found cache is measured on the pool as soon as discovery hands it over, while
    // discovery goes on here. The walk's results come first, so on equal paths they win.
    struct Slot {
        FoundCache found;
        std::optional<MeasuredDir> measured;
    };
    std::deque<Slot> slots;
    ScanResult result;
    PoolJobs jobs;
    // A pool of one thread measures only after discovery, so that the scan never keeps
    // two processors busy when told to use one.
    const bool overlap = worker_threads() > 1;
    auto start = [&jobs](Slot& slot) {
        measure_dir_async(jobs, slot.found.path, [&slot](std::optional<MeasuredDir> measured) {
            slot.measured = std::move(measured);
        });
    };
    plan->discover(
        {DiscoveryPass::Walk, DiscoveryPass::Globals},
        [&](FoundCache found) {
            Slot& slot = slots.emplace_back();
            slot.found = std::move(found);
            if (slot.found.measured) {
                slot.measured = *slot.found.measured;
            } else if (overlap) {
                start(slot);
            }
        },
        [&result](std::string error) { result.walk_errors.push_back(std::move(error)); });

    // Ages count from the end of discovery, whatever the order measurements finish in.
    const std::uint64_t now = now_unix();
    if (!overlap) {
        for (auto& slot : slots) {
            if (!slot.found.measured) {
                start(slot);
            }
        }
    }
    jobs.wait();

    for (auto& slot : slots) {
        if (!slot.measured) {
            continue;
        }
        // Measuring names only what it left out for want of a descriptor; after the
        // walk's own errors, in the order the caches were found.
        for (std::string& error : slot.measured->errors) {
            result.walk_errors.push_back(std::move(error));
        }
        if (auto c =
                make_candidate(std::move(slot.found), *slot.measured, request.protect_days, now)) {
            result.candidates.push_back(std::move(*c));
        }
    }
    sort_candidates(result.candidates);
    return result;
}

} // namespace qb
