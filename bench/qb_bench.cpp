// Helper of the scripts in bench/.
//   qb_bench generate DIR [CACHE_ENTRIES [PROJECTS]]  build the synthetic tree
//   qb_bench scan DIR [all|no-statx|no-handles]       scan DIR as `scan --root DIR` does, with
//                                                     those mount answers withheld (as on an
//                                                     older kernel or file system)
//   qb_bench time RUNS CMD [ARGS...]                  warm run, then RUNS timed runs
//   qb_bench mounts DIR MOUNTS DIRS [churn]           measure and remove DIRS directories with
//                                                     MOUNTS bind mounts about, told only by
//                                                     /proc; needs root (a mount namespace)

#include "common/dir.hpp"
#include "common/env.hpp"
#include "common/mount_id.hpp"
#include "scanner/measure.hpp"
#include "scanner/protected_dirs.hpp"
#include "scanner/safe_remove.hpp"
#include "scanner/scan.hpp"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fmt/format.h>
#include <random>
#include <sched.h>
#include <signal.h>
#include <string>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

[[noreturn]] void die(const std::string& what) {
    std::fprintf(stderr, "qb_bench: %s: %s\n", what.c_str(), std::strerror(errno));
    std::exit(1);
}

class Generator {
public:
    explicit Generator(unsigned seed) : rng_(seed), data_(64 * 1024, 'x') {}

    std::uint64_t entries() const { return entries_; }

    void dir(const std::string& p) {
        if (::mkdir(p.c_str(), 0755) != 0 && errno != EEXIST) {
            die("mkdir " + p);
        }
        ++entries_;
    }

    // Sizes are skewed small, as in real source and package trees.
    void file(const std::string& p, std::size_t max = 0) {
        std::size_t size = max != 0 ? pick(max) : small_size();
        int fd = ::open(p.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd < 0) {
            die("create " + p);
        }
        if (size > 0 && ::write(fd, data_.data(), size) != static_cast<ssize_t>(size)) {
            die("write " + p);
        }
        ::close(fd);
        ++entries_;
    }

    void link(const std::string& target, const std::string& p) {
        if (::symlink(target.c_str(), p.c_str()) != 0) {
            die("symlink " + p);
        }
        ++entries_;
    }

    std::size_t pick(std::size_t n) { return n == 0 ? 0 : rng_() % n; }

    std::size_t small_size() {
        std::size_t r = pick(100);
        if (r < 60) {
            return pick(1024);
        }
        if (r < 95) {
            return 1024 + pick(6 * 1024);
        }
        return 8 * 1024 + pick(56 * 1024);
    }

    // One package: metadata, code in a few folders, sometimes packages of its own.
    void package(const std::string& p, int depth) {
        dir(p);
        file(p + "/package.json", 2048);
        file(p + "/README.md");
        file(p + "/LICENSE", 1200);
        file(p + "/index.js");
        for (const char* sub : {"lib", "dist", "src", "types"}) {
            if (pick(4) == 0) {
                continue;
            }
            std::string d = p + "/" + sub;
            dir(d);
            std::size_t n = 2 + pick(14);
            for (std::size_t i = 0; i < n; ++i) {
                file(d + "/m" + std::to_string(i) + (sub[0] == 't' ? ".d.ts" : ".js"));
            }
            if (pick(3) == 0) {
                std::string inner = d + "/internal";
                dir(inner);
                for (std::size_t i = 0, m = 1 + pick(8); i < m; ++i) {
                    file(inner + "/h" + std::to_string(i) + ".js");
                }
            }
        }
        if (depth < 3 && pick(5) == 0) {
            std::string nm = p + "/node_modules";
            dir(nm);
            for (std::size_t i = 0, n = 1 + pick(4); i < n; ++i) {
                package(nm + "/dep" + std::to_string(i), depth + 1);
            }
        }
    }

    void node_modules(const std::string& app, std::uint64_t target) {
        dir(app);
        file(app + "/package.json", 4096);
        std::string nm = app + "/node_modules";
        dir(nm);
        dir(nm + "/.bin");
        std::uint64_t start = entries_;
        for (int i = 0; entries_ - start < target; ++i) {
            std::string name = i % 7 == 0 ? "@scope" + std::to_string(i % 97) : "";
            std::string p =
                nm + "/" + (name.empty() ? "" : name + "/") + "pkg-" + std::to_string(i);
            if (!name.empty()) {
                dir(nm + "/" + name);
            }
            package(p, 0);
            if (i % 25 == 0) {
                link("../" + p.substr(nm.size() + 1) + "/index.js",
                     nm + "/.bin/tool-" + std::to_string(i));
            }
        }
    }

    void git_dir(const std::string& p) {
        dir(p);
        for (const char* f : {"HEAD", "config", "description", "index", "packed-refs"}) {
            file(p + "/" + f, 4096);
        }
        dir(p + "/refs");
        dir(p + "/refs/heads");
        file(p + "/refs/heads/main", 41);
        dir(p + "/objects");
        for (std::size_t i = 0, n = 4 + pick(12); i < n; ++i) {
            std::string o = p + "/objects/" + fmt::format("{:02x}", pick(256));
            dir(o);
            file(o + "/" + fmt::format("{:038x}", rng_()), 16 * 1024);
        }
    }

    // A home directory of small projects of several kinds, each under version control.
    void projects(const std::string& home, int count) {
        dir(home);
        std::string root = home + "/Projects";
        dir(root);
        for (int i = 0; i < count; ++i) {
            std::string p = root + "/proj-" + std::to_string(i);
            dir(p);
            git_dir(p + "/.git");
            file(p + "/README.md");
            switch (i % 5) {
            case 0: { // Rust
                file(p + "/Cargo.toml", 1024);
                dir(p + "/src");
                for (int f = 0; f < 8; ++f) {
                    file(p + "/src/f" + std::to_string(f) + ".rs");
                }
                for (const char* d : {"/target", "/target/debug", "/target/debug/deps",
                                      "/target/debug/build", "/target/debug/incremental"}) {
                    dir(p + d);
                }
                for (int f = 0; f < 30; ++f) {
                    file(p + "/target/debug/deps/lib" + std::to_string(f) + ".rlib", 64 * 1024);
                }
                break;
            }
            case 1: { // Python
                file(p + "/pyproject.toml", 1024);
                dir(p + "/pkg");
                dir(p + "/pkg/__pycache__");
                for (int f = 0; f < 10; ++f) {
                    file(p + "/pkg/m" + std::to_string(f) + ".py");
                    file(p + "/pkg/__pycache__/m" + std::to_string(f) + ".cpython-311.pyc");
                }
                dir(p + "/.venv");
                file(p + "/.venv/pyvenv.cfg", 200);
                std::string sp = p + "/.venv/lib";
                dir(sp);
                sp += "/site-packages";
                dir(sp);
                for (int k = 0; k < 6; ++k) {
                    std::string d = sp + "/dist" + std::to_string(k);
                    dir(d);
                    for (int f = 0; f < 12; ++f) {
                        file(d + "/x" + std::to_string(f) + ".py");
                    }
                }
                break;
            }
            case 2: { // JavaScript
                file(p + "/package.json", 2048);
                dir(p + "/src");
                for (int f = 0; f < 10; ++f) {
                    file(p + "/src/c" + std::to_string(f) + ".ts");
                }
                std::string nm = p + "/node_modules";
                dir(nm);
                for (int k = 0; k < 3; ++k) {
                    package(nm + "/lib" + std::to_string(k), 3);
                }
                break;
            }
            case 3: { // Go
                file(p + "/go.mod", 512);
                for (const char* d : {"/cmd", "/internal", "/internal/core", "/pkg"}) {
                    dir(p + d);
                    for (int f = 0; f < 4; ++f) {
                        file(p + d + "/f" + std::to_string(f) + ".go");
                    }
                }
                break;
            }
            default: { // notes and documents
                dir(p + "/docs");
                for (int f = 0; f < 6; ++f) {
                    file(p + "/docs/n" + std::to_string(f) + ".md");
                }
                break;
            }
            }
        }
    }

private:
    std::mt19937_64 rng_;
    std::string data_;
    std::uint64_t entries_ = 0;
};

int generate(const std::string& root, std::uint64_t cache_entries, int projects) {
    Generator g(20240501);
    g.dir(root);
    g.node_modules(root + "/webapp", cache_entries);
    std::uint64_t cache = g.entries();
    g.projects(root + "/home", projects);
    std::printf("generated %llu entries (%llu in the node_modules tree)\n",
                static_cast<unsigned long long>(g.entries()),
                static_cast<unsigned long long>(cache));
    return 0;
}

int scan(const std::string& root, qb::MountAnswers answers) {
    qb::set_mount_answers(answers);
    qb::ScanRequest request;
    request.roots = {root};
    request.scope = qb::ScopeFilter::All;
    auto result = qb::scan_caches(request, qb::SystemEnv::from_process());
    if (!result) {
        std::fprintf(stderr, "%s\n", qb::fmt_app_error(result.error()).c_str());
        return 1;
    }
    std::uint64_t bytes = 0;
    for (const auto& c : result->candidates) {
        bytes += c.bytes;
    }
    std::printf("candidates=%zu bytes=%llu walk_errors=%zu\n", result->candidates.size(),
                static_cast<unsigned long long>(bytes), result->walk_errors.size());
    return 0;
}

// Runs the command once to warm the caches, then `runs` times; prints the median and
// the fastest wall time in seconds and the largest peak resident size in MiB.
int time_command(int runs, char** argv) {
    std::vector<double> times;
    long peak_kib = 0;
    for (int i = 0; i <= runs; ++i) {
        auto start = std::chrono::steady_clock::now();
        pid_t pid = ::fork();
        if (pid < 0) {
            die("fork");
        }
        if (pid == 0) {
            int null = ::open("/dev/null", O_WRONLY);
            ::dup2(null, 1);
            ::execvp(argv[0], argv);
            _exit(127);
        }
        int status = 0;
        struct rusage ru;
        if (::wait4(pid, &status, 0, &ru) != pid) {
            die("wait4");
        }
        double secs =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            std::fprintf(stderr, "qb_bench: %s failed (status %d)\n", argv[0], status);
            return 1;
        }
        if (i > 0) {
            times.push_back(secs);
            peak_kib = std::max(peak_kib, ru.ru_maxrss);
        }
    }
    std::sort(times.begin(), times.end());
    std::printf("%.3f %.3f %.1f\n", times[times.size() / 2], times.front(),
                static_cast<double>(peak_kib) / 1024.0);
    return 0;
}

// Where the kernel gives no mount id but the one /proc gives for a descriptor (no statx
// mount ids, no file handles): a tree measured and removed among `mounts` bind mounts,
// while another process mounts and unmounts elsewhere all the time when `churn` is set.
int mounts(const std::string& dir, int mounts, int dirs, bool churn) {
    qb::dir::raise_open_file_limit();
    if (::unshare(CLONE_NEWNS) != 0 ||
        ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        die("a mount namespace");
    }
    Generator g(0);
    g.dir(dir + "/src");
    g.dir(dir + "/m");
    g.dir(dir + "/churn");
    for (int i = 0; i < mounts; ++i) {
        const std::string point = dir + "/m/" + std::to_string(i);
        g.dir(point);
        if (::mount((dir + "/src").c_str(), point.c_str(), nullptr, MS_BIND, nullptr) != 0) {
            die("bind " + point);
        }
    }
    const std::string tree = dir + "/tree";
    g.dir(tree);
    for (int i = 0; i < dirs; ++i) {
        g.dir(fmt::format("{}/{}", tree, i / 50));
        g.dir(fmt::format("{}/{}/{}", tree, i / 50, i % 50));
    }
    pid_t other = churn ? ::fork() : 0;
    while (other == 0 && churn) {
        ::mount((dir + "/src").c_str(), (dir + "/churn").c_str(), nullptr, MS_BIND, nullptr);
        ::umount((dir + "/churn").c_str());
    }
    qb::set_mount_answers(qb::MountAnswers::NoHandles);
    struct stat st;
    if (::lstat(tree.c_str(), &st) != 0) {
        die("lstat " + tree);
    }
    const qb::ProtectedDirs homes{qb::SystemEnv{}};
    auto start = std::chrono::steady_clock::now();
    auto since = [&] {
        auto now = std::chrono::steady_clock::now();
        return std::chrono::duration<double>(now - std::exchange(start, now)).count();
    };
    auto measured = qb::measure_dir(tree);
    const double measuring = since();
    auto removed = qb::remove_tree(tree, qb::identity_of(st), homes);
    const double removing = since();
    if (other > 0) {
        ::kill(other, SIGKILL);
        ::waitpid(other, nullptr, 0);
    }
    std::printf("measured in %.3f s (%s), removed in %.3f s (%s)\n", measuring,
                measured && !measured->mount_inside ? "no mount inside" : "a mount inside?",
                removing, removed ? "removed" : removed.error().error.to_string().c_str());
    return measured && removed ? 0 : 1;
}

} // namespace

int main(int argc, char** argv) {
    std::string cmd = argc > 1 ? argv[1] : "";
    if (cmd == "generate" && argc >= 3) {
        std::uint64_t entries = argc >= 4 ? std::strtoull(argv[3], nullptr, 10) : 500'000;
        int projects = argc >= 5 ? std::atoi(argv[4]) : 3000;
        return generate(argv[2], entries, projects);
    }
    if (cmd == "scan" && (argc == 3 || argc == 4)) {
        const std::string withheld = argc == 4 ? argv[3] : "all";
        if (withheld == "all" || withheld == "no-statx" || withheld == "no-handles") {
            return scan(argv[2], withheld == "all"        ? qb::MountAnswers::All
                                 : withheld == "no-statx" ? qb::MountAnswers::NoStatx
                                                          : qb::MountAnswers::NoHandles);
        }
    }
    if (cmd == "time" && argc >= 4) {
        return time_command(std::max(1, std::atoi(argv[2])), argv + 3);
    }
    if (cmd == "mounts" && argc >= 5) {
        return mounts(argv[2], std::atoi(argv[3]), std::atoi(argv[4]),
                      argc > 5 && std::string(argv[5]) == "churn");
    }
    std::fprintf(stderr, "usage: qb_bench generate DIR [CACHE_ENTRIES [PROJECTS]] | "
                         "scan DIR [all|no-statx|no-handles] | time RUNS CMD [ARGS...] | mounts "
                         "DIR MOUNTS DIRS [churn]\n");
    return 2;
}
