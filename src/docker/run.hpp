#pragma once

// Running the `docker` client: one child with the environment passed on plus
// LC_ALL=C, standard input from /dev/null, both output streams read on their own
// detached threads, one time budget from the start and an output limit per stream.
// Every failure comes back as a NativeDiagnostic; a failure exit status does not.

#include "common/env.hpp"
#include "common/result.hpp"
#include "docker/native.hpp"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <future>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace qb {

/// Bytes accepted per output stream.
inline constexpr std::size_t kDockerOutputLimit = 1'048'576;
inline constexpr std::uint64_t kInspectionTimeoutSecs = 5;
inline constexpr std::uint64_t kPruneTimeoutSecs = 120;

using DockerRunResult = Result<DockerRunOutput, NativeDiagnostic>;

/// Runs the `docker` found on the PATH of `env` with `args`, passing the whole of `env`
/// on with LC_ALL set to "C". Blocks until the child has ended and both streams are
/// read, or until a failure; the child is always reaped once started. The child is
/// killed when the elapsed whole seconds reach `timeout_secs`, and the streams are
/// awaited only until the start plus `timeout_secs`. `purpose` fills the messages.
DockerRunResult run_docker(const SystemEnv& env, const std::vector<std::string>& args,
                           std::uint64_t timeout_secs, std::string_view purpose,
                           std::size_t output_limit = kDockerOutputLimit);

/// How the provider reaches the client: arguments after "docker", the time-out in
/// seconds and the purpose text. Tests substitute canned outputs.
using DockerRunner = std::function<DockerRunResult(
    const std::vector<std::string>& args, std::uint64_t timeout_secs, std::string_view purpose)>;

/// The runner that calls run_docker with `env`.
DockerRunner process_docker_runner(SystemEnv env);

// The building blocks of run_docker, exposed for tests.

struct PipeTooLarge {};
struct PipeReadError {
    int error; // errno
};
/// What a pipe reader hands over: the bytes, too large, or a read error.
using PipeReadResult = std::variant<std::string, PipeTooLarge, PipeReadError>;

/// The body of a reader thread: reads `fd` to its end or until more than `limit` bytes
/// arrived, closes it and sends the outcome. A result nobody waits for any more is
/// dropped.
void read_pipe_limited(int fd, std::promise<PipeReadResult> sender, std::size_t limit);

/// Waits for a reader's outcome until `deadline` (a result already there is taken even
/// when the deadline has passed) and turns every failure into a diagnostic. `stream`
/// is "stdout" or "stderr".
Result<std::string, NativeDiagnostic>
collect_reader_output(std::future<PipeReadResult>& receiver, std::string_view stream,
                      std::chrono::steady_clock::time_point deadline, std::string_view purpose,
                      std::uint64_t timeout_secs);

} // namespace qb
