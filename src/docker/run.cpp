#include "docker/run.hpp"

#include "common/dir.hpp"
#include "common/os_error.hpp"
#include "common/paths.hpp"
#include "common/unique_fd.hpp"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <fmt/format.h>
#include <memory>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <system_error>
#include <thread>
#include <unistd.h>

namespace qb {

namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kPollInterval = std::chrono::milliseconds(10);
constexpr std::size_t kReadChunk = 64 * 1024;
// Longer budgets are treated as unbounded, so the deadline never leaves the clock's range.
constexpr std::uint64_t kMaxBoundedTimeoutSecs = 100ULL * 365 * 24 * 3600;

struct Pipe {
    dir::HeldFd read;
    dir::HeldFd write;
};

// Both ends close-on-exec and above the standard descriptors, so that the dup2 onto
// 1 and 2 in the child always makes a fresh, inheritable descriptor. Each end holds one
// of `slots`.
int make_pipe(Pipe& p, dir::Slot read_slot, dir::Slot write_slot) {
    int fds[2];
#if defined(__linux__)
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        return errno;
    }
#else
    if (::pipe(fds) != 0) {
        return errno;
    }
#endif
    UniqueFd ends[2] = {UniqueFd(fds[0]), UniqueFd(fds[1])};
    for (UniqueFd& end : ends) {
        if (end.get() <= STDERR_FILENO) {
            int moved = ::fcntl(end.get(), F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
            if (moved < 0) {
                return errno;
            }
            end.reset(moved);
        } else if (::fcntl(end.get(), F_SETFD, FD_CLOEXEC) != 0) {
            return errno;
        }
    }
    p.read = dir::HeldFd{std::move(read_slot), std::move(ends[0])};
    p.write = dir::HeldFd{std::move(write_slot), std::move(ends[1])};
    return 0;
}

std::string timeout_message(std::string_view purpose, std::uint64_t timeout_secs) {
    return fmt::format("Docker {} timed out after {} seconds", purpose, timeout_secs);
}

void reap(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
}

std::string default_search_path() {
    std::size_t n = ::confstr(_CS_PATH, nullptr, 0);
    if (n == 0) {
        return "/bin:/usr/bin";
    }
    std::string buf(n, '\0');
    ::confstr(_CS_PATH, buf.data(), n);
    buf.resize(n - 1);
    return buf;
}

// Owns what posix_spawn needs: the child gets /dev/null as input, the pipes as output,
// default signal dispositions and an empty signal mask (the program ignores SIGPIPE,
// and the caller's thread may block signals).
class SpawnSetup {
public:
    SpawnSetup(int out_fd, int err_fd) {
        ::posix_spawn_file_actions_init(&actions_);
        ::posix_spawnattr_init(&attr_);
        ok_ = ::posix_spawn_file_actions_addopen(&actions_, STDIN_FILENO, "/dev/null", O_RDONLY,
                                                 0) == 0 &&
              ::posix_spawn_file_actions_adddup2(&actions_, out_fd, STDOUT_FILENO) == 0 &&
              ::posix_spawn_file_actions_adddup2(&actions_, err_fd, STDERR_FILENO) == 0;
        sigset_t all;
        sigset_t none;
        sigfillset(&all);
        sigdelset(&all, SIGKILL);
        sigdelset(&all, SIGSTOP);
        sigemptyset(&none);
        ok_ =
            ok_ && ::posix_spawnattr_setsigdefault(&attr_, &all) == 0 &&
            ::posix_spawnattr_setsigmask(&attr_, &none) == 0 &&
            ::posix_spawnattr_setflags(&attr_, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK) == 0;
    }
    ~SpawnSetup() {
        ::posix_spawn_file_actions_destroy(&actions_);
        ::posix_spawnattr_destroy(&attr_);
    }
    SpawnSetup(const SpawnSetup&) = delete;
    SpawnSetup& operator=(const SpawnSetup&) = delete;

    bool ok() const { return ok_; }

    int spawn(pid_t& pid, const std::string& program, char* const argv[], char* const envp[]) {
        return ::posix_spawn(&pid, program.c_str(), &actions_, &attr_, argv, envp);
    }

private:
    posix_spawn_file_actions_t actions_;
    posix_spawnattr_t attr_;
    bool ok_ = false;
};

// Tries `docker` in each directory of the search path, as the shell would: a missing
// file moves on, a permission failure is remembered and the search goes on, any other
// failure stops it. Returns 0 with `pid` set, ENOENT when nothing was found, or the
// error that stopped the start.
int spawn_from_path(SpawnSetup& setup, std::string_view search_path, pid_t& pid, char* const argv[],
                    char* const envp[]) {
    bool denied = false;
    std::size_t pos = 0;
    for (;;) {
        std::size_t colon = search_path.find(':', pos);
        std::string_view dir = search_path.substr(
            pos, colon == std::string_view::npos ? std::string_view::npos : colon - pos);
        const std::string program = path::join(dir.empty() ? "." : dir, "docker");
        struct stat st;
        int err = 0;
        if (::stat(program.c_str(), &st) != 0) {
            err = errno;
        } else {
            err = setup.spawn(pid, program, argv, envp);
            if (err == 0) {
                return 0;
            }
        }
        if (err == EACCES) {
            denied = true;
        } else if (err != ENOENT && err != ENOTDIR && err != ELOOP && err != ENAMETOOLONG &&
                   err != ESTALE && err != ENODEV && err != ETIMEDOUT) {
            return err;
        }
        if (colon == std::string_view::npos) {
            break;
        }
        pos = colon + 1;
    }
    return denied ? EACCES : ENOENT;
}

// Starts a detached reader for `pipe_end`, which closes it and then gives its slot back;
// on failure the descriptor is closed and the thread error returned.
int start_reader(dir::HeldFd pipe_end, std::future<PipeReadResult>& receiver, std::size_t limit) {
    std::promise<PipeReadResult> sender;
    receiver = sender.get_future();
    const int raw = pipe_end.fd.get();
    auto slot = std::make_shared<dir::Slot>(std::move(pipe_end.slot));
    slot->untie();
    try {
        std::thread([raw, slot, s = std::move(sender), limit]() mutable {
            read_pipe_limited(raw, std::move(s), limit);
            slot->reset();
        }).detach();
    } catch (const std::system_error& e) {
        return e.code().value() != 0 ? e.code().value() : EAGAIN;
    }
    pipe_end.fd.release(); // now the thread's
    return 0;
}

} // namespace

void read_pipe_limited(int fd, std::promise<PipeReadResult> sender, std::size_t limit) {
    std::string bytes;
    int error = 0;
    const std::size_t cap = limit + 1;
    while (bytes.size() < cap) {
        const std::size_t want = std::min(kReadChunk, cap - bytes.size());
        const std::size_t old = bytes.size();
        bytes.resize(old + want);
        ssize_t n = ::read(fd, bytes.data() + old, want);
        if (n < 0) {
            bytes.resize(old);
            if (errno == EINTR) {
                continue;
            }
            error = errno;
            break;
        }
        bytes.resize(old + static_cast<std::size_t>(n));
        if (n == 0) {
            break;
        }
    }
    ::close(fd);
    PipeReadResult result;
    if (error != 0) {
        result = PipeReadError{error};
    } else if (bytes.size() > limit) {
        result = PipeTooLarge{};
    } else {
        result = std::move(bytes);
    }
    sender.set_value(std::move(result));
}

Result<std::string, NativeDiagnostic> collect_reader_output(std::future<PipeReadResult>& receiver,
                                                            std::string_view stream,
                                                            Clock::time_point deadline,
                                                            std::string_view purpose,
                                                            std::uint64_t timeout_secs) {
    std::future_status status = std::future_status::ready;
    if (deadline == Clock::time_point::max()) {
        receiver.wait();
    } else {
        const auto now = Clock::now();
        status = receiver.wait_for(deadline > now ? deadline - now : Clock::duration::zero());
    }
    if (status != std::future_status::ready) {
        return unexpected(
            native_diagnostic(diag::kTimeout, timeout_message(purpose, timeout_secs), true));
    }
    PipeReadResult result;
    try {
        result = receiver.get();
    } catch (const std::future_error&) {
        return unexpected(
            native_diagnostic(diag::kUnavailable,
                              fmt::format("Docker {} reader stopped unexpectedly", stream), true));
    }
    if (auto* bytes = std::get_if<std::string>(&result)) {
        return std::move(*bytes);
    }
    if (std::holds_alternative<PipeTooLarge>(result)) {
        return unexpected(native_diagnostic(
            diag::kOutputTooLarge, fmt::format("Docker {} exceeded the 1 MiB output limit", stream),
            false));
    }
    return unexpected(
        native_diagnostic(diag::kUnavailable,
                          fmt::format("Docker {} could not be read: {}", stream,
                                      os_error_text(std::get<PipeReadError>(result).error)),
                          true));
}

DockerRunResult run_docker(const SystemEnv& env, const std::vector<std::string>& args,
                           std::uint64_t timeout_secs, std::string_view purpose,
                           std::size_t output_limit) {
    const auto start = Clock::now();
    auto start_failure = [&](int err) {
        return unexpected(native_diagnostic(
            diag::kUnavailable,
            fmt::format("Docker {} could not start: {}", purpose, os_error_text(err)), true));
    };

    std::vector<std::string> argv_text{"docker"};
    argv_text.insert(argv_text.end(), args.begin(), args.end());
    std::vector<std::string> envp_text;
    for (const auto& [name, value] : env.vars) {
        if (name != "LC_ALL") {
            envp_text.push_back(name + "=" + value);
        }
    }
    envp_text.push_back("LC_ALL=C");
    auto pointers = [](std::vector<std::string>& texts) {
        std::vector<char*> p;
        for (std::string& t : texts) {
            p.push_back(t.data());
        }
        p.push_back(nullptr);
        return p;
    };
    std::vector<char*> argv = pointers(argv_text);
    std::vector<char*> envp = pointers(envp_text);

    // The four ends count against the descriptors that scans share with this run.
    std::vector<dir::Slot> slots = dir::Slot::take_reserved(4);
    Pipe out;
    Pipe err;
    if (int e = make_pipe(out, std::move(slots[0]), std::move(slots[1])); e != 0) {
        return start_failure(e);
    }
    if (int e = make_pipe(err, std::move(slots[2]), std::move(slots[3])); e != 0) {
        return start_failure(e);
    }
    SpawnSetup setup(out.write.fd.get(), err.write.fd.get());
    if (!setup.ok()) {
        return start_failure(ENOMEM);
    }
    pid_t pid = -1;
    const std::string search_path = env.get("PATH").value_or(default_search_path());
    const int spawn_error = spawn_from_path(setup, search_path, pid, argv.data(), envp.data());
    // Only the child may hold the write ends, or the readers would never see the end.
    out.write = dir::HeldFd{};
    err.write = dir::HeldFd{};
    if (spawn_error == ENOENT) {
        return unexpected(native_diagnostic(
            diag::kNotFound, "Docker is not installed or is not available on PATH", false));
    }
    if (spawn_error != 0) {
        return start_failure(spawn_error);
    }

    std::future<PipeReadResult> out_receiver;
    std::future<PipeReadResult> err_receiver;
    int thread_error = start_reader(std::move(out.read), out_receiver, output_limit);
    if (thread_error == 0) {
        thread_error = start_reader(std::move(err.read), err_receiver, output_limit);
    }
    if (thread_error != 0) {
        ::kill(pid, SIGKILL);
        reap(pid);
        return start_failure(thread_error);
    }

    int status = 0;
    for (;;) {
        pid_t r = ::waitpid(pid, &status, WNOHANG);
        if (r == pid) {
            break;
        }
        if (r < 0) {
            if (errno == EINTR) {
                continue;
            }
            const int wait_error = errno;
            ::kill(pid, SIGKILL);
            reap(pid);
            return unexpected(native_diagnostic(diag::kUnavailable,
                                                fmt::format("Docker {} could not be observed: {}",
                                                            purpose, os_error_text(wait_error)),
                                                true));
        }
        const auto elapsed =
            std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - start).count();
        if (static_cast<std::uint64_t>(std::max<decltype(elapsed)>(elapsed, 0)) >= timeout_secs) {
            ::kill(pid, SIGKILL);
            reap(pid);
            return unexpected(
                native_diagnostic(diag::kTimeout, timeout_message(purpose, timeout_secs), true));
        }
        std::this_thread::sleep_for(kPollInterval);
    }

    // One budget for the whole run: the readers get only what is left of it.
    const auto deadline = timeout_secs > kMaxBoundedTimeoutSecs
                              ? Clock::time_point::max()
                              : start + std::chrono::seconds(timeout_secs);
    auto stdout_bytes =
        collect_reader_output(out_receiver, "stdout", deadline, purpose, timeout_secs);
    if (!stdout_bytes) {
        return unexpected(std::move(stdout_bytes).error());
    }
    auto stderr_bytes =
        collect_reader_output(err_receiver, "stderr", deadline, purpose, timeout_secs);
    if (!stderr_bytes) {
        return unexpected(std::move(stderr_bytes).error());
    }
    return DockerRunOutput{std::move(stdout_bytes).value(), std::move(stderr_bytes).value(),
                           status};
}

DockerRunner process_docker_runner(SystemEnv env) {
    return [env = std::move(env)](const std::vector<std::string>& args, std::uint64_t timeout_secs,
                                  std::string_view purpose) {
        return run_docker(env, args, timeout_secs, purpose);
    };
}

} // namespace qb
