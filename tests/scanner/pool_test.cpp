#include "scanner/measure.hpp"
#include "scanner/pool.hpp"
#include "scanner_fixtures.hpp"

#include <atomic>
#include <chrono>
#include <fstream>
#include <gtest/gtest.h>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace qb::test {
namespace {

TEST(Pool, SizeFromTheEnvironmentText) {
    EXPECT_EQ(parse_pool_size("3"), 3u);
    EXPECT_EQ(parse_pool_size("+12"), 12u);
    EXPECT_EQ(parse_pool_size("007"), 7u);
    EXPECT_FALSE(parse_pool_size("0")); // zero means "the default"
    EXPECT_FALSE(parse_pool_size(""));
    EXPECT_FALSE(parse_pool_size("+"));
    EXPECT_FALSE(parse_pool_size("-2"));
    EXPECT_FALSE(parse_pool_size(" 4"));
    EXPECT_FALSE(parse_pool_size("4 "));
    EXPECT_FALSE(parse_pool_size("++4"));
    EXPECT_FALSE(parse_pool_size("4x"));
    EXPECT_FALSE(parse_pool_size("99999999999999999999999"));
    EXPECT_GE(available_cpus(), 1u);
}

TEST(Pool, JobsFedFromOutsideAndFromJobsAllRunBeforeWaitReturns) {
    PoolJobs jobs;
    std::atomic<int> count{0};
    std::function<void(int)> spread = [&](int depth) {
        count.fetch_add(1);
        if (depth < 6) {
            for (int i = 0; i < 3; ++i) {
                jobs.run([&spread, depth] { spread(depth + 1); });
            }
        }
    };
    jobs.run([&] { spread(0); });
    // A second feeder thread outside the pool.
    std::thread feeder([&] {
        for (int i = 0; i < 100; ++i) {
            jobs.run([&] { count.fetch_add(1); });
        }
    });
    feeder.join();
    jobs.wait();
    EXPECT_EQ(count.load(), 1093 + 100); // 3^0 + ... + 3^6 = 1093

    // A job that throws does not stop the others; wait reports it once.
    jobs.run([] { throw std::runtime_error("job failed"); });
    jobs.run([&] { count.fetch_add(1); });
    EXPECT_THROW(jobs.wait(), std::runtime_error);
    EXPECT_EQ(count.load(), 1093 + 101);
    jobs.wait();
}

// A job that throws: how wait() reports it and what else ran; jobs left for the destructor
// end quietly.
std::string throwing_jobs() {
    std::atomic<int> ran{0};
    std::string outcome;
    {
        PoolJobs jobs;
        jobs.run([&] { ran.fetch_add(1); });
        jobs.run([] { throw std::runtime_error("job failed"); }); // first, where run in wait()
        try {
            jobs.wait();
            outcome = "returned";
        } catch (const std::runtime_error& e) {
            outcome = e.what();
        }
        outcome += " ran=" + std::to_string(ran.load());
        jobs.wait(); // reported once
        jobs.run([&] { ran.fetch_add(1); });
        jobs.run([] { throw std::runtime_error("never waited for"); });
    }
    return outcome + " ran=" + std::to_string(ran.load());
}

TEST(Pool, AThrowingJobIsReportedOnceAndStopsNothingWhereverJobsRun) {
    const std::string expected = "job failed ran=1 ran=2";
    EXPECT_EQ(throwing_jobs(), expected);
    // Forked after the pool started: the jobs run one after another inside wait().
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        ::_exit(throwing_jobs() == expected ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

// Runs jobs that each wait for company, and reports how many ran at once at most.
std::size_t peak_concurrency(std::size_t jobs_count) {
    std::mutex mu;
    std::size_t running = 0;
    std::size_t peak = 0;
    std::condition_variable cv;
    PoolJobs jobs;
    const std::size_t target = worker_threads();
    for (std::size_t i = 0; i < jobs_count; ++i) {
        jobs.run([&] {
            std::unique_lock lock(mu);
            ++running;
            peak = std::max(peak, running);
            cv.notify_all();
            // Stay until the pool is full (or a generous while), then a little longer, so
            // a thread beyond the limit would show in the peak.
            cv.wait_for(lock, std::chrono::seconds(10), [&] { return peak >= target; });
            lock.unlock();
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            lock.lock();
            --running;
        });
    }
    jobs.wait();
    return peak;
}

TEST(Pool, RunsAtMostTheConfiguredNumberOfThreads) {
    TempDir t;
    chown_tree(t.path());
    for (const char* n : {"3", "1"}) {
        auto rc = rerun_unprivileged("pool", {{"RAYON_NUM_THREADS", n}, {"QB_CHILD_OUT", t / n}});
        if (!rc) {
            GTEST_SKIP() << "cannot rerun this program as an unprivileged user here";
        }
        ASSERT_EQ(*rc, 0);
        EXPECT_EQ(read_file(t / n),
                  std::string("threads=") + n + " peak=" + n + " bounded=12 nested=3");
    }
}

} // namespace

// A feeder outside the pool that waits for a job to finish before it queues the next
// (as a bounded producer does) must never stall, whatever the pool size.
int bounded_feeding() {
    std::mutex mu;
    std::condition_variable cv;
    int tokens = 2;
    std::atomic<int> done{0};
    PoolJobs jobs;
    for (int i = 0; i < 12; ++i) {
        {
            std::unique_lock lock(mu);
            cv.wait(lock, [&] { return tokens > 0; });
            --tokens;
        }
        jobs.run([&] {
            done.fetch_add(1);
            std::lock_guard lock(mu);
            ++tokens;
            cv.notify_all();
        });
    }
    jobs.wait();
    return done.load();
}

// A job that itself measures a tree and waits for it.
std::uint64_t nested_measure(const std::string& dir) {
    write_file(dir + "/a", "1");
    write_file(dir + "/b/c", "2");
    std::uint64_t entries = 0;
    PoolJobs jobs;
    jobs.run([&] { entries = measure_tree(dir).entries; });
    jobs.wait();
    return entries - 1; // not counting the root
}

int pool_child_main() {
    const char* out = std::getenv("QB_CHILD_OUT");
    if (out == nullptr) {
        return 2;
    }
    std::size_t peak = peak_concurrency(24);
    int bounded = bounded_feeding();
    std::uint64_t nested = nested_measure(std::string(out) + "-tree");
    std::ofstream o(out);
    o << "threads=" << worker_threads() << " peak=" << peak << " bounded=" << bounded
      << " nested=" << nested;
    return o ? 0 : 1;
}

} // namespace qb::test
