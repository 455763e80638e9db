#include "scanner/classifier.hpp"

#include "common/dir.hpp"
#include "common/paths.hpp"
#include "common/text.hpp"
#include "common/unique_fd.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace qb {
namespace {

constexpr std::string_view kTagSignature = "Signature: 8a477f597d28d172789f06886806bc55";
// The largest marker whose content is checked: a tag file or the Go build cache README.
constexpr std::uint64_t kMarkerMaxBytes = 1024 * 1024;

// A directory reached through an open descriptor, or through its path when `fd` is -1
// (the empty path being the working directory).
struct Dir {
    int fd = -1;
    std::string_view path;
};

// `name` inside a directory, NUL-terminated for the system calls, without touching the
// heap. A path too long for the kernel fails the same way the kernel would.
class Entry {
public:
    Entry(const Dir& dir, std::string_view name) {
        if (dir.fd >= 0) {
            fd_ = dir.fd;
            build("", name);
        } else {
            build(dir.path, name);
        }
    }

    int fd() const { return fd_; }
    // Null when the path is too long.
    const char* c_str() const { return ok_ ? buf_.data() : nullptr; }

private:
    void build(std::string_view base, std::string_view name) {
        bool sep = !base.empty() && base.back() != '/' && !name.empty();
        std::size_t len = base.size() + (sep ? 1 : 0) + name.size();
        if (len == 0) {
            base = ".";
            len = 1;
        }
        if (len >= buf_.size()) {
            return;
        }
        char* out = buf_.data();
        out = std::copy(base.begin(), base.end(), out);
        if (sep) {
            *out++ = '/';
        }
        out = std::copy(name.begin(), name.end(), out);
        *out = '\0';
        ok_ = true;
    }

    std::array<char, PATH_MAX> buf_;
    int fd_ = AT_FDCWD;
    bool ok_ = false;
};

bool stat_follow(const Dir& dir, std::string_view name, struct stat& st) {
    Entry e(dir, name);
    return e.c_str() != nullptr && ::fstatat(e.fd(), e.c_str(), &st, 0) == 0;
}

bool exists(const Dir& dir, std::string_view name) {
    struct stat st;
    return stat_follow(dir, name, st);
}

bool is_regular_file(const Dir& dir, std::string_view name) {
    struct stat st;
    return stat_follow(dir, name, st) && S_ISREG(st.st_mode);
}

template <std::size_t N>
bool any_regular_file(const Dir& dir, const std::array<std::string_view, N>& names) {
    return std::any_of(names.begin(), names.end(),
                       [&](std::string_view n) { return is_regular_file(dir, n); });
}

constexpr std::array<std::string_view, 4> kGradleMarkers{"build.gradle", "build.gradle.kts",
                                                         "settings.gradle", "settings.gradle.kts"};

// True when some entry of `dir` has one of the extensions; entry types do not matter.
template <std::size_t N>
bool has_entry_with_extension(const Dir& dir, const std::array<std::string_view, N>& exts) {
    dir::Handle handle;
    if (dir.fd >= 0) {
        handle = dir::open_briefly(dir.fd, ".", dir::Follow::Yes);
    }
    // Reopening "." needs search permission; listing by path needs only read permission.
    if (!handle.valid()) {
        Entry e(Dir{-1, dir.path}, "");
        if (e.c_str() == nullptr) {
            return false;
        }
        handle = dir::open_briefly(AT_FDCWD, e.c_str(), dir::Follow::Yes);
        if (!handle.valid()) {
            return false;
        }
    }
    dir::Listing listing(handle);
    dir::Entry ent;
    while (listing.next(ent)) {
        auto ext = path::extension(ent.view());
        if (ext && std::find(exts.begin(), exts.end(), *ext) != exts.end()) {
            return true;
        }
    }
    return false;
}

constexpr std::array<std::string_view, 3> kDotnetExtensions{"csproj", "fsproj", "vbproj"};

// Decides the first line from the opening bytes of the file (at most two bytes more
// than `expected`, or the whole file when shorter).
bool first_line_matches(std::string_view head, std::string_view expected) {
    std::size_t lf = head.find('\n');
    std::string_view line = head.substr(0, lf);
    if (lf != std::string_view::npos && !line.empty() && line.back() == '\r') {
        line.remove_suffix(1);
    }
    return line == expected;
}

// Opens without blocking on a FIFO or device, following links; only regular files are read.
bool file_first_line_is(const Dir& dir, std::string_view name, std::string_view expected) {
    Entry e(dir, name);
    if (e.c_str() == nullptr) {
        return false;
    }
    // Read and closed at once, so a brief slot of the budget: a walk that reads markers
    // may hold many directories open, and the file must not be the one too many.
    dir::HeldFd marker =
        dir::open_file_at(e.fd(), e.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY, dir::Slot::take());
    const UniqueFd& fd = marker.fd;
    if (!fd.valid()) {
        return false;
    }
    // A larger file cannot be confirmed without reading all of it, so it is no marker.
    struct stat st;
    bool ok = ::fstat(fd.get(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size >= 0 &&
              static_cast<std::uint64_t>(st.st_size) <= kMarkerMaxBytes;

    std::array<char, 128> head;
    const std::size_t head_cap = std::min(expected.size() + 2, head.size());
    std::size_t head_len = 0;
    bool decided = false;
    // Bytes of a character cut by the end of a read stay at the front of the buffer.
    std::array<char, 8192> buf;
    std::size_t carry = 0;
    std::uint64_t total = 0;
    while (ok) {
        // One byte past the limit tells a file that grew since fstat.
        std::size_t room = static_cast<std::size_t>(
            std::min<std::uint64_t>(buf.size() - carry, kMarkerMaxBytes + 1 - total));
        ssize_t n = ::read(fd.get(), buf.data() + carry, room);
        if (n < 0) {
            ok = errno == EINTR;
            continue;
        }
        if (n == 0) {
            break;
        }
        auto got = static_cast<std::size_t>(n);
        total += got;
        if (total > kMarkerMaxBytes) {
            ok = false;
            break;
        }
        if (!decided) {
            std::size_t take = std::min(head_cap - head_len, got);
            std::memcpy(head.data() + head_len, buf.data() + carry, take);
            head_len += take;
            std::string_view h(head.data(), head_len);
            if (h.find('\n') != std::string_view::npos || head_len == head_cap) {
                decided = true;
                ok = first_line_matches(h, expected);
            }
        }
        std::size_t total = carry + got;
        std::size_t valid = text::valid_utf8_prefix({buf.data(), total});
        carry = total - valid;
        if (carry > 3) {
            ok = false;
        }
        std::memmove(buf.data(), buf.data() + valid, std::min<std::size_t>(carry, 3));
    }
    if (!ok || carry != 0 || head_len == 0) {
        return false;
    }
    return decided || first_line_matches({head.data(), head_len}, expected);
}

bool tag_inside(const Dir& dir) {
    return file_first_line_is(dir, "CACHEDIR.TAG", kTagSignature);
}

// The two walk-up rules: the parent of `path` is named `parent_name` and `marker` is a
// regular file beside that parent.
bool walk_up_marker(std::string_view path, std::string_view parent_name, std::string_view marker) {
    auto p = path::parent(path);
    if (!p || path::file_name(*p) != parent_name) {
        return false;
    }
    auto gp = path::parent(*p);
    return gp && is_regular_file(Dir{-1, *gp}, marker);
}

constexpr ProjectKind kVenv{"python-venv"};
constexpr ProjectKind kTox{"tox-env"};
constexpr ProjectKind kNox{"nox-env"};
constexpr ProjectKind kMixDeps{"mix-deps"};
constexpr ProjectKind kGradleBuild{"gradle-build"};
constexpr ProjectKind kDartBuild{"dart-build"};
constexpr ProjectKind kCmakeBuild{"cmake-build"};
constexpr ProjectKind kCargoTarget{"cargo-target"};
constexpr ProjectKind kMavenTarget{"maven-target"};
constexpr ProjectKind kGradleProject{"gradle-project-cache"};
constexpr ProjectKind kRenvLibrary{"renv-library"};
constexpr ProjectKind kBytecode{"python-bytecode"};
constexpr ProjectKind kMypy{"mypy-cache"};
constexpr ProjectKind kRuff{"ruff-cache"};
constexpr ProjectKind kPytest{"pytest-cache"};
constexpr ProjectKind kStackWork{"stack-work"};
constexpr ProjectKind kNodeModules{"node-modules"};
constexpr ProjectKind kDotnetBin{"dotnet-bin"};
constexpr ProjectKind kDotnetObj{"dotnet-obj"};
constexpr ProjectKind kZig{"zig-project-cache"};
constexpr ProjectKind kDartTool{"dart-tool"};
constexpr ProjectKind kTerraform{"terraform-modules"};
constexpr ProjectKind kCabalDist{"cabal-dist"};
constexpr ProjectKind kBundler{"bundler-vendor"};
constexpr ProjectKind kComposer{"composer-vendor"};
constexpr ProjectKind kSwiftBuild{"swift-build"};
constexpr ProjectKind kMixBuild{"mix-build"};
constexpr ProjectKind kCachedirTag{"cachedir-tag"};

enum class Rule {
    Venv,
    Tox,
    Nox,
    Deps,
    Build,
    Target,
    DotGradle,
    Library,
    Pycache,
    Mypy,
    Ruff,
    Pytest,
    StackWork,
    NodeModules,
    CmakePrefix,
    Bin,
    Obj,
    Zig,
    DartTool,
    Terraform,
    DistNewstyle,
    Bundle,
    Vendor,
    SwiftBuild,
    MixBuild,
};

constexpr std::array<std::pair<std::string_view, Rule>, 26> kRuleNames{{
    {"venv", Rule::Venv},
    {".venv", Rule::Venv},
    {".tox", Rule::Tox},
    {".nox", Rule::Nox},
    {"deps", Rule::Deps},
    {"build", Rule::Build},
    {"target", Rule::Target},
    {".gradle", Rule::DotGradle},
    {"library", Rule::Library},
    {"__pycache__", Rule::Pycache},
    {".mypy_cache", Rule::Mypy},
    {".ruff_cache", Rule::Ruff},
    {".pytest_cache", Rule::Pytest},
    {".stack-work", Rule::StackWork},
    {"node_modules", Rule::NodeModules},
    {"bin", Rule::Bin},
    {"obj", Rule::Obj},
    {"zig-cache", Rule::Zig},
    {".zig-cache", Rule::Zig},
    {".dart_tool", Rule::DartTool},
    {".terraform", Rule::Terraform},
    {"dist-newstyle", Rule::DistNewstyle},
    {"bundle", Rule::Bundle},
    {"vendor", Rule::Vendor},
    {".build", Rule::SwiftBuild},
    {"_build", Rule::MixBuild},
}};

std::optional<Rule> rule_for(std::string_view name) {
    for (const auto& [rule_name, rule] : kRuleNames) {
        if (rule_name == name) {
            return rule;
        }
    }
    if (name.starts_with("cmake-build-")) {
        return Rule::CmakePrefix;
    }
    return std::nullopt;
}

std::optional<ProjectMatch> apply_rule(Rule rule, const Dir& parent, const Dir& self,
                                       std::string_view path) {
    auto when = [](bool hit, ProjectKind kind) -> std::optional<ProjectMatch> {
        if (hit) {
            return *kind;
        }
        return std::nullopt;
    };
    switch (rule) {
    case Rule::Venv:
        return when(is_regular_file(self, "pyvenv.cfg"), kVenv);
    case Rule::Tox:
        return when(
            any_regular_file(parent, std::array<std::string_view, 2>{"tox.ini", "pyproject.toml"}),
            kTox);
    case Rule::Nox:
        return when(any_regular_file(
                        parent, std::array<std::string_view, 2>{"noxfile.py", "pyproject.toml"}),
                    kNox);
    case Rule::Deps:
        return when(is_regular_file(parent, "mix.exs"), kMixDeps);
    case Rule::Build:
        if (any_regular_file(parent, kGradleMarkers)) {
            return *kGradleBuild;
        }
        if (is_regular_file(parent, "pubspec.yaml")) {
            return *kDartBuild;
        }
        return when(is_regular_file(self, "CMakeCache.txt"), kCmakeBuild);
    case Rule::Target:
        if (is_regular_file(parent, "Cargo.toml")) {
            return *kCargoTarget;
        }
        return when(is_regular_file(parent, "pom.xml"), kMavenTarget);
    case Rule::DotGradle:
        return when(any_regular_file(parent, kGradleMarkers), kGradleProject);
    case Rule::Library:
        return when(walk_up_marker(path, "renv", "renv.lock"), kRenvLibrary);
    case Rule::Pycache:
        return *kBytecode;
    case Rule::Mypy:
        return *kMypy;
    case Rule::Ruff:
        return *kRuff;
    case Rule::Pytest:
        return *kPytest;
    case Rule::StackWork:
        return when(
            any_regular_file(parent, std::array<std::string_view, 2>{"stack.yaml", "package.yaml"}),
            kStackWork);
    case Rule::NodeModules:
        return when(
            any_regular_file(
                parent, std::array<std::string_view, 3>{"package.json", "deno.json", "deno.jsonc"}),
            kNodeModules);
    case Rule::CmakePrefix:
        return when(is_regular_file(self, "CMakeCache.txt"), kCmakeBuild);
    case Rule::Bin:
        return when(has_entry_with_extension(parent, kDotnetExtensions), kDotnetBin);
    case Rule::Obj:
        return when(has_entry_with_extension(parent, kDotnetExtensions), kDotnetObj);
    case Rule::Zig:
        return when(is_regular_file(parent, "build.zig"), kZig);
    case Rule::DartTool:
        return when(is_regular_file(parent, "pubspec.yaml"), kDartTool);
    case Rule::Terraform:
        return when(has_entry_with_extension(parent, std::array<std::string_view, 1>{"tf"}),
                    kTerraform);
    case Rule::DistNewstyle:
        return when(is_regular_file(parent, "cabal.project") ||
                        has_entry_with_extension(parent, std::array<std::string_view, 1>{"cabal"}),
                    kCabalDist);
    case Rule::Bundle:
        return when(walk_up_marker(path, "vendor", "Gemfile"), kBundler);
    case Rule::Vendor:
        return when(is_regular_file(parent, "composer.json"), kComposer);
    case Rule::SwiftBuild:
        return when(is_regular_file(parent, "Package.swift"), kSwiftBuild);
    case Rule::MixBuild:
        return when(is_regular_file(parent, "mix.exs"), kMixBuild);
    }
    return std::nullopt;
}

std::optional<ProjectMatch> classify(int parent_fd, int dir_fd, std::string_view path) {
    auto name = path::file_name(path);
    if (!name || !text::is_utf8(*name)) {
        return std::nullopt;
    }
    Dir self{dir_fd, path};
    if (auto rule = rule_for(*name)) {
        auto parent_path = path::parent(path);
        Dir parent{parent_fd, parent_path.value_or(std::string_view{})};
        if (auto match = apply_rule(*rule, parent, self, path)) {
            return match;
        }
    }
    if (tag_inside(self)) {
        return *kCachedirTag;
    }
    return std::nullopt;
}

} // namespace

std::optional<ProjectMatch> classify_project_dir(std::string_view path) {
    return classify(-1, -1, path);
}

std::optional<ProjectMatch> classify_project_dir_at(int parent_fd, int dir_fd,
                                                    std::string_view path) {
    return classify(parent_fd, dir_fd, path);
}

bool text_file_first_line_is(std::string_view path, std::string_view line) {
    return file_first_line_is(Dir{-1, ""}, path, line);
}

bool has_cachedir_tag(std::string_view dir) {
    return tag_inside(Dir{-1, dir});
}

bool is_project_root(std::string_view dir) {
    static constexpr std::array<std::string_view, 9> kMarkers{
        ".git",          "Cargo.toml",   "go.mod",           "package.json", "pyproject.toml",
        "Package.swift", "build.gradle", "build.gradle.kts", "pom.xml"};
    Dir d{-1, dir};
    return std::any_of(kMarkers.begin(), kMarkers.end(),
                       [&](std::string_view m) { return exists(d, m); });
}

bool is_vcs_dir(std::string_view path) {
    auto name = path::file_name(path);
    return name && (*name == ".git" || *name == ".hg" || *name == ".svn");
}

bool ends_with_any(std::string_view text, const std::vector<std::string_view>& suffixes) {
    return std::any_of(suffixes.begin(), suffixes.end(),
                       [&](std::string_view s) { return text.ends_with(s); });
}

} // namespace qb
