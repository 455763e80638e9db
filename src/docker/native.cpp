#include "docker/native.hpp"

#include "common/text.hpp"
#include "docker/docker_text.hpp"

#include <csignal>
#include <fmt/format.h>
#include <sys/wait.h>

namespace qb {

namespace {

constexpr std::size_t kMessageChars = 512;

const char* signal_name(int sig) {
    switch (sig) {
    case SIGHUP:
        return "SIGHUP";
    case SIGINT:
        return "SIGINT";
    case SIGQUIT:
        return "SIGQUIT";
    case SIGILL:
        return "SIGILL";
    case SIGTRAP:
        return "SIGTRAP";
    case SIGABRT:
        return "SIGABRT";
    case SIGBUS:
        return "SIGBUS";
    case SIGFPE:
        return "SIGFPE";
    case SIGKILL:
        return "SIGKILL";
    case SIGUSR1:
        return "SIGUSR1";
    case SIGSEGV:
        return "SIGSEGV";
    case SIGUSR2:
        return "SIGUSR2";
    case SIGPIPE:
        return "SIGPIPE";
    case SIGALRM:
        return "SIGALRM";
    case SIGTERM:
        return "SIGTERM";
    case SIGCHLD:
        return "SIGCHLD";
    case SIGCONT:
        return "SIGCONT";
    case SIGSTOP:
        return "SIGSTOP";
    case SIGTSTP:
        return "SIGTSTP";
    case SIGTTIN:
        return "SIGTTIN";
    case SIGTTOU:
        return "SIGTTOU";
    case SIGURG:
        return "SIGURG";
    case SIGXCPU:
        return "SIGXCPU";
    case SIGXFSZ:
        return "SIGXFSZ";
    case SIGVTALRM:
        return "SIGVTALRM";
    case SIGPROF:
        return "SIGPROF";
    case SIGWINCH:
        return "SIGWINCH";
    case SIGIO:
        return "SIGIO";
    case SIGSYS:
        return "SIGSYS";
#if defined(SIGSTKFLT)
    case SIGSTKFLT:
        return "SIGSTKFLT";
#endif
#if defined(SIGPWR)
    case SIGPWR:
        return "SIGPWR";
#endif
#if defined(SIGEMT)
    case SIGEMT:
        return "SIGEMT";
#endif
#if defined(SIGINFO)
    case SIGINFO:
        return "SIGINFO";
#endif
    default:
        return nullptr;
    }
}

} // namespace

std::string sanitize_diagnostic_text(std::string_view text) {
    const std::string valid = text::lossy(text);
    const std::string_view s = valid;
    std::string out;
    std::size_t chars = 0;
    bool pending_space = false;
    for (std::size_t i = 0; i < s.size() && chars < kMessageChars;) {
        std::size_t at = i;
        char32_t c = docker_text::next_char(s, i);
        if (text::is_control(c) || docker_text::is_white_space(c)) {
            pending_space = !out.empty();
            continue;
        }
        if (pending_space) {
            out += ' ';
            pending_space = false;
            if (++chars == kMessageChars) {
                break;
            }
        }
        out.append(s.substr(at, i - at));
        ++chars;
    }
    return out;
}

NativeDiagnostic native_diagnostic(std::string_view kind, std::string_view message,
                                   bool retryable) {
    NativeDiagnostic d;
    d.provider_ = "docker";
    d.kind_ = std::string(kind);
    d.message_ = sanitize_diagnostic_text(message);
    d.retryable_ = retryable;
    return d;
}

bool DockerRunOutput::success() const {
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::string wait_status_text(int status) {
    if (WIFEXITED(status)) {
        return fmt::format("exit status: {}", WEXITSTATUS(status));
    }
    if (WIFSIGNALED(status)) {
        int sig = WTERMSIG(status);
        const char* name = signal_name(sig);
        std::string text = name != nullptr ? fmt::format("signal: {} ({})", sig, name)
                                           : fmt::format("signal: {}", sig);
        if (WCOREDUMP(status)) {
            text += " (core dumped)";
        }
        return text;
    }
    return fmt::format("unrecognised wait status: {}", status);
}

NativeDiagnostic classify_docker_failure(std::string_view purpose, const DockerRunOutput& output) {
    std::string message = sanitize_diagnostic_text(output.stderr_bytes);
    if (message.empty()) {
        message = fmt::format("Docker {} exited with {}", purpose, wait_status_text(output.status));
    }
    const std::string lower = text::ascii_lower(message);
    auto has = [&](std::string_view needle) { return lower.find(needle) != std::string::npos; };
    std::string_view code = diag::kCommandFailed;
    if (has("permission denied")) {
        code = diag::kPermissionDenied;
    } else if (has("cannot connect") || has("is the docker daemon running") ||
               has("docker daemon")) {
        code = diag::kDaemonUnavailable;
    } else if (has("context") || has("host")) {
        code = diag::kEndpointUnavailable;
    }
    return native_diagnostic(code, message, true);
}

} // namespace qb
