#pragma once

// The one-shot scan behind `scan` and `clean`, and the root handling it shares with the
// interface's background scan.

#include "common/app_error.hpp"
#include "common/defaults.hpp"
#include "common/env.hpp"
#include "common/paths.hpp"
#include "common/result.hpp"
#include "scanner/candidate.hpp"
#include "scanner/classifier.hpp"
#include "scanner/global_caches.hpp"
#include "scanner/protected_dirs.hpp"
#include "scanner/walk.hpp"

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace qb {

enum class ScopeFilter { All = 0, Project = 1, Global = 2 };

struct ScanRequest {
    std::vector<std::string> roots;
    std::vector<std::string> kinds;
    std::uint64_t protect_days = kDefaultProtectDays;
    ScopeFilter scope = ScopeFilter::All;
};

struct ScanResult {
    std::vector<Candidate> candidates;
    std::vector<std::string> walk_errors;
};

/// Checks the kinds, resolves the roots, walks them, adds the global caches, measures
/// everything on the worker pool and sorts.
Result<ScanResult, AppError> scan_caches(const ScanRequest& request, const SystemEnv& env);

/// The canonical roots, sorted, without repeats or nested roots; empty for scope global.
Result<std::vector<std::string>, AppError> resolve_scan_roots(const ScanRequest& request);

/// One root made canonical and checked to be a directory, or UnreadableDirectory.
Result<std::string, AppError> resolve_root(const std::string& root);

/// The existing directories among Projects, Developer, src and code in the home
/// directory, else the working directory alone.
std::vector<std::string> default_project_roots(const SystemEnv& env);

/// The found cache for an existing global location: scope global, anchored at the
/// location's parent (the location itself when it has none).
FoundCache global_found_cache(const GlobalCandidate& row);

/// The found cache for a recognised project directory at `path`: scope project, anchored
/// at `anchor`, the scan root it was found under.
FoundCache project_found_cache(const ProjectMatch& match, std::string path, std::string anchor);

/// The order of candidates everywhere they are listed: bytes descending, then path
/// ascending in component order. Takes anything with `bytes` and `path` members.
struct LargestFirst {
    template <class A, class B>
    bool operator()(const A& a, const B& b) const {
        if (a.bytes != b.bytes) {
            return a.bytes > b.bytes;
        }
        return path::compare(a.path, b.path) < 0;
    }
};

/// Sorts by LargestFirst; stable.
void sort_candidates(std::vector<Candidate>& candidates);

/// The kinds a request keeps: every kind when the list is empty, else exactly those named.
class KindFilter {
public:
    explicit KindFilter(const std::vector<std::string>& kinds);
    bool passes(std::string_view kind) const;

private:
    struct Hash {
        using is_transparent = void;
        std::size_t operator()(std::string_view s) const {
            return std::hash<std::string_view>{}(s);
        }
    };
    std::unordered_set<std::string, Hash, std::equal_to<>> kinds_;
};

/// What discovery does at one directory.
enum class DiscoveryStep {
    Enter,  // walk into it (a walk names what it then cannot read)
    Report, // a cache whose kind passes the filter: report it, do not enter it
    Stop,   // do not enter it: version-control metadata, a cache of another kind, or a
            // directory something else reports whole
};

/// The rules of discovery at one directory, held once for the walk and for the plan that
/// predicts it. A directory that the protected directories hold is never a cache and is
/// walked as any other; a directory that no rule claims and that is covered is not
/// entered, since something else reports it whole.
class DiscoveryRules {
public:
    DiscoveryRules(KindFilter kinds, ProtectedDirs protected_dirs);

    const KindFilter& kinds() const { return kinds_; }
    const ProtectedDirs& protected_dirs() const { return protected_; }
    /// Covers the canonical directory `real`.
    void cover(std::string real) { covered_.insert(std::move(real)); }
    /// True when the canonical `real` lies strictly inside a covered directory.
    bool inside_covered(std::string_view real) const;

    /// The step at `dir`, with the project cache it recognised in `match` (reset
    /// otherwise). The root (depth 0) is never version-control metadata.
    DiscoveryStep at(const WalkDir& dir, std::optional<ProjectMatch>& match) const;

private:
    KindFilter kinds_;
    ProtectedDirs protected_;
    std::unordered_set<std::string, path::Hash, path::Equal> covered_;
};

/// The walk of one resolved root by `rules`: each cache it reports goes to `on_found`
/// (scope project, anchored at `root`); nothing inside a recognised cache is classified,
/// whatever its kind. Walk errors go to `on_error` as texts, in the order they happen.
void discover_project_caches(const std::string& root, const DiscoveryRules& rules,
                             const std::function<void(FoundCache)>& on_found,
                             const std::function<void(std::string)>& on_error);

/// The passes of a discovery; each scan runs them in an order of its own.
enum class DiscoveryPass {
    KnownPaths, // paths shown before, each judged as the passes below would judge it
    Globals,    // the global locations in scope
    Walk,       // the walk of the roots
};

/// Which caches one scan reports, worked out before anything is reported, so that no
/// reported cache lies inside another and the outer one covers the inner one's bytes.
/// The global locations in scope (kind passes, a real directory) are never entered by
/// the walk, and a root inside one is not walked at all. A global location in scope is
/// left out when it lies strictly inside another one, or strictly inside a project
/// cache that the walk reports. A location with a minimum size is measured first, and
/// covers its contents only when it is large enough to be reported. No protected
/// directory is ever reported or covers anything. Paths are compared in canonical form;
/// equal paths are left to the repeat check of discover() (the first finder wins).
class DiscoveryPlan {
public:
    /// `roots` resolved (canonical, none inside another); `globals` as discovered, empty
    /// for scope project.
    DiscoveryPlan(std::vector<std::string> roots, DiscoveryRules rules,
                  const std::vector<GlobalCandidate>& globals);

    /// Runs `passes` in order on the calling thread and hands every cache they report to
    /// `on_found`, once: a cache whose canonical path an earlier one had is dropped, so
    /// the first finder wins. Walk errors go to `on_error` as they happen, the first of
    /// them naming the account database when it could not be read whole. A known path
    /// counts only when it is a global location in scope, or a project cache that the
    /// walk would report; one that does not (a protected directory among them) goes to
    /// `on_dropped`, and no pass reports it.
    void discover(std::initializer_list<DiscoveryPass> passes,
                  const std::function<void(FoundCache)>& on_found,
                  const std::function<void(std::string)>& on_error,
                  const std::vector<std::string>& known_paths = {},
                  const std::function<void(const std::string&)>& on_dropped = {});

private:
    struct Global {
        GlobalCandidate row;
        std::string real;      // canonical, or the row's path when it cannot be resolved
        bool reported = false; // false when the location lies inside another reported cache
        bool covers = true;    // false when it is too small to be reported
        std::shared_ptr<const MeasuredDir> measured; // taken early for a minimum size
    };
    /// A cache one pass reports, with its canonical path.
    struct Hit {
        FoundCache found;
        std::string real;
    };

    std::optional<Hit> at_known_path(const std::string& known);
    const Global* global_at(std::string_view p) const;
    const std::string* root_holding(std::string_view real) const;
    DiscoveryStep step_at(const std::string& dir, bool is_root);
    DiscoveryStep first_stop(const std::string& real, const std::string& root);
    FoundCache found_at(const Global& g) const;
    void measure_sized_locations();

    std::vector<std::string> roots_;
    DiscoveryRules rules_;
    std::vector<Global> globals_;
    std::unordered_map<std::string, DiscoveryStep, path::Hash, path::Equal> steps_;
};

/// Checks the kinds and resolves the roots of `request` (the errors of scan_caches), then
/// works out its discovery: the global locations unless the scope is project, and the
/// protected directories of `env`.
Result<DiscoveryPlan, AppError> plan_discovery(const ScanRequest& request, const SystemEnv& env);

} // namespace qb
