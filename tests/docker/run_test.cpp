// The real client runner against fake `docker` scripts. PATH holds only directories of
// the test's own and the scripts call every other tool by absolute path, so no real
// client is ever reachable, whatever the machine has installed.

#include "docker/build_cache.hpp"
#include "docker/run.hpp"
#include "docker/storage.hpp"
#include "fake_runner.hpp"
#include "scanner/mount_helper.hpp"
#include "support/test_support.hpp"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qb {
namespace {

using test::read_file;
using test::write_file;

// Logs what the client was given, then runs `body`.
const char* kLogPrologue = R"(#!/bin/sh
printf '%s\n' "$@" > "$QB_LOG/args"
/usr/bin/env > "$QB_LOG/env"
/bin/readlink /proc/$$/fd/0 > "$QB_LOG/stdin"
)";

class DockerRun : public ::testing::Test {
protected:
    void SetUp() override {
        test::make_dirs(tmp_ / "bin");
        test::make_dirs(tmp_ / "log");
        env_.vars = {{"PATH", tmp_ / "bin"},
                     {"QB_LOG", tmp_ / "log"},
                     {"LC_ALL", "de_DE.UTF-8"},
                     {"QB_MARK", "kept"}};
    }

    void install(const std::string& body, mode_t mode = 0755) {
        const std::string path = tmp_ / "bin/docker";
        write_file(path, std::string(kLogPrologue) + body);
        ASSERT_EQ(::chmod(path.c_str(), mode), 0);
    }

    DockerRunResult run(std::uint64_t timeout_secs = 5, std::size_t limit = kDockerOutputLimit) {
        return run_docker(env_, {"system", "df"}, timeout_secs, "storage inspection", limit);
    }

    std::string log(const char* name) { return read_file(tmp_ / std::string("log/") + name); }

    test::TempDir tmp_;
    SystemEnv env_;
};

TEST_F(DockerRun, PassesEnvironmentAndResetsTheChild) {
    install(R"(printf 'out'; printf 'err' >&2; exit 3)");
    auto result = run();
    ASSERT_TRUE(result) << result.error().message();
    EXPECT_EQ(result->stdout_bytes, "out");
    EXPECT_EQ(result->stderr_bytes, "err");
    EXPECT_FALSE(result->success());
    EXPECT_EQ(wait_status_text(result->status), "exit status: 3");
    EXPECT_EQ(log("args"), "system\ndf\n");
    EXPECT_EQ(log("stdin"), "/dev/null\n");
    const std::string env = log("env");
    EXPECT_NE(env.find("\nLC_ALL=C\n"), std::string::npos) << env;
    EXPECT_EQ(env.find("de_DE"), std::string::npos);
    EXPECT_NE(env.find("QB_MARK=kept\n"), std::string::npos);

    // The program ignores SIGPIPE and the calling thread may block signals; the client
    // must start with neither. The shell resets its own mask, so the client here is
    // `cat`, which prints the state it was started with.
    write_file(tmp_ / "bin/docker", "#!/bin/cat /proc/self/status\n");
    auto old_pipe = std::signal(SIGPIPE, SIG_IGN);
    sigset_t block;
    sigset_t old_mask;
    sigemptyset(&block);
    sigaddset(&block, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &block, &old_mask);
    auto status = run();
    pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
    std::signal(SIGPIPE, old_pipe);
    ASSERT_TRUE(status) << status.error().message();
    const std::size_t at = status->stdout_bytes.find("SigBlk:");
    ASSERT_NE(at, std::string::npos) << status->stdout_bytes;
    unsigned long long blocked = 1;
    unsigned long long ignored = 1;
    ASSERT_EQ(std::sscanf(status->stdout_bytes.c_str() + at, "SigBlk: %llx SigIgn: %llx", &blocked,
                          &ignored),
              2);
    // Nothing blocked and none of the standard signals (1 to 31) ignored; the C library
    // may keep its own real-time signals aside.
    EXPECT_EQ(blocked, 0u);
    EXPECT_EQ(ignored & 0x7FFFFFFFULL, 0u);
}

TEST_F(DockerRun, InspectsAndPrunesThroughTheClient) {
    // A client with state: the prune shrinks the build cache.
    install(R"sh(
state="$QB_LOG/pruned"
if [ "$1" = builder ]; then
  /bin/touch "$state"; echo 'Total reclaimed space: 2GB'; exit 0
fi
cache='3GB'; [ -e "$state" ] && cache='1GB'
echo '{"Type":"Images","TotalCount":"2","Active":"1","Size":"4GB","Reclaimable":"1GB (25%)"}'
echo '{"Type":"Containers","TotalCount":"0","Active":"0","Size":"0B","Reclaimable":"0B"}'
echo '{"Type":"Local Volumes","TotalCount":"1","Active":"1","Size":"1MB","Reclaimable":"0B"}'
echo "{\"Type\":\"Build Cache\",\"TotalCount\":\"9\",\"Active\":\"0\",\"Size\":\"$cache\",\"Reclaimable\":\"$cache\"}"
)sh");
    DockerRunner runner = process_docker_runner(env_);
    NativeInspection inspection = inspect_docker_storage(runner);
    EXPECT_TRUE(inspection.available);
    EXPECT_TRUE(inspection.diagnostics.empty());
    ASSERT_EQ(inspection.resources.size(), 4u);
    EXPECT_EQ(inspection.resources[0].kind, "docker-build-cache");
    EXPECT_EQ(log("args"), "system\ndf\n--format\njson\n");

    auto report = prune_build_cache(runner);
    ASSERT_TRUE(report) << report.error().message();
    EXPECT_EQ(report->reported_reclaimed_bytes, 2'000'000'000u);
    EXPECT_EQ(report->estimated_removed_bytes, 2'000'000'000u);
    EXPECT_TRUE(report->changed);

    install("echo 'Cannot connect to the Docker daemon. Is the docker daemon running?' >&2\n"
            "exit 1\n");
    NativeInspection down = inspect_docker_storage(runner);
    EXPECT_FALSE(down.available);
    ASSERT_EQ(down.diagnostics.size(), 1u);
    EXPECT_EQ(down.diagnostics[0].kind(), diag::kDaemonUnavailable);
}

TEST_F(DockerRun, MissingAndUnusableClients) {
    auto missing = run();
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().kind(), diag::kNotFound);
    EXPECT_EQ(missing.error().message(), "Docker is not installed or is not available on PATH");
    EXPECT_FALSE(missing.error().retryable());

    install("echo hi\n", 0644);
    auto denied = run();
    ASSERT_FALSE(denied);
    EXPECT_EQ(denied.error().kind(), diag::kUnavailable);
    EXPECT_EQ(denied.error().message(),
              "Docker storage inspection could not start: Permission denied (os error 13)");
    EXPECT_TRUE(denied.error().retryable());

    // A directory named docker is no client either; a usable client later on the path
    // is still found.
    test::make_dirs(tmp_ / "dir/docker");
    test::make_dirs(tmp_ / "later");
    write_file(tmp_ / "later/docker", "#!/bin/sh\necho later\n");
    ::chmod((tmp_ / "later/docker").c_str(), 0755);
    env_.vars["PATH"] = tmp_ / "dir:" + tmp_ / "bin:" + tmp_ / "later";
    auto later = run();
    ASSERT_TRUE(later);
    EXPECT_EQ(later->stdout_bytes, "later\n");
}

TEST_F(DockerRun, WithoutPathTheDefaultDirectoriesAreSearched) {
    // Those are /bin and /usr/bin. A child in a mount namespace of its own covers them with
    // a directory whose only client is a copy of echo, so no real client is ever reached.
    test::make_dirs(tmp_ / "default");
    std::filesystem::copy_file("/bin/echo", tmp_ / "default/docker");
    env_.vars.erase("PATH");
    test::run_in_mount_namespace([&] {
        for (const char* dir : {"/usr/bin", "/bin"}) {
            struct stat st;
            // A link (/bin -> usr/bin) is covered through its target.
            if (::lstat(dir, &st) == 0 && S_ISDIR(st.st_mode)) {
                test::mount_bind(tmp_ / "default", dir);
            }
        }
        auto found = run();
        ASSERT_TRUE(found) << found.error().message();
        EXPECT_TRUE(found->success());
        EXPECT_EQ(found->stdout_bytes, "system df\n");
    });
}

TEST_F(DockerRun, OutputLimitPerStream) {
    install("/usr/bin/head -c \"$QB_OUT\" /dev/zero; /usr/bin/head -c \"$QB_ERR\" /dev/zero >&2\n");
    auto sized = [&](std::size_t out, std::size_t err) {
        env_.vars["QB_OUT"] = std::to_string(out);
        env_.vars["QB_ERR"] = std::to_string(err);
        return run();
    };
    auto exact = sized(kDockerOutputLimit, kDockerOutputLimit);
    ASSERT_TRUE(exact) << exact.error().message();
    EXPECT_EQ(exact->stdout_bytes.size(), kDockerOutputLimit);
    EXPECT_EQ(exact->stderr_bytes.size(), kDockerOutputLimit);

    auto over = sized(kDockerOutputLimit + 1, 0);
    ASSERT_FALSE(over);
    EXPECT_EQ(over.error().kind(), diag::kOutputTooLarge);
    EXPECT_EQ(over.error().message(), "Docker stdout exceeded the 1 MiB output limit");
    EXPECT_FALSE(over.error().retryable());

    auto both = sized(kDockerOutputLimit + 5, kDockerOutputLimit + 5);
    ASSERT_FALSE(both);
    EXPECT_EQ(both.error().message(), "Docker stdout exceeded the 1 MiB output limit");

    auto err_only = sized(0, kDockerOutputLimit + 1);
    ASSERT_FALSE(err_only);
    EXPECT_EQ(err_only.error().message(), "Docker stderr exceeded the 1 MiB output limit");
}

TEST_F(DockerRun, SlowClientIsKilledAtTheTimeout) {
    install("echo $$ > \"$QB_LOG/pid\"\nexec /bin/sleep 30\n");
    auto result = run_docker(env_, {"builder", "prune", "--force"}, 1, "build-cache prune");
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().kind(), diag::kTimeout);
    EXPECT_EQ(result.error().message(), "Docker build-cache prune timed out after 1 seconds");
    EXPECT_TRUE(result.error().retryable());
    // Killed and reaped: the process id no longer exists.
    const pid_t pid = std::stoi(log("pid"));
    EXPECT_EQ(::kill(pid, 0), -1);
    EXPECT_EQ(errno, ESRCH);
}

TEST_F(DockerRun, OutputHeldOpenPastTheBudget) {
    // The client ends at once, but a process it left behind keeps standard output open.
    install("/bin/sleep 3 &\necho partial\nexit 0\n");
    auto result = run(1);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().message(), "Docker storage inspection timed out after 1 seconds");
}

TEST_F(DockerRun, ChildThatCannotBeObserved) {
    // With SIGCHLD ignored the kernel reaps the child itself, so waiting for it fails.
    install("exit 0\n");
    auto old = std::signal(SIGCHLD, SIG_IGN);
    auto result = run();
    std::signal(SIGCHLD, old);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().kind(), diag::kUnavailable);
    EXPECT_EQ(result.error().message(), "Docker storage inspection could not be observed: No "
                                        "child processes (os error 10)");
}

TEST(DockerReader, ReaderOutcomesBecomeDiagnostics) {
    using Clock = std::chrono::steady_clock;
    const auto past = Clock::now() - std::chrono::seconds(1);

    // A read error: a directory cannot be read like a pipe.
    test::TempDir tmp;
    int dir_fd = ::open(tmp.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(dir_fd, 0);
    std::promise<PipeReadResult> sender;
    std::future<PipeReadResult> receiver = sender.get_future();
    read_pipe_limited(dir_fd, std::move(sender), kDockerOutputLimit);
    auto unreadable = collect_reader_output(receiver, "stdout", past, "storage inspection", 5);
    ASSERT_FALSE(unreadable);
    EXPECT_EQ(unreadable.error().kind(), diag::kUnavailable);
    EXPECT_EQ(unreadable.error().message(),
              "Docker stdout could not be read: Is a directory (os error 21)");

    // A reader that ended without a result.
    std::future<PipeReadResult> orphan = std::promise<PipeReadResult>().get_future();
    EXPECT_EQ(
        collect_reader_output(orphan, "stderr", past, "storage inspection", 5).error().message(),
        "Docker stderr reader stopped unexpectedly");

    // Nothing yet and the budget spent; a result already waiting is still taken.
    std::promise<PipeReadResult> silent;
    std::future<PipeReadResult> waiting = silent.get_future();
    EXPECT_EQ(
        collect_reader_output(waiting, "stdout", past, "storage inspection", 5).error().message(),
        "Docker storage inspection timed out after 5 seconds");
    silent.set_value(std::string("late"));
    EXPECT_EQ(*collect_reader_output(waiting, "stdout", past, "storage inspection", 5), "late");
}

} // namespace
} // namespace qb
