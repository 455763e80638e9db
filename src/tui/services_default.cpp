// The real bindings of the interface's services. Kept apart from the rest of the
// interface so that programs which script every service do not link the engine.

#include "docker/build_cache.hpp"
#include "docker/storage.hpp"
#include "tui/services.hpp"

namespace qb::tui {
namespace {

// Stand-in until the streaming background scan is available: one whole scan with the
// interface's protection threshold of 0 days, reported only at its end.
void run_whole_scan(ScanJob job, const SystemEnv& env) {
    ScanRequest request{std::move(job.roots), std::move(job.kinds), 0, job.scope};
    job.sender.send(msg::ScanFinished{scan_caches(request, env)});
}

} // namespace

TuiServices default_services(SystemEnv env) {
    TuiServices services;
    services.run_scan = [env](ScanJob job) { run_whole_scan(std::move(job), env); };
    services.inspect_docker = [] { return inspect_docker_storage(); };
    services.measure_entry = [env](const Candidate& c) { return qb::measure_entry(c, env); };
    services.execute_clean = [env](const std::vector<Candidate>& targets) {
        return qb::execute_clean(targets, false, env);
    };
    services.preview_build_cache = [] { return qb::preview_build_cache(); };
    services.prune_build_cache = [] { return qb::prune_build_cache(); };
    services.spawn = spawn_detached;
    return services;
}

} // namespace qb::tui
