#pragma once

// Helpers shared by the tests: temporary trees, running the built binary, and running
// code as an unprivileged user. Nothing here ever touches a path outside a TempDir.

#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qb::test {

/// A fresh directory under the system temporary directory, removed with everything
/// in it when the object goes away. Its path is canonical (no symbolic links).
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    /// path() joined with `rel`.
    std::string operator/(const std::string& rel) const { return path_ + "/" + rel; }

private:
    std::string path_;
};

/// Creates the directory and its missing parents.
void make_dirs(const std::string& path);
/// Writes `content` to `path`, creating missing parent directories.
void write_file(const std::string& path, const std::string& content = "");
/// Reads the whole file; throws on failure.
std::string read_file(const std::string& path);
/// Creates a symbolic link at `link` pointing to `target`.
void make_symlink(const std::string& target, const std::string& link);
bool exists_nofollow(const std::string& path);
/// Every path under `root` (relative, sorted), with a type letter: "d a", "f a/x", "l a/y".
std::vector<std::string> list_tree(const std::string& root);
/// list_tree with the bytes of each regular file after its entry: the tree byte for byte.
std::vector<std::string> tree_contents(const std::string& root);
/// The lines of `text`, without their newlines.
std::vector<std::string> lines_of(const std::string& text);
/// The full path of an executable program in the usual system directories, or "".
std::string find_program(const std::string& name);

struct ProcessResult {
    int exit_status = -1; // -1 when killed by a signal
    int signal = 0;
    std::string out;
    std::string err;
    std::string terminal;  // with TerminalInput: what the terminal echoed
    bool answered = false; // with TerminalInput: whether the answer was typed
};

/// Typed at the start of a line, the terminal's end-of-file key ends the input.
inline constexpr std::string_view kEndOfInputKey = "\x04";

/// Standard input on a pseudo-terminal that is the controlling terminal of the child's
/// own session, so that the program sees a person at the keyboard.
struct TerminalInput {
    /// Typed once standard error shows `prompt_end`; never when it does not.
    std::string answer;
    std::string prompt_end = "[y/N] ";
};

struct ProcessOptions {
    std::map<std::string, std::string> env; // the whole environment of the child
    std::optional<std::string> stdin_data;  // none: standard input from /dev/null
    std::optional<TerminalInput> terminal;  // instead of stdin_data
    std::optional<std::string> cwd;
    std::chrono::milliseconds timeout{60000};
    bool close_stdout = false; // standard output is a pipe closed before the child writes
    // Soft and hard limit on the child's open files; it then inherits only the standard three.
    std::optional<unsigned> max_open_files;
};

/// Runs a program and collects its output. The child is killed at the time-out.
ProcessResult run_process(const std::vector<std::string>& argv, const ProcessOptions& options);

/// The built quillbarrow binary; after run_unprivileged, the copy its children can reach.
std::string binary_path();

/// The executable at `path` as a file in a directory that every user can search, made
/// once per process and removed when it exits, so that an unprivileged child can run it
/// wherever the checkout lies (a clone under /root, say). Call it before dropping privileges.
std::string reachable_copy(const std::string& path);

/// A minimal environment for running the binary: PATH, HOME, XDG_CACHE_HOME,
/// XDG_DATA_HOME and TMPDIR inside `home_root`. PATH is the empty directory
/// `home_root`/bin, so no program is found through it; programs run by the test itself
/// are called by absolute path.
std::map<std::string, std::string> hermetic_env(const std::string& home_root);

/// Runs the binary with `args` under `options`.
ProcessResult run_quillbarrow(const std::vector<std::string>& args, const ProcessOptions& options);

/// Uid and gid of the unprivileged account used for permission tests, when the process
/// runs as root and that account exists.
std::optional<std::pair<unsigned, unsigned>> unprivileged_ids();

/// Runs `fn` in a forked child that, when the process runs as root, has dropped to an
/// unprivileged user first (binary_path() then names a copy that user can run); returns the child's
/// exit status (fn's result), or none when the system refused a privilege needed to drop them. A
/// child killed by a signal, or set up wrongly, fails the test (the status is then not 0). Chown
/// trees the child must own beforehand with chown_tree(). The child runs `fn` after a plain fork,
/// so call it before this process starts other threads (the worker pool): a lock held by one of
/// them would never be released.
std::optional<int> run_unprivileged(const std::function<int()>& fn);
/// Gives every entry of the tree (links not followed) to the unprivileged user.
void chown_tree(const std::string& root);

} // namespace qb::test
