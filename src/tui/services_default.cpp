// The real bindings of the interface's services. Kept apart from the rest of the
// interface so that programs which script every service do not link the engine.

#include "docker/build_cache.hpp"
#include "docker/storage.hpp"
#include "scanner/scan_worker.hpp"
#include "tui/services.hpp"

namespace qb::tui {
TuiServices default_services(SystemEnv env) {
    TuiServices services;
    services.run_scan = [env](ScanJob job) { run_scan_worker(std::move(job), env); };
    services.inspect_docker = [] { return inspect_docker_storage(); };
    services.measure_entries = [env](const std::vector<Candidate>& targets) {
        return qb::measure_entries(targets, env);
    };
    services.execute_clean = [env](const std::vector<Candidate>& targets) {
        return qb::execute_clean(targets, false, env);
    };
    services.preview_build_cache = [] { return qb::preview_build_cache(); };
    services.prune_build_cache = [] { return qb::prune_build_cache(); };
    services.spawn = spawn_detached;
    return services;
}

} // namespace qb::tui
