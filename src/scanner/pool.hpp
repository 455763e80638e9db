#pragma once

// The process-wide worker pool that measures caches. Its size is RAYON_NUM_THREADS when
// that is a positive integer, else the number of CPUs this process may run on.

#include "common/app_error.hpp"
#include "common/result.hpp"

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <exception>
#include <functional>
#include <mutex>
#include <optional>
#include <string_view>
#include <tbb/task_arena.h>
#include <tbb/task_group.h>
#include <vector>

namespace qb {

/// A pool size from the text of RAYON_NUM_THREADS: decimal digits with at most one
/// leading "+", above zero; none otherwise (the caller then uses the CPU count).
std::optional<std::size_t> parse_pool_size(std::string_view text);

/// The number of CPUs in this process's affinity mask (at least 1).
std::size_t available_cpus();

/// The number of threads of the worker pool, fixed at the first use.
std::size_t worker_threads();

/// The pool itself: worker_threads() threads of its own. Threads outside it that wait
/// for its work sleep meanwhile.
tbb::task_arena& worker_arena();

/// A set of jobs on the worker pool that can be fed from any thread, pool threads
/// included, and waited for. A job may add further jobs to the same set. A job must not
/// block on other jobs except through wait(): with a pool of one thread nothing else
/// would run them. A producer that waits for jobs to finish belongs outside the pool.
///
/// In a child process forked after the pool started, the pool's threads do not exist;
/// jobs then run one after another on the thread that waits.
class PoolJobs {
public:
    PoolJobs();
    /// Waits for the jobs, as wait() does, but drops their exception.
    ~PoolJobs();
    PoolJobs(const PoolJobs&) = delete;
    PoolJobs& operator=(const PoolJobs&) = delete;

    /// Queues a job; returns at once.
    void run(std::function<void()> job);
    /// From a job of this set that cannot go on yet, for want of what other work may give
    /// back: queues `job` after a pause behind the work queued so far.
    void run_later(std::function<void()> job);
    /// Returns when every job queued so far, and every job those queued, has finished;
    /// rethrows the first exception a job threw (a job that throws does not stop the
    /// others). A pool thread that waits helps with the work (so a job that blocks this
    /// way should go through run_blocking); any other thread sleeps.
    void wait();

    /// True when queued jobs run only inside wait(), as in a child forked after the
    /// pool started; a producer that waits for a job to finish must then call wait().
    bool runs_only_in_wait() const { return serial_; }

private:
    struct Task;
    void queue(std::function<void()> job, bool last);
    // Waits as wait() does and hands over the first exception instead of throwing it.
    std::exception_ptr finish();
    void note_failure(std::exception_ptr error);
    void end_one();

    tbb::task_group group_;
    bool serial_;
    std::vector<std::function<void()>> serial_queue_;
    std::atomic<std::size_t> outstanding_{0};
    std::mutex mu_;
    std::condition_variable done_;
    std::exception_ptr error_;
};

/// True on a thread while it runs a job of the worker pool.
bool in_pool_job();

/// Starts the pool, whose start opens a few files of its own, and then sizes the
/// descriptor budget from what is free (dir::size_budget). Before a scan, a measurement
/// or a removal: an Io error naming descriptors when fewer are free than every walk
/// needs to work exactly.
Result<Ok, AppError> ready_descriptors();

/// Runs `body`, which queues jobs on a PoolJobs of its own and waits for them. On a pool
/// thread the wait then picks up only those jobs, never unrelated ones, so a job that
/// blocks this way cannot end up waiting behind itself.
void run_blocking(const std::function<void()>& body);

} // namespace qb
