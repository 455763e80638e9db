#include "scanner/pool.hpp"

#include "common/dir.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <exception>
#include <fmt/format.h>
#include <mutex>
#include <pthread.h>
#include <sched.h>
#include <tbb/global_control.h>
#include <tbb/info.h>
#include <thread>
#include <unistd.h>
#include <utility>

namespace qb {
namespace {

// More threads than this would only exhaust the process's thread limit.
constexpr std::size_t kMaxPoolThreads = 4096;

std::atomic<bool> g_pool_started{false};
std::atomic<bool> g_forked_after_start{false};
thread_local int t_job_depth = 0;
// A job that cannot go on yet is tried again after at least this.
constexpr auto kPause = std::chrono::microseconds(200);

struct JobScope {
    JobScope() { ++t_job_depth; }
    ~JobScope() { --t_job_depth; }
    JobScope(const JobScope&) = delete;
    JobScope& operator=(const JobScope&) = delete;
};

void note_fork_child() {
    if (g_pool_started.load()) {
        g_forked_after_start.store(true);
    }
}

} // namespace

std::optional<std::size_t> parse_pool_size(std::string_view text) {
    if (!text.empty() && text.front() == '+') {
        text.remove_prefix(1);
    }
    if (text.empty()) {
        return std::nullopt;
    }
    std::size_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        if (__builtin_mul_overflow(value, std::size_t{10}, &value) ||
            __builtin_add_overflow(value, static_cast<std::size_t>(c - '0'), &value)) {
            return std::nullopt;
        }
    }
    if (value == 0) {
        return std::nullopt;
    }
    return value;
}

std::size_t available_cpus() {
#ifdef __linux__
    for (int ncpus = 1024; ncpus <= (1 << 20); ncpus *= 2) {
        cpu_set_t* set = CPU_ALLOC(ncpus);
        if (set == nullptr) {
            break;
        }
        std::size_t size = CPU_ALLOC_SIZE(ncpus);
        CPU_ZERO_S(size, set);
        if (::sched_getaffinity(0, size, set) == 0) {
            int count = CPU_COUNT_S(size, set);
            CPU_FREE(set);
            if (count > 0) {
                return static_cast<std::size_t>(count);
            }
            break;
        }
        CPU_FREE(set);
        if (errno != EINVAL) {
            break;
        }
    }
#endif
    long online = ::sysconf(_SC_NPROCESSORS_ONLN);
    return online > 0 ? static_cast<std::size_t>(online) : 1;
}

std::size_t worker_threads() {
    static const std::size_t threads = [] {
        if (const char* value = std::getenv("RAYON_NUM_THREADS")) {
            if (auto n = parse_pool_size(value)) {
                return std::min(*n, kMaxPoolThreads);
            }
        }
        return std::min(available_cpus(), kMaxPoolThreads);
    }();
    return threads;
}

tbb::task_arena& worker_arena() {
    // Never destroyed: pool threads may still be winding down while the process exits.
    static tbb::task_arena* arena = [] {
        const std::size_t n = worker_threads();
        // The library keeps one thread fewer than the CPU count for itself unless told
        // otherwise; the pool needs n of its own.
        static std::optional<tbb::global_control> thread_limit;
        if (n + 1 > static_cast<std::size_t>(tbb::info::default_concurrency())) {
            thread_limit.emplace(tbb::global_control::max_allowed_parallelism, n + 1);
        }
        ::pthread_atfork(nullptr, nullptr, note_fork_child);
        g_pool_started.store(true);
        // No slot is kept for outside threads: a caller that waits sleeps while the n
        // pool threads work, so the pool never runs more than n at once.
        return new tbb::task_arena(static_cast<int>(n), 0);
    }();
    return *arena;
}

bool in_pool_job() {
    return t_job_depth > 0;
}

void run_blocking(const std::function<void()>& body) {
    if (in_pool_job() && !g_forked_after_start.load()) {
        tbb::this_task_arena::isolate(body);
    } else {
        body();
    }
}

PoolJobs::PoolJobs() : serial_(g_forked_after_start.load()) {}

PoolJobs::~PoolJobs() {
    // A failure nobody waited for is dropped: a destructor must not throw.
    (void)finish();
}

// What the pool runs for one job. The job (and whatever it holds) goes away before the job
// counts as finished, so that nothing of it outlives wait(); it goes away inside the job's
// scope, since what it holds may still run code as it goes.
struct PoolJobs::Task {
    PoolJobs* jobs;
    mutable std::function<void()> job;

    void operator()() const {
        {
            JobScope scope;
            try {
                job();
            } catch (...) {
                jobs->note_failure(std::current_exception());
            }
            job = nullptr;
        }
        jobs->end_one();
    }
};

void PoolJobs::note_failure(std::exception_ptr error) {
    std::lock_guard lock(mu_);
    if (!error_) {
        error_ = std::move(error);
    }
}

void PoolJobs::end_one() {
    if (outstanding_.fetch_sub(1) == 1) {
        std::lock_guard lock(mu_);
        done_.notify_all();
    }
}

void PoolJobs::run(std::function<void()> job) {
    queue(std::move(job), false);
}

void PoolJobs::run_later(std::function<void()> job) {
    std::this_thread::sleep_for(kPause);
    queue(std::move(job), true);
}

void PoolJobs::queue(std::function<void()> job, bool last) {
    if (serial_) {
        // Run from the back.
        serial_queue_.insert(last ? serial_queue_.begin() : serial_queue_.end(), std::move(job));
        return;
    }
    outstanding_.fetch_add(1);
    try {
        Task task{this, std::move(job)};
        if (in_pool_job() && !last) {
            group_.run(std::move(task)); // this thread is inside the pool already
        } else {
            // The shared queue, which a pool thread turns to once its own work is done.
            worker_arena().enqueue(group_.defer(std::move(task)));
        }
    } catch (...) {
        end_one(); // never queued
        throw;
    }
}

std::exception_ptr PoolJobs::finish() {
    if (serial_) {
        // Run as the pool runs them: a job that throws does not stop the others.
        while (!serial_queue_.empty()) {
            JobScope scope;
            std::function<void()> job = std::move(serial_queue_.back());
            serial_queue_.pop_back();
            try {
                job();
            } catch (...) {
                note_failure(std::current_exception());
            }
        }
    } else if (in_pool_job()) {
        group_.wait();
    } else {
        // Sleep until the last job is done; joining the pool here would add a thread.
        {
            std::unique_lock lock(mu_);
            done_.wait(lock, [this] { return outstanding_.load() == 0; });
        }
        // Only the library's bookkeeping of the finished jobs is left to wait for.
        worker_arena().execute([this] { group_.wait(); });
    }
    std::lock_guard lock(mu_);
    return std::exchange(error_, nullptr);
}

void PoolJobs::wait() {
    if (std::exception_ptr error = finish()) {
        std::rethrow_exception(error);
    }
}

Result<Ok, AppError> ready_descriptors() {
    // The budget is sized once, so the pool need start first only once.
    static std::once_flag started;
    std::call_once(started, [] {
        PoolJobs jobs;
        jobs.run([] {});
        jobs.wait();
    });
    const std::size_t free = dir::size_budget();
    if (free < dir::kFewestFree) {
        return unexpected(AppError(errors::Io{
            "<file descriptors>",
            IoError::from_text(fmt::format("too few file descriptors: {} must be free and {} are",
                                           dir::kFewestFree, free))}));
    }
    return Ok{};
}

} // namespace qb
