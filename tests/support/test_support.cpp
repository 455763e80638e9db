#include "support/test_support.hpp"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <pwd.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sstream>
#include <stdexcept>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace fs = std::filesystem;

namespace qb::test {
namespace {

[[noreturn]] void throw_errno(const std::string& what) {
    throw std::runtime_error(what + ": " + std::strerror(errno));
}

std::string system_tmp() {
    const char* t = std::getenv("TMPDIR");
    return (t != nullptr && t[0] == '/') ? std::string(t) : std::string("/tmp");
}

// As root every test can run: the permission tests drop to the unprivileged user, and
// dev.sh installs every program the others call. A skip there would hide a test that never
// ran, so it fails; other users may still see skips (where no user namespace is allowed).
class NoSkipAsRoot : public ::testing::EmptyTestEventListener {
    void OnTestEnd(const ::testing::TestInfo& info) override {
        const ::testing::TestResult& result = *info.result();
        if (::geteuid() != 0 || !result.Skipped()) {
            return;
        }
        std::string why;
        for (int i = 0; i < result.total_part_count(); ++i) {
            why += result.GetTestPartResult(i).message();
        }
        ADD_FAILURE() << info.test_suite_name() << "." << info.name() << " was skipped (" << why
                      << "), but as root every test can run: a skip would hide one that never ran";
    }
};

[[maybe_unused]] const bool kNoSkipAsRootListening = [] {
    ::testing::UnitTest::GetInstance()->listeners().Append(new NoSkipAsRoot);
    return true;
}();

void make_writable_tree(const fs::path& root) {
    std::error_code ec;
    fs::permissions(root, fs::perms::owner_all, fs::perm_options::add, ec);
    for (auto it = fs::recursive_directory_iterator(
             root, fs::directory_options::skip_permission_denied, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        if (it->is_directory(ec) && !it->is_symlink(ec)) {
            fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
        }
    }
}

} // namespace

TempDir::TempDir() {
    std::string tmpl = system_tmp() + "/qbtest-XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (::mkdtemp(buf.data()) == nullptr) {
        throw_errno("mkdtemp");
    }
    char resolved[PATH_MAX];
    if (::realpath(buf.data(), resolved) == nullptr) {
        throw_errno("realpath");
    }
    path_ = resolved;
    // Traversable by the unprivileged user of the permission tests.
    ::chmod(path_.c_str(), 0755);
}

TempDir::~TempDir() {
    std::error_code ec;
    make_writable_tree(path_);
    fs::remove_all(path_, ec);
}

void make_dirs(const std::string& path) {
    fs::create_directories(path);
}

void write_file(const std::string& path, const std::string& content) {
    fs::path p(path);
    if (p.has_parent_path()) {
        fs::create_directories(p.parent_path());
    }
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) {
        throw std::runtime_error("cannot write " + path);
    }
    out << content;
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw std::runtime_error("cannot read " + path);
    }
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void make_symlink(const std::string& target, const std::string& link) {
    if (::symlink(target.c_str(), link.c_str()) != 0) {
        throw_errno("symlink " + link);
    }
}

bool exists_nofollow(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

std::vector<std::string> list_tree(const std::string& root) {
    std::vector<std::string> out;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(root, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        std::string rel = fs::relative(it->path(), root).string();
        char type = it->is_symlink() ? 'l' : it->is_directory() ? 'd' : 'f';
        out.push_back(std::string(1, type) + " " + rel);
    }
    std::sort(out.begin(), out.end());
    return out;
}

std::vector<std::string> tree_contents(const std::string& root) {
    std::vector<std::string> out = list_tree(root);
    for (std::string& entry : out) {
        const std::string path = root + "/" + entry.substr(2);
        if (fs::is_regular_file(fs::symlink_status(path))) {
            entry += "\n" + read_file(path);
        }
    }
    return out;
}

ProcessResult run_process(const std::vector<std::string>& argv, const ProcessOptions& options) {
    if (options.terminal && options.stdin_data) {
        throw std::invalid_argument("standard input is either a terminal or data");
    }
    int in_pipe[2], out_pipe[2], err_pipe[2];
    if (::pipe2(in_pipe, O_CLOEXEC) != 0 || ::pipe2(out_pipe, O_CLOEXEC) != 0 ||
        ::pipe2(err_pipe, O_CLOEXEC) != 0) {
        throw_errno("pipe2");
    }
    int master = -1;
    int slave = -1;
    if (options.terminal && ::openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) {
        throw_errno("openpty");
    }
    std::vector<std::string> env_strings;
    for (const auto& [k, v] : options.env) {
        env_strings.push_back(k + "=" + v);
    }
    std::vector<char*> envp;
    for (auto& s : env_strings) {
        envp.push_back(s.data());
    }
    envp.push_back(nullptr);
    std::vector<std::string> args = argv;
    std::vector<char*> argp;
    for (auto& s : args) {
        argp.push_back(s.data());
    }
    argp.push_back(nullptr);

    pid_t pid = ::fork();
    if (pid < 0) {
        throw_errno("fork");
    }
    if (pid == 0) {
        if (options.terminal) {
            ::setsid();
            ::ioctl(slave, TIOCSCTTY, 0);
            ::dup2(slave, 0);
            ::close(master);
            if (slave > 2) {
                ::close(slave);
            }
        } else {
            ::dup2(in_pipe[0], 0);
        }
        ::dup2(out_pipe[1], 1);
        ::dup2(err_pipe[1], 2);
        if (options.close_stdout) {
            ::close(out_pipe[0]);
        }
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        ::signal(SIGPIPE, SIG_DFL);
        if (options.cwd && ::chdir(options.cwd->c_str()) != 0) {
            ::_exit(126);
        }
        if (options.max_open_files) {
            const struct rlimit limit { *options.max_open_files, *options.max_open_files };
            ::close_range(3, ~0U, 0);
            if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) {
                ::_exit(126);
            }
        }
        ::execve(argp[0], argp.data(), envp.data());
        ::_exit(127);
    }
    ::close(in_pipe[0]);
    ::close(out_pipe[1]);
    ::close(err_pipe[1]);
    if (slave >= 0) {
        ::close(slave);
    }
    if (options.close_stdout) {
        ::close(out_pipe[0]);
        out_pipe[0] = -1;
    }
    // Standard input: the data, then end of input. Written before reading; tests pass
    // small answers that fit in the pipe.
    if (options.stdin_data) {
        const std::string& d = *options.stdin_data;
        (void)!::write(in_pipe[1], d.data(), d.size());
    }
    ::close(in_pipe[1]);

    ProcessResult result;
    auto deadline = std::chrono::steady_clock::now() + options.timeout;
    // The terminal reports EIO, not the end, once the child has closed its side.
    int fds[3] = {out_pipe[0], err_pipe[0], master};
    std::string* sinks[3] = {&result.out, &result.err, &result.terminal};
    bool killed = false;
    while (fds[0] >= 0 || fds[1] >= 0 || fds[2] >= 0) {
        if (options.terminal && !result.answered && fds[2] >= 0 &&
            result.err.find(options.terminal->prompt_end) != std::string::npos) {
            const std::string& answer = options.terminal->answer;
            (void)!::write(master, answer.data(), answer.size());
            result.answered = true;
        }
        pollfd p[3];
        int n = 0;
        int which[3];
        for (int i = 0; i < 3; ++i) {
            if (fds[i] >= 0) {
                p[n] = {fds[i], POLLIN, 0};
                which[n++] = i;
            }
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
        if (left <= 0) {
            ::kill(pid, SIGKILL);
            killed = true;
            break;
        }
        int r = ::poll(p, n, static_cast<int>(std::min<long long>(left, 1000)));
        if (r < 0 && errno != EINTR) {
            throw_errno("poll");
        }
        for (int k = 0; r > 0 && k < n; ++k) {
            if (p[k].revents == 0) {
                continue;
            }
            char buf[65536];
            ssize_t got = ::read(p[k].fd, buf, sizeof buf);
            if (got > 0) {
                sinks[which[k]]->append(buf, static_cast<std::size_t>(got));
            } else if (got == 0 || errno != EINTR) {
                ::close(p[k].fd);
                fds[which[k]] = -1;
            }
        }
    }
    for (int fd : fds) {
        if (fd >= 0) {
            ::close(fd);
        }
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status)) {
        result.exit_status = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        result.signal = WTERMSIG(status);
    }
    if (killed) {
        result.err += "\n[killed at the time-out]";
    }
    return result;
}

namespace {

// Where the unprivileged children find the binary: set by run_unprivileged.
std::string& binary_for_children() {
    static std::string path;
    return path;
}

// A directory of mode 0755 under the system temporary directory, removed with its
// contents when the process that made it exits (never by a forked child).
class ReachableDir {
public:
    ReachableDir() : owner_(::getpid()) {
        std::string tmpl = system_tmp() + "/qbexe-XXXXXX";
        std::vector<char> buf(tmpl.begin(), tmpl.end());
        buf.push_back('\0');
        if (::mkdtemp(buf.data()) == nullptr) {
            throw_errno("mkdtemp");
        }
        path_ = buf.data();
        if (::chmod(path_.c_str(), 0755) != 0) {
            throw_errno("chmod " + path_);
        }
    }
    ~ReachableDir() {
        if (::getpid() == owner_) {
            std::error_code ec;
            fs::remove_all(path_, ec);
        }
    }
    ReachableDir(const ReachableDir&) = delete;
    ReachableDir& operator=(const ReachableDir&) = delete;

    const std::string& path() const { return path_; }

private:
    pid_t owner_;
    std::string path_;
};

// What run_unprivileged returns, besides failing the test, when its child could not be set up.
constexpr int kSetUpFailed = 125;

// Why run_unprivileged's child could not become the unprivileged user. Only a privilege
// the system refused (root without the capability, in a container) is a reason to skip;
// anything else is a fault of the set-up, and fails the test.
struct DropFailure {
    bool refused;
    std::string what;
};

[[noreturn]] void drop_failed(const std::string& what, bool needs_privilege = false) {
    throw DropFailure{needs_privilege && errno == EPERM, what + ": " + std::strerror(errno)};
}

// The unprivileged user must reach the test's trees by the paths the test uses, under the
// system temporary directory, which may be closed to it: a private one from mktemp, or one
// under /root. Then, in a mount namespace of the calling child's own, the first closed
// directory on the way is covered by a tmpfs that leads to an open stand-in for the
// temporary directory, where every directory of the real one is bound.
void open_way_to_temporary_directory() {
    char resolved[PATH_MAX];
    if (::realpath(system_tmp().c_str(), resolved) == nullptr) {
        drop_failed("realpath " + system_tmp());
    }
    const std::string tmp = resolved;
    std::string closed;
    for (std::size_t end = 0; closed.empty() && end != std::string::npos;) {
        end = tmp.find('/', end + 1);
        std::string dir = tmp.substr(0, end);
        struct stat st;
        if (::stat(dir.c_str(), &st) != 0) {
            drop_failed("stat " + dir);
        }
        if ((st.st_mode & S_IXOTH) == 0) {
            closed = dir;
        }
    }
    if (closed.empty()) {
        return;
    }
    // Opened in the new namespace: only a mount of its own can be bound there.
    if (::unshare(CLONE_NEWNS) != 0 ||
        ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        drop_failed("a mount namespace of its own", true);
    }
    DIR* real = ::opendir(tmp.c_str());
    if (real == nullptr) {
        drop_failed("opendir " + tmp);
    }
    if (::mount("qbtmp", closed.c_str(), "tmpfs", 0, "mode=0755") != 0) {
        drop_failed("a tmpfs on " + closed, true);
    }
    for (std::size_t end = closed.size(); end != std::string::npos;) {
        end = tmp.find('/', end + 1);
        ::mkdir(tmp.substr(0, end).c_str(), 0755);
    }
    if (::chmod(tmp.c_str(), 01777) != 0) {
        drop_failed("chmod " + tmp);
    }
    for (errno = 0; const dirent* e = ::readdir(real); errno = 0) {
        const std::string name = e->d_name;
        if (name == "." || name == "..") {
            continue;
        }
        // Tests running beside this one make and remove entries all the while: one that is
        // gone, or no directory, is passed over; one listed again (made anew meanwhile) is
        // bound over the first.
        const int fd =
            ::openat(::dirfd(real), e->d_name, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0 && (errno == ENOENT || errno == ENOTDIR)) {
            continue;
        }
        const std::string stand_in = tmp + "/" + name;
        if (fd < 0 || (::mkdir(stand_in.c_str(), 0755) != 0 && errno != EEXIST)) {
            drop_failed("a stand-in for " + stand_in);
        }
        const std::string source = "/proc/self/fd/" + std::to_string(fd);
        const bool bound =
            ::mount(source.c_str(), stand_in.c_str(), nullptr, MS_BIND | MS_REC, nullptr) == 0;
        const int error = errno;
        ::close(fd);
        if (!bound && error == ENOENT) {
            ::rmdir(stand_in.c_str());
        } else if (!bound) {
            errno = error;
            drop_failed("bind " + stand_in);
        }
    }
    if (errno != 0) {
        drop_failed("readdir " + tmp);
    }
    ::closedir(real);
}

} // namespace

std::string binary_path() {
    const std::string& reachable = binary_for_children();
    return reachable.empty() ? std::string(QB_BINARY_PATH) : reachable;
}

std::string reachable_copy(const std::string& executable) {
    static ReachableDir dir;
    static std::map<std::string, std::string> copies;
    if (auto it = copies.find(executable); it != copies.end()) {
        return it->second;
    }
    std::string copy = dir.path() + "/" + std::to_string(copies.size()) + "-" +
                       fs::path(executable).filename().string();
    // A hard link is free when both lie on one file system and the file is already
    // executable by everyone; otherwise a copy of mode 0755.
    struct stat st;
    bool linked = ::stat(executable.c_str(), &st) == 0 && (st.st_mode & 0005) == 0005 &&
                  ::link(executable.c_str(), copy.c_str()) == 0;
    if (!linked) {
        fs::copy_file(executable, copy, fs::copy_options::overwrite_existing);
        if (::chmod(copy.c_str(), 0755) != 0) {
            throw_errno("chmod " + copy);
        }
    }
    copies.emplace(executable, copy);
    return copy;
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

std::string find_program(const std::string& name) {
    std::istringstream dirs("/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin");
    for (std::string dir; std::getline(dirs, dir, ':');) {
        std::string candidate = dir + "/" + name;
        if (::access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
    }
    return {};
}

std::map<std::string, std::string> hermetic_env(const std::string& home_root) {
    std::string home = home_root + "/home";
    fs::create_directories(home);
    fs::create_directories(home_root + "/tmp");
    // An empty directory of the test's own: whatever the machine has installed, no
    // program (a docker client least of all) is found through PATH.
    fs::create_directories(home_root + "/bin");
    std::map<std::string, std::string> env;
    env["PATH"] = home_root + "/bin";
    env["HOME"] = home;
    env["XDG_CACHE_HOME"] = home + "/.cache";
    env["XDG_DATA_HOME"] = home + "/.local/share";
    env["TMPDIR"] = home_root + "/tmp";
    env["LANG"] = "C.UTF-8";
    // Sanitizer reports must fail the test, and leak checking needs no ptrace.
    env["ASAN_OPTIONS"] = "abort_on_error=0:detect_leaks=1";
    env["UBSAN_OPTIONS"] = "halt_on_error=1:print_stacktrace=1";
    return env;
}

ProcessResult run_quillbarrow(const std::vector<std::string>& args, const ProcessOptions& options) {
    std::vector<std::string> argv{binary_path()};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_process(argv, options);
}

std::optional<std::pair<unsigned, unsigned>> unprivileged_ids() {
    if (::geteuid() != 0) {
        return std::nullopt;
    }
    struct passwd* pw = ::getpwnam("nobody");
    if (pw == nullptr) {
        return std::pair<unsigned, unsigned>{65534, 65534};
    }
    return std::pair<unsigned, unsigned>{pw->pw_uid, pw->pw_gid};
}

void chown_tree(const std::string& root) {
    auto ids = unprivileged_ids();
    if (!ids) {
        return;
    }
    if (::lchown(root.c_str(), ids->first, ids->second) != 0) {
        throw_errno("lchown " + root);
    }
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(root, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        if (::lchown(it->path().c_str(), ids->first, ids->second) != 0) {
            throw_errno("lchown " + it->path().string());
        }
    }
}

std::optional<int> run_unprivileged(const std::function<int()>& fn) {
    if (::geteuid() == 0 && binary_for_children().empty()) {
        binary_for_children() = reachable_copy(QB_BINARY_PATH);
    }
    // Why the child gave up, if it did: 's' (skip) or 'f' (fail), then the cause.
    int report[2];
    if (::pipe2(report, O_CLOEXEC | O_NONBLOCK) != 0) {
        ADD_FAILURE() << "pipe2: " << std::strerror(errno);
        return kSetUpFailed;
    }
    pid_t pid = ::fork();
    if (pid < 0) {
        ADD_FAILURE() << "fork: " << std::strerror(errno);
        ::close(report[0]);
        ::close(report[1]);
        return kSetUpFailed;
    }
    if (pid == 0) {
        ::close(report[0]);
        if (::geteuid() == 0) {
            try {
                auto ids = unprivileged_ids();
                open_way_to_temporary_directory();
                if (::setgroups(0, nullptr) != 0 || ::setgid(ids->second) != 0 ||
                    ::setuid(ids->first) != 0) {
                    drop_failed("becoming uid " + std::to_string(ids->first), true);
                }
            } catch (const DropFailure& f) {
                const std::string text = (f.refused ? "s" : "f") + f.what;
                (void)!::write(report[1], text.data(), text.size());
                ::_exit(kSetUpFailed);
            }
        }
        ::_exit(fn());
    }
    ::close(report[1]);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    char text[512];
    const ssize_t n = ::read(report[0], text, sizeof text);
    ::close(report[0]);
    const std::string why = n > 1 ? std::string(text + 1, static_cast<std::size_t>(n - 1)) : "";
    if (n > 1 && text[0] == 's') {
        std::fprintf(stderr, "cannot run as the unprivileged user here: %s\n", why.c_str());
        return std::nullopt;
    }
    if (n > 1) {
        ADD_FAILURE() << "the child could not become the unprivileged user: " << why;
        return kSetUpFailed;
    }
    if (WIFSIGNALED(status)) {
        ADD_FAILURE() << "the unprivileged child was killed by signal " << WTERMSIG(status) << " ("
                      << ::strsignal(WTERMSIG(status)) << ")";
        return 128 + WTERMSIG(status);
    }
    return WEXITSTATUS(status);
}

} // namespace qb::test
